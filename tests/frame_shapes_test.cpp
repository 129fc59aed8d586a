// Frames of every shape, layout, stride and colour description, delivered as each Linux camera
// system delivers them (a V4L2 driver's v4l2_format and buffer; PipeWire's format pod, built with
// SPA's own builder, and its buffer's chunks), through the frame intake, against a model written
// from the definitions: each source pixel converted to R'G'B' in double precision with the
// stated matrix and range (a JPEG decoded whole, at full size), the middle of the frame's 4:3
// shape cropped, each output pixel the exact mean of the source area it covers. One case in
// three spoils its frame the ways cameras and camera systems do, and must see it dropped. Seeded: a
// failure names its seed, and QUILTCAM_SHAPES_SEED=N runs that case alone; with
// QUILTCAM_SHAPES_CORPUS=DIR the small cases are written there as the intake fuzzer's seeds.
#include <gtest/gtest.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>
#include <vector>

#include "capture/frame_intake.h"
#include "pipewire/pipewire_frames.h"
#include "v4l2/v4l2_frames.h"

namespace {

const int outWidth = 160, outHeight = 120;
const PixelLayout layouts[] = {PixelLayout::bgr24, PixelLayout::rgb24, PixelLayout::yuyv, PixelLayout::yvyu,
                               PixelLayout::uyvy,  PixelLayout::vyuy,  PixelLayout::nv12, PixelLayout::nv21,
                               PixelLayout::nv16,  PixelLayout::nv61,  PixelLayout::yu12, PixelLayout::yv12,
                               PixelLayout::mjpeg};
const uint32_t fourccs[] = {V4L2_PIX_FMT_BGR24, V4L2_PIX_FMT_RGB24, V4L2_PIX_FMT_YUYV, V4L2_PIX_FMT_YVYU,
                            V4L2_PIX_FMT_UYVY,  V4L2_PIX_FMT_VYUY,  V4L2_PIX_FMT_NV12, V4L2_PIX_FMT_NV21,
                            V4L2_PIX_FMT_NV16,  V4L2_PIX_FMT_NV61,  V4L2_PIX_FMT_YUV420, V4L2_PIX_FMT_YVU420,
                            V4L2_PIX_FMT_MJPEG};
const uint32_t spaFormats[] = {SPA_VIDEO_FORMAT_BGR,  SPA_VIDEO_FORMAT_RGB,  SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_YVYU,
                               SPA_VIDEO_FORMAT_UYVY, SPA_VIDEO_FORMAT_VYUY, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_NV21,
                               SPA_VIDEO_FORMAT_NV16, SPA_VIDEO_FORMAT_NV61, SPA_VIDEO_FORMAT_I420, SPA_VIDEO_FORMAT_YV12,
                               0};

// ---- The model, from the definitions ----

struct Colour {
    double r, g, b;
};

// The weights of red and blue in Y': BT.601, BT.709, BT.2020, SMPTE 240M.
enum Matrix { bt601, bt709, bt2020, smpte240m };
const char* const matrixNames[] = {"BT.601", "BT.709", "BT.2020", "SMPTE 240M"};
void weights(int matrix, double* kr, double* kb) {
    const double k[][2] = {{0.299, 0.114}, {0.2126, 0.0722}, {0.2627, 0.0593}, {0.212, 0.087}};
    *kr = k[matrix][0];
    *kb = k[matrix][1];
}

Colour fromYcbcr(int y, int cb, int cr, int matrix, bool full) {
    double kr, kb;
    weights(matrix, &kr, &kb);
    const double l = full ? y : (y - 16) * 255.0 / 219, u = (cb - 128) * (full ? 1 : 255.0 / 224),
                 v = (cr - 128) * (full ? 1 : 255.0 / 224);
    const double r = l + 2 * (1 - kr) * v, b = l + 2 * (1 - kb) * u;
    return {r, (l - kr * r - kb * b) / (1 - kr - kb), b};
}

// The expected hand-over frame (blue, green, red, rows bottom-up) of a w x h source whose pixel
// (x, y) is colourAt(x, y): the middle of its 4:3 shape, each output pixel the mean of the area
// it covers, each source pixel weighted by how much of it lies inside.
template <class ColourAt>
std::vector<double> expected(int w, int h, ColourAt colourAt) {
    int cropW = w, cropH = h;
    if ((long)w * outHeight > (long)h * outWidth) cropW = (int)((long)h * outWidth / outHeight);
    else cropH = (int)((long)w * outHeight / outWidth);
    const int x0 = (w - cropW) / 2, y0 = (h - cropH) / 2;
    // Source pixel i covers [i, i + 1); output pixel j covers [j, j + 1) x crop / out of the crop.
    auto spans = [](int start, int crop, int out, int j) {
        std::vector<std::pair<int, double>> taken;
        const double from = (double)j * crop / out, to = (double)(j + 1) * crop / out;
        for (int i = (int)from; i < to; i++) taken.push_back({start + i, std::min<double>(to, i + 1) - std::max<double>(from, i)});
        return taken;
    };
    std::vector<std::vector<std::pair<int, double>>> columns;
    for (int i = 0; i < outWidth; i++) columns.push_back(spans(x0, cropW, outWidth, i));
    std::vector<double> frame((size_t)outWidth * outHeight * 3);
    std::vector<Colour> sums(outWidth);
    for (int j = 0; j < outHeight; j++) {
        std::fill(sums.begin(), sums.end(), Colour{0, 0, 0});
        double rowsTaken = 0;
        for (auto [y, wy] : spans(y0, cropH, outHeight, j)) {
            rowsTaken += wy;
            for (int i = 0; i < outWidth; i++)
                for (auto [x, wx] : columns[(size_t)i]) {
                    const Colour c = colourAt(x, y);
                    sums[(size_t)i] = {sums[i].r + c.r * wx * wy, sums[i].g + c.g * wx * wy, sums[i].b + c.b * wx * wy};
                }
        }
        const double area = rowsTaken * cropW / outWidth;
        for (int i = 0; i < outWidth; i++) {
            double* out = &frame[((size_t)(outHeight - 1 - j) * outWidth + i) * 3];
            out[0] = std::clamp(sums[(size_t)i].b / area, 0.0, 255.0);
            out[1] = std::clamp(sums[(size_t)i].g / area, 0.0, 255.0);
            out[2] = std::clamp(sums[(size_t)i].r / area, 0.0, 255.0);
        }
    }
    return frame;
}

// ---- A case: a picture, encoded in a layout, delivered as a camera system delivers it ----

// What a case does to its frame on the way; all but a JPEG's padding drop it.
enum Spoil { whole, cut, strideShort, padded, otherSize, chunkFlagged, headerFlagged, chunkPast };
const char* const spoilNames[] = {"",
                                  ", cut short",
                                  ", its stride said shorter than a row",
                                  ", padded with zeros",
                                  ", said to be 8 pixels wider",
                                  ", a chunk flagged",
                                  ", its header flagged corrupted",
                                  ", a chunk past its memory"};

struct Case {
    unsigned seed;
    int layout;  // index into layouts
    int width, height;
    int matrix;
    bool full, pipewire;
    size_t pad;  // bytes added to each row
    Spoil spoil;
    unsigned spoilDraw;  // how much of it, where
    std::string describe() const {
        std::ostringstream s;
        s << "seed " << seed << ": " << width << "x" << height << " " << (char)(fourccs[layout] & 255)
          << (char)(fourccs[layout] >> 8 & 255) << (char)(fourccs[layout] >> 16 & 255) << (char)(fourccs[layout] >> 24)
          << " " << matrixNames[matrix] << (full ? " full" : " limited") << " range, rows padded by " << pad
          << ", through " << (pipewire ? "PipeWire" : "V4L2") << spoilNames[spoil];
        return s.str();
    }
};

Case makeCase(unsigned seed) {
    std::mt19937 random(seed);
    static const double shapes[] = {4.0 / 3, 16.0 / 9, 1, 3.0 / 4, 21.0 / 9};
    Case c{seed, (int)(random() % 13), 0, 0, (int)(random() % 4), random() % 2 == 0, random() % 2 == 0, 0, whole, 0};
    const double u = std::uniform_real_distribution<double>(0, 1)(random), shape = shapes[random() % 5];
    c.height = 120 + (int)((seed % 10 ? 600 : 2040) * u * u);  // mostly small, one in ten up to 2160 rows
    c.width = std::clamp((int)std::lround(c.height * shape) + (int)(random() % 2), 160, 4096);
    if (seed % 20 == 7) c.width = 1 + (int)(random() % 200), c.height = 1 + (int)(random() % 150);  // smaller than the target
    c.pad = random() % 3 == 0 ? 0 : 1 + random() % 256;
    const bool jpeg = layouts[c.layout] == PixelLayout::mjpeg;
    c.spoil = random() % 3 ? whole : (Spoil)(1 + random() % 7);
    if ((c.spoil == strideShort && (jpeg || c.width < 2)) || (!jpeg && (c.spoil == padded || c.spoil == otherSize)) ||
        (!c.pipewire && c.spoil >= chunkFlagged))
        c.spoil = cut;
    c.spoilDraw = random();
    return c;
}

// Rectangles of random colours on a random one, every edge on an even pixel, so that two pixels
// sharing a chroma sample share its colour (none bleeds out of gamut at an edge).
std::vector<unsigned char> picture(std::mt19937& random, int w, int h) {
    std::vector<unsigned char> rgb((size_t)w * h * 3);
    auto fill = [&](int x0, int y0, int x1, int y1) {
        const unsigned char c[3] = {(unsigned char)random(), (unsigned char)random(), (unsigned char)random()};
        for (int y = y0; y < std::min(y1, h); y++)
            for (int x = x0; x < std::min(x1, w); x++) std::copy(c, c + 3, &rgb[((size_t)y * w + x) * 3]);
    };
    fill(0, 0, w, h);
    for (int n = 0; n < 12; n++) {
        const int x = (int)(random() % (unsigned)w) & ~1, y = (int)(random() % (unsigned)h) & ~1;
        fill(x, y, x + 2 + (int)(random() % (unsigned)(w / 3 + 2)) * 2, y + 2 + (int)(random() % (unsigned)(h / 3 + 2)) * 2);
    }
    return rgb;
}

void toYcbcr(const unsigned char* rgb, int matrix, bool full, unsigned char out[3]) {
    double kr, kb;
    weights(matrix, &kr, &kb);
    const double y = kr * rgb[0] + (1 - kr - kb) * rgb[1] + kb * rgb[2];
    const double cb = (rgb[2] - y) / (2 * (1 - kb)), cr = (rgb[0] - y) / (2 * (1 - kr));
    const double values[3] = {full ? y : 16 + y * 219 / 255, 128 + cb * (full ? 1 : 224.0 / 255),
                              128 + cr * (full ? 1 : 224.0 / 255)};
    for (int i = 0; i < 3; i++) out[i] = (unsigned char)std::clamp(std::lround(values[i]), 0L, 255L);
}

struct Delivered {
    std::vector<unsigned char> memory;         // every plane, one after another
    std::vector<std::pair<size_t, size_t>> planes;  // each plane's offset and stride
    size_t firstRow = 0, slack = 0;  // the first plane's bytes a row; the last one's stride past them
    std::vector<double> want;
};

// Encodes the picture in the case's layout, planes one after another, rows `pad` bytes longer
// (V4L2's chroma strides follow bytesperline as its formats define), and works out what the
// model expects of it.
Delivered encode(const Case& c, std::mt19937& random) {
    const int w = c.width, h = c.height, cw = (w + 1) / 2;
    const PixelLayout layout = layouts[c.layout];
    const std::vector<unsigned char> rgb = picture(random, w, h);
    Delivered d;
    auto pixel = [&](int x, int y) { return &rgb[((size_t)y * w + x) * 3]; };
    if (layout == PixelLayout::mjpeg) {
        tjhandle jpeg = tjInitCompress();
        unsigned char* data = nullptr;
        unsigned long size = 0;
        tjCompress2(jpeg, rgb.data(), w, 0, h, TJPF_RGB, &data, &size, TJSAMP_420, 90, 0);
        d.memory.assign(data, data + size);
        tjFree(data);
        tjDestroy(jpeg);
        std::vector<unsigned char> decoded(rgb.size());
        tjhandle decoder = tjInitDecompress();
        tjDecompress2(decoder, d.memory.data(), size, decoded.data(), w, 0, h, TJPF_RGB, 0);
        tjDestroy(decoder);
        d.planes = {{0, 0}};
        d.want = expected(w, h, [&](int x, int y) {
            const unsigned char* p = &decoded[((size_t)y * w + x) * 3];
            return Colour{(double)p[0], (double)p[1], (double)p[2]};
        });
        return d;
    }
    if (layout == PixelLayout::bgr24 || layout == PixelLayout::rgb24) {
        const size_t stride = (size_t)w * 3 + c.pad;
        d.memory.assign(stride * h, 0);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < w; x++)
                for (int i = 0; i < 3; i++)
                    d.memory[y * stride + x * 3 + i] = pixel(x, y)[layout == PixelLayout::rgb24 ? i : 2 - i];
        d.planes = {{0, stride}};
        d.firstRow = (size_t)w * 3, d.slack = c.pad;
        d.want = expected(w, h, [&](int x, int y) { return Colour{(double)pixel(x, y)[0], (double)pixel(x, y)[1], (double)pixel(x, y)[2]}; });
        return d;
    }
    // Y'CbCr: each plane's samples, then the bytes.
    const bool subsampled = layout == PixelLayout::nv12 || layout == PixelLayout::nv21 || layout == PixelLayout::yu12 ||
                            layout == PixelLayout::yv12;
    const int ch = subsampled ? (h + 1) / 2 : h;
    std::vector<unsigned char> luma((size_t)w * h), cb((size_t)cw * ch), cr((size_t)cw * ch);
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            unsigned char ycc[3];
            toYcbcr(pixel(x, y), c.matrix, c.full, ycc);
            luma[(size_t)y * w + x] = ycc[0];
            if (x % 2 == 0 && (!subsampled || y % 2 == 0)) {
                cb[(size_t)(subsampled ? y / 2 : y) * cw + x / 2] = ycc[1];
                cr[(size_t)(subsampled ? y / 2 : y) * cw + x / 2] = ycc[2];
            }
        }
    d.want = expected(w, h, [&](int x, int y) {
        const size_t chroma = (size_t)(subsampled ? y / 2 : y) * cw + x / 2;
        return fromYcbcr(luma[(size_t)y * w + x], cb[chroma], cr[chroma], c.matrix, c.full);
    });
    const bool crFirst = layout == PixelLayout::yvyu || layout == PixelLayout::vyuy || layout == PixelLayout::nv21 ||
                         layout == PixelLayout::nv61 || layout == PixelLayout::yv12;
    const std::vector<unsigned char>&first = crFirst ? cr : cb, &second = crFirst ? cb : cr;
    if (layout == PixelLayout::yuyv || layout == PixelLayout::yvyu || layout == PixelLayout::uyvy || layout == PixelLayout::vyuy) {
        const size_t stride = (size_t)cw * 4 + c.pad;
        const bool lumaFirst = layout == PixelLayout::yuyv || layout == PixelLayout::yvyu;
        d.memory.assign(stride * h, 0);
        for (int y = 0; y < h; y++)
            for (int x = 0; x < cw; x++) {
                unsigned char* p = &d.memory[y * stride + (size_t)x * 4];
                const unsigned char y0 = luma[(size_t)y * w + 2 * x], y1 = luma[(size_t)y * w + std::min(2 * x + 1, w - 1)];
                const unsigned char order[2][4] = {{y0, first[(size_t)y * cw + x], y1, second[(size_t)y * cw + x]},
                                                   {first[(size_t)y * cw + x], y0, second[(size_t)y * cw + x], y1}};
                std::copy(order[lumaFirst ? 0 : 1], order[lumaFirst ? 0 : 1] + 4, p);
            }
        d.planes = {{0, stride}};
        d.firstRow = (size_t)cw * 4, d.slack = c.pad;
        return d;
    }
    // Planar and semi-planar: V4L2's strides are bytesperline (even), and half of it for the
    // chroma of YU12 and YV12; PipeWire's each plane's own.
    const bool semi = layout == PixelLayout::nv12 || layout == PixelLayout::nv21 || layout == PixelLayout::nv16 ||
                      layout == PixelLayout::nv61;
    const size_t lumaStride = c.pipewire ? w + c.pad : (w + c.pad + 1) & ~(size_t)1;
    const size_t chromaStride = c.pipewire ? (semi ? cw * 2 : cw) + random() % 64 : semi ? lumaStride : lumaStride / 2;
    auto addPlane = [&](size_t stride, int rows, auto sample) {
        const size_t at = d.memory.size() + (c.pipewire ? random() % 128 : 0);  // PipeWire: planes at offsets
        d.memory.resize(at + stride * rows, 0);
        for (int y = 0; y < rows; y++)
            for (size_t x = 0; x < stride; x++) d.memory[at + y * stride + x] = sample(x, y);
        d.planes.push_back({at, stride});
    };
    addPlane(lumaStride, h, [&](size_t x, int y) { return x < (size_t)w ? luma[(size_t)y * w + x] : 0; });
    if (semi) {
        addPlane(chromaStride, ch, [&](size_t x, int y) {
            return x < (size_t)cw * 2 ? (x % 2 ? second : first)[(size_t)y * cw + x / 2] : 0;
        });
    } else {
        for (const auto* plane : {&first, &second})
            addPlane(chromaStride, ch, [&](size_t x, int y) { return x < (size_t)cw ? (*plane)[(size_t)y * cw + x] : 0; });
    }
    d.firstRow = (size_t)w, d.slack = chromaStride - (semi ? cw * 2 : cw);
    return d;
}

