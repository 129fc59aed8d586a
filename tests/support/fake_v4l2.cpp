#include "tests/support/fake_v4l2.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>


#include "camera/platform_camera.h"


static const off_t bufferStride = 1 << 24;  // buffer i is mapped at offset i x stride

FakeV4l2::FakeV4l2() = default;
FakeV4l2::~FakeV4l2() {
    for (auto& entry : open_) ::close(entry.first);
}

FakeNode& FakeV4l2::add(const std::string& path) {
    std::lock_guard<std::mutex> guard(lock);
    FakeNode& node = nodes[path];
    node.path = path;
    return node;
}

int FakeV4l2::fail(int error) {
    errno = error;
    return -1;
}

std::vector<std::string> FakeV4l2::deviceNodes() {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> listed;
    for (auto& entry : nodes) listed.push_back(entry.first);
    return listed;  // map order: the tests' names sort as the kernel's numbers would
}

std::string FakeV4l2::cardName(const std::string& node) {
    std::lock_guard<std::mutex> guard(lock);
    auto found = nodes.find(node);
    return found != nodes.end() ? found->second.card : "";
}

int FakeV4l2::open(const char* path, int) {
    std::lock_guard<std::mutex> guard(lock);
    auto found = nodes.find(path);
    if (found == nodes.end()) return fail(ENOENT);
    found->second.opens++;
    found->second.qbufFails = false;
    const int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    open_[fd].path = path;
    return fd;
}

int FakeV4l2::close(int fd) {
    std::lock_guard<std::mutex> guard(lock);
    if (!open_.erase(fd)) return fail(EBADF);
    return ::close(fd);
}

// The driver's side of TRY_FMT and S_FMT: an offered format at the one size there is, or of a
// range, the nearest on its steps (smaller than asked, as drivers may take).
void FakeV4l2::negotiate(FakeNode& node, v4l2_format* format) {
    v4l2_pix_format& pix = format->fmt.pix;
    bool offered = false;
    for (uint32_t f : node.formats) offered |= f == pix.pixelformat;
    if (!offered) pix.pixelformat = node.formats[0];
    auto nearest = [&](uint32_t want, uint32_t least) {
        return node.step && want > least ? least + (want - least + node.step / 2) / node.step * node.step : least;
    };
    pix.width = nearest(pix.width, node.width);
    pix.height = nearest(pix.height, node.height);
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = pix.width * 2;  // YUYV and kin (greys at two bytes too: none is read)
    pix.sizeimage = pix.bytesperline * pix.height;
    pix.colorspace = V4L2_COLORSPACE_SRGB;
}

static size_t fillGrey(const v4l2_pix_format& pix, unsigned char* data, size_t capacity, long) {
    std::memset(data, 128, capacity);  // Y', Cb and Cr all mid-grey
    return pix.sizeimage;
}

