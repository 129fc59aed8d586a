// The Quiltcam program with a test camera as its first video input device.
//   QUILTCAM_TEST_FRAMES=file       the frames to play (one per pass, holding the last)
//   QUILTCAM_TEST_LOOP=1            play them round and round instead
//   QUILTCAM_TEST_FAULT=name        no file: a fake V4L2 camera that fails that way
//   QUILTCAM_TEST_DUMP=out.ppm      after the pass that first drew the last frame, write the
//                                   display as a binary PPM and exit 0
//   QUILTCAM_TEST_PASSES=n          exit 0 after n passes
//   QUILTCAM_TEST_FLOOD=n           keep SDL's queue fed with n mouse motions, then a key
//   QUILTCAM_TEST_KEY_AFTER_MS=t    press a key t ms after start-up
//   QUILTCAM_TEST_REPORT=file       at exit, write what happened (passes, full screen,
//                                   resident memory, allocations, events)
#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/quiltcam.h"
#include "tests/allocation_counter.h"
#ifndef _WIN32
#include "tests/testcam/camera_faults.h"
#endif
#include "tests/testcam/file_camera.h"

static std::shared_ptr<FileCamera> camera;

// What the report tells.
static long passes = 0;
static bool fullScreen = false;  // read at start: SDL_Quit runs before the report is written
static long residentAfter1000 = 0, residentAtEnd = 0;
static long loopAllocations = 0;   // in passes after the first, the meter's ticks aside
static long meterAllocations = 0;  // in passes where the meter re-applied the title
static long eventsPushed = 0, pushFailures = 0;
static const char* reportPath = nullptr;

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

static long numberFrom(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::atol(value) : 0;
}

static void listTestCamera(platform::VideoDeviceList* devices) {
    if (camera) devices->push_back(camera);
}

static void writeReport() {
    std::FILE* file = std::fopen(reportPath, "w");
    if (!file) return;
    std::fprintf(file, "passes %ld\nfullscreen %d\nresident_after_1000 %ld\nresident_at_end %ld\n", passes,
                 fullScreen ? 1 : 0, residentAfter1000, residentAtEnd);
    std::fprintf(file, "loop_allocations %ld\nmeter_allocations %ld\nevents_pushed %ld\npush_failures %ld\n",
                 loopAllocations, meterAllocations, eventsPushed, pushFailures);
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

static void push(Uint8 type) {
    SDL_Event event = {};
    event.type = type;
    if (type == SDL_KEYDOWN) event.key.keysym.sym = SDLK_q;
    if (type == SDL_MOUSEMOTION) event.motion.x = (Uint16)(eventsPushed % 640);
    if (SDL_PushEvent(&event) == 0)
        eventsPushed++;
    else
        pushFailures++;
}

// Keeps a few dozen motions queued, never more than SDL 1.2's queue holds, until all are in;
// then the key.
static void feedFlood(long total) {
    if (eventsPushed > total) return;
    SDL_Event peek[64];
    SDL_PumpEvents();
    int queued = SDL_PeepEvents(peek, 64, SDL_PEEKEVENT, SDL_ALLEVENTS);
    for (; queued < 64 && eventsPushed < total; queued++) push(SDL_MOUSEMOTION);
    if (eventsPushed == total) push(SDL_KEYDOWN);
}

int main(int argc, char* argv[]) {
    (void)argc;
    (void)argv;
    const char* framesPath = std::getenv("QUILTCAM_TEST_FRAMES");
    const char* fault = std::getenv("QUILTCAM_TEST_FAULT");
    const char* dumpPath = std::getenv("QUILTCAM_TEST_DUMP");
    const long passLimit = numberFrom("QUILTCAM_TEST_PASSES");
    const long flood = numberFrom("QUILTCAM_TEST_FLOOD");
    const long keyAfter = numberFrom("QUILTCAM_TEST_KEY_AFTER_MS");
    reportPath = std::getenv("QUILTCAM_TEST_REPORT");
    if (fault) {
#ifdef _WIN32
        if (true) {
#else
        if (!installCameraFault(fault)) {
#endif
            std::fprintf(stderr, "%s: no camera fault called %s\n", programName, fault);
            return 2;
        }
    } else if (framesPath) {
        camera = std::make_shared<FileCamera>(framesPath, numberFrom("QUILTCAM_TEST_LOOP") != 0);
        auto& listers = platform::videoDeviceListers();
        listers.insert(listers.begin(), listTestCamera);
    } else {
        std::fprintf(stderr, "%s: set QUILTCAM_TEST_FRAMES or QUILTCAM_TEST_FAULT\n", programName);
        return 2;
    }
    if (reportPath) std::atexit(writeReport);

    startUp();
    fullScreen = (screen->flags & SDL_FULLSCREEN) != 0;
    SDL_ShowCursor(SDL_DISABLE);  // some drivers paint the cursor into the display's pixels
    const Uint32 started = SDL_GetTicks();
    bool keyPressed = false;
    for (;;) {
        if (flood) feedFlood(flood);
        if (keyAfter && !keyPressed && SDL_GetTicks() - started >= (Uint32)keyAfter) {
            push(SDL_KEYDOWN);
            keyPressed = true;
        }
        const long before = allocationCount();
        framePass();
        passes++;
        const long made = allocationCount() - before;
        if (passes > 1) (frameCount == 0 ? meterAllocations : loopAllocations) += made;
        if (passes == 1000) residentAfter1000 = residentBytes();
        if (passLimit && passes >= passLimit) {
            residentAtEnd = residentBytes();
            std::exit(0);
        }
        if (dumpPath && camera && camera->lastFrameShown()) {
            if (!writePpm(dumpPath, screen)) {
                std::fprintf(stderr, "%s: cannot write %s\n", programName, dumpPath);
                std::exit(1);
            }
            std::exit(0);
        }
    }
}
