// The camera the grid starts: this platform's own back end (DirectShow on Windows, V4L2
// elsewhere), unless a test program has put a maker of its own in place.
#pragma once

class Camera;

using CameraMaker = Camera* (*)();

// A new, unstarted camera; the caller owns it.
Camera* newPlatformCamera();
// Makes newPlatformCamera() call maker instead; nullptr goes back to the platform's own.
void useCameraMaker(CameraMaker maker);
