// The camera the grid starts: this platform's own back ends (DirectShow on Windows; on Linux
// PipeWire, then V4L2), unless a test program has put a maker of its own in place.
#pragma once

#include <cstdint>

class Camera;
class FrameTap;

using CameraMaker = Camera* (*)();

// For tests: a tap on every frame handed over, a format (a four-character code) to take only.
struct CameraOptions {
    FrameTap* tap = nullptr;
    uint32_t format = 0;
};

// A new, unstarted camera; the caller owns it.
Camera* newPlatformCamera();
// The platform's own, with options: what a test maker makes.
Camera* newPlatformCamera(const CameraOptions& options);
// Makes newPlatformCamera() call maker instead; nullptr goes back to the platform's own.
void useCameraMaker(CameraMaker maker);
