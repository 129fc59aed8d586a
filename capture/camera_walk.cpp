#include "capture/camera_walk.h"

bool startFirstUsable(int count, const std::function<CameraTried(int index, bool allowGrey)>& tryCamera) {
    for (bool allowGrey : {false, true}) {
        bool greyPassedOver = false;
        for (int i = 0; i < count; i++) {
            const CameraTried tried = tryCamera(i, allowGrey);
            if (tried == CameraTried::started) return true;
            greyPassedOver |= tried == CameraTried::greyOnly;
        }
        if (!greyPassedOver) break;
    }
    return false;
}
