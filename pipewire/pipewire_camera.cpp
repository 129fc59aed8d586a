#include "pipewire/pipewire_camera.h"

#include <spa/buffer/meta.h>
#include <spa/param/buffers.h>
#include <spa/utils/dict.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

// PipeWire's callbacks, each handing on to the camera. They run on PipeWire's thread.
struct PipeWireEvents {
    static void coreDone(void* data, uint32_t id, int seq) {
        auto* camera = static_cast<PipeWireCamera*>(data);
        if (id != PW_ID_CORE) return;
        if (seq == camera->registrySyncedAt) camera->registrySyncedAt = -1;
        for (auto& node : camera->nodes)
            if (node->formatsAskedAt == seq) node->formatsAskedAt = -1;
    }
    static void coreError(void* data, uint32_t id, int, int result, const char*) {
        auto* camera = static_cast<PipeWireCamera*>(data);
        if (id == PW_ID_CORE && result == -EPIPE) camera->daemonGone = true;  // the daemon went away
    }
    static void global(void* data, uint32_t id, uint32_t, const char* type, uint32_t, const spa_dict* props) {
        const char* mediaClass = props ? spa_dict_lookup(props, PW_KEY_MEDIA_CLASS) : nullptr;
        const char* role = props ? spa_dict_lookup(props, PW_KEY_MEDIA_ROLE) : nullptr;
        if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0 && mediaClass && role &&
            std::strcmp(mediaClass, "Video/Source") == 0 && std::strcmp(role, "Camera") == 0)
            static_cast<PipeWireCamera*>(data)->addNode(id, props);
    }
    static void globalRemove(void* data, uint32_t id) { static_cast<PipeWireCamera*>(data)->removeNode(id); }
    // The same camera is the same device: for a V4L2 camera the same card on the same bus, as
    // the V4L2 camera has it (a camera that comes back may do so at another /dev/video node);
    // else the device numbers or the path PipeWire gives it, or at least its name.
    static void nodeInfo(void* data, const pw_node_info* info) {
        auto* node = static_cast<PipeWireCamera::Node*>(data);
        auto value = [&](const char* key) {
            const char* found = info->props ? spa_dict_lookup(info->props, key) : nullptr;
            return std::string(found ? found : "");
        };
        const std::string card = value("api.v4l2.cap.card"), bus = value("api.v4l2.cap.bus_info");
        if (!card.empty() && !bus.empty()) {
            node->identity = "v4l2:" + card + "@" + bus;
            return;
        }
        for (const char* key : {"device.devids", PW_KEY_OBJECT_PATH, PW_KEY_NODE_NAME})
            if (!value(key).empty()) {
                node->identity = key + ("=" + value(key));
                return;
            }
    }
    static void nodeParam(void* data, int, uint32_t id, uint32_t, uint32_t, const spa_pod* param) {
        auto* node = static_cast<PipeWireCamera::Node*>(data);
        if (id == SPA_PARAM_EnumFormat) addOfferedModes(param, node->camera->width, node->camera->height, &node->modes);
    }
    static void streamState(void* data, pw_stream_state, pw_stream_state state, const char* error) {
        auto* camera = static_cast<PipeWireCamera*>(data);
        if (state != PW_STREAM_STATE_ERROR && state != PW_STREAM_STATE_UNCONNECTED) return;
        camera->noteFailure("cannot start " + camera->streamName + ": " + (error ? error : "the stream ended"));
        camera->streamBroken();
    }
    static void streamParam(void* data, uint32_t id, const spa_pod* param) {
        auto* camera = static_cast<PipeWireCamera*>(data);
        if (id != SPA_PARAM_Format || !param) return;
        FrameFormat format{PixelLayout::bgr24, 0, 0};
        uint32_t rate[2] = {0, 1};
        if (!frameFormatOf(param, &format, rate) || !camera->configureFrames(format)) {
            camera->noteFailure("cannot start " + camera->streamName + ": it sends no format Quiltcam reads");
            camera->streamBroken();
            return;
        }
        camera->streamed.intervalNumerator = rate[1];
        camera->streamed.intervalDenominator = rate[0];
        // Memory PipeWire maps for us (0.3 maps no DMA buffers), and the header that flags a
        // corrupted frame.
        uint8_t buffer[512];
        spa_pod_builder builder{};
        builder.data = buffer;
        builder.size = sizeof buffer;
        const spa_pod* params[2] = {
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_dataType,
                SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemPtr) | (1 << SPA_DATA_MemFd)))),
            static_cast<const spa_pod*>(spa_pod_builder_add_object(
                &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
                SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header)))),
        };
        pw_stream_update_params(camera->stream, params, 2);
    }
    static void process(void* data) {
        auto* camera = static_cast<PipeWireCamera*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(camera->stream);
        if (!buffer) return;
        FramePlane planes[3];
        camera->deliver(planes, planesOf(buffer->buffer, planes));
        pw_stream_queue_buffer(camera->stream, buffer);
    }
    static void tick(void* data, uint64_t) { static_cast<PipeWireCamera*>(data)->watch(); }

    static const pw_core_events core;
    static const pw_registry_events registry;
    static const pw_node_events node;
    static const pw_stream_events stream;
};

