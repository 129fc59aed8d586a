// The Quiltcam program with the test camera as its first video input device.
//   QUILTCAM_TEST_FRAMES=file   the frames to play (required)
//   QUILTCAM_TEST_DUMP=out.ppm  after the pass that first drew the last frame, write the
//                               display as a binary PPM and exit 0
//   QUILTCAM_TEST_REPORT=file   at exit, write the passes run and the display's flags
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/quiltcam.h"
#include "tests/testcam/file_camera.h"

static std::shared_ptr<FileCamera> camera;
static long passes = 0;
static const char* reportPath = nullptr;
static bool fullScreen = false;  // read at start: SDL_Quit runs before the report is written

static void listTestCamera(platform::VideoDeviceList* devices) {
    if (camera) devices->push_back(camera);
}

static void writeReport() {
    std::FILE* file = std::fopen(reportPath, "w");
    if (!file) return;
    std::fprintf(file, "passes %ld\nfullscreen %d\n", passes, fullScreen ? 1 : 0);
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

int main(int argc, char* argv[]) {
    (void)argc;
    (void)argv;
    const char* framesPath = std::getenv("QUILTCAM_TEST_FRAMES");
    const char* dumpPath = std::getenv("QUILTCAM_TEST_DUMP");
    reportPath = std::getenv("QUILTCAM_TEST_REPORT");
    if (!framesPath) {
        std::fprintf(stderr, "%s: QUILTCAM_TEST_FRAMES names no frame file\n", programName);
        return 2;
    }
    camera = std::make_shared<FileCamera>(framesPath);
    auto& listers = platform::videoDeviceListers();
    listers.insert(listers.begin(), listTestCamera);
    if (reportPath) std::atexit(writeReport);

    startUp();
    fullScreen = (screen->flags & SDL_FULLSCREEN) != 0;
    SDL_ShowCursor(SDL_DISABLE);  // some drivers paint the cursor into the display's pixels
    for (;;) {
        framePass();
        passes++;
        if (dumpPath && camera->lastFrameShown()) {
            if (!writePpm(dumpPath, screen)) {
                std::fprintf(stderr, "%s: cannot write %s\n", programName, dumpPath);
                std::exit(1);
            }
            std::exit(0);
        }
    }
}
