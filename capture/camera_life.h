// A camera's life, the same on every camera system: which camera is in use, when it is lost,
// and which one comes next. Driven by what a back end reports, on the back end's own thread,
// with the time passed in (milliseconds on a clock that does not jump), so that a table can
// drive it.
//   - At start-up, the system's cameras in its order, colour before grey: the first that starts
//     and sends a frame within two seconds is the camera in use.
//   - The camera in use is lost when its stream breaks, when its system no longer lists it, or
//     when it hands over nothing for two seconds.
//   - While it is lost: the same camera again as soon as it is listed, starts and sends; two
//     seconds after the loss (counted once, never restarted by retries) the first usable camera
//     by the start-up rule, the same one still first. A camera started since the loss that
//     sent nothing counts as still lost; with no other camera, the same one is tried for ever.
//   - While the system itself is gone (a daemon restarting), nothing is judged; its cameras are
//     judged once it lists them again, the loss counted from then, so that the same camera
//     wins if it came back with the others.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

using LifeMs = int64_t;

// What trying a camera came to: started (it is to send within two seconds), passed over (it
// could not be started), or grey-only, passed over while grey is not allowed.
enum class CameraTried { started, passedOver, greyOnly };

class CameraLife {
public:
    static constexpr LifeMs givesUpAfter = 2000;

    // Any thread: a frame reached the hand-over; the stream broke (an error, the device gone).
    void frameHandedOver(LifeMs now);
    void streamBroken() { broken = true; }

    // Every quarter second on the back end's thread, and during start-up: judges the camera in
    // use, stops it when it is lost, and while no camera sends, tries cameras through
    // tryCamera(index, allowGrey) in the order the rules give until one starts. `listed` holds
    // the identities of the system's cameras (what stays the same when a camera comes back), in
    // the system's order; null while the system itself is gone or has not listed them yet.
    void tick(LifeMs now, const std::vector<std::string>* listed, const std::function<void()>& stop,
              const std::function<CameraTried(int index, bool allowGrey)>& tryCamera);

    // A camera has sent since start-up.
    bool live() const { return everLive; }
    // Start-up only: every camera listed has been tried and none sent.
    bool exhausted() const { return !everLive && gaveUp; }
    // The camera in use (or, before any has sent, the one on trial); empty before either.
    const std::string& inUse() const { return current; }
    bool onTrial() const { return !trial.empty(); }
    // No camera sends: cameras are being looked for (or one is on trial).
    bool looking() const { return state != State::live || !trial.empty(); }

private:
    enum class State { starting, live, lost };
    void tryCameras(LifeMs now, const std::vector<std::string>& listed,
                    const std::function<CameraTried(int, bool)>& tryCamera);

    State state = State::starting;
    std::string current;            // the camera in use, or the one lost
    std::string trial;              // started since the loss, not yet sent
    LifeMs trialAt = 0, lostAt = 0;
    long framesAtTrial = 0;
    bool systemAway = false, everLive = false, gaveUp = false;
    std::set<std::string> failed;   // tried since the loss (or start-up) without sending
    std::atomic<long> frames{0};
    std::atomic<LifeMs> lastFrameAt{0};
    std::atomic<bool> broken{false};
};
