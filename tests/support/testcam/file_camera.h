// The test camera: a video input device that plays frames from a file (packed blue-green-red,
// rows bottom-up, one frame after another), one frame each time the grabber is asked for one,
// holding the last (or, looping, starting again). Frames larger than 160 x 120 are scaled down
// on loading, as the camera side scales a camera's larger frames.
#pragma once

#include <string>
#include <vector>

#include "platform/video_device.h"

class FileCamera final : public platform::VideoDevice {
public:
    static const int frameWidth = 160, frameHeight = 120;
    static const size_t frameSize = frameWidth * frameHeight * 3;

    FileCamera(std::string path, int fileWidth, int fileHeight, bool loop)
        : path(std::move(path)), fileWidth(fileWidth), fileHeight(fileHeight), loop(loop) {}
    // Puts a file camera in front of the other video input devices.
    static void install(const char* path, int fileWidth, int fileHeight, bool loop);

    std::string name() const override { return path; }
    HRESULT open() override;
    void nativeSize(int* width, int* height) const override;
    HRESULT start(int width, int height, platform::FrameSink* sink) override;
    void stop() override { sink = nullptr; }
    void framePulled() override;

    size_t frameCount() const { return frames.size() / frameSize; }

private:
    std::string path;
    int fileWidth, fileHeight;
    bool loop;
    std::vector<unsigned char> frames;
    size_t nextFrame = 0;
    platform::FrameSink* sink = nullptr;
};
