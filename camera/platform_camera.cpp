#include "camera/platform_camera.h"

#ifdef _WIN32
#include "directshow/directshow_camera.h"
#else
#include "v4l2/v4l2_camera.h"
#endif

static CameraMaker testMaker = nullptr;

Camera* newPlatformCamera() {
    if (testMaker) return testMaker();
#ifdef _WIN32
    return new DirectShowCamera;
#else
    return new V4l2Camera(v4l2System());
#endif
}

void useCameraMaker(CameraMaker maker) { testMaker = maker; }
