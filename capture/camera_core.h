// What every camera system shares, below its primitives: the camera's life (which camera, lost,
// the same one back, silent, give way), the start-up and the end, and the one frame path (each
// frame through the frame intake into the hand-over). A back end derives from it and is its
// system's primitives: list the cameras, open one (at the shared choice of size, format and
// rate, its frames handed to deliver()), close it, and a thread of its own (or its system's)
// that calls tick() every quarter second.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "capture/camera.h"
#include "capture/camera_life.h"
#include "capture/frame_hand_over.h"
#include "capture/frame_intake.h"

class CameraCore : public Camera {
public:
    explicit CameraCore(FrameTap* tap = nullptr) : tap(tap) {}

    // Starts the system's thread and waits until a camera sends (true), or every camera the
    // system lists has been tried (false, failure() saying why). Never longer than the cameras
    // take to try, two seconds each at most.
    bool start(int width, int height) final;
    bool copyFrame(unsigned char* frame) final { return handOver.take(frame); }
    // Ends the system's thread, the camera closed. At once; more than once does nothing.
    void stop() final;
    const char* name() const final;
    const char* failure() const final { return failureText.c_str(); }
    bool foundCamera() const final { return listedAny; }
    const CameraStream* streamDescription() const final { return &streamed; }

    // Frames the intake dropped (short, flagged, not whole), for tests and diagnostics.
    std::atomic<long> framesDropped{0};

protected:
    // Each back end's destructor calls stop() first: the primitives are its own.
    ~CameraCore() override = default;

    // The primitives. launch() and halt() run on the caller's thread; the others on the
    // thread that calls tick().
    // Starts the thread that calls tick(); false (with the failure noted) when the system is
    // not there at all.
    virtual bool launch() = 0;
    // Ends that thread, closing the camera open.
    virtual void halt() = 0;
    // The cameras the system lists now, by identity (the same when a camera comes back), in its
    // order; false while the system itself is gone or has not listed them yet. While a camera
    // sends (`looking` false) a system that tells of a camera's going itself (its stream breaks)
    // may give its last list again rather than wake every camera to list them.
    virtual bool list(std::vector<std::string>* identities, bool looking) = 0;
    // Opens the index-th camera of the last list and sets it streaming to deliver(); says how
    // it went, noting why where it could not (noteFailure), and naming it (named) where it could.
    virtual CameraTried open(int index, bool allowGrey) = 0;
    virtual void close() = 0;
    // What start() says when the system lists no camera.
    virtual const char* noCamera() const { return "no video capture device found"; }

    // For the back end: every quarter second, on its thread.
    void tick();
    // The frames of the stream just opened, before the first; false for a format the intake
    // cannot read. Not while frames are being delivered.
    bool configureFrames(const FrameFormat& format);
    // A frame, on whatever thread the system brings it: through the intake into the hand-over.
    void deliver(const FramePlane* planes, int count);
    void streamBroken() { life.streamBroken(); }
    // The first camera that could not be used, and why ("cannot open NAME: REASON"): what
    // start() says when none can be.
    void noteFailure(const std::string& text);
    // The camera just opened, as its system names it to the user.
    void named(const std::string& name);

    int width = 0, height = 0;  // the frames handed over
    FrameTap* const tap;
    CameraStream streamed;

private:
    CameraLife life;
    FrameIntake intake;
    FrameHandOver handOver;
    std::vector<std::string> listed;
    bool listedAny = false;
    std::string failureText, firstFailure;
    std::atomic<bool> intakeReady{false};
    std::string openName, openIdentity;  // the camera opened last
    // The camera in use, as named, and a copy for the loop's side: written and read under a
    // spin lock held for a copy (Windows' threads here have no std::mutex).
    char cameraName[256] = {};
    mutable char shownName[256] = {};
    mutable std::atomic_flag nameLock = ATOMIC_FLAG_INIT;
    bool launched = false;
    std::atomic<bool> settled{false};  // start-up is over, one way or the other
    LifeMs launchedAt = 0;
};

// Milliseconds on the clock camera lives are judged by.
LifeMs lifeClock();
