// A fake V4L2 kernel for tests: video nodes that answer the ioctls a capture program uses
// (QUERYCAP, ENUM_FMT, ENUM_FRAMESIZES, TRY/S/G_FMT, REQBUFS, QUERYBUF, QBUF, DQBUF,
// STREAMON/OFF), with memory-mapped buffers, poll, and faults on demand. File descriptors are
// real (of /dev/null), so libv4lconvert can fstat them.
#pragma once

#include <linux/version.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "v4l2/v4l2_system.h"
#include "v4l2/v4l2_camera.h"

struct FakeNode {
    std::string path;
    std::string card = "Fake camera", bus = "fake";
    uint32_t caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING;
    std::vector<uint32_t> formats = {V4L2_PIX_FMT_YUYV};
    uint32_t width = 160, height = 120;
    uint32_t step = 0;  // sizes from width x height up, in steps of this (0: that size alone)
    // A fault a camera's firmware gets into, and out of when it is opened again: buffers that
    // cannot be queued again.
    std::atomic<bool> qbufFails{false};
    // Writes frame number n in the current format into data (capacity bytes) and returns the
    // bytes used; the default is mid-grey YUYV.
    std::function<size_t(const v4l2_pix_format&, unsigned char* data, size_t capacity, long n)> fill;

    v4l2_pix_format current{};
    long framesSent = 0, opens = 0;
};

class FakeV4l2 final : public V4l2System {
public:
    FakeV4l2();
    // How long poll waits for each frame: a camera's pace, or none to measure our own cost.
    int frameIntervalMs = 2;
    ~FakeV4l2() override;

    FakeNode& add(const std::string& path);

    std::vector<std::string> deviceNodes() override;
    std::string cardName(const std::string& node) override;
    int open(const char* path, int flags) override;
    int close(int fd) override;
    int ioctl(int fd, unsigned long request, void* argument) override;
    void* mmap(size_t length, int prot, int flags, int fd, off_t offset) override;
    int munmap(void* address, size_t length) override;
    int poll(struct pollfd* fds, nfds_t count, int timeoutMilliseconds) override;

private:
    struct Open {
        std::string path;
        std::vector<std::vector<unsigned char>> buffers;
        std::vector<unsigned> queued;
        bool streaming = false;
    };
    int fail(int error);
    void negotiate(FakeNode& node, v4l2_format* format);

    std::mutex lock;
    std::map<std::string, FakeNode> nodes;
    std::map<int, Open> open_;
};

// Keeps the newest frame a camera hands over, and counts them and the different ones.
class RecordingTap final : public FrameTap {
public:
    void frameHandedOver(const unsigned char* data, size_t bytes) override {
        std::lock_guard<std::mutex> guard(lock);
        if (frames == 0 || frame.size() != bytes || !std::equal(frame.begin(), frame.end(), data)) differing++;
        frame.assign(data, data + bytes);
        frames++;
    }
    std::vector<unsigned char> latest() {
        std::lock_guard<std::mutex> guard(lock);
        return frame;
    }
    long count() {
        std::lock_guard<std::mutex> guard(lock);
        return frames;
    }
    long distinct() {  // frames that differed from the one before
        std::lock_guard<std::mutex> guard(lock);
        return differing;
    }

private:
    std::mutex lock;
    std::vector<unsigned char> frame;
    long frames = 0, differing = 0;
};

// Waits until the condition holds, three seconds at most (or as long as given).
template <class Condition>
bool waitFor(Condition condition, std::chrono::milliseconds longest = std::chrono::seconds(3)) {
    const auto end = std::chrono::steady_clock::now() + longest;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

// Makes FakeV4l2 the system the V4L2 cameras use, and the V4L2 camera (no other camera system)
// the one grids start.
class FakeV4l2Scope {
public:
    FakeV4l2Scope();
    ~FakeV4l2Scope();
    FakeV4l2 v4l2;
};
