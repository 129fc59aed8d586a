// The Linux camera: the first usable V4L2 video capture device (colour before grey; one busy in
// another program, or that needs a media controller, passed over), streaming memory-mapped
// buffers on a thread of its own at up to 30 frames a second; every format it sends converted to
// blue-green-red, scaled to the frame size (cropped to its shape, never stretched), rows turned
// bottom-up, and handed over to the frame loop. When the stream breaks (unplugged, or silent
// for two seconds) it waits for the same camera to come back, or after a while takes another.
#pragma once

#include <linux/videodev2.h>

#include <atomic>
#include <chrono>
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
    const char* name() const override { return cameraName.c_str(); }
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

    bool openUsable(bool sameOnly);
    int tryNode(const std::string& node, bool sameOnly, bool allowGrey);
    int configure();                                              // 0 or an errno value; fd open
    int chooseFormat(v4l2_format* camera, v4l2_fract* interval);  // 0 or an errno value
    void askRate(v4l2_fract interval);
    void release();  // back to no fd, no buffers
    void capture();  // the thread
    bool takeFrame();
    void deliver(const v4l2_buffer& buffer);
    void reconnect();

    V4l2System& system;
    FrameTap* tap;
    std::string cameraName, cameraCard, cameraBus;  // the camera in use, as it names itself
    std::string nodeCard;    // the card of the node tried last
    std::string failedNode;  // the first camera that could not be used, named, and why
    int failedError = 0;
    char failureText[512] = {};
    int fd = -1;
    v4lconvert_data* converter = nullptr;
    uint32_t sourceFormat = 0;  // 0: libv4lconvert's choice

    int width = 0, height = 0;  // the frames handed over
    std::vector<Buffer> buffers;
    FrameIntake intake;
    FrameHandOver handOver;
    int ioErrors = 0;  // DQBUF failures with EIO in a row
    std::chrono::steady_clock::time_point lastFrameAt;

    std::thread thread;
    std::atomic<bool> stopping{false};
};
