#include "tests/support/testcam/file_camera.h"

#include "image/frame_scaler.h"
#include "platform/directshow.h"

#include <cerrno>
#include <cstdio>
#include <memory>

static std::shared_ptr<FileCamera> installed;

void FileCamera::install(const char* path, int fileWidth, int fileHeight, bool loop) {
    installed = std::make_shared<FileCamera>(path, fileWidth, fileHeight, loop);
    auto& listers = platform::videoDeviceListers();
    listers.insert(listers.begin(), [](platform::VideoDeviceList* devices) { devices->push_back(installed); });
}

HRESULT FileCamera::open() {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return hresultFromErrno(errno);
    const size_t fileFrameSize = (size_t)fileWidth * fileHeight * 3;
    std::vector<unsigned char> frame(fileFrameSize);
    FrameScaler scaler;
    scaler.plan(fileWidth, fileHeight, frameWidth, frameHeight);
    frames.clear();
    while (std::fread(frame.data(), 1, fileFrameSize, file) == fileFrameSize) {  // a partial frame is none
        frames.resize(frames.size() + frameSize);
        scaler.scale(frame.data(), &frames[frames.size() - frameSize], false);
    }
    std::fclose(file);
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
