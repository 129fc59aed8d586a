// A V4L2 video capture device as a video input device: memory-mapped streaming on a thread of
// its own at the camera's fastest rate, every format libv4lconvert knows converted to
// blue-green-red, scaled to the size asked for when the camera cannot give it (cropped to its
// shape, never stretched), rows turned bottom-up.
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

    // Take frames from the camera in this pixel format (a V4L2 four-character code) instead
    // of the one libv4lconvert prefers: how tests reach the formats webcams send.
    void preferSourceFormat(uint32_t fourcc) { sourceFormat = fourcc; }

    // Buffers the capture thread dropped, for tests and diagnostics.
    std::atomic<long> framesDropped{0};
    // What the camera streams: its pixel format, size and frame interval (seconds as a fraction).
    std::atomic<uint32_t> streamFormat{0}, streamWidth{0}, streamHeight{0};
    std::atomic<uint32_t> streamInterval[2] = {{0}, {0}};

private:
    struct Buffer {
        void* start = nullptr;
        size_t length = 0;
    };

    int openNode(const std::string& node);  // 0 or an errno value
    int configure();                        // 0 or an errno value; fd open
    int chooseFormat(v4l2_format* camera);  // 0 or an errno value
    void askFastestRate(const v4l2_pix_format& pix);
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
    uint32_t sourceFormat = 0;  // 0: libv4lconvert's choice

    int width = 0, height = 0;  // what the sink receives
    std::vector<Buffer> buffers;
    FrameIntake intake;
    FrameSink* sink = nullptr;
    int ioErrors = 0;  // DQBUF failures with EIO in a row

    std::thread thread;
    std::atomic<bool> stopping{false};
};

void listV4l2Cameras(VideoDeviceList* devices);

// Of the sizes a camera offers, the one to take for frames of width x height: the smallest of
// their shape that is at least as large; else the smallest at least as large; else the largest.
// (0, 0) when it offers none.
struct FrameSize {
    uint32_t width, height;
};
FrameSize chooseFrameSize(const std::vector<FrameSize>& offered, int width, int height);

}  // namespace platform
