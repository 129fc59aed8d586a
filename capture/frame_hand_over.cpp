#include "capture/frame_hand_over.h"

#include <cstring>

void FrameHandOver::plan(size_t bytes) {
    frameBytes = bytes;
    for (auto& buffer : buffers) buffer.reset(new unsigned char[bytes]());
    filling = 0;
    reading = 1;
    newest = 2;
}

void FrameHandOver::put(const unsigned char* frame, size_t bytes) {
    if (bytes != frameBytes || bytes == 0) return;
    std::memcpy(buffers[filling].get(), frame, bytes);
    filling = newest.exchange(filling | fresh) & ~fresh;  // an untaken older frame is filled next
}

bool FrameHandOver::take(unsigned char* frame) {
    if (!(newest.load() & fresh)) return false;
    reading = newest.exchange(reading) & ~fresh;
    std::memcpy(frame, buffers[reading].get(), frameBytes);
    return true;
}