template <class Events>
static Events events(int version) {
    Events made{};
    made.version = (uint32_t)version;
    return made;
}
const pw_core_events PipeWireEvents::core = [] {
    auto made = events<pw_core_events>(PW_VERSION_CORE_EVENTS);
    made.done = coreDone;
    made.error = coreError;
    return made;
}();
const pw_registry_events PipeWireEvents::registry = [] {
    auto made = events<pw_registry_events>(PW_VERSION_REGISTRY_EVENTS);
    made.global = global;
    made.global_remove = globalRemove;
    return made;
}();
const pw_node_events PipeWireEvents::node = [] {
    auto made = events<pw_node_events>(PW_VERSION_NODE_EVENTS);
    made.info = nodeInfo;
    made.param = nodeParam;
    return made;
}();
const pw_stream_events PipeWireEvents::stream = [] {
    auto made = events<pw_stream_events>(PW_VERSION_STREAM_EVENTS);
    made.state_changed = streamState;
    made.param_changed = streamParam;
    made.process = process;
    return made;
}();

PipeWireCamera::PipeWireCamera(FrameTap* tap) : CameraCore(tap) {}

PipeWireCamera::~PipeWireCamera() {
    stop();
    halt();  // what a launch that failed half-way left
}

bool PipeWireCamera::connect() {
    listedOnce = false;
    core = pw_context_connect(context, nullptr, 0);
    if (!core) return false;
    pw_core_add_listener(core, &coreListener, &PipeWireEvents::core, this);
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry, &registryListener, &PipeWireEvents::registry, this);
    registrySyncedAt = pw_core_sync(core, PW_ID_CORE, 0);
    return true;
}

void PipeWireCamera::disconnect() {
    close();
    for (auto& node : nodes) {
        spa_hook_remove(&node->listener);
        pw_proxy_destroy(node->proxy);
    }
    nodes.clear();
    ranked.clear();
    if (registry) {
        spa_hook_remove(&registryListener);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    }
    if (core) {
        spa_hook_remove(&coreListener);
        pw_core_disconnect(core);
    }
    registry = nullptr;
    core = nullptr;
}

