#include "v4l2/v4l2_frames.h"

// libv4lconvert's formats come after all of these.
static const struct {
    uint32_t fourcc;
    PixelLayout layout;
} intakeFormats[] = {
    {V4L2_PIX_FMT_BGR24, PixelLayout::bgr24}, {V4L2_PIX_FMT_RGB24, PixelLayout::rgb24},
    {V4L2_PIX_FMT_YUYV, PixelLayout::yuyv},   {V4L2_PIX_FMT_YVYU, PixelLayout::yvyu},
    {V4L2_PIX_FMT_UYVY, PixelLayout::uyvy},   {V4L2_PIX_FMT_VYUY, PixelLayout::vyuy},
    {V4L2_PIX_FMT_NV16, PixelLayout::nv16},   {V4L2_PIX_FMT_NV61, PixelLayout::nv61},
    {V4L2_PIX_FMT_NV12, PixelLayout::nv12},   {V4L2_PIX_FMT_NV21, PixelLayout::nv21},
    {V4L2_PIX_FMT_YUV420, PixelLayout::yu12}, {V4L2_PIX_FMT_YVU420, PixelLayout::yv12},
    {V4L2_PIX_FMT_MJPEG, PixelLayout::mjpeg}, {V4L2_PIX_FMT_JPEG, PixelLayout::mjpeg},
};

const PixelLayout* layoutOfFourcc(uint32_t fourcc) {
    for (const auto& format : intakeFormats)
        if (format.fourcc == fourcc) return &format.layout;
    return nullptr;
}

static YcbcrMatrix matrixOf(const v4l2_pix_format& pix) {
    const uint32_t encoding =
        pix.ycbcr_enc == V4L2_YCBCR_ENC_DEFAULT ? (uint32_t)V4L2_MAP_YCBCR_ENC_DEFAULT(pix.colorspace) : pix.ycbcr_enc;
    switch (encoding) {
    case V4L2_YCBCR_ENC_709: case V4L2_YCBCR_ENC_XV709: return YcbcrMatrix::bt709;
    case V4L2_YCBCR_ENC_BT2020: case V4L2_YCBCR_ENC_BT2020_CONST_LUM: return YcbcrMatrix::bt2020;
    case V4L2_YCBCR_ENC_SMPTE240M: return YcbcrMatrix::smpte240m;
    default: return YcbcrMatrix::bt601;
    }
}

bool frameFormatOf(const v4l2_pix_format& pix, FrameFormat* format) {
    const PixelLayout* layout = layoutOfFourcc(pix.pixelformat);
    if (!layout) return false;
    *format = {*layout, (int)pix.width, (int)pix.height};
    format->matrix = matrixOf(pix);
    format->fullRange = (pix.quantization == V4L2_QUANTIZATION_DEFAULT
                             ? (uint32_t)V4L2_MAP_QUANTIZATION_DEFAULT(false, pix.colorspace, pix.ycbcr_enc)
                             : pix.quantization) == V4L2_QUANTIZATION_FULL_RANGE;
    return true;
}

FramePlane planeOf(const v4l2_pix_format& pix, const unsigned char* data, size_t bytesUsed) {
    return {data, bytesUsed, pix.bytesperline};
}
