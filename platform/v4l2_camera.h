// A V4L2 video capture device as a video input device: memory-mapped streaming on a thread of
// its own, every format libv4lconvert knows converted to blue-green-red, scaled to the size
// asked for when the camera cannot give it, rows turned bottom-up.
#pragma once

#include <linux/videodev2.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/frame_intake.h"
#include "platform/v4l2_system.h"
#include "platform/video_device.h"

struct v4lconvert_data;

namespace platform {

class V4l2Camera final : public VideoDevice {
public:
    V4l2Camera(V4l2System& system, std::string path);
    ~V4l2Camera() override;

    std::string name() const override { return path; }
    HRESULT open() override;
    void nativeSize(int* width, int* height) const override;
    HRESULT start(int width, int height, FrameSink* sink) override;
    void stop() override;

    // Whether a node is a video capture device that streams (metadata nodes are not).
    static bool isCaptureNode(V4l2System& system, const std::string& path);

    // What the capture thread has seen, for tests and diagnostics.
    std::atomic<long> framesDelivered{0}, framesDropped{0}, reconnections{0};

private:
    struct Buffer {
        void* start = nullptr;
        size_t length = 0;
    };

    int openNode(const std::string& node);  // 0 or an errno value
    int configure();                        // 0 or an errno value; fd open
    void release();                         // back to no fd, no buffers
    void capture();                         // the thread
    bool takeFrame();                       // false when the device is gone
    void deliver(const v4l2_buffer& buffer);
    void reconnect();

    V4l2System& system;
    std::string path;
    int fd = -1;
    v4lconvert_data* converter = nullptr;
    int nativeWidth = 0, nativeHeight = 0;

    int width = 0, height = 0;  // what the sink receives
    std::vector<Buffer> buffers;
    FrameIntake intake;
    FrameSink* sink = nullptr;
    int ioErrors = 0;  // DQBUF failures with EIO in a row

    std::thread thread;
    std::atomic<bool> stopping{false};
};

void listV4l2Cameras(VideoDeviceList* devices);

}  // namespace platform
