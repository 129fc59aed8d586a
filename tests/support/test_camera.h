// A camera for tests: while a TestCameraScope lives, every grid made starts one. Frames are
// shown synchronously, so an update() right after show() sees them.
#pragma once

#include <atomic>
#include <vector>

#include "camera/platform_camera.h"
#include "capture/camera.h"
#include "capture/frame_hand_over.h"

class TestCamera final : public Camera {
public:
    bool start(int w, int h) override {
        width = w;
        height = h;
        handOver.plan((size_t)w * h * 3);
        running = true;
        return true;
    }
    bool copyFrame(unsigned char* frame) override { return handOver.take(frame); }
    const char* name() const override { return "test camera"; }
    const char* failure() const override { return ""; }

    // Hands a bottom-up blue-green-red frame over, as a camera's thread does.
    void show(const std::vector<unsigned char>& frame) {
        if (running) handOver.put(frame.data(), frame.size());
    }
    // Delivers no more, as an unplugged camera.
    void stop() { running = false; }

    int width = 0, height = 0;

private:
    FrameHandOver handOver;
    std::atomic<bool> running{false};
};

class TestCameraScope {
public:
    TestCameraScope() {
        useCameraMaker([]() -> Camera* { return made() = new TestCamera; });
    }
    ~TestCameraScope() { useCameraMaker(nullptr); }
    // The camera of the grid made last (the grid owns it).
    static TestCamera*& made() {
        static TestCamera* camera = nullptr;
        return camera;
    }
};

// A camera frame as the camera sends it: bottom-up rows, blue-green-red. colourAt(x, y) gives
// (r, g, b) for the pixel the camera sees at column x of row y counted from the top.
template <class ColourAt>
std::vector<unsigned char> cameraFrame(int width, int height, ColourAt colourAt) {
    std::vector<unsigned char> frame((size_t)width * height * 3);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) {
            unsigned char* pixel = &frame[((size_t)(height - 1 - y) * width + x) * 3];
            auto rgb = colourAt(x, y);
            pixel[0] = (unsigned char)rgb[2];
            pixel[1] = (unsigned char)rgb[1];
            pixel[2] = (unsigned char)rgb[0];
        }
    return frame;
}
