// The Quiltcam program with test hooks. Its camera is the first video input device, as in the
// shipped program, unless a hook puts another in front.
//   QUILTCAM_TEST_FRAMES=file       the frames to play: packed blue-green-red, rows bottom-up,
//                                   one after another. On Linux a camera in front of the others
//                                   plays them, one per pass, holding the last; on Windows the
//                                   virtual camera reads the same variable.
//   QUILTCAM_TEST_FRAME_SIZE=WxH    the size of the file's frames (160x120)
//   QUILTCAM_TEST_LOOP=1            play them round and round instead (Linux)
//   QUILTCAM_TEST_FORMAT=YUYV       take frames from the camera in this pixel format (Linux)
//   QUILTCAM_TEST_DUMP=out.ppm      write the display as a binary PPM and exit 0: after the
//                                   pass that first drew the file's last frame, or with
//   QUILTCAM_TEST_CAMERA_FRAMES=n   after the pass that first drew the camera's nth frame
//                                   (Windows: the nth picture that differed from the one before)
//   QUILTCAM_TEST_TRACE=file        every 50 ms a line: wall-clock ms, camera frames so far,
//                                   the middle cell's red, green and blue
//   QUILTCAM_TEST_PASSES=n          exit 0 after n passes
//   SIGUSR1                         presses a key (Linux)
//   QUILTCAM_TEST_REPORT=file       at exit, write what happened (passes, full screen,
//                                   resident memory, allocations; the grabber's size; the V4L2
//                                   camera system, format, frame rates and thread time; on
//                                   Linux the threads left once the program has ended)
#ifndef _WIN32
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#else
#include <windows.h>
#endif

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "app/quiltcam.h"
#include "capture/frame_scaler.h"
#include "tests/support/allocation_counter.h"
#ifdef _WIN32
#include "directshow/directshow_camera.h"
#else
#include "tests/support/testcam/counting_camera.h"
#include "tests/support/testcam/file_camera.h"
#endif

static long passes = 0;
static long long startupMs = 0;  // how long start-up took, the camera's included
static bool fullScreen = false;  // read at start: SDL_Quit runs before the report is written
static long residentAfter1000 = 0, residentAtEnd = 0;
static long loopAllocations = 0;   // in passes after the first, the meter's ticks aside
static long meterAllocations = 0;  // in passes where the meter re-applied the title
static const char* reportPath = nullptr;
#ifdef _WIN32
static long grabberWidth = 0, grabberHeight = 0;  // the size the grabber connected at
static long long frameTime = 0;                    // and the time between frames, 100 ns units
static char cameraName[256] = "";                  // the device chosen
#endif
static volatile std::sig_atomic_t keyRequested = 0;
// Passes that drew a newer camera frame than the pass before, and when the first and last did.
static long newFramesDrawn = 0;
static long long firstNewFrameMs = 0, lastNewFrameMs = 0;

static bool countedCamera() {
#ifndef _WIN32
    return FrameCounter::active != nullptr;
#else
    return false;
#endif
}

// Camera frames the grid has drawn: counted by the camera where it can say (a V4L2 camera),
// else by the pictures that differed from the one before.
static long cameraFrames() {
#ifndef _WIN32
    if (FrameCounter::active) return FrameCounter::active->frames;
#endif
    static std::vector<unsigned char> previous(3 * 160 * 120);
    static long changes = 0;
    if (std::memcmp(previous.data(), grid->frameBuffer, previous.size()) != 0) {
        std::memcpy(previous.data(), grid->frameBuffer, previous.size());
        changes++;
    }
    return changes;
}

// Read with plain system calls: stdio would allocate, and the allocations are being counted.
static long residentBytes() {
#ifdef _WIN32
    return 0;  // not measured there
#else
    char text[128] = {};
    const int fd = open("/proc/self/statm", O_RDONLY);
    if (fd < 0) return 0;
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return 0;
    const char* resident = std::strchr(text, ' ');
    return resident ? std::atol(resident + 1) * sysconf(_SC_PAGESIZE) : 0;
#endif
}

#ifndef _WIN32
// The process's threads, as the kernel lists them.
static long threadsNow() {
    long count = 0;
    if (DIR* tasks = opendir("/proc/self/task")) {
        while (const dirent* task = readdir(tasks)) count += task->d_name[0] != '.';
        closedir(tasks);
    }
    return count;
}
#endif

static long numberFrom(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::atol(value) : 0;
}

#ifdef _WIN32
// The virtual camera's DLL, kept loaded (COM would unload it with the camera's apartment) so that
// it can say at exit whether every reference the program took on it has been given back, and
// whether a connection that must fail (the device has no input pin) gave back its pins too
// (made from this thread, once the camera sends: a test's liberty, which Wine's COM allows).
static HMODULE virtualCamera = nullptr;
static bool failedConnectionClean = false;

