// The frame intake's Y'CbCr and JPEG: libyuv splits interleaved Y'CbCr into planes,
// libjpeg-turbo decodes JPEG. Built where those libraries are.
#include <libyuv/planar_functions.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "capture/frame_intake.h"
#include "capture/frame_intake_layouts.h"

using namespace intake;

namespace {

// A JPEG ends with the End Of Image marker; libjpeg decodes a truncated one all the same.
bool endsLikeJpeg(const unsigned char* data, size_t length) {
    while (length > 2 && data[length - 1] == 0) length--;  // some cameras pad with zeros
    return length >= 4 && data[length - 2] == 0xFF && data[length - 1] == 0xD9;
}

}  // namespace

FrameIntake::~FrameIntake() {
    if (jpeg) tjDestroy(jpeg);
}

bool FrameIntake::configureJpeg() {
    if (!jpeg && !(jpeg = tjInitDecompress())) return false;
    // The smallest of libjpeg-turbo's scales that still covers the frame asked for.
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    const FrameScaler::Middle middle = FrameScaler::middleOf(in.width, in.height, width, height);
    jpegWidth = in.width;
    jpegHeight = in.height;
    for (int i = 0; factors && i < count; i++) {
        const int scaledWidth = TJSCALED(in.width, factors[i]), scaledHeight = TJSCALED(in.height, factors[i]);
        // Only a half, a quarter or an eighth, of a frame whose middle it divides evenly: each
        // decoded pixel then stands for a whole block of the frame's (not so at three quarters,
        // say), and the middle cropped from the decoded picture is the frame's own.
        const int k = factors[i].denom;
        const bool even = factors[i].num == 1 && in.width % k == 0 && in.height % k == 0 && middle.x % k == 0 &&
                          middle.y % k == 0 && middle.width % k == 0 && middle.height % k == 0;
        if (even && scaledWidth >= width && scaledHeight >= height && scaledWidth <= jpegWidth &&
            scaledHeight <= jpegHeight) {
            jpegWidth = scaledWidth;
            jpegHeight = scaledHeight;
        }
    }
    split.assign((size_t)jpegWidth * jpegHeight * 3, 0);
    scaler.plan(jpegWidth, jpegHeight, width, height);
    return true;
}

bool FrameIntake::configureYcbcr() {
    const FrameFormat& format = in;
    const int w = width, h = height;
    const size_t pixels = (size_t)format.width * format.height;
    const int chromaWidth = (format.width + 1) / 2, chromaHeight = fourTwoZero(format.layout) ? (format.height + 1) / 2
                                                                                              : format.height;
    // The averaging plane by plane, and the matrix the camera states (BT.601, sRGB's and
    // JPEG's, where it states none); limited range unless it says full.
    if (packed422(format.layout)) split.assign(pixels + 2 * (size_t)chromaWidth * chromaHeight, 0);
    if (semiPlanar(format.layout)) split.assign(2 * (size_t)chromaWidth * chromaHeight, 0);
    scaler.plan(format.width, format.height, w, h, 1);
    chromaScaler.plan(format.width, format.height, w, h, 1, 2, fourTwoZero(format.layout) ? 2 : 1);
    luma.assign((size_t)w * h, 0);
    cb.assign((size_t)w * h, 0);
    cr.assign((size_t)w * h, 0);
    static const double weights[][2] = {{0.299, 0.114}, {0.2126, 0.0722}, {0.2627, 0.0593}, {0.212, 0.087}};
    const double kr = weights[(int)format.matrix][0], kb = weights[(int)format.matrix][1], kg = 1 - kr - kb;
    const double lumaFactor = format.fullRange ? 1.0 : 255.0 / 219.0, chromaFactor = format.fullRange ? 1.0 : 255.0 / 224.0;
    const double one = 65536;
    lumaScale = std::llround(lumaFactor * one);
    black = format.fullRange ? 0 : 16 * 256;
    redCr = std::llround(chromaFactor * 2 * (1 - kr) * one);
    blueCb = std::llround(chromaFactor * 2 * (1 - kb) * one);
    greenCb = std::llround(-chromaFactor * 2 * kb * (1 - kb) / kg * one);
    greenCr = std::llround(-chromaFactor * 2 * kr * (1 - kr) / kg * one);
    return true;
}


