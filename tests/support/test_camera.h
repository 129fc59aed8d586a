// A camera for tests: the first (and only) video input device while a TestCameraScope
// lives. Frames are shown synchronously, so an update() right after show() sees them.
#pragma once

#include <cstring>
#include <memory>
#include <vector>

#include "platform/video_device.h"

class TestCamera : public platform::VideoDevice {
public:
    TestCamera(int width = 160, int height = 120) : width(width), height(height) {}

    std::string name() const override { return "test camera"; }
    void nativeSize(int* w, int* h) const override {
        *w = width;
        *h = height;
    }
    HRESULT start(int w, int h, platform::FrameSink* to) override {
        startedWidth = w;
        startedHeight = h;
        sink = to;
        return S_OK;
    }
    void stop() override { sink = nullptr; }

    // Hands a bottom-up blue-green-red frame to whatever the device is connected to.
    void show(const std::vector<unsigned char>& frame) {
        if (sink) sink->deliverFrame(frame.data(), frame.size());
    }

    int width, height;
    int startedWidth = 0, startedHeight = 0;
    platform::FrameSink* sink = nullptr;
};

// Makes the given cameras the only video input devices, for the scope's lifetime.
class TestCameraScope {
public:
    explicit TestCameraScope(std::vector<std::shared_ptr<platform::VideoDevice>> devices) {
        saved = platform::videoDeviceListers();
        current() = std::move(devices);
        platform::videoDeviceListers() = {[](platform::VideoDeviceList* list) {
            for (auto& device : current()) list->push_back(device);
        }};
    }
    ~TestCameraScope() {
        platform::videoDeviceListers() = saved;
        current().clear();
    }

private:
    static platform::VideoDeviceList& current() {
        static platform::VideoDeviceList devices;
        return devices;
    }
    std::vector<platform::VideoDeviceLister> saved;
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
