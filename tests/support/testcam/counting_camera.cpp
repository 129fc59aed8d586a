#include "tests/support/testcam/counting_camera.h"

#include <time.h>

#include "camera/platform_camera.h"

FrameCounter* FrameCounter::active = nullptr;
static uint32_t preferredFormat = 0;

static long long nanoseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

void FrameCounter::install(uint32_t sourceFormat) {
    preferredFormat = sourceFormat;
    useCameraMaker([]() -> Camera* {
        active = new FrameCounter;  // kept for the report, after the camera has gone
        CameraOptions options;
        options.tap = active;
        options.format = preferredFormat;
        return active->camera = newPlatformCamera(options);
    });
}

void FrameCounter::frameHandedOver(const unsigned char*, size_t) {
    lastNs = nanoseconds(CLOCK_MONOTONIC);
    lastCpuNs = nanoseconds(CLOCK_THREAD_CPUTIME_ID);
    if (frames == 0) {
        firstNs = lastNs.load();
        firstCpuNs = lastCpuNs.load();
    }
    frames++;
}

void FrameCounter::report(std::FILE* file) const {
    static const CameraStream none;
    const CameraStream& stream = camera->streamDescription() ? *camera->streamDescription() : none;
    const uint32_t fourcc = stream.format;
    std::fprintf(file, "camera_backend %s\ncamera_format %c%c%c%c\ncamera_size %ux%u\ncamera_interval %u/%u\n",
                 camera->cameraSystem(), fourcc & 255, fourcc >> 8 & 255, fourcc >> 16 & 255, fourcc >> 24 & 255,
                 stream.width.load(), stream.height.load(), stream.intervalNumerator.load(),
                 stream.intervalDenominator.load());
    std::fprintf(file, "camera_name %s\n", camera->name());
    const long n = frames;
    std::fprintf(file, "camera_frames %ld\n", n);
    if (n > 1 && lastNs > firstNs)
        std::fprintf(file, "camera_fps %.2f\ncamera_thread_ms_per_frame %.3f\n", (n - 1) * 1e9 / (lastNs - firstNs),
                     (double)(lastCpuNs - firstCpuNs) / 1e6 / (double)(n - 1));
}
