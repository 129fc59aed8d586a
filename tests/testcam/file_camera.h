// The test camera: a video input device that plays 160 x 120 frames from a file (packed
// blue-green-red, rows bottom-up, one frame after another), one frame each time the grabber is
// asked for one, holding the last (or, looping, starting again).
#pragma once

#include <string>
#include <vector>

#include "platform/video_device.h"

class FileCamera final : public platform::VideoDevice {
public:
    static const int frameWidth = 160, frameHeight = 120;
    static const size_t frameSize = frameWidth * frameHeight * 3;

    FileCamera(std::string path, bool loop) : path(std::move(path)), loop(loop) {}

    std::string name() const override { return path; }
    HRESULT open() override;
    void nativeSize(int* width, int* height) const override;
    HRESULT start(int width, int height, platform::FrameSink* sink) override;
    void stop() override { sink = nullptr; }
    void framePulled() override;

    size_t frameCount() const { return frames.size() / frameSize; }
    // True from the copy that handed out the file's last frame on.
    bool lastFrameShown() const { return nextFrame >= frameCount() && frameCount() > 0; }

private:
    std::string path;
    bool loop;
    std::vector<unsigned char> frames;
    size_t nextFrame = 0;
    platform::FrameSink* sink = nullptr;
};
