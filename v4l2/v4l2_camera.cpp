#include "v4l2/v4l2_camera.h"

#include <fcntl.h>
#include <libv4l-plugin.h>
#include <libv4lconvert.h>
#include <pthread.h>
#include <sys/mman.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "v4l2/v4l2_frames.h"

static const unsigned bufferCount = 4;
// A device that keeps failing DQBUF with EIO this many times in a row is treated as gone.
static const int ioErrorsBeforeGone = 50;
// What configure says besides an errno value.
enum { noFormatRead = -1 };

static const int convertedRank = 6;

// libv4lconvert asks the device about its formats through these, so that its questions go
// through the same seam as ours.
static void* opsInit(int) { return nullptr; }
static void opsClose(void*) {}
static int opsIoctl(void* system, int fd, unsigned long request, void* argument) {
    return static_cast<V4l2System*>(system)->ioctl(fd, request, argument);
}
static ssize_t opsRead(void*, int, void*, size_t) {
    errno = EINVAL;
    return -1;
}
static ssize_t opsWrite(void*, int, const void*, size_t) {
    errno = EINVAL;
    return -1;
}
static libv4l_dev_ops makeDeviceOps() {
    libv4l_dev_ops ops{};  // the reserved entries stay null
    ops.init = opsInit;
    ops.close = opsClose;
    ops.ioctl = opsIoctl;
    ops.read = opsRead;
    ops.write = opsWrite;
    return ops;
}
static const libv4l_dev_ops deviceOps = makeDeviceOps();

V4l2Camera::V4l2Camera(V4l2System& system, FrameTap* tap) : CameraCore(tap), system(system) {}

V4l2Camera::~V4l2Camera() { stop(); }

// Whether a format is compressed (its frames as long as they come out) as the driver lists it.
static bool listsAsCompressed(V4l2System& system, int fd, uint32_t fourcc) {
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (; system.ioctl(fd, VIDIOC_ENUM_FMT, &format) == 0; format.index++)
        if (format.pixelformat == fourcc) return format.flags & V4L2_FMT_FLAG_COMPRESSED;
    return false;
}

// Whether every format a camera lists is grey: an infrared face-login camera, say.
static bool listsOnlyGrey(V4l2System& system, int fd) {
    v4l2_fmtdesc format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (; system.ioctl(fd, VIDIOC_ENUM_FMT, &format) == 0; format.index++) {
        switch (format.pixelformat) {
        case V4L2_PIX_FMT_GREY: case V4L2_PIX_FMT_Y4: case V4L2_PIX_FMT_Y6: case V4L2_PIX_FMT_Y10:
        case V4L2_PIX_FMT_Y12: case V4L2_PIX_FMT_Y14: case V4L2_PIX_FMT_Y16: case V4L2_PIX_FMT_Y16_BE:
        case V4L2_PIX_FMT_Y10BPACK: case V4L2_PIX_FMT_Y10P:
            continue;
        default:
            return false;
        }
    }
    return format.index > 0;
}

// The nodes that are cameras: video capture devices that stream by themselves (not one that
// needs a media controller to set up its pipeline), known by their card on their bus. A node
// that will not open is listed too, to be named when none can be used. Opening a node wakes a
// USB camera that its driver has let sleep: while one sends (a node gone breaks its stream),
// the nodes are not opened again.
bool V4l2Camera::list(std::vector<std::string>* identities, bool looking) {
    if (!looking && fd >= 0) return true;  // the last list stands
    nodes.clear();
    for (const std::string& path : system.deviceNodes()) {
        const int node = system.open(path.c_str(), O_RDWR | O_NONBLOCK);
        if (node < 0) {
            if (errno != ENOENT && errno != ENXIO && errno != ENODEV)
                nodes.push_back({path, "node " + path, system.cardName(path), errno});
            continue;
        }
        v4l2_capability capability{};
        if (system.ioctl(node, VIDIOC_QUERYCAP, &capability) == 0) {
            const uint32_t caps =
                (capability.capabilities & V4L2_CAP_DEVICE_CAPS) ? capability.device_caps : capability.capabilities;
            const std::string card = reinterpret_cast<const char*>(capability.card);
            const std::string bus = reinterpret_cast<const char*>(capability.bus_info);
            if ((caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING) && !(caps & V4L2_CAP_IO_MC))
                nodes.push_back({path, card + "@" + bus, card, 0});
        }
        system.close(node);
    }
    identities->clear();
    for (const Node& node : nodes) identities->push_back(node.identity);
    return true;
}

