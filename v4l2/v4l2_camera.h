// The V4L2 camera: the first usable V4L2 video capture device (colour before grey; one busy in
// another program, or that needs a media controller, passed over), streaming memory-mapped
// buffers on a thread of its own at up to 30 frames a second, in the size, format and rate the
// shared choice picks from those it lists; every frame through the frame intake (what the
// intake cannot read, through libv4lconvert first), and handed over to the frame loop. When the
// stream breaks (unplugged, or silent for two seconds) it waits for the same camera to come
// back, or after a while takes another.
#pragma once

#include <linux/videodev2.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "capture/camera.h"
#include "capture/camera_mode.h"
#include "capture/frame_hand_over.h"
#include "capture/frame_intake.h"
#include "v4l2/v4l2_system.h"

struct v4lconvert_data;

class V4l2Camera final : public Camera {
public:
    explicit V4l2Camera(V4l2System& system, FrameTap* tap = nullptr);
    ~V4l2Camera() override;

    bool start(int width, int height) override;
    bool copyFrame(unsigned char* frame) override { return handOver.take(frame); }
    const char* name() const override { return cameraName.c_str(); }
    const char* failure() const override { return failureText; }
    bool foundCamera() const override { return !failedNode.empty(); }
    const char* cameraSystem() const override { return "v4l2"; }
    const CameraStream* streamDescription() const override { return &streamed; }
    void stop();

    // Take frames from the camera in this pixel format (a V4L2 four-character code) only: how
    // tests reach the formats webcams send.
    void preferSourceFormat(uint32_t fourcc) { sourceFormat = fourcc; }

    // Buffers the capture thread dropped, for tests and diagnostics.
    std::atomic<long> framesDropped{0};

private:
    struct Buffer {
        void* start = nullptr;
        size_t length = 0;
    };

    bool openUsable(bool sameOnly);
    int tryNode(const std::string& node, bool sameOnly, bool allowGrey);
    int configure();                                              // 0 or an errno value; fd open
    int chooseFormat(v4l2_format* camera, v4l2_fract* interval);  // 0 or an errno value
    int chooseConverted(v4l2_format* camera, v4l2_fract* interval);
    void listModes(uint32_t fourcc, int rank, std::vector<CameraMode>* modes, std::vector<uint32_t>* formats);
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
    v4lconvert_data* converter = nullptr;  // for formats the intake cannot read
    v4l2_format cameraFormat{}, convertedFormat{};
    std::vector<unsigned char> converted;
    uint32_t sourceFormat = 0;  // 0: the shared choice
    CameraStream streamed;

    int width = 0, height = 0;  // the frames handed over
    std::vector<Buffer> buffers;
    FrameIntake intake;
    FrameHandOver handOver;
    int ioErrors = 0;  // DQBUF failures with EIO in a row
    std::chrono::steady_clock::time_point lastFrameAt;

    std::thread thread;
    std::atomic<bool> stopping{false};
};
