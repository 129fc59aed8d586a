// A camera as the grid sees it: started once at the grid's frame size, then asked once a pass
// for its newest frame. Each camera system (DirectShow on Windows, V4L2 on Linux) is a back end
// behind this one interface.
#pragma once

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
    // The camera as the system names it to the user, once start() has found one.
    virtual const char* name() const = 0;
    // Why start() failed, in one line without the program's name ("no video capture device
    // found"); empty when it did not.
    virtual const char* failure() const = 0;
};