static void holdVirtualCamera() {
    if (!GetModuleHandleA("quiltcam-virtual-camera.dll")) return;
    virtualCamera = LoadLibraryA("quiltcam-virtual-camera.dll");
    auto* chain = static_cast<DirectShowCamera*>(grid->camera);
    failedConnectionClean = chain->source && chain->connectFilters(chain->graph, chain->source, chain->source) == E_FAIL;
}

// 1, 0, or -1 when no virtual camera was loaded. The camera has been stopped by now.
static int cameraReleased() {
    if (!virtualCamera) return -1;
    if (grid) grid->stopCamera();  // ended otherwise than by the program's own end
    auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(GetProcAddress(virtualCamera, "DllCanUnloadNow"));
    return failedConnectionClean && canUnload && canUnload() == S_OK ? 1 : 0;
}
#endif

static void writeReport() {
    std::FILE* file = std::fopen(reportPath, "wb");
    if (!file) return;
    std::fprintf(file, "passes %ld\nfullscreen %d\nresident_after_1000 %ld\nresident_at_end %ld\n", passes,
                 fullScreen ? 1 : 0, residentAfter1000, residentAtEnd);
    std::fprintf(file, "loop_allocations %ld\nmeter_allocations %ld\nstartup_ms %lld\n", loopAllocations, meterAllocations,
                 startupMs);
#ifndef _WIN32
    if (FrameCounter::active) FrameCounter::active->report(file);
    std::fprintf(file, "threads_at_exit %ld\n", threadsNow());
#else
    std::fprintf(file, "grabber_size %ldx%ld\ncamera_frame_time %lld\ncamera_name %s\n", grabberWidth, grabberHeight,
                 frameTime, cameraName);
    std::fprintf(file, "virtual_camera_released %d\n", cameraReleased());
#endif
    if (newFramesDrawn > 1 && lastNewFrameMs > firstNewFrameMs)
        std::fprintf(file, "grid_fps %.2f\n", (newFramesDrawn - 1) * 1000.0 / (double)(lastNewFrameMs - firstNewFrameMs));
    std::fclose(file);
}

static bool writePpm(const char* path, SDL_Surface* surface) {
    std::FILE* file = std::fopen(path, "wb");
    if (!file) return false;
    std::fprintf(file, "P6\n%d %d\n255\n", surface->w, surface->h);
    SDL_LockSurface(surface);
    for (int y = 0; y < surface->h; y++) {
        const Uint32* row = reinterpret_cast<const Uint32*>(static_cast<const Uint8*>(surface->pixels) + y * surface->pitch);
        for (int x = 0; x < surface->w; x++) {
            Uint8 rgb[3];
            SDL_GetRGB(row[x], surface->format, &rgb[0], &rgb[1], &rgb[2]);
            std::fwrite(rgb, 1, 3, file);
        }
    }
    SDL_UnlockSurface(surface);
    return std::fclose(file) == 0;
}

static void dumpAndExit(const char* path) {
    if (!writePpm(path, screen)) {
        std::fprintf(stderr, "%s: cannot write %s\n", programName, path);
        endProgram(1);
    }
    endProgram(0);
}

// A key, as the user presses it.
static void pressKey() {
    SDL_Event event = {};
    event.type = SDL_KEYDOWN;
    event.key.keysym.sym = SDLK_q;
    SDL_PushEvent(&event);
}

static bool parseSize(const char* text, int* width, int* height) {
    return text && std::sscanf(text, "%dx%d", width, height) == 2 && *width > 0 && *height > 0 && *width <= 4096 &&
           *height <= 4096;
}

// The file's last frame as the grid holds it: 160 x 120, scaled down as the camera side
// scales a larger one.
static std::vector<unsigned char> lastFrameOf(const char* path, int width, int height) {
    std::vector<unsigned char> frame;
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return frame;
    const long frameBytes = 3L * width * height;
    std::fseek(file, 0, SEEK_END);
    const long frames = std::ftell(file) / frameBytes;
    std::vector<unsigned char> last(frameBytes);
    if (frames > 0 && std::fseek(file, (frames - 1) * frameBytes, SEEK_SET) == 0 &&
        std::fread(last.data(), 1, last.size(), file) == last.size()) {
        frame.assign(3 * 160 * 120, 0);
        FrameScaler scaler;
        scaler.plan(width, height, 160, 120);
        scaler.scale(last.data(), frame.data(), false);
    }
    std::fclose(file);
    return frame;
}

static long long wallClockMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

#ifndef _WIN32
static void pressKeyOnSignal(int) { keyRequested = 1; }