// A camera node: bound, to hear its full name and what it offers; its formats are known once the
// daemon has answered a sync asked after them.
void PipeWireCamera::addNode(uint32_t id, const spa_dict* props) {
    auto node = std::make_unique<Node>();
    node->camera = this;
    node->id = id;
    const char* priority = spa_dict_lookup(props, PW_KEY_PRIORITY_SESSION);
    const char* serial = spa_dict_lookup(props, PW_KEY_OBJECT_SERIAL);
    const char* description = spa_dict_lookup(props, PW_KEY_NODE_DESCRIPTION);
    const char* nodeName = spa_dict_lookup(props, PW_KEY_NODE_NAME);
    node->priority = priority ? std::atoi(priority) : 0;
    node->serial = serial ? serial : std::to_string(id);
    node->description = description ? description : nodeName ? nodeName : "camera " + node->serial;
    node->proxy = static_cast<pw_proxy*>(pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
    if (!node->proxy) return;
    pw_node_add_listener(reinterpret_cast<pw_node*>(node->proxy), &node->listener, &PipeWireEvents::node, node.get());
    pw_node_enum_params(reinterpret_cast<pw_node*>(node->proxy), 0, SPA_PARAM_EnumFormat, 0, UINT32_MAX, nullptr);
    node->formatsAskedAt = pw_core_sync(core, PW_ID_CORE, 0);
    nodes.push_back(std::move(node));
}

void PipeWireCamera::removeNode(uint32_t id) {
    if (id == streamNode) streamBroken();  // unplugged
    for (auto node = nodes.begin(); node != nodes.end(); ++node)
        if ((*node)->id == id) {
            ranked.erase(std::remove(ranked.begin(), ranked.end(), node->get()), ranked.end());
            spa_hook_remove(&(*node)->listener);
            pw_proxy_destroy((*node)->proxy);
            nodes.erase(node);
            return;
        }
}

// The camera nodes whose formats are known, in the session manager's order; none until the
// daemon has listed its objects (and, the first time, what each offers).
bool PipeWireCamera::list(std::vector<std::string>* identities, bool) {
    const auto known = [](const std::unique_ptr<Node>& n) { return n->formatsAskedAt < 0; };
    if (!core || registrySyncedAt >= 0 || (!listedOnce && !std::all_of(nodes.begin(), nodes.end(), known)))
        return false;
    listedOnce = true;
    ranked.clear();
    for (auto& node : nodes)
        if (known(node)) ranked.push_back(node.get());
    std::stable_sort(ranked.begin(), ranked.end(), [](Node* a, Node* b) { return a->priority > b->priority; });
    identities->clear();
    for (Node* node : ranked) identities->push_back(node->identity.empty() ? "node " + node->serial : node->identity);
    return true;
}

// A stream from the node in the mode the shared choice picks from what it offers, asking for
// exactly that.
CameraTried PipeWireCamera::open(int index, bool) {
    Node& node = *ranked[(size_t)index];
    streamName = node.description;
    std::vector<CameraMode> modes;
    std::vector<size_t> offered;
    for (size_t i = 0; i < node.modes.size(); i++)
        if (!onlyFormat || fourccOf(node.modes[i].layout) == onlyFormat) {
            modes.push_back(node.modes[i].mode);
            offered.push_back(i);
        }
    const int chosen = chooseMode(modes, width, height);
    const char* error = nullptr;
    if (chosen < 0) error = "it sends no format Quiltcam reads";
    pw_properties* props = error ? nullptr
                                 : pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                                     PW_KEY_MEDIA_ROLE, "Camera", PW_KEY_TARGET_OBJECT,
                                                     node.serial.c_str(), nullptr);
    if (!error && !(stream = pw_stream_new(core, "Quiltcam", props))) error = "PipeWire cannot make a stream";
    if (!error) {
        pw_stream_add_listener(stream, &streamListener, &PipeWireEvents::stream, this);
        uint8_t buffer[1024];
        spa_pod_builder builder{};
        builder.data = buffer;
        builder.size = sizeof buffer;
        const spa_pod* format = formatFor(node.modes[offered[(size_t)chosen]], &builder);
        streamNode = node.id;
        // The session manager is not to move the stream to another camera: which one is ours to say.
        const auto flags = (pw_stream_flags)(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                             PW_STREAM_FLAG_DONT_RECONNECT);
        if (pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, &format, 1) < 0) {
            close();
            error = "PipeWire cannot connect the stream";
        }
    }
    if (error) {
        noteFailure("cannot start " + node.description + ": " + error);
        return CameraTried::passedOver;
    }
    named(node.description);
    return CameraTried::started;
}

void PipeWireCamera::close() {
    if (stream) {
        spa_hook_remove(&streamListener);
        pw_stream_destroy(stream);
    }
    stream = nullptr;
    streamNode = 0;
}

// Every quarter second, on PipeWire's thread: a daemon gone is let go of and connected to again;
// then the camera's life.
void PipeWireCamera::watch() {
    if (daemonGone) {
        disconnect();
        daemonGone = false;
    }
    if (!core) connect();
    tick();
}

// Whether a daemon may answer: its socket is where clients look for it (unless the user names
// another). Without one, PipeWire is not started at all: a machine with PipeWire's library but
// not its daemon has no client configuration either, and PipeWire would say so on stderr.
static bool daemonMayAnswer() {
    if (std::getenv("PIPEWIRE_REMOTE")) return true;
    for (const char* folder : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
        const char* path = std::getenv(folder);
        if (path && access((std::string(path) + "/pipewire-0").c_str(), F_OK) == 0) return true;
    }
    return false;
}

bool PipeWireCamera::launch() {
    if (!daemonMayAnswer()) {
        noteFailure("no PipeWire daemon answers");
        return false;
    }
    pw_init(nullptr, nullptr);
    loop = pw_thread_loop_new("pipewire", nullptr);
    context = loop ? pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0) : nullptr;
    if (!context || pw_thread_loop_start(loop) < 0) {
        noteFailure("PipeWire cannot start");
        return false;
    }
    pw_thread_loop_lock(loop);
    const bool answered = connect();
    if (answered) {
        timer = pw_loop_add_timer(pw_thread_loop_get_loop(loop), PipeWireEvents::tick, this);
        timespec soon{0, 1}, quarter{0, 250000000};
        pw_loop_update_timer(pw_thread_loop_get_loop(loop), timer, &soon, &quarter, false);
    }
    pw_thread_loop_unlock(loop);
    if (!answered) noteFailure("no PipeWire daemon answers");
    return answered;
}

void PipeWireCamera::halt() {
    if (loop) {
        pw_thread_loop_lock(loop);
        if (timer) pw_loop_destroy_source(pw_thread_loop_get_loop(loop), timer);
        timer = nullptr;
        disconnect();
        pw_thread_loop_unlock(loop);
        pw_thread_loop_stop(loop);
    }
    if (context) pw_context_destroy(context);
    if (loop) pw_thread_loop_destroy(loop);
    context = nullptr;
    loop = nullptr;
}
