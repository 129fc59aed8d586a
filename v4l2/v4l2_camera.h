// The Linux camera: the first V4L2 video capture device, streaming memory-mapped buffers on a
// thread of its own at the camera's fastest rate; every format libv4lconvert knows converted to
// blue-green-red, scaled to the frame size (cropped to its shape, never stretched), rows turned
// bottom-up, and handed over to the frame loop. Unplugged, it waits for a camera to come back.
#pragma once

#include <linux/videodev2.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "capture/camera.h"
#include "capture/frame_hand_over.h"
#include "v4l2/frame_intake.h"
#include "v4l2/v4l2_system.h"

struct v4lconvert_data;

// Sees every frame the camera hands over, on the camera's own thread: for tests and
// measurements.
class FrameTap {
public:
    virtual void frameHandedOver(const unsigned char* bgrBottomUp, size_t bytes) = 0;

protected:
    ~FrameTap() = default;
};

class V4l2Camera final : public Camera {
public:
    explicit V4l2Camera(V4l2System& system, FrameTap* tap = nullptr);
    ~V4l2Camera() override;

    bool start(int width, int height) override;
    bool copyFrame(unsigned char* frame) override { return handOver.take(frame); }
    const char* name() const override { return path.c_str(); }
    const char* failure() const override { return failureText; }
    void stop();

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

    std::vector<std::string> captureNodes();
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
    FrameTap* tap;
    std::string path;
    char failureText[512] = {};
    int fd = -1;
    v4lconvert_data* converter = nullptr;
    uint32_t sourceFormat = 0;  // 0: libv4lconvert's choice

    int width = 0, height = 0;  // the frames handed over
    std::vector<Buffer> buffers;
    FrameIntake intake;
    FrameHandOver handOver;
    int ioErrors = 0;  // DQBUF failures with EIO in a row

    std::thread thread;
    std::atomic<bool> stopping{false};
};
