#include "v4l2/ycbcr_decoder.h"

#include <algorithm>
#include <cmath>

bool YcbcrDecoder::decodes(uint32_t format) {
    switch (format) {
    case V4L2_PIX_FMT_YUYV: case V4L2_PIX_FMT_YVYU: case V4L2_PIX_FMT_UYVY: case V4L2_PIX_FMT_VYUY:
    case V4L2_PIX_FMT_NV12: case V4L2_PIX_FMT_NV21: case V4L2_PIX_FMT_NV16: case V4L2_PIX_FMT_NV61:
    case V4L2_PIX_FMT_YUV420: case V4L2_PIX_FMT_YVU420:
        return true;
    default:
        return false;
    }
}

void YcbcrDecoder::plan(const v4l2_pix_format& format) {
    pix = format;
    const size_t width = pix.width, height = pix.height;
    const uint32_t f = pix.pixelformat;
    const bool packed = f == V4L2_PIX_FMT_YUYV || f == V4L2_PIX_FMT_YVYU || f == V4L2_PIX_FMT_UYVY || f == V4L2_PIX_FMT_VYUY;
    const bool planar = f == V4L2_PIX_FMT_YUV420 || f == V4L2_PIX_FMT_YVU420;
    lumaRow = std::max<size_t>(pix.bytesperline, packed ? 2 * width : width);
    if (packed) {
        // Y0 Cb Y1 Cr in the order the format's name spells.
        const bool lumaFirst = f == V4L2_PIX_FMT_YUYV || f == V4L2_PIX_FMT_YVYU;
        const bool cbFirst = f == V4L2_PIX_FMT_YUYV || f == V4L2_PIX_FMT_UYVY;
        lumaStep = 2;
        lumaOffset = lumaFirst ? 0 : 1;
        chroma = lumaFirst ? 1 : 0;
        chromaRow = lumaRow;
        chromaStep = 4;
        cb = cbFirst ? 0 : 2;
        cr = cbFirst ? 2 : 0;
        chromaRowShift = 0;
        bytes = lumaRow * height;
    } else {
        lumaStep = 1;
        lumaOffset = 0;
        const bool fourTwoZero = f != V4L2_PIX_FMT_NV16 && f != V4L2_PIX_FMT_NV61;
        chromaRowShift = fourTwoZero ? 1 : 0;
        const size_t chromaRows = fourTwoZero ? (height + 1) / 2 : height;
        chroma = lumaRow * height;
        if (planar) {  // a plane of Cb and one of Cr, each half as wide
            chromaRow = lumaRow / 2;
            chromaStep = 1;
            const size_t plane = chromaRow * chromaRows;
            cb = f == V4L2_PIX_FMT_YUV420 ? 0 : plane;
            cr = f == V4L2_PIX_FMT_YUV420 ? plane : 0;
            bytes = chroma + 2 * plane;
        } else {  // one plane of Cb and Cr side by side
            chromaRow = lumaRow;
            chromaStep = 2;
            const bool cbFirst = f == V4L2_PIX_FMT_NV12 || f == V4L2_PIX_FMT_NV16;
            cb = cbFirst ? 0 : 1;
            cr = cbFirst ? 1 : 0;
            bytes = chroma + chromaRow * chromaRows;
        }
    }

    // The matrix: BT.709 where the driver says so (or leaves it to an HDTV colour space), else
    // BT.601, the encoding of sRGB and JPEG. Y'CbCr is limited range unless it says full (JPEG
    // is full).
    const bool hd = pix.ycbcr_enc == V4L2_YCBCR_ENC_709 ||
                    (pix.ycbcr_enc == V4L2_YCBCR_ENC_DEFAULT && pix.colorspace == V4L2_COLORSPACE_REC709);
    const double kr = hd ? 0.2126 : 0.299, kb = hd ? 0.0722 : 0.114;
    const double kg = 1 - kr - kb;
    const bool full = pix.quantization == V4L2_QUANTIZATION_FULL_RANGE ||
                      (pix.quantization == V4L2_QUANTIZATION_DEFAULT && pix.colorspace == V4L2_COLORSPACE_JPEG);
    const double lumaScale = full ? 1.0 : 255.0 / 219.0, chromaScale = full ? 1.0 : 255.0 / 224.0;
    const int black = full ? 0 : 16;
    for (int level = 0; level < 256; level++) {
        const double c = (level - 128) * chromaScale * 65536;
        luma[level] = (int32_t)std::lround((level - black) * lumaScale * 65536);
        redCr[level] = (int32_t)std::lround(c * 2 * (1 - kr));
        blueCb[level] = (int32_t)std::lround(c * 2 * (1 - kb));
        greenCb[level] = (int32_t)std::lround(-c * 2 * kb * (1 - kb) / kg);
        greenCr[level] = (int32_t)std::lround(-c * 2 * kr * (1 - kr) / kg);
    }
}

static inline unsigned char level(int32_t fixed) {
    const int32_t rounded = (fixed + 32768) >> 16;
    return (unsigned char)(rounded < 0 ? 0 : rounded > 255 ? 255 : rounded);
}

void YcbcrDecoder::decode(const unsigned char* frame, unsigned char* bgr) const {
    for (uint32_t y = 0; y < pix.height; y++) {
        const unsigned char* lumaLine = frame + lumaRow * y;
        const unsigned char* chromaLine = frame + chroma + chromaRow * (y >> chromaRowShift);
        for (uint32_t x = 0; x < pix.width; x++, bgr += 3) {
            const unsigned char* pair = chromaLine + chromaStep * (x / 2);
            const int32_t l = luma[lumaLine[lumaStep * x + lumaOffset]];
            const unsigned blue = pair[cb], red = pair[cr];
            bgr[0] = level(l + blueCb[blue]);
            bgr[1] = level(l + greenCb[blue] + greenCr[red]);
            bgr[2] = level(l + redCr[red]);
        }
    }
}