// The intake's frame of the case, read as the camera system would: null when it is dropped.
const unsigned char* deliver(const Case& c, Delivered& d, FrameIntake& intake) {
    FrameFormat format{PixelLayout::bgr24, 0, 0};
    const uint32_t width = (uint32_t)c.width + (c.spoil == otherSize ? 8 : 0);
    const uint32_t stride = c.spoil == strideShort ? (uint32_t)d.firstRow - 1 : (uint32_t)d.planes[0].second;
    if (c.spoil == padded) d.memory.resize(d.memory.size() + 1 + c.spoilDraw % 300, 0);  // as some cameras send JPEGs
    // Cut short: by a byte more than the last row's padding (often just that), or half a JPEG.
    const size_t memory = d.memory.size(), lost = c.spoil != cut ? 0
                                                 : layouts[c.layout] == PixelLayout::mjpeg ? memory / 2
                                                 : std::min(memory, d.slack + 1 + (c.spoilDraw % 2 ? 0 : c.spoilDraw % memory));
    if (!c.pipewire) {
        v4l2_pix_format pix{};
        pix.width = width;
        pix.height = (uint32_t)c.height;
        pix.pixelformat = fourccs[c.layout];
        pix.bytesperline = stride;
        pix.sizeimage = (uint32_t)d.memory.size();
        // Each colour description the way drivers give it: an encoding, or a colour space alone;
        // a range, or the one the colour space implies.
        // Each matrix as the colour space that implies it (the kernel's own map), or stated.
        const uint32_t implied[][3] = {{V4L2_COLORSPACE_SRGB, V4L2_COLORSPACE_SMPTE170M, V4L2_COLORSPACE_JPEG},
                                       {V4L2_COLORSPACE_REC709, V4L2_COLORSPACE_DCI_P3, V4L2_COLORSPACE_REC709},
                                       {V4L2_COLORSPACE_BT2020}, {V4L2_COLORSPACE_SMPTE240M}};
        const uint32_t stated[] = {V4L2_YCBCR_ENC_601, c.seed % 4 == 1 ? V4L2_YCBCR_ENC_XV709 : V4L2_YCBCR_ENC_709,
                                   V4L2_YCBCR_ENC_BT2020, V4L2_YCBCR_ENC_SMPTE240M};
        pix.colorspace = implied[c.matrix][c.matrix < 2 ? c.seed / 7 % (c.full ? 3 : 2) : 0];
        if (c.seed % 2 || c.seed % 5 == 0) pix.ycbcr_enc = stated[c.matrix];
        if (c.seed % 5 == 0) pix.colorspace = c.seed % 3 ? V4L2_COLORSPACE_REC709 : V4L2_COLORSPACE_SRGB;  // another's
        if (c.full)
            pix.quantization = pix.colorspace == V4L2_COLORSPACE_JPEG && c.seed % 4 ? V4L2_QUANTIZATION_DEFAULT
                                                                                    : V4L2_QUANTIZATION_FULL_RANGE;
        else
            pix.quantization = c.seed % 4 ? V4L2_QUANTIZATION_DEFAULT : V4L2_QUANTIZATION_LIM_RANGE;
        if (!frameFormatOf(pix, &format) || !intake.configure(format, outWidth, outHeight)) return nullptr;
        const FramePlane plane = planeOf(pix, d.memory.data(), memory - lost);
        return intake.take(&plane, 1);
    }
    uint8_t pod[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    const spa_rectangle size{width, (uint32_t)c.height};
    const spa_pod* param;
    if (layouts[c.layout] == PixelLayout::mjpeg) {
        spa_video_info_mjpg info{};
        info.size = size;
        param = spa_format_video_mjpg_build(&builder, SPA_PARAM_EnumFormat, &info);
    } else {
        spa_video_info_raw info{};
        info.format = (spa_video_format)spaFormats[c.layout];
        info.size = size;
        const spa_video_color_matrix matrices[] = {SPA_VIDEO_COLOR_MATRIX_BT601, SPA_VIDEO_COLOR_MATRIX_BT709,
                                                   SPA_VIDEO_COLOR_MATRIX_BT2020, SPA_VIDEO_COLOR_MATRIX_SMPTE240M};
        info.color_matrix = matrices[c.matrix];
        info.color_range = c.full ? SPA_VIDEO_COLOR_RANGE_0_255 : SPA_VIDEO_COLOR_RANGE_16_235;
        param = spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
    }
    uint32_t rate[2];
    if (!frameFormatOf(param, &format, rate) || !intake.configure(format, outWidth, outHeight)) return nullptr;
    spa_data datas[3] = {};
    spa_chunk chunks[3];
    const size_t count = d.planes.size();
    for (size_t i = 0; i < count; i++) {
        const size_t from = d.planes[i].first, end = i + 1 < count ? d.planes[i + 1].first : memory - std::min(lost, memory - from);
        chunks[i] = {(uint32_t)from, (uint32_t)(end - from), i ? (int32_t)d.planes[i].second : (int32_t)stride, 0};
        datas[i].type = SPA_DATA_MemPtr;
        datas[i].data = d.memory.data();
        datas[i].maxsize = (uint32_t)memory;
        datas[i].chunk = &chunks[i];
    }
    spa_chunk& spoilt = chunks[c.spoilDraw % count];
    if (c.spoil == chunkFlagged) spoilt.flags = c.spoilDraw % 4 ? SPA_CHUNK_FLAG_CORRUPTED : SPA_CHUNK_FLAG_EMPTY;
    if (c.spoil == chunkPast) spoilt.size = (uint32_t)(memory - spoilt.offset + 1 + c.spoilDraw % 64);
    spa_meta_header header{};
    header.flags = c.spoil == headerFlagged ? SPA_META_HEADER_FLAG_CORRUPTED : 0;
    spa_meta meta{SPA_META_Header, sizeof header, &header};
    const spa_buffer buffer{1, (uint32_t)count, &meta, datas};
    FramePlane planes[3];
    const int given = planesOf(&buffer, planes);
    return given ? intake.take(planes, given) : nullptr;
}

// The case as the frame intake fuzzer's input (tests/fuzz/frame_intake_fuzzer.cpp): its seeds.
void writeSeed(const char* folder, const Case& c, const Delivered& d) {
    if (c.pipewire || c.spoil != whole || d.memory.size() > 60000 || c.matrix > bt709) return;
    const size_t stride = d.planes[0].second;
    const unsigned char header[7] = {(unsigned char)c.layout, (unsigned char)(c.width - 1), (unsigned char)((c.width - 1) >> 8),
                                     (unsigned char)(c.height - 1), (unsigned char)((c.height - 1) >> 8),
                                     (unsigned char)(stride % 16 == 0 && stride / 16 < 64 ? stride / 16 << 2 : 0),
                                     (unsigned char)(c.matrix | c.full << 1)};
    const std::string path = std::string(folder) + "/seed-" + std::to_string(c.seed);
    if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(header, 1, sizeof header, file);
        std::fwrite(d.memory.data(), 1, d.memory.size(), file);
        std::fclose(file);
    }
}

