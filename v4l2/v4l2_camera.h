// The V4L2 camera: the kernel's video capture devices, opened directly, as a camera system's
// primitives. It lists the /dev/video* nodes that are cameras (not metadata nodes, nor nodes
// that need a media controller), each known by its card on its bus (the same camera when it
// comes back at another node); opens one in the size, format and rate the shared choice picks
// from those it lists (what the frame intake cannot read, through libv4lconvert), streaming
// memory-mapped buffers on a thread of its own, which also keeps the camera's life.
#pragma once

#include <linux/videodev2.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "capture/camera_core.h"
#include "capture/camera_mode.h"
#include "v4l2/v4l2_system.h"

struct v4lconvert_data;

class V4l2Camera final : public CameraCore {
public:
    explicit V4l2Camera(V4l2System& system, FrameTap* tap = nullptr);
    ~V4l2Camera() override;

    const char* cameraSystem() const override { return "v4l2"; }

    // Take frames from the camera in this pixel format (a V4L2 four-character code) only: how
    // tests reach the formats webcams send.
    void preferSourceFormat(uint32_t fourcc) { sourceFormat = fourcc; }

private:
    struct Node {
        std::string path, identity, card;
        int openError;  // why it would not open, or 0
    };
    struct Buffer {
        void* start = nullptr;
        size_t length = 0;
    };

    bool launch() override;
    void halt() override;
    bool list(std::vector<std::string>* identities, bool looking) override;
    CameraTried open(int index, bool allowGrey) override;
    void close() override { release(); }
    const char* noCamera() const override { return "no video capture device found"; }

    int configure();                                              // 0 or an errno value; fd open
    int chooseFormat(v4l2_format* camera, v4l2_fract* interval);  // 0 or an errno value
    int chooseConverted(v4l2_format* camera, v4l2_fract* interval);
    void listModes(uint32_t fourcc, int rank, std::vector<CameraMode>* modes, std::vector<uint32_t>* formats);
    void askRate(v4l2_fract interval);
    void release();  // back to no fd, no buffers
    void capture();  // the thread
    void takeFrame();
    void deliverBuffer(const v4l2_buffer& buffer);

    V4l2System& system;
    std::vector<Node> nodes;  // as listed last
    int fd = -1;
    bool broken = false;  // the stream open has broken: nothing more to take from it
    v4lconvert_data* converter = nullptr;  // for formats the intake cannot read
    bool compressed = false;               // the camera's format, which libv4lconvert decodes
    v4l2_format cameraFormat{}, convertedFormat{};
    std::vector<unsigned char> converted;
    uint32_t sourceFormat = 0;  // 0: the shared choice
    std::vector<Buffer> buffers;
    int ioErrors = 0;  // DQBUF failures with EIO in a row

    std::thread thread;
    std::atomic<bool> stopping{false};
};
