// The Y'CbCr formats webcams send uncompressed, decoded to blue-green-red with the matrix and
// range the driver says they were encoded with: BT.601 or BT.709, limited range (black at 16,
// white at 235) or full. libv4lconvert reads every Y'CbCr frame with one approximate full-range
// matrix, which shows limited-range colours too strong.
#pragma once

#include <linux/videodev2.h>

#include <cstddef>
#include <cstdint>

class YcbcrDecoder {
public:
    // Whether frames of this pixel format are decoded here: packed 4:2:2 (YUYV, YVYU, UYVY,
    // VYUY), semi-planar 4:2:0 and 4:2:2 (NV12, NV21, NV16, NV61), planar 4:2:0 (YU12, YV12).
    static bool decodes(uint32_t pixelFormat);
    // Plans for frames described by pix. Builds the tables; allocates nothing.
    void plan(const v4l2_pix_format& pix);
    // The bytes a whole frame takes.
    size_t frameBytes() const { return bytes; }
    // One whole frame to packed blue-green-red, rows top-down, width x 3 bytes each.
    void decode(const unsigned char* frame, unsigned char* bgr) const;

private:
    v4l2_pix_format pix{};
    size_t bytes = 0;
    // Where a pixel's samples are, in bytes: the luma of pixel x in row y at lumaRow * y +
    // lumaStep * x + lumaOffset; its chroma pair at chroma + chromaRow * (y >> chromaRowShift) +
    // chromaStep * (x / 2), Cb at +cb, Cr at +cr.
    size_t lumaRow = 0, lumaStep = 0, lumaOffset = 0, chroma = 0, chromaRow = 0, chromaStep = 0, cb = 0, cr = 0;
    int chromaRowShift = 0;
    // Each sample's share of each channel, in 1/65536 of a level.
    int32_t luma[256], redCr[256], greenCb[256], greenCr[256], blueCb[256];
};
