// The test camera: plays frames from a file (packed blue-green-red, rows bottom-up, one frame
// after another), the next one each time the grid asks, holding the last (or, looping,
// starting again). Frames larger than 160 x 120 are scaled down on loading, as the camera side
// scales a camera's larger frames.
#pragma once

#include <string>
#include <vector>

#include "capture/camera.h"

class FileCamera final : public Camera {
public:
    static const int frameWidth = 160, frameHeight = 120;
    static const size_t frameSize = frameWidth * frameHeight * 3;

    // Makes the grid's camera one that plays the file.
    static void install(const char* path, int fileWidth, int fileHeight, bool loop);

    bool start(int width, int height) override;
    bool copyFrame(unsigned char* frame) override;
    const char* name() const override { return path.c_str(); }
    const char* failure() const override { return failureText.c_str(); }

private:
    size_t frameCount() const { return frames.size() / frameSize; }

    std::string path, failureText;
    int fileWidth = 0, fileHeight = 0;
    bool loop = false;
    std::vector<unsigned char> frames;
    size_t nextFrame = 0;
};