TEST(FrameShapes, EveryLayoutShapeStrideAndColourAgainstTheModel) {
    // Why each tolerance holds: BGR and RGB means are exact before the intake rounds them (half
    // a level); Y'CbCr is averaged in 1/256 of a level and converted in fixed point, rounding
    // once more (one level); JPEG is decoded by libjpeg-turbo straight to a half, quarter or
    // eighth of its size, whose scaled inverse DCT is not the mean of the full picture's pixels
    // (a few levels at the rectangles' edges). One intake for every case: each configured anew,
    // as a camera system that renegotiates.
    const char* only = std::getenv("QUILTCAM_SHAPES_SEED");
    const unsigned first = only ? (unsigned)std::atoi(only) : 1, cases = only ? 1 : 3000;
    int failures = 0;
    double jpegWorst = 0;
    FrameIntake intake;
    for (unsigned seed = first; seed < first + cases && failures < 5; seed++) {
        const Case c = makeCase(seed);
        std::mt19937 random(seed * 7919u);
        Delivered d = encode(c, random);
        if (const char* corpus = std::getenv("QUILTCAM_SHAPES_CORPUS")) writeSeed(corpus, c, d);
        const unsigned char* frame = deliver(c, d, intake);
        const bool whole = c.spoil == Spoil::whole || c.spoil == padded;
        if (!frame == whole) {
            ADD_FAILURE() << c.describe() << (frame ? ": taken" : ": dropped");
            failures++;
        }
        if (!frame || !whole) continue;
        const bool jpeg = layouts[c.layout] == PixelLayout::mjpeg;
        const bool rgb = c.layout < 2;
        const double tolerance = jpeg ? 64 : rgb ? 0.5 + 1e-9 : 1;
        double worst = 0, total = 0;
        size_t at = 0;
        for (size_t i = 0; i < d.want.size(); i++) {
            const double off = std::fabs(frame[i] - d.want[i]);
            total += off;
            if (off > worst) worst = off, at = i;
        }
        const double mean = total / (double)d.want.size();
        if (jpeg) jpegWorst = std::max(jpegWorst, worst);
        if (worst > tolerance || (jpeg && mean > 1)) {
            ADD_FAILURE() << c.describe() << ": " << "BGR"[at % 3] << " of output pixel (" << at / 3 % outWidth << ", "
                          << outHeight - 1 - (int)(at / 3 / outWidth) << ") is " << (int)frame[at] << ", the model says "
                          << d.want[at] << " (mean off " << mean << ")";
            failures++;
        }
    }
    std::printf("JPEG: at worst %.1f levels off the model\n", jpegWorst);
}

}  // namespace
