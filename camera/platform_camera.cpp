#include "camera/platform_camera.h"

#include <string>

#include "capture/camera.h"
#ifdef _WIN32
#include "directshow/directshow_camera.h"
#else
#include "pipewire/pipewire_camera.h"
#include "v4l2/v4l2_camera.h"
#endif

static CameraMaker testMaker = nullptr;

#ifdef _WIN32
Camera* newPlatformCamera(const CameraOptions&) { return new DirectShowCamera; }
#else
// The camera systems in the order they are tried: PipeWire, the desktop's camera service
// (cameras behind libcamera, a camera shared with a call), where a daemon answers and lists a
// camera that starts; else the kernel's cameras, opened directly.
static Camera* newPipeWire(const CameraOptions& options) {
    auto* camera = new PipeWireCamera(options.tap);
    camera->preferFormat(options.format);
    return camera;
}
static Camera* newV4l2(const CameraOptions& options) {
    auto* camera = new V4l2Camera(v4l2System(), options.tap);
    camera->preferSourceFormat(options.format);
    return camera;
}
static Camera* (*const systems[])(const CameraOptions&) = {newPipeWire, newV4l2};

// The first camera system that starts a camera. When none does, the last that found a camera
// says why (the V4L2 camera names a busy node as the kernel does); else the last.
class FirstCameraSystem final : public Camera {
public:
    explicit FirstCameraSystem(const CameraOptions& options) : options(options) {}
    ~FirstCameraSystem() override { delete chosen; }

    bool start(int width, int height) override {
        bool named = false;
        for (auto make : systems) {
            Camera* camera = make(options);
            if (camera->start(width, height)) {
                chosen = camera;
                return true;
            }
            if (camera->foundCamera() || !named) reason = camera->failure();
            named |= camera->foundCamera();
            delete camera;
        }
        return false;
    }
    bool copyFrame(unsigned char* frame) override { return chosen && chosen->copyFrame(frame); }
    void stop() override {
        if (chosen) chosen->stop();
    }
    const char* name() const override { return chosen ? chosen->name() : ""; }
    const char* failure() const override { return chosen ? "" : reason.c_str(); }
    const char* cameraSystem() const override { return chosen ? chosen->cameraSystem() : ""; }
    const CameraStream* streamDescription() const override { return chosen ? chosen->streamDescription() : nullptr; }

private:
    CameraOptions options;
    Camera* chosen = nullptr;
    std::string reason;
};

Camera* newPlatformCamera(const CameraOptions& options) { return new FirstCameraSystem(options); }
#endif

Camera* newPlatformCamera() {
    if (testMaker) return testMaker();
    return newPlatformCamera(CameraOptions{});
}

void useCameraMaker(CameraMaker maker) { testMaker = maker; }