// The camera side before start-up: the file's camera, or the real one.
static bool chooseCamera(const char* framesPath, int frameWidth, int frameHeight) {
    if (framesPath) {
        FileCamera::install(framesPath, frameWidth, frameHeight, numberFrom("QUILTCAM_TEST_LOOP") != 0);
        return true;
    }
    const char* format = std::getenv("QUILTCAM_TEST_FORMAT");
    if (format && std::strlen(format) != 4) {
        std::fprintf(stderr, "%s: QUILTCAM_TEST_FORMAT takes a four-character code\n", programName);
        return false;
    }
    FrameCounter::install(format ? (uint32_t)format[0] | (uint32_t)format[1] << 8 | (uint32_t)format[2] << 16 |
                                     (uint32_t)format[3] << 24
                              : 0);
    return true;
}
#endif

int main(int, char*[]) {
    const char* framesPath = std::getenv("QUILTCAM_TEST_FRAMES");
    const char* dumpPath = std::getenv("QUILTCAM_TEST_DUMP");
    const long dumpAfterFrames = numberFrom("QUILTCAM_TEST_CAMERA_FRAMES");
    const long passLimit = numberFrom("QUILTCAM_TEST_PASSES");
    const char* tracePath = std::getenv("QUILTCAM_TEST_TRACE");
    reportPath = std::getenv("QUILTCAM_TEST_REPORT");
    int frameWidth = 160, frameHeight = 120;
    const char* sizeText = std::getenv("QUILTCAM_TEST_FRAME_SIZE");
    if (sizeText && !parseSize(sizeText, &frameWidth, &frameHeight)) {
        std::fprintf(stderr, "%s: QUILTCAM_TEST_FRAME_SIZE takes WIDTHxHEIGHT\n", programName);
        return 2;
    }
#ifndef _WIN32
    if (!chooseCamera(framesPath, frameWidth, frameHeight)) return 2;
    std::signal(SIGUSR1, pressKeyOnSignal);
#endif
    std::vector<unsigned char> lastFrame;
    if (framesPath && dumpPath && !dumpAfterFrames) {
        lastFrame = lastFrameOf(framesPath, frameWidth, frameHeight);
        if (lastFrame.empty()) {
            std::fprintf(stderr, "%s: no whole frame in %s\n", programName, framesPath);
            return 2;
        }
    }
    std::FILE* trace = tracePath ? std::fopen(tracePath, "w") : nullptr;
    if (reportPath) std::atexit(writeReport);

    const long long startingAt = wallClockMs();
    startUp();
    startupMs = wallClockMs() - startingAt;
    fullScreen = (screen->flags & SDL_FULLSCREEN) != 0;
#ifdef _WIN32
    if (const CameraStream* stream = grid->camera->streamDescription()) {
        grabberWidth = (long)stream->width;
        grabberHeight = (long)stream->height;
        frameTime = stream->intervalNumerator;
    }
    std::snprintf(cameraName, sizeof cameraName, "%s", grid->camera->name());
    holdVirtualCamera();
#endif
    SDL_ShowCursor(SDL_DISABLE);  // some drivers paint the cursor into the display's pixels
    Uint32 lastTrace = 0;
    long lastFramesBefore = 0;
    for (;;) {
        if (keyRequested) {
            pressKey();
            keyRequested = 0;
        }
        // Frames that had arrived before the pass: the pass draws one at least this new.
        const long framesBefore = (dumpAfterFrames || trace || countedCamera()) ? cameraFrames() : 0;
        if (framesBefore > lastFramesBefore) {
            lastFramesBefore = framesBefore;
            lastNewFrameMs = wallClockMs();
            if (newFramesDrawn++ == 0) firstNewFrameMs = lastNewFrameMs;
        }
        const long before = allocationCount();
        framePass();
        passes++;
        const long made = allocationCount() - before;
        if (passes > 1) (frameCount == 0 ? meterAllocations : loopAllocations) += made;
        if (passes == 1000) residentAfter1000 = residentBytes();
        if (passLimit && passes >= passLimit) {
            residentAtEnd = residentBytes();
            endProgram(0);
        }
        if (trace && SDL_GetTicks() - lastTrace >= 50) {
            lastTrace = SDL_GetTicks();
            const RgbTriple* middle = cellColourTable[10 * gridWidth + 13];
            std::fprintf(trace, "%lld %ld %d %d %d\n", wallClockMs(), framesBefore, middle->r, middle->g, middle->b);
            std::fflush(trace);
        }
        if (dumpPath && dumpAfterFrames && framesBefore >= dumpAfterFrames) dumpAndExit(dumpPath);
        if (dumpPath && !lastFrame.empty() && std::memcmp(grid->frameBuffer, lastFrame.data(), lastFrame.size()) == 0)
            dumpAndExit(dumpPath);
    }
}
