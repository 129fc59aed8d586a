#include "capture/frame_intake.h"

#include <utility>

#include "capture/frame_intake_layouts.h"

using namespace intake;

int layoutPreference(PixelLayout l) {
    if (l == PixelLayout::bgr24) return 0;
    if (l == PixelLayout::rgb24) return 1;
    if (packed422(l)) return 2;
    if (l == PixelLayout::nv16 || l == PixelLayout::nv61) return 3;
    return l == PixelLayout::mjpeg ? 5 : 4;
}

uint32_t fourccOf(PixelLayout layout) {
    static const char names[][5] = {"BGR3", "RGB3", "YUYV", "YVYU", "UYVY", "VYUY", "NV12",
                                    "NV21", "NV16", "NV61", "YU12", "YV12", "MJPG"};
    const char* name = names[(int)layout];
    return (uint32_t)name[0] | (uint32_t)name[1] << 8 | (uint32_t)name[2] << 16 | (uint32_t)name[3] << 24;
}

FrameIntake::FrameIntake() = default;

bool FrameIntake::configure(const FrameFormat& format, int w, int h) {
    if (format.width <= 0 || format.height <= 0 || format.width > 8192 || format.height > 8192 || w <= 0 || h <= 0)
        return false;
    in = format;
    width = w;
    height = h;
    out.assign((size_t)w * h * 3, 0);
    split.clear();
    if (format.layout == PixelLayout::bgr24 || format.layout == PixelLayout::rgb24) {
        scaler.plan(format.width, format.height, w, h);
        return true;
    }
    return format.layout == PixelLayout::mjpeg ? configureJpeg() : configureYcbcr();
}

const unsigned char* FrameIntake::take(const FramePlane* planes, int count) {
    if (!width || count < 1) return nullptr;
    const PixelLayout layout = in.layout;
    if (layout == PixelLayout::mjpeg) return takeJpeg(planes[0]);
    if (layout != PixelLayout::bgr24 && layout != PixelLayout::rgb24) return takeYcbcr(planes, count);
    size_t stride;
    if (!fits(planes[0], {(size_t)in.width * 3, (size_t)in.height}, &stride)) return nullptr;
    // The hand-over's frames are bottom-up; most cameras send rows top-down.
    scaler.scale(planes[0].data, out.data(), !in.bottomUp, (int)stride);
    if (layout == PixelLayout::rgb24)
        for (size_t i = 0; i < out.size(); i += 3) std::swap(out[i], out[i + 2]);
    return out.data();
}

