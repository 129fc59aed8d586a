#include "v4l2/v4l2_camera.h"

#include <fcntl.h>
#include <pthread.h>
#include <libv4lconvert.h>
#include <sys/mman.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "capture/frame_size.h"

static const unsigned bufferCount = 4;
// A device that keeps failing DQBUF with EIO this many times in a row is treated as gone.
static const int ioErrorsBeforeReconnect = 50;

V4l2Camera::V4l2Camera(V4l2System& system, FrameTap* tap) : system(system), tap(tap) {}

V4l2Camera::~V4l2Camera() {
    stop();
    release();
}

// Whether a node is a video capture device that streams (metadata nodes are not).
static bool isCaptureNode(V4l2System& system, const std::string& path) {
    const int fd = system.open(path.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) return false;
    v4l2_capability capability{};
    bool capture = false;
    if (system.ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0) {
        const uint32_t caps = (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps
                                                                                : capability.capabilities;
        capture = (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
    }
    system.close(fd);
    return capture;
}

int V4l2Camera::openNode(const std::string& node) {
    fd = system.open(node.c_str(), O_RDWR | O_NONBLOCK);
    if (fd < 0) return errno;
    // libv4lconvert needs QUERYCAP answered; a node that cannot answer is no camera.
    v4l2_capability capability{};
    if (system.ioctl(fd, VIDIOC_QUERYCAP, &capability) < 0) return errno ? errno : ENODEV;
    converter = newConverter(system, fd);
    return converter ? 0 : ENOMEM;
}

// The format to stream in: the source format libv4lconvert prefers (or the one asked for), at
// the size chooseFrameSize picks from what the camera lists for it.
int V4l2Camera::chooseFormat(v4l2_format* camera) {
    v4l2_format want{};
    want.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    want.fmt.pix.width = (uint32_t)width;
    want.fmt.pix.height = (uint32_t)height;
    want.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    want.fmt.pix.field = V4L2_FIELD_NONE;
    *camera = want;
    if (sourceFormat) camera->fmt.pix.pixelformat = sourceFormat;
    else if (v4lconvert_try_format(converter, &want, camera) < 0) return errno ? errno : EINVAL;

    std::vector<FrameSize> sizes;
    v4l2_frmsizeenum size{};
    size.pixel_format = camera->fmt.pix.pixelformat;
    while (system.ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0 && size.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
        sizes.push_back({size.discrete.width, size.discrete.height});
        size.index++;
    }
    const FrameSize chosen = chooseFrameSize(sizes, width, height);
    if (chosen.width > 0) {
        camera->fmt.pix.width = chosen.width;
        camera->fmt.pix.height = chosen.height;
    }
    if (sourceFormat) {
        if (system.ioctl(fd, VIDIOC_TRY_FMT, camera) < 0) return errno;
        return camera->fmt.pix.pixelformat == sourceFormat ? 0 : EINVAL;
    }
    // Asked at a size the camera has, libv4lconvert converts without cropping; asked at one
    // it has not (a camera that lists no sizes), it would crop or halve. Then take the
    // camera's nearest size whole, and let the scaler make the frame.
    want.fmt.pix.width = camera->fmt.pix.width;
    want.fmt.pix.height = camera->fmt.pix.height;
    if (v4lconvert_try_format(converter, &want, camera) < 0) return errno ? errno : EINVAL;
    if (camera->fmt.pix.width != want.fmt.pix.width || camera->fmt.pix.height != want.fmt.pix.height) {
        want.fmt.pix.width = camera->fmt.pix.width;
        want.fmt.pix.height = camera->fmt.pix.height;
        if (v4lconvert_try_format(converter, &want, camera) < 0) return errno ? errno : EINVAL;
    }
    return 0;
}

// Cameras start at whatever rate they were left at, often not their best: ask for the
// shortest frame interval they list at this format and size.
void V4l2Camera::askFastestRate(const v4l2_pix_format& pix) {
    v4l2_fract fastest{0, 0};
    v4l2_frmivalenum interval{};
    interval.pixel_format = pix.pixelformat;
    interval.width = pix.width;
    interval.height = pix.height;
    while (system.ioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0) {
        const v4l2_fract candidate =
            interval.type == V4L2_FRMIVAL_TYPE_DISCRETE ? interval.discrete : interval.stepwise.min;
        if (candidate.denominator > 0 && candidate.numerator > 0 &&
            (fastest.denominator == 0 ||
             (uint64_t)candidate.numerator * fastest.denominator < (uint64_t)fastest.numerator * candidate.denominator))
            fastest = candidate;
        if (interval.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;
        interval.index++;
    }
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (system.ioctl(fd, VIDIOC_G_PARM, &parameters) < 0) return;
    if (fastest.denominator > 0 && (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
        parameters.parm.capture.timeperframe = fastest;
        if (system.ioctl(fd, VIDIOC_S_PARM, &parameters) < 0) return;
    }
    streamInterval[0] = parameters.parm.capture.timeperframe.numerator;
    streamInterval[1] = parameters.parm.capture.timeperframe.denominator;
}

int V4l2Camera::configure() {
    v4l2_format camera{};
    if (const int error = chooseFormat(&camera)) return error;
    if (system.ioctl(fd, VIDIOC_S_FMT, &camera) < 0) return errno;
    const uint32_t cameraWidth = camera.fmt.pix.width, cameraHeight = camera.fmt.pix.height;
    if (cameraWidth == 0 || cameraHeight == 0 || cameraWidth > 8192 || cameraHeight > 8192) return EINVAL;
    askFastestRate(camera.fmt.pix);
    streamFormat = camera.fmt.pix.pixelformat;
    streamWidth = cameraWidth;
    streamHeight = cameraHeight;
    v4l2_requestbuffers request{};
    request.count = bufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (system.ioctl(fd, VIDIOC_REQBUFS, &request) < 0) return errno;
    if (request.count < 1) return ENOMEM;
    for (unsigned i = 0; i < request.count; i++) {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.index = i;
        if (system.ioctl(fd, VIDIOC_QUERYBUF, &buffer) < 0) return errno;
        void* start = system.mmap(buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buffer.m.offset);
        if (start == MAP_FAILED) return errno;
        buffers.push_back({start, buffer.length});
        if (system.ioctl(fd, VIDIOC_QBUF, &buffer) < 0) return errno;
    }
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (system.ioctl(fd, VIDIOC_STREAMON, &type) < 0) return errno;

    intake.configure(converter, camera, width, height);
    return 0;
}

void V4l2Camera::release() {
    if (fd >= 0 && !buffers.empty()) {
        v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        system.ioctl(fd, VIDIOC_STREAMOFF, &type);
    }
    for (Buffer& buffer : buffers) system.munmap(buffer.start, buffer.length);
    buffers.clear();
    if (converter) v4lconvert_destroy(converter);
    converter = nullptr;
    if (fd >= 0) system.close(fd);
    fd = -1;
}

// The capture devices in /dev/video* order. A camera we may not open is still the camera:
// opening it says why.
std::vector<std::string> V4l2Camera::captureNodes() {
    std::vector<std::string> cameras;
    for (const std::string& node : system.deviceNodes()) {
        const int probe = system.open(node.c_str(), O_RDWR | O_NONBLOCK);
        if (probe < 0) {
            if (errno == EACCES || errno == EPERM || errno == EBUSY) cameras.push_back(node);
            continue;
        }
        system.close(probe);
        if (isCaptureNode(system, node)) cameras.push_back(node);
    }
    return cameras;
}

bool V4l2Camera::start(int w, int h) {
    if (thread.joinable() || w <= 0 || h <= 0) return false;
    width = w;
    height = h;
    handOver.plan((size_t)w * h * 3);
    const std::vector<std::string> cameras = captureNodes();
    if (cameras.empty()) {
        std::snprintf(failureText, sizeof failureText, "no video capture device found");
        return false;
    }
    path = cameras.front();
    int error = openNode(path);
    if (!error) error = configure();
    if (error) {
        release();
        std::snprintf(failureText, sizeof failureText, "cannot open %s: %s", path.c_str(), std::strerror(error));
        return false;
    }
    stopping = false;
    thread = std::thread(&V4l2Camera::capture, this);
    pthread_setname_np(thread.native_handle(), "camera");  // as tools like top -H show it
    return true;
}

void V4l2Camera::stop() {
    stopping = true;
    if (thread.joinable()) thread.join();
}

void V4l2Camera::capture() {
    while (!stopping) {
        if (!takeFrame()) {
            release();
            reconnect();
        }
    }
}

// Waits a little for the next frame and hands it on; false when the device has gone.
bool V4l2Camera::takeFrame() {
    pollfd ready{fd, POLLIN, 0};
    const int polled = system.poll(&ready, 1, 100);
    if (polled < 0) return errno == EINTR;
    if (polled == 0) return true;
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    if (system.ioctl(fd, VIDIOC_DQBUF, &buffer) < 0) {
        if (errno == EAGAIN || errno == EINTR) return true;
        if (errno == EIO && ++ioErrors < ioErrorsBeforeReconnect) return true;
        ioErrors = 0;
        return false;
    }
    ioErrors = 0;
    if (buffer.index >= buffers.size()) return true;  // not ours to give back
    deliver(buffer);
    return system.ioctl(fd, VIDIOC_QBUF, &buffer) == 0 || errno != ENODEV;
}

void V4l2Camera::deliver(const v4l2_buffer& buffer) {
    const Buffer& mapped = buffers[buffer.index];
    const unsigned char* frame =
        intake.take(static_cast<unsigned char*>(mapped.start), buffer.bytesused, mapped.length, buffer.flags);
    if (!frame) {
        framesDropped++;
        return;
    }
    handOver.put(frame, intake.frameBytes());
    if (tap) tap->frameHandedOver(frame, intake.frameBytes());
}

// After an unplug: look for a capture device every quarter second until one streams again.
void V4l2Camera::reconnect() {
    while (!stopping) {
        for (int slice = 0; slice < 5 && !stopping; slice++) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        for (const std::string& node : system.deviceNodes()) {
            if (stopping || !isCaptureNode(system, node)) continue;
            if (openNode(node) == 0 && configure() == 0) {
                path = node;
                return;
            }
            release();
        }
    }
}
