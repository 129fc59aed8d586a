// Misbehaving cameras for the test program: a fake V4L2 kernel whose first node fails in a
// named way, made the program's only camera.
#pragma once

// False when there is no fault of that name. Names: other-size-larger, other-size-smaller (frames
// of a length no driver sends), vanish-before-open.
bool installCameraFault(const char* name);