int FakeV4l2::ioctl(int fd, unsigned long request, void* argument) {
    std::unique_lock<std::mutex> guard(lock);
    auto opened = open_.find(fd);
    if (opened == open_.end()) return fail(EBADF);
    Open& state = opened->second;
    FakeNode& node = nodes[state.path];

    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* capability = static_cast<v4l2_capability*>(argument);
        std::memset(capability, 0, sizeof *capability);
        std::strcpy(reinterpret_cast<char*>(capability->driver), "fake");
        std::snprintf(reinterpret_cast<char*>(capability->card), sizeof capability->card, "%s", node.card.c_str());
        std::snprintf(reinterpret_cast<char*>(capability->bus_info), sizeof capability->bus_info, "%s", node.bus.c_str());
        capability->version = KERNEL_VERSION(6, 1, 0);
        capability->capabilities = node.caps | V4L2_CAP_DEVICE_CAPS;
        capability->device_caps = node.caps;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto* description = static_cast<v4l2_fmtdesc*>(argument);
        if (description->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || description->index >= node.formats.size())
            return fail(EINVAL);
        const uint32_t format = node.formats[description->index];
        std::memset(description->description, 0, sizeof description->description);
        std::memcpy(description->description, &format, 4);
        description->pixelformat = format;
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto* size = static_cast<v4l2_frmsizeenum*>(argument);
        bool offered = false;
        for (uint32_t f : node.formats) offered |= f == size->pixel_format;
        if (!offered || size->index > 0) return fail(EINVAL);
        size->type = node.step ? V4L2_FRMSIZE_TYPE_STEPWISE : V4L2_FRMSIZE_TYPE_DISCRETE;
        if (node.step) size->stepwise = {node.width, 4096, node.step, node.height, 3072, node.step};
        else size->discrete = {node.width, node.height};
        return 0;
    }
    case VIDIOC_G_FMT: {
        auto* format = static_cast<v4l2_format*>(argument);
        if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
        if (!node.current.width) {
            format->fmt.pix = v4l2_pix_format{};
            negotiate(node, format);
            node.current = format->fmt.pix;
        }
        format->fmt.pix = node.current;
        return 0;
    }
    case VIDIOC_TRY_FMT:
    case VIDIOC_S_FMT: {
        auto* format = static_cast<v4l2_format*>(argument);
        if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) return fail(EINVAL);
        if (request == VIDIOC_S_FMT && state.streaming) return fail(EBUSY);
        negotiate(node, format);
        if (request == VIDIOC_S_FMT) node.current = format->fmt.pix;
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto* request_ = static_cast<v4l2_requestbuffers*>(argument);
        if (request_->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
        if (state.streaming) return fail(EBUSY);
        if (request_->count > 4) request_->count = 4;
        state.buffers.assign(request_->count, std::vector<unsigned char>(node.current.sizeimage));
        state.queued.clear();
        return 0;
    }
    case VIDIOC_QUERYBUF:
    case VIDIOC_QBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (buffer->index >= state.buffers.size() || buffer->memory != V4L2_MEMORY_MMAP) return fail(EINVAL);
        if (request == VIDIOC_QBUF && state.streaming && node.qbufFails) return fail(EINVAL);
        buffer->length = (uint32_t)state.buffers[buffer->index].size();
        buffer->m.offset = (uint32_t)(buffer->index * bufferStride);
        if (request == VIDIOC_QBUF) state.queued.push_back(buffer->index);
        return 0;
    }
    case VIDIOC_DQBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (!state.streaming) return fail(EINVAL);
        if (state.queued.empty()) return fail(EAGAIN);
        const unsigned index = state.queued.front();
        state.queued.erase(state.queued.begin());
        std::vector<unsigned char>& memory = state.buffers[index];
        const long n = node.framesSent++;
        size_t used = node.fill ? node.fill(node.current, memory.data(), memory.size(), n)
                                : fillGrey(node.current, memory.data(), memory.size(), n);
        std::memset(buffer, 0, sizeof *buffer);
        buffer->index = index;
        buffer->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buffer->memory = V4L2_MEMORY_MMAP;
        buffer->bytesused = (uint32_t)used;
        buffer->length = (uint32_t)memory.size();
        buffer->sequence = (uint32_t)n;
        return 0;
    }
    case VIDIOC_STREAMON:
    case VIDIOC_STREAMOFF:
        if (state.buffers.empty() && request == VIDIOC_STREAMON) return fail(EINVAL);
        state.streaming = request == VIDIOC_STREAMON;
        return 0;
    default:
        return fail(ENOTTY);
    }
}

void* FakeV4l2::mmap(size_t length, int, int, int fd, off_t offset) {
    std::lock_guard<std::mutex> guard(lock);
    auto opened = open_.find(fd);
    if (opened == open_.end()) {
        errno = EBADF;
        return MAP_FAILED;
    }
    const size_t index = (size_t)(offset / bufferStride);
    if (index >= opened->second.buffers.size() || length > opened->second.buffers[index].size()) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return opened->second.buffers[index].data();
}

int FakeV4l2::munmap(void*, size_t) { return 0; }

// A frame is ready every frame interval while buffers are queued; a node that has gone
// reports an error.
int FakeV4l2::poll(struct pollfd* fds, nfds_t count, int) {
    if (frameIntervalMs) std::this_thread::sleep_for(std::chrono::milliseconds(frameIntervalMs));
    std::lock_guard<std::mutex> guard(lock);
    int ready = 0;
    for (nfds_t i = 0; i < count; i++) {
        fds[i].revents = 0;
        auto opened = open_.find(fds[i].fd);
        if (opened == open_.end()) {
            fds[i].revents = POLLNVAL;
        } else if (opened->second.streaming && !opened->second.queued.empty()) {
            fds[i].revents = POLLIN;
        }
        if (fds[i].revents) ready++;
    }
    return ready;
}

FakeV4l2Scope::FakeV4l2Scope() {
    useCameraMaker([]() -> Camera* { return new V4l2Camera(v4l2System()); });
    useV4l2System(&v4l2);
}

FakeV4l2Scope::~FakeV4l2Scope() {
    useV4l2System(nullptr);
    useCameraMaker(nullptr);
}

