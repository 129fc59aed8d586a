// The system's V4L2 cameras, each behind a counter: the frames it hands to the grabber, the
// rate they come at, and the camera thread's processor time per frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "platform/v4l2_camera.h"

class CountingCamera final : public platform::VideoDevice, public platform::FrameSink {
public:
    explicit CountingCamera(std::shared_ptr<platform::VideoDevice> camera) : camera(std::move(camera)) {}
    // Makes the counted V4L2 cameras the only video input devices, taking frames in
    // sourceFormat (a four-character code) where it is not 0.
    static void install(uint32_t sourceFormat);
    // The camera the grid started, once it has.
    static CountingCamera* active;

    std::string name() const override { return camera->name(); }
    HRESULT open() override { return camera->open(); }
    void nativeSize(int* width, int* height) const override { camera->nativeSize(width, height); }
    HRESULT start(int width, int height, platform::FrameSink* to) override;
    void stop() override { camera->stop(); }
    void deliverFrame(const unsigned char* bgrBottomUp, size_t bytes) override;

    // The camera's format, the frames per second it delivered, and the processor time its
    // thread spent per frame.
    void report(std::FILE* file) const;

    std::atomic<long> frames{0};

private:
    std::shared_ptr<platform::VideoDevice> camera;
    platform::FrameSink* sink = nullptr;
    std::atomic<long long> firstNs{0}, lastNs{0}, firstCpuNs{0}, lastCpuNs{0};
};
