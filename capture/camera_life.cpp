#include "capture/camera_life.h"

#include <algorithm>

static int indexOf(const std::vector<std::string>& listed, const std::string& identity) {
    const auto found = std::find(listed.begin(), listed.end(), identity);
    return found == listed.end() ? -1 : (int)(found - listed.begin());
}

void CameraLife::frameHandedOver(LifeMs now) {
    lastFrameAt = now;
    frames++;
}

void CameraLife::tick(LifeMs now, const std::vector<std::string>* listed, const std::function<void()>& stop,
                      const std::function<CameraTried(int, bool)>& tryCamera) {
    const bool wasBroken = broken.exchange(false);
    auto stillListed = [&](const std::string& identity) { return listed && indexOf(*listed, identity) >= 0; };
    if (!trial.empty()) {
        if (frames > framesAtTrial) {  // it sent: the camera in use from now on
            current = trial;
            trial.clear();
            state = State::live;
            everLive = true;
            failed.clear();
            return;
        }
        if (!wasBroken && stillListed(trial) && now - trialAt < givesUpAfter) return;  // still on trial
        stop();
        failed.insert(trial);
        trial.clear();
    } else if (state == State::live) {
        if (!wasBroken && stillListed(current) && now - lastFrameAt < givesUpAfter) return;
        stop();
        state = State::lost;
        lostAt = now;
        failed.clear();
    }
    if (!listed) {  // the system is away: nothing to judge until it lists its cameras again
        systemAway = true;
        return;
    }
    if (systemAway && state == State::lost) lostAt = now;
    systemAway = false;
    broken = false;  // what the stream stopped said
    tryCameras(now, *listed, tryCamera);
}

void CameraLife::tryCameras(LifeMs now, const std::vector<std::string>& listed,
                            const std::function<CameraTried(int, bool)>& tryCamera) {
    const int same = current.empty() ? -1 : indexOf(listed, current);
    std::vector<int> order;
    if (state == State::lost && now - lostAt < givesUpAfter) {
        if (same >= 0) order.push_back(same);  // only the same camera, for now
    } else {
        for (bool again : {false, true}) {
            if (same >= 0 && (again || !failed.count(current))) order.push_back(same);
            for (int i = 0; i < (int)listed.size(); i++)
                if (i != same && (again || !failed.count(listed[i]))) order.push_back(i);
            if (!order.empty() || state == State::starting) break;
            failed.clear();  // every camera has had its turn: round again
        }
        if (order.empty()) gaveUp = true;  // at start-up: none of them sends
    }
    // Colour before grey; the camera in use before may be grey, as it was.
    std::vector<int> grey;
    auto attempt = [&](int index, bool allowGrey) {
        const CameraTried tried = tryCamera(index, allowGrey);
        if (tried == CameraTried::started) {
            trial = listed[index];
            trialAt = now;
            framesAtTrial = frames;
            if (state == State::starting) current = trial;
            return true;
        }
        if (tried == CameraTried::greyOnly)
            grey.push_back(index);
        else
            failed.insert(listed[index]);
        return false;
    };
    for (int index : order)
        if (attempt(index, index == same)) return;
    for (int index : std::vector<int>(grey))
        if (attempt(index, true)) return;
    gaveUp = gaveUp || (state == State::starting &&
                        std::all_of(listed.begin(), listed.end(), [&](auto& id) { return failed.count(id) > 0; }));
}
