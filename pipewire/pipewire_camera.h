// The PipeWire camera: the cameras of the desktop's camera service, which reaches cameras behind
// libcamera and shares one camera among every program that asks, as a camera system's
// primitives. It lists the camera nodes the session's daemon has (Video/Source, role Camera) in
// the session manager's order, each known by its device; opens one in the mode the shared choice
// picks from what it offers, asking for exactly that (PipeWire converts no video); and reads its
// buffers on PipeWire's own thread, which also keeps the camera's life every quarter second. A
// daemon gone is connected to again; meanwhile its cameras are not listed.
#pragma once

#include <pipewire/pipewire.h>

#include <memory>
#include <string>
#include <vector>

#include "capture/camera_core.h"
#include "pipewire/pipewire_frames.h"

class PipeWireCamera final : public CameraCore {
public:
    explicit PipeWireCamera(FrameTap* tap = nullptr);
    ~PipeWireCamera() override;

    const char* cameraSystem() const override { return "pipewire"; }

    // Take frames in this format only (a four-character code, as V4L2 names formats): tests.
    void preferFormat(uint32_t fourcc) { onlyFormat = fourcc; }

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

    bool launch() override;
    void halt() override;
    bool list(std::vector<std::string>* identities, bool looking) override;
    CameraTried open(int index, bool allowGrey) override;
    void close() override;
    const char* noCamera() const override { return "PipeWire lists no camera"; }

    bool connect();
    void disconnect();
    void addNode(uint32_t id, const spa_dict* props);
    void removeNode(uint32_t id);
    void watch();

    friend struct PipeWireEvents;
    uint32_t onlyFormat = 0;

    // PipeWire's objects, touched only with the loop's lock held or on its thread.
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    pw_registry* registry = nullptr;
    pw_stream* stream = nullptr;
    spa_hook coreListener{}, registryListener{}, streamListener{};
    spa_source* timer = nullptr;
    std::vector<std::unique_ptr<Node>> nodes;
    std::vector<Node*> ranked;  // as listed last
    uint32_t streamNode = 0;
    int registrySyncedAt = -1;  // the first sync, until it is done
    bool daemonGone = false, listedOnce = false;
    std::string streamName;  // the camera the stream is from
};