// Opens a node and sets it streaming, unless it is grey-only while grey is not allowed.
CameraTried V4l2Camera::open(int index, bool allowGrey) {
    const Node& node = nodes[(size_t)index];
    const std::string name = node.card.empty() ? node.path : node.card + " (" + node.path + ")";
    int error = node.openError;
    if (!error) {
        fd = system.open(node.path.c_str(), O_RDWR | O_NONBLOCK);
        error = fd < 0 ? errno : 0;
    }
    if (!error && !allowGrey && listsOnlyGrey(system, fd)) {
        release();
        return CameraTried::greyOnly;
    }
    if (!error) error = configure();
    if (error == noFormatRead)
        noteFailure("cannot take frames from " + name + ": it sends no format Quiltcam reads");
    else if (error)
        noteFailure("cannot open " + name + ": " + std::strerror(error));
    if (error) {
        release();
        return CameraTried::passedOver;
    }
    named(name);
    return CameraTried::started;
}

// The modes a format lists: each size with each of its rates, and alone (of a range of sizes,
// the one the rule takes; a format that lists no sizes at the frame's own: the driver takes the
// nearest).
void V4l2Camera::listModes(uint32_t fourcc, int rank, std::vector<CameraMode>* modes, std::vector<uint32_t>* formats) {
    v4l2_frmsizeenum size{};
    size.pixel_format = fourcc;
    const size_t before = modes->size();
    for (; system.ioctl(fd, VIDIOC_ENUM_FRAMESIZES, &size) == 0; size.index++) {
        v4l2_frmivalenum rate{};
        rate.pixel_format = fourcc;
        const bool ranged = size.type != V4L2_FRMSIZE_TYPE_DISCRETE;  // step-wise or continuous: the only entry
        const v4l2_frmsize_stepwise& range = size.stepwise;
        rate.width = ranged ? chooseLength((uint32_t)width, range.min_width, range.max_width, range.step_width)
                            : size.discrete.width;
        rate.height = ranged ? chooseLength((uint32_t)height, range.min_height, range.max_height, range.step_height)
                             : size.discrete.height;
        modes->push_back({rate.width, rate.height, rank, 0, 0});
        for (; system.ioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &rate) == 0; rate.index++) {
            if (rate.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
                modes->push_back({rate.width, rate.height, rank, rate.discrete.numerator, rate.discrete.denominator});
                continue;
            }
            // Any interval in a range: the one the rule takes, in 100 ns units (the driver rounds).
            auto units = [](v4l2_fract f) { return f.denominator ? (uint64_t)f.numerator * 10000000 / f.denominator : 0; };
            const uint64_t chosen = chooseInterval(units(rate.stepwise.min), units(rate.stepwise.max), 10000000);
            modes->push_back({rate.width, rate.height, rank, (uint32_t)chosen, 10000000});
            break;
        }
        if (ranged) break;
    }
    if (modes->size() == before) modes->push_back({(uint32_t)width, (uint32_t)height, rank, 0, 0});
    formats->resize(modes->size(), fourcc);
}

