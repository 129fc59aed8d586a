#include "v4l2/frame_intake.h"

#include <libv4l-plugin.h>
#include <libv4lconvert.h>

#include <algorithm>
#include <cerrno>

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

v4lconvert_data* newConverter(V4l2System& system, int fd) {
    return v4lconvert_create_with_dev_ops(fd, &system, &deviceOps);
}

void FrameIntake::configure(v4lconvert_data* converter, const v4l2_format& camera, int width, int height) {
    this->converter = converter;
    cameraFormat = camera;
    convertedFormat = camera;
    v4l2_pix_format& pix = convertedFormat.fmt.pix;
    pix.pixelformat = V4L2_PIX_FMT_BGR24;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = pix.width * 3;
    pix.sizeimage = pix.width * pix.height * 3;
    converted.assign(pix.sizeimage, 0);
    scaled.assign((size_t)width * height * 3, 0);
    scaler.plan((int)pix.width, (int)pix.height, width, height);
    decodedHere = YcbcrDecoder::decodes(camera.fmt.pix.pixelformat);
    wholeBytes = camera.fmt.pix.sizeimage;
    if (decodedHere) {
        ycbcr.plan(camera.fmt.pix);
        wholeBytes = std::max(wholeBytes, ycbcr.frameBytes());
    }
}

// A JPEG ends with the End Of Image marker; libv4lconvert "converts" a truncated one anyway.
static bool endsLikeJpeg(const unsigned char* data, size_t length) {
    while (length > 2 && data[length - 1] == 0) length--;  // some cameras pad with zeros
    return length >= 4 && data[length - 2] == 0xFF && data[length - 1] == 0xD9;
}

const unsigned char* FrameIntake::take(unsigned char* data, size_t used, size_t length, uint32_t flags) {
    const uint32_t format = cameraFormat.fmt.pix.pixelformat;
    const bool compressed = format == V4L2_PIX_FMT_MJPEG || format == V4L2_PIX_FMT_JPEG;
    const bool whole = !(flags & V4L2_BUF_FLAG_ERROR) && used > 0 && used <= length &&
                       (compressed ? endsLikeJpeg(data, used) : used >= wholeBytes);
    if (!whole) return nullptr;
    if (decodedHere)
        ycbcr.decode(data, converted.data());
    else if (v4lconvert_convert(converter, &cameraFormat, &convertedFormat, data, (int)used, converted.data(),
                                (int)converted.size()) != (int)converted.size())
        return nullptr;
    // Cameras send rows top-down; the hand-over's frames are bottom-up.
    scaler.scale(converted.data(), scaled.data(), true);
    return scaled.data();
}
