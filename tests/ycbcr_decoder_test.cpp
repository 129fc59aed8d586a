// The Y'CbCr decoder against the standards' own encoding: colours encoded exactly (BT.601 or
// BT.709, limited or full range) and laid out as each format's V4L2 definition says come back
// within the rounding of 8-bit Y'CbCr.
#include <gtest/gtest.h>

#include <array>
#include <cctype>
#include <cmath>
#include <string>
#include <vector>

#include "v4l2/ycbcr_decoder.h"

namespace {

using Rgb = std::array<int, 3>;
// 75 % colour bars and a few others, each in a 2 x 2 block (one chroma sample in every format).
const Rgb colours[] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                       {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {20, 90, 240}};
const int width = 16, height = 2;

struct Encoding {
    const char* name;
    double kr, kb;
    bool full;
    v4l2_colorspace colorspace;
    v4l2_ycbcr_encoding ycbcr;
    v4l2_quantization quantization;
};

std::array<int, 3> encode(const Rgb& rgb, const Encoding& e) {
    const double r = rgb[0] / 255.0, g = rgb[1] / 255.0, b = rgb[2] / 255.0;
    const double y = e.kr * r + (1 - e.kr - e.kb) * g + e.kb * b;
    const double pb = (b - y) / (2 * (1 - e.kb)), pr = (r - y) / (2 * (1 - e.kr));
    if (e.full) return {(int)std::lround(255 * y), (int)std::lround(128 + 255 * pb), (int)std::lround(128 + 255 * pr)};
    return {(int)std::lround(16 + 219 * y), (int)std::lround(128 + 224 * pb), (int)std::lround(128 + 224 * pr)};
}

// The frame as the format lays it out: Y' of every pixel, and Cb, Cr once per 2 x 1 (4:2:2) or
// 2 x 2 (4:2:0) block.
std::vector<unsigned char> layOut(uint32_t format, const Encoding& e) {
    auto at = [&](int x) { return encode(colours[x / 2], e); };  // Y', Cb, Cr of column x
    std::vector<unsigned char> frame;
    const std::string name(reinterpret_cast<const char*>(&format), 4);
    if (!std::isdigit(name[3])) {  // packed: YUYV YVYU UYVY VYUY
        for (int y = 0; y < height; y++)
            for (int x = 0; x < width; x += 2)
                for (char c : name) {
                    const auto s = at(x);
                    frame.push_back(c == 'U' ? s[1] : c == 'V' ? s[2] : at(x + (frame.size() % 4 >= 2))[0]);
                }
        return frame;
    }
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width; x++) frame.push_back(at(x)[0]);
    const int chromaRows = (name == "NV16" || name == "NV61") ? height : height / 2;
    const bool cbFirst = name == "NV12" || name == "NV16" || name == "YU12";
    if (name[0] == 'N') {  // semi-planar
        for (int y = 0; y < chromaRows; y++)
            for (int x = 0; x < width; x += 2) {
                frame.push_back(at(x)[cbFirst ? 1 : 2]);
                frame.push_back(at(x)[cbFirst ? 2 : 1]);
            }
    } else {  // planar
        for (int plane : {cbFirst ? 1 : 2, cbFirst ? 2 : 1})
            for (int y = 0; y < chromaRows; y++)
                for (int x = 0; x < width; x += 2) frame.push_back(at(x)[plane]);
    }
    return frame;
}

TEST(YcbcrDecoder, DecodesWhatTheStandardsEncode) {
    const Encoding encodings[] = {
        {"BT.601 limited (sRGB)", 0.299, 0.114, false, V4L2_COLORSPACE_SRGB, V4L2_YCBCR_ENC_DEFAULT,
         V4L2_QUANTIZATION_DEFAULT},
        {"BT.709 limited (Rec. 709)", 0.2126, 0.0722, false, V4L2_COLORSPACE_REC709, V4L2_YCBCR_ENC_DEFAULT,
         V4L2_QUANTIZATION_DEFAULT},
        {"BT.601 full (JPEG)", 0.299, 0.114, true, V4L2_COLORSPACE_JPEG, V4L2_YCBCR_ENC_DEFAULT,
         V4L2_QUANTIZATION_DEFAULT},
        {"BT.709 full, said so", 0.2126, 0.0722, true, V4L2_COLORSPACE_SRGB, V4L2_YCBCR_ENC_709,
         V4L2_QUANTIZATION_FULL_RANGE},
    };
    const char* formats[] = {"YUYV", "YVYU", "UYVY", "VYUY", "NV12", "NV21", "NV16", "NV61", "YU12", "YV12"};
    for (const Encoding& e : encodings)
        for (const char* f : formats) {
            const uint32_t format = v4l2_fourcc(f[0], f[1], f[2], f[3]);
            ASSERT_TRUE(YcbcrDecoder::decodes(format)) << f;
            v4l2_pix_format pix{};
            pix.width = width;
            pix.height = height;
            pix.pixelformat = format;
            pix.bytesperline = std::isdigit(f[3]) ? width : 2 * width;  // packed: two bytes a pixel
            pix.colorspace = e.colorspace;
            pix.ycbcr_enc = e.ycbcr;
            pix.quantization = e.quantization;
            const std::vector<unsigned char> frame = layOut(format, e);
            YcbcrDecoder decoder;
            decoder.plan(pix);
            ASSERT_EQ(decoder.frameBytes(), frame.size()) << f;
            std::vector<unsigned char> bgr(width * height * 3);
            decoder.decode(frame.data(), bgr.data());
            // A step of limited-range luma is 1.16 levels, of chroma up to 2: half of each, rounded.
            for (int i = 0; i < width * height; i++) {
                const Rgb& want = colours[(i % width) / 2];
                for (int c = 0; c < 3; c++)
                    ASSERT_NEAR(bgr[i * 3 + 2 - c], want[c], 2) << e.name << ", " << f << ", pixel " << i;
            }
        }
}

}  // namespace