// The format to stream in: of the sizes, formats and rates the camera lists in formats the
// intake reads (or only the one asked for), the one chooseMode picks. A camera with none of
// those goes through libv4lconvert.
int V4l2Camera::chooseFormat(v4l2_format* camera, v4l2_fract* interval) {
    std::vector<CameraMode> modes;
    std::vector<uint32_t> formats;
    v4l2_fmtdesc listed{};
    listed.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (; system.ioctl(fd, VIDIOC_ENUM_FMT, &listed) == 0; listed.index++)
        if (const PixelLayout* layout = layoutOfFourcc(listed.pixelformat))
            if (!sourceFormat || sourceFormat == listed.pixelformat)
                listModes(listed.pixelformat, layoutPreference(*layout), &modes, &formats);
    const int chosen = chooseMode(modes, width, height);
    if (chosen < 0) return sourceFormat ? EINVAL : chooseConverted(camera, interval);
    *camera = {};
    camera->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    camera->fmt.pix.width = modes[chosen].width;
    camera->fmt.pix.height = modes[chosen].height;
    camera->fmt.pix.pixelformat = formats[chosen];
    camera->fmt.pix.field = V4L2_FIELD_NONE;
    *interval = {modes[chosen].intervalNumerator, modes[chosen].intervalDenominator};
    return 0;
}

// Through libv4lconvert: the source format it prefers for BGR24, at the size and rate chooseMode
// picks from those the camera lists for it.
int V4l2Camera::chooseConverted(v4l2_format* camera, v4l2_fract* interval) {
    converter = v4lconvert_create_with_dev_ops(fd, &system, &deviceOps);
    if (!converter) return ENOMEM;
    v4l2_format want{};
    want.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    want.fmt.pix.width = (uint32_t)width;
    want.fmt.pix.height = (uint32_t)height;
    want.fmt.pix.pixelformat = V4L2_PIX_FMT_BGR24;
    want.fmt.pix.field = V4L2_FIELD_NONE;
    if (v4lconvert_try_format(converter, &want, camera) < 0) return errno ? errno : EINVAL;
    // A camera whose every format is beyond libv4lconvert leaves its own in place of ours.
    if (want.fmt.pix.pixelformat != V4L2_PIX_FMT_BGR24) return noFormatRead;
    std::vector<CameraMode> modes;
    std::vector<uint32_t> formats;
    listModes(camera->fmt.pix.pixelformat, convertedRank, &modes, &formats);
    const int chosen = chooseMode(modes, width, height);
    *interval = {modes[chosen].intervalNumerator, modes[chosen].intervalDenominator};
    // Asked at a size the camera has, libv4lconvert converts without cropping; asked at one
    // it has not, it would crop or halve. Then take the camera's nearest size whole, and let
    // the intake make the frame.
    want.fmt.pix.width = modes[chosen].width;
    want.fmt.pix.height = modes[chosen].height;
    if (v4lconvert_try_format(converter, &want, camera) < 0) return errno ? errno : EINVAL;
    if (camera->fmt.pix.width != want.fmt.pix.width || camera->fmt.pix.height != want.fmt.pix.height) {
        want.fmt.pix.width = camera->fmt.pix.width;
        want.fmt.pix.height = camera->fmt.pix.height;
        if (v4lconvert_try_format(converter, &want, camera) < 0) return errno ? errno : EINVAL;
    }
    return 0;
}

// Cameras start at whatever rate they were left at, often not their best: ask for the one
// chosen.
void V4l2Camera::askRate(v4l2_fract interval) {
    v4l2_streamparm parameters{};
    parameters.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (system.ioctl(fd, VIDIOC_G_PARM, &parameters) < 0) return;
    if (interval.denominator > 0 && interval.numerator > 0 &&
        (parameters.parm.capture.capability & V4L2_CAP_TIMEPERFRAME)) {
        parameters.parm.capture.timeperframe = interval;
        if (system.ioctl(fd, VIDIOC_S_PARM, &parameters) < 0) return;
    }
    streamed.intervalNumerator = parameters.parm.capture.timeperframe.numerator;
    streamed.intervalDenominator = parameters.parm.capture.timeperframe.denominator;
}

