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
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <random>
#include <sstream>
#include <vector>

#include "capture/frame_intake.h"
#include "pipewire/pipewire_frames.h"
#include "v4l2/v4l2_frames.h"

namespace {

const int outWidth = 160, outHeight = 120;

// Each layout as V4L2 and PipeWire name it, and its planes' bytes as patterns, one a plane: a
// pattern spans a pixel, or two where it holds chroma (one sample covers two pixels); with
// `halfRows`, the chroma planes hold every other row. In PixelLayout's order, by which the
// fuzzer's seeds name a layout.
struct Layout {
    uint32_t fourcc, spa;
    const char* planes;
    bool halfRows;
};
const Layout layouts[] = {{V4L2_PIX_FMT_BGR24, SPA_VIDEO_FORMAT_BGR, "BGR", false},
                          {V4L2_PIX_FMT_RGB24, SPA_VIDEO_FORMAT_RGB, "RGB", false},
                          {V4L2_PIX_FMT_YUYV, SPA_VIDEO_FORMAT_YUY2, "YUYV", false},
                          {V4L2_PIX_FMT_YVYU, SPA_VIDEO_FORMAT_YVYU, "YVYU", false},
                          {V4L2_PIX_FMT_UYVY, SPA_VIDEO_FORMAT_UYVY, "UYVY", false},
                          {V4L2_PIX_FMT_VYUY, SPA_VIDEO_FORMAT_VYUY, "VYUY", false},
                          {V4L2_PIX_FMT_NV12, SPA_VIDEO_FORMAT_NV12, "Y UV", true},
                          {V4L2_PIX_FMT_NV21, SPA_VIDEO_FORMAT_NV21, "Y VU", true},
                          {V4L2_PIX_FMT_NV16, SPA_VIDEO_FORMAT_NV16, "Y UV", false},
                          {V4L2_PIX_FMT_NV61, SPA_VIDEO_FORMAT_NV61, "Y VU", false},
                          {V4L2_PIX_FMT_YUV420, SPA_VIDEO_FORMAT_I420, "Y U V", true},
                          {V4L2_PIX_FMT_YVU420, SPA_VIDEO_FORMAT_YV12, "Y V U", true},
                          {V4L2_PIX_FMT_MJPEG, 0, "", false}};
const int mjpeg = 12;

// ---- The model, from the definitions ----

using Colour = std::array<double, 3>;  // R', G', B'

// The weights of red and blue in Y': BT.601, BT.709, BT.2020, SMPTE 240M.
const char* const matrixNames[] = {"BT.601", "BT.709", "BT.2020", "SMPTE 240M"};
const double weights[][2] = {{0.299, 0.114}, {0.2126, 0.0722}, {0.2627, 0.0593}, {0.212, 0.087}};

Colour fromYcbcr(int y, int cb, int cr, int matrix, bool full) {
    const double kr = weights[matrix][0], kb = weights[matrix][1], c = full ? 1 : 255.0 / 224;
    const double l = full ? y : (y - 16) * 255.0 / 219;
    const double r = l + 2 * (1 - kr) * (cr - 128) * c, b = l + 2 * (1 - kb) * (cb - 128) * c;
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
    std::vector<std::vector<std::pair<int, double>>> columns, rows;
    for (int i = 0; i < outWidth; i++) columns.push_back(spans(x0, cropW, outWidth, i));
    for (int j = 0; j < outHeight; j++) rows.push_back(spans(y0, cropH, outHeight, j));
    std::vector<double> frame((size_t)outWidth * outHeight * 3);
    for (int j = 0; j < outHeight; j++)
        for (int i = 0; i < outWidth; i++) {
            Colour sum{};
            double area = 0;
            for (auto [y, wy] : rows[(size_t)j])
                for (auto [x, wx] : columns[(size_t)i]) {
                    const Colour c = colourAt(x, y);
                    for (int k = 0; k < 3; k++) sum[(size_t)k] += c[(size_t)k] * wx * wy;
                    area += wx * wy;
                }
            for (int k = 0; k < 3; k++)
                frame[((size_t)(outHeight - 1 - j) * outWidth + i) * 3 + k] = std::clamp(sum[2 - k] / area, 0.0, 255.0);
        }
    return frame;
}

// ---- A case: a picture, encoded in a layout, delivered as a camera system delivers it ----

// What a case does to its frame on the way; all but a JPEG's padding drop it.
enum Spoil { whole, cut, strideShort, padded, otherSize, chunkFlagged, headerFlagged, chunkPast };
const char* const spoilNames[] = {"", ", cut short", ", its stride said shorter than a row", ", padded with zeros",
                                  ", said to be 8 pixels wider", ", a chunk flagged", ", its header flagged corrupted",
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
        s << "seed " << seed << ": " << width << "x" << height << " " << std::string((const char*)&layouts[layout].fourcc, 4)
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
    const bool jpeg = c.layout == mjpeg;
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
    const double kr = weights[matrix][0], kb = weights[matrix][1], c = full ? 1 : 224.0 / 255;
    const double y = kr * rgb[0] + (1 - kr - kb) * rgb[1] + kb * rgb[2];
    const double values[3] = {full ? y : 16 + y * 219 / 255, 128 + (rgb[2] - y) / (2 * (1 - kb)) * c,
                              128 + (rgb[0] - y) / (2 * (1 - kr)) * c};
    for (int i = 0; i < 3; i++) out[i] = (unsigned char)std::clamp(std::lround(values[i]), 0L, 255L);
}

struct Delivered {
    std::vector<unsigned char> memory;         // every plane, one after another
    std::vector<std::pair<size_t, size_t>> planes;  // each plane's offset and stride
    size_t firstRow = 0, slack = 0;  // the first plane's bytes a row; the last one's stride past them
    std::vector<double> want;
};

// Encodes the picture in the case's layout, planes one after another, and works out what the
// model expects of it. Rows are `pad` bytes longer; V4L2's planar formats have one bytesperline
// (even) for all planes, half of it for the chroma of YU12 and YV12; PipeWire gives each plane a
// stride and an offset of its own.
Delivered encode(const Case& c, std::mt19937& random) {
    const int w = c.width, h = c.height;
    const Layout& layout = layouts[c.layout];
    const std::vector<unsigned char> rgb = picture(random, w, h);
    Delivered d;
    if (c.layout == mjpeg) {
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
    std::vector<unsigned char> ycc(rgb.size());
    for (size_t i = 0; i < rgb.size(); i += 3)  // runs of one colour (rectangles) converted once
        if (i && std::equal(&rgb[i], &rgb[i + 3], &rgb[i - 3])) std::copy(&ycc[i - 3], &ycc[i], &ycc[i]);
        else toYcbcr(&rgb[i], c.matrix, c.full, &ycc[i]);
    // A sample of pixel (x, y): chroma that of the first pixel of its two, in the first row of two
    // where rows share it; a second Y' past an odd width repeats the last.
    auto sample = [&](char what, int x, int y) {
        const int n = what == 'R' ? 0 : what == 'G' ? 1 : what == 'B' ? 2 : what == 'Y' ? 3 : what == 'U' ? 4 : 5;
        if (n < 3) return rgb[((size_t)y * w + x) * 3 + n];
        if (n == 3) return ycc[((size_t)y * w + std::min(x, w - 1)) * 3];
        return ycc[((size_t)(layout.halfRows ? y & ~1 : y) * w + (x & ~1)) * 3 + n - 3];
    };
    d.want = expected(w, h, [&](int x, int y) {
        if (c.layout < 2) return Colour{(double)sample('R', x, y), (double)sample('G', x, y), (double)sample('B', x, y)};
        return fromYcbcr(sample('Y', x, y), sample('U', x, y), sample('V', x, y), c.matrix, c.full);
    });
    std::istringstream patterns(layout.planes);
    const bool planar = std::strchr(layout.planes, ' ');
    for (std::string pattern; patterns >> pattern;) {
        const bool luma = pattern.find_first_of("YRGB") != std::string::npos;
        const int span = pattern.find_first_of("UV") != std::string::npos ? 2 : 1;
        const int rows = luma || !layout.halfRows ? h : (h + 1) / 2;
        const size_t rowBytes = (size_t)(w + span - 1) / span * pattern.size();
        size_t stride = rowBytes + c.pad;
        if (!d.planes.empty())
            stride = c.pipewire ? rowBytes + random() % 64 : d.planes[0].second / (pattern.size() == 2 ? 1 : 2);
        else if (planar && !c.pipewire)
            stride = (stride + 1) & ~(size_t)1;
        const size_t at = d.memory.size() + (c.pipewire ? random() % 128 : 0);
        d.memory.resize(at + stride * rows, 0);
        for (int y = 0; y < rows; y++)
            for (size_t i = 0; i < rowBytes; i++) {
                const size_t k = i % pattern.size(), ys = std::count(&pattern[0], &pattern[k], 'Y');
                const size_t x = i / pattern.size() * span + (pattern[k] == 'Y' ? ys : 0);
                d.memory[at + y * stride + i] = sample(pattern[k], (int)x, rows < h ? 2 * y : y);
            }
        d.planes.push_back({at, stride});
        if (d.planes.size() == 1) d.firstRow = rowBytes;
        d.slack = stride - rowBytes;
    }
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
                                                 : c.layout == mjpeg ? memory / 2
                                                 : std::min(memory, d.slack + 1 + (c.spoilDraw % 2 ? 0 : c.spoilDraw % memory));
    if (!c.pipewire) {
        // Each matrix as a colour space that implies it (the kernel's own map), or stated, under its
        // own colour space or another's; each range stated, or the one the colour space implies.
        const uint32_t implied[][3] = {{V4L2_COLORSPACE_SRGB, V4L2_COLORSPACE_SMPTE170M, V4L2_COLORSPACE_JPEG},
                                       {V4L2_COLORSPACE_REC709, V4L2_COLORSPACE_DCI_P3, V4L2_COLORSPACE_REC709},
                                       {V4L2_COLORSPACE_BT2020}, {V4L2_COLORSPACE_SMPTE240M}};
        const uint32_t stated[] = {V4L2_YCBCR_ENC_601, c.seed % 4 == 1 ? V4L2_YCBCR_ENC_XV709 : V4L2_YCBCR_ENC_709,
                                   V4L2_YCBCR_ENC_BT2020, V4L2_YCBCR_ENC_SMPTE240M};
        v4l2_pix_format pix{};
        pix.width = width, pix.height = (uint32_t)c.height, pix.pixelformat = layouts[c.layout].fourcc;
        pix.bytesperline = stride, pix.sizeimage = (uint32_t)d.memory.size();
        pix.colorspace = c.seed % 5 == 0 ? (uint32_t)(c.seed % 3 ? V4L2_COLORSPACE_REC709 : V4L2_COLORSPACE_SRGB)
                                         : implied[c.matrix][c.matrix < 2 ? c.seed / 7 % (c.full ? 3 : 2) : 0];
        if (c.seed % 2 || c.seed % 5 == 0) pix.ycbcr_enc = stated[c.matrix];
        pix.quantization = c.full ? (pix.colorspace == V4L2_COLORSPACE_JPEG && c.seed % 4 ? V4L2_QUANTIZATION_DEFAULT
                                                                                          : V4L2_QUANTIZATION_FULL_RANGE)
                                  : (c.seed % 4 ? V4L2_QUANTIZATION_DEFAULT : V4L2_QUANTIZATION_LIM_RANGE);
        if (!frameFormatOf(pix, &format) || !intake.configure(format, outWidth, outHeight)) return nullptr;
        const FramePlane plane = planeOf(pix, d.memory.data(), memory - lost);
        return intake.take(&plane, 1);
    }
    uint8_t pod[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(pod, sizeof pod);
    const spa_video_color_matrix matrices[] = {SPA_VIDEO_COLOR_MATRIX_BT601, SPA_VIDEO_COLOR_MATRIX_BT709,
                                               SPA_VIDEO_COLOR_MATRIX_BT2020, SPA_VIDEO_COLOR_MATRIX_SMPTE240M};
    spa_video_info_raw raw{};
    spa_video_info_mjpg jpeg{};
    raw.size = jpeg.size = {width, (uint32_t)c.height};
    raw.format = (spa_video_format)layouts[c.layout].spa, raw.color_matrix = matrices[c.matrix];
    raw.color_range = c.full ? SPA_VIDEO_COLOR_RANGE_0_255 : SPA_VIDEO_COLOR_RANGE_16_235;
    const spa_pod* param = c.layout == mjpeg ? spa_format_video_mjpg_build(&builder, SPA_PARAM_EnumFormat, &jpeg)
                                             : spa_format_video_raw_build(&builder, SPA_PARAM_EnumFormat, &raw);
    uint32_t rate[2];
    if (!frameFormatOf(param, &format, rate) || !intake.configure(format, outWidth, outHeight)) return nullptr;
    spa_data datas[3];
    spa_chunk chunks[3];
    const size_t count = d.planes.size();
    for (size_t i = 0; i < count; i++) {
        const size_t from = d.planes[i].first, end = i + 1 < count ? d.planes[i + 1].first : memory - std::min(lost, memory - from);
        chunks[i] = {(uint32_t)from, (uint32_t)(end - from), i ? (int32_t)d.planes[i].second : (int32_t)stride, 0};
        datas[i] = {SPA_DATA_MemPtr, 0, -1, 0, (uint32_t)memory, d.memory.data(), &chunks[i]};
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
    if (c.pipewire || c.spoil != whole || d.memory.size() > 60000 || c.matrix > 1) return;
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
        const bool jpeg = c.layout == mjpeg;
        const double tolerance = jpeg ? 64 : c.layout < 2 ? 0.5 + 1e-9 : 1;
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
