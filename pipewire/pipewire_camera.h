// The PipeWire camera: a camera of the desktop's camera service, which reaches cameras behind
// libcamera and shares one camera among every program that asks. Of the camera nodes the
// session's daemon lists (Video/Source, role Camera), the one the session manager ranks first
// that starts; its size, format and rate by the shared choice from what it offers. Buffers are
// read on PipeWire's own thread, through the frame intake, into the hand-over; the frame loop
// never waits for that thread. A stream that breaks (the node removed, an error, nothing for
// two seconds, the daemon gone) leaves the last picture; the same camera is taken again when it
// is listed again, and after two seconds the first other one.
#pragma once

#include <pipewire/pipewire.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "capture/camera.h"
#include "capture/frame_hand_over.h"
#include "pipewire/pipewire_frames.h"

class PipeWireCamera final : public Camera {
public:
    explicit PipeWireCamera(FrameTap* tap = nullptr);
    ~PipeWireCamera() override;

    bool start(int width, int height) override;
    bool copyFrame(unsigned char* frame) override { return handOver.take(frame); }
    const char* name() const override { return cameraName.c_str(); }
    const char* failure() const override { return failureText.c_str(); }
    bool foundCamera() const override { return listedCameras; }
    const char* cameraSystem() const override { return "pipewire"; }
    const CameraStream* streamDescription() const override { return &streamed; }

    // Take frames in this format only (a four-character code, as V4L2 names formats): tests.
    void preferFormat(uint32_t fourcc) { onlyFormat = fourcc; }

    std::atomic<long> framesDropped{0};

private:
    struct Node {
        PipeWireCamera* camera;
        uint32_t id;
        int priority;
        std::string serial, description, identity;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        std::vector<OfferedMode> modes;
        int formatsAskedAt = -1;  // the sync after its formats were asked for, until it is done
    };

    bool connect();
    void disconnect();
    void addNode(uint32_t id, const spa_dict* props);
    void removeNode(uint32_t id);
    bool startStream(Node& node);
    void stopStream();
    void watch();
    void lost();
    Node* best(bool sameOnly);
    bool allFormatsKnown() const;

    friend struct PipeWireEvents;
    FrameTap* tap;
    uint32_t onlyFormat = 0;
    int width = 0, height = 0;
    FrameHandOver handOver;
    PipeWireFrames frames;
    CameraStream streamed;
    std::string cameraName, failureText, identity;  // the camera in use, as PipeWire names it
    bool listedCameras = false;

    // PipeWire's objects, touched only with the loop's lock held or on its thread.
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener{}, registryListener{}, streamListener{};
    spa_source* timer = nullptr;
    std::vector<std::unique_ptr<Node>> nodes;
    uint32_t streamNode = 0;
    int registrySyncedAt = -1;  // the first sync, until it is done
    bool daemonGone = false, streamBroken = false, gotFrame = false;
    std::string streamError;
    std::chrono::steady_clock::time_point lastFrameAt, lostAt;
    bool isLost = false;
    std::set<uint32_t> failedSinceLoss;  // nodes tried since the loss that did not stream
};