const unsigned char* FrameIntake::takeYcbcr(const FramePlane* given, int count) {
    const PixelLayout layout = in.layout;
    const size_t w = in.width, h = in.height, chromaWidth = (w + 1) / 2;
    const size_t chromaHeight = fourTwoZero(layout) ? (h + 1) / 2 : h;
    const PlaneShape shapes[3] = {
        {packed422(layout) ? chromaWidth * 4 : w, h},
        {semiPlanar(layout) ? chromaWidth * 2 : chromaWidth, chromaHeight},
        {chromaWidth, chromaHeight},
    };
    const int needed = packed422(layout) ? 1 : semiPlanar(layout) ? 2 : 3;
    // The planes given, or those that follow the first within it.
    FramePlane planes[3] = {given[0], {}, {}};
    size_t strides[3] = {};
    for (int p = 0; p < needed; p++) {
        if (p > 0 && p < count) {
            planes[p] = given[p];
        } else if (p > 0) {
            const size_t offset = strides[p - 1] * shapes[p - 1].rows;
            const FramePlane& before = planes[p - 1];
            if (offset > before.bytes) return nullptr;
            const size_t stride = planar(layout) && p == 1 ? strides[0] / 2 : strides[p - 1];
            planes[p] = {before.data + offset, before.bytes - offset, std::max(stride, shapes[p].rowBytes)};
        }
        if (!fits(planes[p], shapes[p], &strides[p])) return nullptr;
    }
    const unsigned char *y = planes[0].data, *u = planes[1].data, *v = planes[2].data;
    size_t yStride = strides[0], chromaStride = strides[1], vStride = strides[2];
    // Into planes, by libyuv: the chroma sample that comes first in a pair, then the other.
    if (packed422(layout)) {
        unsigned char *toY = split.data(), *toU = toY + w * h, *toV = toU + chromaWidth * h;
        const bool lumaFirst = layout == PixelLayout::yuyv || layout == PixelLayout::yvyu;
        (lumaFirst ? libyuv::YUY2ToI422 : libyuv::UYVYToI422)(y, (int)yStride, toY, (int)w, toU, (int)chromaWidth, toV,
                                                               (int)chromaWidth, (int)w, (int)h);
        y = toY;
        u = toU;
        v = toV;
        yStride = w;
        chromaStride = vStride = chromaWidth;
    } else if (semiPlanar(layout)) {
        unsigned char *toU = split.data(), *toV = toU + chromaWidth * chromaHeight;
        libyuv::SplitUVPlane(u, (int)chromaStride, toU, (int)chromaWidth, toV, (int)chromaWidth, (int)chromaWidth,
                             (int)chromaHeight);
        u = toU;
        v = toV;
        chromaStride = vStride = chromaWidth;
    }
    if (crFirst(layout)) {  // each plane keeps its own stride: PipeWire may give the two different ones
        std::swap(u, v);
        std::swap(chromaStride, vStride);
    }
    scaler.scaleFine(y, luma.data(), (int)yStride);
    chromaScaler.scaleFine(u, cb.data(), (int)chromaStride);
    chromaScaler.scaleFine(v, cr.data(), (int)vStride);
    convert();
    return out.data();
}

static inline unsigned char level(int64_t fixed) {  // in 1/2^24 of a level
    const int64_t rounded = (fixed + (1 << 23)) >> 24;
    return (unsigned char)(rounded < 0 ? 0 : rounded > 255 ? 255 : rounded);
}

// The averaged Y', Cb and Cr of each output pixel to blue-green-red, rows turned bottom-up.
void FrameIntake::convert() {
    for (int r = 0; r < height; r++) {
        const size_t from = (size_t)r * width;
        unsigned char* bgr = out.data() + (size_t)(height - 1 - r) * width * 3;
        for (int c = 0; c < width; c++, bgr += 3) {
            const int64_t l = lumaScale * (luma[from + c] - black), blue = cb[from + c] - 32768,
                          red = cr[from + c] - 32768;
            bgr[0] = level(l + blueCb * blue);
            bgr[1] = level(l + greenCb * blue + greenCr * red);
            bgr[2] = level(l + redCr * red);
        }
    }
}

const unsigned char* FrameIntake::takeJpeg(const FramePlane& plane) {
    if (!plane.data || !endsLikeJpeg(plane.data, plane.bytes)) return nullptr;
    int jpegWidthSaid = 0, jpegHeightSaid = 0, subsampling = 0, colourspace = 0;
    unsigned char* data = const_cast<unsigned char*>(plane.data);  // libjpeg-turbo 2 only reads it
    if (tjDecompressHeader3(jpeg, data, (unsigned long)plane.bytes, &jpegWidthSaid, &jpegHeightSaid, &subsampling,
                            &colourspace) != 0 ||
        jpegWidthSaid != in.width || jpegHeightSaid != in.height)
        return nullptr;
    // A warning (stray bytes between markers, which webcams often send) still gives the picture.
    if (tjDecompress2(jpeg, data, (unsigned long)plane.bytes, split.data(), jpegWidth, 0, jpegHeight, TJPF_BGR, 0) != 0 &&
        tjGetErrorCode(jpeg) == TJERR_FATAL)
        return nullptr;
    scaler.scale(split.data(), out.data(), true);
    return out.data();
}
