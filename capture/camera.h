// A camera as the grid sees it: started once at the grid's frame size, then asked once a pass
// for its newest frame. Each camera system (DirectShow on Windows; PipeWire and V4L2 on Linux)
// is a back end behind this one interface.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// What a camera streams, for reports and tests: its format (a four-character code, as V4L2
// names formats), size and time between frames (seconds as a fraction). Written by the camera's
// own thread whenever it (re)starts.
struct CameraStream {
    std::atomic<uint32_t> format{0}, width{0}, height{0}, intervalNumerator{0}, intervalDenominator{0};
};

// Sees every frame a camera hands over, on the camera's own thread: for tests and measurements.
class FrameTap {
public:
    virtual void frameHandedOver(const unsigned char* bgrBottomUp, size_t bytes) = 0;

protected:
    ~FrameTap() = default;
};

class Camera {
public:
    virtual ~Camera() = default;
    // Opens the first usable camera and sets it delivering frames of width x height. False when
    // no camera can be used; failure() then says why.
    virtual bool start(int width, int height) = 0;
    // Copies the newest whole frame into frame: width x height pixels of 3 bytes (blue, green,
    // red), rows bottom-up. Never waits and never allocates. False, with frame untouched, when
    // there is nothing to copy (no frame yet, none new, or the camera away).
    virtual bool copyFrame(unsigned char* frame) = 0;
    // Stops the camera for good: its threads ended and its stream stopped, before the program
    // ends. At once.
    virtual void stop() {}
    // The camera as the system names it to the user, once start() has found one.
    virtual const char* name() const = 0;
    // Why start() failed, in one line without the program's name ("no video capture device
    // found"); empty when it did not.
    virtual const char* failure() const = 0;
    // Whether start() found any camera at all, usable or not: of two systems that failed, the
    // one that saw the camera says why.
    virtual bool foundCamera() const { return true; }
    // The camera system, as the test program reports it ("v4l2", "pipewire", "directshow"), and
    // what the camera streams.
    virtual const char* cameraSystem() const { return ""; }
    virtual const CameraStream* streamDescription() const { return nullptr; }
};
