// What becomes of each frame a camera sends, whichever camera system brought it: checked, reduced to the frame size asked for (the middle of the frame's shape,
// area-averaged) and handed on as blue-green-red, rows bottom-up.
//   - BGR and RGB are scaled as they come, rows top-down or bottom-up. (Windows reads nothing
//     else: Y'CbCr and MJPEG need libyuv and libjpeg-turbo, which the Linux build links.)
//   - Y'CbCr (packed and planar 4:2:2, 4:2:0) is averaged in Y'CbCr, plane by plane, and only
//     the averages are converted, with the matrix and range the camera states: Y'CbCr to R'G'B'
//     is affine, so that is the mean of the converted pixels (but where a pixel clips), at a
//     fraction of the cost. libyuv splits the interleaved layouts into planes.
//   - MJPEG is decoded by libjpeg-turbo straight to the smallest size that still covers the
//     frame (a half, a quarter or an eighth), then scaled.
// A frame shorter than its layout needs, or a JPEG without its end (or of another size than
// the stream's), is dropped, never read past its end. Rows may be padded: each plane's stride
// comes with the frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "capture/frame_scaler.h"

enum class PixelLayout {
    bgr24, rgb24,              // packed, 3 bytes a pixel
    yuyv, yvyu, uyvy, vyuy,    // packed 4:2:2, in the order the name spells
    nv12, nv21, nv16, nv61,    // semi-planar: Y', then Cb and Cr side by side (4:2:0, 4:2:2)
    yu12, yv12,                // planar 4:2:0: Y', Cb, Cr (YV12: Cr before Cb)
    mjpeg,
};

// How much either Linux back end likes a layout, 0 best: exact colour, then Y'CbCr by how much
// colour it keeps, then JPEG (lossy, and the slowest to decode).
int layoutPreference(PixelLayout layout);
// Its four-character code as V4L2 names it ("BGR3", "YUYV", "MJPG"): how reports name formats.
uint32_t fourccOf(PixelLayout layout);

// The weights a camera's Y'CbCr is formed with: Kr and Kb of BT.601 (sRGB's and JPEG's), BT.709
// (HDTV's), BT.2020 or SMPTE 240M.
enum class YcbcrMatrix { bt601, bt709, bt2020, smpte240m };

struct FrameFormat {
    PixelLayout layout;
    int width, height;
    // Y'CbCr only: the matrix, and full range rather than limited (black at 16).
    YcbcrMatrix matrix = YcbcrMatrix::bt601;
    bool fullRange = false;
    // RGB only: rows from the bottom up (as Windows lays out bitmaps) rather than from the top.
    bool bottomUp = false;
};

// One plane of a frame in a buffer: where it starts, the bytes there are, the bytes from one
// row to the next (0: rows are not padded).
struct FramePlane {
    const unsigned char* data;
    size_t bytes;
    size_t rowBytes;
};

class FrameIntake {
public:
    FrameIntake();
    ~FrameIntake();
    FrameIntake(const FrameIntake&) = delete;
    FrameIntake& operator=(const FrameIntake&) = delete;

    // Frames of `format` in, frames of width x height out. Allocates here only; false for a
    // size it cannot take.
    bool configure(const FrameFormat& format, int width, int height);
    // A frame in `count` planes (1 to 3). Where a layout's planes follow one another in a single
    // one, as V4L2 lays them out, one is enough: the rest start where the one before ends, with
    // a stride from the first (half of it for the planes of YU12 and YV12). The frame made, or
    // null when it is dropped; it stays valid until the next call.
    const unsigned char* take(const FramePlane* planes, int count);
    size_t frameBytes() const { return out.size(); }
    const FrameFormat& format() const { return in; }

private:
    // Where the libraries for them are (elsewhere, false and null).
    bool configureYcbcr();
    bool configureJpeg();
    const unsigned char* takeYcbcr(const FramePlane* planes, int count);
    const unsigned char* takeJpeg(const FramePlane& plane);
    void convert();

    FrameFormat in{PixelLayout::bgr24, 0, 0};
    int width = 0, height = 0;
    FrameScaler scaler, chromaScaler;  // chromaScaler: Cb and Cr, which may cover 2 pixels each way
    std::vector<unsigned char> split, out;  // split: the planes of interleaved Y'CbCr
    std::vector<uint16_t> luma, cb, cr;     // the averages, in 1/256 of a level
    void* jpeg = nullptr;                   // libjpeg-turbo's decompressor
    int jpegWidth = 0, jpegHeight = 0;      // the size it decodes to
    // The conversion: each level's share of each channel, in 1/2^16 of a level per 1/256.
    int64_t lumaScale = 0, black = 0, redCr = 0, greenCb = 0, greenCr = 0, blueCb = 0;
};
