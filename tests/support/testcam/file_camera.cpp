#include "tests/support/testcam/file_camera.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "camera/platform_camera.h"
#include "capture/frame_scaler.h"

// The camera the next grid makes: a copy of this one, not yet started.
static FileCamera toPlay;

void FileCamera::install(const char* path, int fileWidth, int fileHeight, bool loop) {
    toPlay.path = path;
    toPlay.fileWidth = fileWidth;
    toPlay.fileHeight = fileHeight;
    toPlay.loop = loop;
    useCameraMaker([]() -> Camera* { return new FileCamera(toPlay); });
}

bool FileCamera::start(int width, int height) {
    if (width != frameWidth || height != frameHeight) {
        failureText = "cannot play " + path + " at another size than 160x120";
        return false;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    const int error = file ? ENODATA : errno;
    if (file) {
        const size_t fileFrameSize = (size_t)fileWidth * fileHeight * 3;
        std::vector<unsigned char> frame(fileFrameSize);
        FrameScaler scaler;
        scaler.plan(fileWidth, fileHeight, frameWidth, frameHeight);
        while (std::fread(frame.data(), 1, fileFrameSize, file) == fileFrameSize) {  // a partial frame is none
            frames.resize(frames.size() + frameSize);
            scaler.scale(frame.data(), &frames[frames.size() - frameSize], false);
        }
        std::fclose(file);
    }
    if (frames.empty()) failureText = "cannot open " + path + ": " + std::strerror(error);
    return !frames.empty();
}

bool FileCamera::copyFrame(unsigned char* frame) {
    const size_t index = nextFrame < frameCount() ? nextFrame++ : frameCount() - 1;
    if (loop && nextFrame == frameCount()) nextFrame = 0;
    std::memcpy(frame, frames.data() + index * frameSize, frameSize);
    return true;
}
