// Fuzzes what a camera's buffer goes through before the grabber sees it: arbitrary formats,
// sizes, byte counts, flags and contents (truncated and broken JPEGs among them), through
// libv4lconvert and the scaler to 160 x 120.
//   byte 0: pixel format   byte 1: camera size   byte 2: flags   then the buffer's bytes
#include <linux/videodev2.h>

#include <cstring>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include <libv4lconvert.h>

#include "platform/frame_intake.h"
#include "tests/fake_v4l2.h"

namespace {

const uint32_t formats[] = {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_BGR24,
                            V4L2_PIX_FMT_RGB24, V4L2_PIX_FMT_UYVY,  V4L2_PIX_FMT_YUV420};
const std::pair<uint32_t, uint32_t> sizes[] = {{160, 120}, {32, 24}, {16, 12}, {176, 144},
                                               {2, 2},     {8, 6},   {640, 480}, {64, 48}};

// One intake per format and size, configured once: setting libv4lconvert up is slow.
struct Camera {
    FakeV4l2 kernel;
    v4lconvert_data* converter = nullptr;
    platform::FrameIntake intake;
    v4l2_format format{};
    ~Camera() { v4lconvert_destroy(converter); }
};

Camera& cameraFor(uint32_t pixelFormat, std::pair<uint32_t, uint32_t> size) {
    static std::map<std::pair<uint32_t, std::pair<uint32_t, uint32_t>>, std::unique_ptr<Camera>> cameras;
    auto& camera = cameras[{pixelFormat, size}];
    if (!camera) {
        camera = std::make_unique<Camera>();
        FakeNode& node = camera->kernel.add("/dev/video0");
        node.formats = {pixelFormat};
        node.sizes = {size};
        const int fd = camera->kernel.open("/dev/video0", 0);
        camera->format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        camera->format.fmt.pix.pixelformat = pixelFormat;
        camera->kernel.ioctl(fd, VIDIOC_S_FMT, &camera->format);
        camera->converter = platform::newConverter(camera->kernel, fd);
        camera->intake.configure(camera->converter, camera->format, 160, 120);
    }
    return *camera;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    Camera& camera = cameraFor(formats[data[0] % 6], sizes[data[1] % 8]);
    const uint32_t flags = (data[2] & 1) ? V4L2_BUF_FLAG_ERROR : 0;
    // The buffer is as long as the driver said; the camera filled `used` bytes of it (or
    // claims more than the buffer holds, when byte 2 says so).
    const size_t length = camera.format.fmt.pix.sizeimage;
    const size_t given = size - 3;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[length]());
    std::memcpy(buffer.get(), data + 3, given < length ? given : length);
    const size_t used = (data[2] & 2) ? length + given : (given < length ? given : length);
    const unsigned char* frame = camera.intake.take(buffer.get(), used, length, flags);
    if (frame) {  // every byte of the frame must be readable
        static std::vector<unsigned char> copy;
        copy.assign(frame, frame + camera.intake.frameBytes());
    }
    return 0;
}
