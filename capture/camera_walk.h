// The walk every camera system makes over its cameras, at start-up and when it looks for another:
// in the system's own order, the first that starts; a grey-only camera (an infrared face-login
// camera) only when no colour one does.
#pragma once

#include <functional>

enum class CameraTried { started, passedOver, greyOnly };

// tryCamera(index, allowGrey) tries the index-th camera and says how it went: started; passed
// over (it notes why, where it will); or grey-only, passed over while allowGrey is false. True
// once one has started.
bool startFirstUsable(int count, const std::function<CameraTried(int index, bool allowGrey)>& tryCamera);
