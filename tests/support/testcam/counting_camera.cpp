#include "tests/support/testcam/counting_camera.h"

#include <time.h>

CountingCamera* CountingCamera::active = nullptr;
static uint32_t preferredFormat = 0;

static long long nanoseconds(clockid_t clock) {
    timespec now{};
    clock_gettime(clock, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

void CountingCamera::install(uint32_t sourceFormat) {
    preferredFormat = sourceFormat;
    platform::videoDeviceListers() = {[](platform::VideoDeviceList* devices) {
        platform::VideoDeviceList cameras;
        platform::listV4l2Cameras(&cameras);
        for (auto& camera : cameras) {
            if (preferredFormat) static_cast<platform::V4l2Camera&>(*camera).preferSourceFormat(preferredFormat);
            devices->push_back(std::make_shared<CountingCamera>(camera));
        }
    }};
}

HRESULT CountingCamera::start(int width, int height, platform::FrameSink* to) {
    sink = to;
    active = this;
    return camera->start(width, height, this);
}

void CountingCamera::deliverFrame(const unsigned char* bgrBottomUp, size_t bytes) {
    lastNs = nanoseconds(CLOCK_MONOTONIC);
    lastCpuNs = nanoseconds(CLOCK_THREAD_CPUTIME_ID);
    if (frames == 0) {
        firstNs = lastNs.load();
        firstCpuNs = lastCpuNs.load();
    }
    sink->deliverFrame(bgrBottomUp, bytes);
    frames++;
}

void CountingCamera::report(std::FILE* file) const {
    const auto& v4l2 = static_cast<const platform::V4l2Camera&>(*camera);
    const uint32_t fourcc = v4l2.streamFormat;
    std::fprintf(file, "camera_format %c%c%c%c\ncamera_size %ux%u\ncamera_interval %u/%u\n", fourcc & 255,
                 fourcc >> 8 & 255, fourcc >> 16 & 255, fourcc >> 24 & 255, v4l2.streamWidth.load(),
                 v4l2.streamHeight.load(), v4l2.streamInterval[0].load(), v4l2.streamInterval[1].load());
    const long n = frames;
    std::fprintf(file, "camera_frames %ld\n", n);
    if (n > 1 && lastNs > firstNs)
        std::fprintf(file, "camera_fps %.2f\ncamera_thread_ms_per_frame %.3f\n", (n - 1) * 1e9 / (lastNs - firstNs),
                     (double)(lastCpuNs - firstCpuNs) / 1e6 / (double)(n - 1));
}
