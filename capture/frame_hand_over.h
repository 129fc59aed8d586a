// The hand-over between a camera's own thread and the frame loop: the camera puts each whole
// frame in, the loop copies the newest one out. Three buffers (the one being filled, the one
// being read, and the newest whole frame between them) trade places by one atomic exchange on
// each side, so neither side ever waits for the other and a copy never mixes two frames.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>

class FrameHandOver {
public:
    // Room for frames of `bytes`, allocated here, before the camera runs.
    void plan(size_t bytes);
    // The camera's thread: a frame of exactly the planned size; any other is dropped.
    void put(const unsigned char* frame, size_t bytes);
    // The loop: copies the newest frame put since the last take; false (frame untouched) when
    // none has come.
    bool take(unsigned char* frame);

private:
    static const int fresh = 4;  // beside a buffer's index: put and not yet taken
    std::unique_ptr<unsigned char[]> buffers[3];
    size_t frameBytes = 0;
    int filling = 0, reading = 1;  // each side's own buffer
    std::atomic<int> newest{2};
};