int V4l2Camera::configure() {
    v4l2_format camera{};
    v4l2_fract interval{0, 0};
    if (const int error = chooseFormat(&camera, &interval)) return error;
    if (system.ioctl(fd, VIDIOC_S_FMT, &camera) < 0) return errno;
    const uint32_t cameraWidth = camera.fmt.pix.width, cameraHeight = camera.fmt.pix.height;
    if (cameraWidth == 0 || cameraHeight == 0 || cameraWidth > 8192 || cameraHeight > 8192) return EINVAL;
    askRate(interval);
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
    // The frames as the intake takes them: the camera's own, or libv4lconvert's BGR24.
    cameraFormat = camera;
    convertedFormat = camera;
    v4l2_pix_format& bgr = convertedFormat.fmt.pix;
    bgr.pixelformat = V4L2_PIX_FMT_BGR24;
    bgr.field = V4L2_FIELD_NONE;
    bgr.bytesperline = bgr.width * 3;
    bgr.sizeimage = bgr.width * bgr.height * 3;
    FrameFormat format{PixelLayout::bgr24, 0, 0};
    if (converter) converted.assign(bgr.sizeimage, 0);
    compressed = listsAsCompressed(system, fd, camera.fmt.pix.pixelformat);
    if (!frameFormatOf(converter ? bgr : camera.fmt.pix, &format) || !configureFrames(format)) return EINVAL;
    streamed.format = camera.fmt.pix.pixelformat;  // what the camera sends, converted or not
    streamed.width = cameraWidth;
    streamed.height = cameraHeight;
    broken = false;
    ioErrors = 0;
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    return system.ioctl(fd, VIDIOC_STREAMON, &type) < 0 ? errno : 0;
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

bool V4l2Camera::launch() {
    stopping = false;
    thread = std::thread(&V4l2Camera::capture, this);
    pthread_setname_np(thread.native_handle(), "camera");  // as tools like top -H show it
    return true;
}

void V4l2Camera::halt() {
    stopping = true;
    if (thread.joinable()) thread.join();
}

// The thread: the camera's life every quarter second, and the frames of the camera open.
void V4l2Camera::capture() {
    LifeMs nextTick = 0;
    while (!stopping) {
        if (lifeClock() >= nextTick) {
            tick();
            nextTick = lifeClock() + 250;
        }
        if (fd >= 0 && !broken)
            takeFrame();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    release();
}

// Waits a little for the next frame and hands it on; the stream breaks with the device gone or
// a buffer that cannot be queued again.
void V4l2Camera::takeFrame() {
    pollfd ready{fd, POLLIN, 0};
    const int polled = system.poll(&ready, 1, 100);
    if (polled <= 0) {
        broken = polled < 0 && errno != EINTR;
    } else {
        v4l2_buffer buffer{};
        buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer.memory = V4L2_MEMORY_MMAP;
        if (system.ioctl(fd, VIDIOC_DQBUF, &buffer) < 0) {
            if (errno == EIO) broken = ++ioErrors >= ioErrorsBeforeGone;
            else broken = errno != EAGAIN && errno != EINTR;
        } else {
            ioErrors = 0;
            if (buffer.index >= buffers.size()) return;  // not ours to give back
            deliverBuffer(buffer);
            // A buffer not queued again is lost, and with the last of them the stream.
            broken = system.ioctl(fd, VIDIOC_QBUF, &buffer) != 0;
        }
    }
    if (broken) streamBroken();
}

void V4l2Camera::deliverBuffer(const v4l2_buffer& buffer) {
    const Buffer& mapped = buffers[buffer.index];
    const unsigned char* data = static_cast<const unsigned char*>(mapped.start);
    const bool whole = !(buffer.flags & V4L2_BUF_FLAG_ERROR) && buffer.bytesused > 0 && buffer.bytesused <= mapped.length;
    FramePlane plane{nullptr, 0, 0};
    if (whole && !converter) {
        plane = planeOf(cameraFormat.fmt.pix, data, buffer.bytesused);
    } else if (whole && (compressed || buffer.bytesused >= cameraFormat.fmt.pix.sizeimage) &&
               v4lconvert_convert(converter, &cameraFormat, &convertedFormat, const_cast<unsigned char*>(data),
                                  (int)buffer.bytesused, converted.data(), (int)converted.size()) == (int)converted.size()) {
        // A compressed frame is as long as it is: its sizeimage is only the most it may be.
        plane = {converted.data(), converted.size(), 0};
    }
    deliver(&plane, 1);
}
