// The system's own camera (PipeWire or V4L2, as the program chooses) with a counter on its
// frames: how many it hands over, the rate they come at, and its thread's processor time per
// frame.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "capture/camera.h"

class FrameCounter final : public FrameTap {
public:
    // Makes the grid's camera the system's own, counted, taking frames in sourceFormat (a
    // four-character code) where it is not 0.
    static void install(uint32_t sourceFormat);
    // The counter of the camera the grid made, once it has.
    static FrameCounter* active;

    void frameHandedOver(const unsigned char* bgrBottomUp, size_t bytes) override;
    // The camera system, the camera's format, the frames per second it handed over, and the
    // processor time its thread spent per frame.
    void report(std::FILE* file) const;

    std::atomic<long> frames{0};
    Camera* camera = nullptr;

private:
    std::atomic<long long> firstNs{0}, lastNs{0}, firstCpuNs{0}, lastCpuNs{0};
};
