// Fuzzes what a camera's buffer goes through before the grabber sees it: arbitrary formats,
// sizes, byte counts, flags and contents (truncated and broken JPEGs among them), through
// libv4lconvert and the scaler to 160 x 120.
//   byte 0: pixel format   byte 1: camera size   byte 2: flags   then the buffer's bytes
#include <linux/videodev2.h>

#include <cstring>
#include <memory>
#include <vector>

#include "tests/support/fake_v4l2.h"

static const uint32_t formats[] = {V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_MJPEG, V4L2_PIX_FMT_BGR24,
                                   V4L2_PIX_FMT_RGB24, V4L2_PIX_FMT_UYVY,  V4L2_PIX_FMT_YUV420};
static const uint32_t sizes[][2] = {{160, 120}, {32, 24}, {16, 12}, {176, 144}, {2, 2}, {8, 6}, {640, 480}, {64, 48}};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    size_t length = 0;
    const uint32_t* cameraSize = sizes[data[1] % 8];
    FrameIntake& intake = fakeCameraIntake(formats[data[0] % 6], cameraSize[0], cameraSize[1], &length);
    const uint32_t flags = (data[2] & 1) ? V4L2_BUF_FLAG_ERROR : 0;
    // The buffer is as long as the driver said; the camera filled `used` bytes of it (or
    // claims more than the buffer holds, when byte 2 says so).
    const size_t given = size - 3;
    std::unique_ptr<unsigned char[]> buffer(new unsigned char[length]());
    std::memcpy(buffer.get(), data + 3, given < length ? given : length);
    const size_t used = (data[2] & 2) ? length + given : (given < length ? given : length);
    const unsigned char* frame = intake.take(buffer.get(), used, length, flags);
    if (frame) {  // every byte of the frame must be readable
        static std::vector<unsigned char> copy;
        copy.assign(frame, frame + intake.frameBytes());
    }
    return 0;
}
