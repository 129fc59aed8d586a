#include "tests/testcam/file_camera.h"

#include "platform/directshow.h"

#include <cerrno>
#include <cstdio>

HRESULT FileCamera::open() {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return hresultFromErrno(errno);
    unsigned char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) frames.insert(frames.end(), chunk, chunk + got);
    std::fclose(file);
    frames.resize(frameCount() * frameSize);  // a partial frame at the end is not a frame
    if (frames.empty()) return hresultFromErrno(ENODATA);
    return S_OK;
}

void FileCamera::nativeSize(int* width, int* height) const {
    *width = frameWidth;
    *height = frameHeight;
}

HRESULT FileCamera::start(int width, int height, platform::FrameSink* sink) {
    if (width != frameWidth || height != frameHeight) return VFW_E_INVALIDMEDIATYPE;
    this->sink = sink;
    return S_OK;
}

void FileCamera::framePulled() {
    if (!sink || frames.empty()) return;
    size_t index = nextFrame < frameCount() ? nextFrame++ : frameCount() - 1;
    if (loop && nextFrame == frameCount()) nextFrame = 0;
    sink->deliverFrame(frames.data() + index * frameSize, frameSize);
}
