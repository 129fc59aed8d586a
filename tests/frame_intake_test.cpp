// The frame intake against the standards' own encoding: colours encoded exactly (BT.601 or
// BT.709, limited or full range), laid out as each layout's definition says, in one buffer or in
// planes apart, with rows padded or not, come back within the rounding of 8-bit Y'CbCr; and what
// is not a whole frame is dropped.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/frame_intake.h"

namespace {

using Rgb = std::array<int, 3>;
// 75 % colour bars and a few others, each a 4 x 4 block (one output pixel at a quarter the size).
const Rgb colours[] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                       {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {20, 90, 240}};
const int width = 32, height = 8;  // two rows of blocks, the second the first reversed

Rgb colourAt(int x, int y) { return colours[y < 4 ? x / 4 : 7 - x / 4]; }

struct Encoding {
    const char* name;
    double kr, kb;
    bool bt709, full;
};

std::array<int, 3> encode(const Rgb& rgb, const Encoding& e) {
    const double r = rgb[0] / 255.0, g = rgb[1] / 255.0, b = rgb[2] / 255.0;
    const double y = e.kr * r + (1 - e.kr - e.kb) * g + e.kb * b;
    const double pb = (b - y) / (2 * (1 - e.kb)), pr = (r - y) / (2 * (1 - e.kr));
    if (e.full) return {(int)std::lround(255 * y), (int)std::lround(128 + 255 * pb), (int)std::lround(128 + 255 * pr)};
    return {(int)std::lround(16 + 219 * y), (int)std::lround(128 + 224 * pb), (int)std::lround(128 + 224 * pr)};
}

// The frame as the layout lays it out, each plane's rows `pad` bytes longer than they need be:
// the planes, which follow one another in a V4L2 buffer.
std::vector<std::vector<unsigned char>> layOut(const std::string& name, const Encoding& e, size_t pad) {
    auto at = [&](int x, int y) { return encode(colourAt(x, y), e); };  // Y', Cb, Cr
    std::vector<std::vector<unsigned char>> planes(1);
    if (name == "BGR3" || name == "RGB3") {
        for (int y = 0; y < height; y++, planes[0].resize(planes[0].size() + pad))
            for (int x = 0; x < width; x++)
                for (int c : {2, 1, 0}) planes[0].push_back(colourAt(x, y)[name == "BGR3" ? c : 2 - c]);
        return planes;
    }
    if (name[3] > '9') {  // packed: YUYV YVYU UYVY VYUY
        for (int y = 0; y < height; y++, planes[0].resize(planes[0].size() + pad))
            for (int x = 0; x < width; x += 2)
                for (int i = 0; i < 4; i++)
                    planes[0].push_back(name[i] == 'U' ? at(x, y)[1] : name[i] == 'V' ? at(x, y)[2] : at(x + (i >= 2), y)[0]);
        return planes;
    }
    for (int y = 0; y < height; y++, planes[0].resize(planes[0].size() + pad))
        for (int x = 0; x < width; x++) planes[0].push_back(at(x, y)[0]);
    const int chromaStep = (name == "NV16" || name == "NV61") ? 1 : 2;
    const bool cbFirst = name == "NV12" || name == "NV16" || name == "YU12";
    const std::vector<std::vector<int>> chroma = name[0] == 'N' ? std::vector<std::vector<int>>{{cbFirst ? 1 : 2, cbFirst ? 2 : 1}}
                                                                : std::vector<std::vector<int>>{{cbFirst ? 1 : 2}, {cbFirst ? 2 : 1}};
    for (const auto& samples : chroma) {  // planar chroma rows are half as long, and so is their padding
        planes.emplace_back();
        for (int y = 0; y < height; y += chromaStep, planes.back().resize(planes.back().size() + pad / chroma.size()))
            for (int x = 0; x < width; x += 2)
                for (int s : samples) planes.back().push_back(at(x, y)[s]);
    }
    return planes;
}

TEST(FrameIntake, EveryLayoutAndEncodingComesBackAsItsColours) {
    const Encoding encodings[] = {
        {"BT.601 limited", 0.299, 0.114, false, false},
        {"BT.709 limited", 0.2126, 0.0722, true, false},
        {"BT.601 full", 0.299, 0.114, false, true},
        {"BT.709 full", 0.2126, 0.0722, true, true},
    };
    const std::pair<const char*, PixelLayout> layouts[] = {
        {"BGR3", PixelLayout::bgr24}, {"RGB3", PixelLayout::rgb24}, {"YUYV", PixelLayout::yuyv},
        {"YVYU", PixelLayout::yvyu},  {"UYVY", PixelLayout::uyvy}, {"VYUY", PixelLayout::vyuy},
        {"NV12", PixelLayout::nv12},  {"NV21", PixelLayout::nv21}, {"NV16", PixelLayout::nv16},
        {"NV61", PixelLayout::nv61},  {"YU12", PixelLayout::yu12}, {"YV12", PixelLayout::yv12},
    };
    for (const Encoding& e : encodings)
        for (auto [name, layout] : layouts)
            for (size_t pad : {0, 12})      // rows as they come, and padded (as PipeWire and some drivers pad them)
                for (bool apart : {false, true}) {  // one buffer (V4L2), or a buffer per plane (PipeWire)
                    const auto planes = layOut(name, e, pad);
                    std::vector<unsigned char> whole;
                    std::vector<FramePlane> given;
                    for (const auto& plane : planes) {
                        const std::string n = name;
                        const int rows = given.empty() || n == "NV16" || n == "NV61" || n[3] > '9' ? height : height / 2;
                        whole.insert(whole.end(), plane.begin(), plane.end());
                        given.push_back({plane.data(), plane.size(), plane.size() / rows});
                    }
                    if (!apart) given = {{whole.data(), whole.size(), given[0].rowBytes}};
                    FrameIntake intake;
                    ASSERT_TRUE(intake.configure({layout, width, height, e.bt709 ? YcbcrMatrix::bt709 : YcbcrMatrix::bt601, e.full}, width / 4, height / 4));
                    const unsigned char* bgr = intake.take(given.data(), (int)given.size());
                    ASSERT_TRUE(bgr) << name << ", " << e.name << ", padded by " << pad << (apart ? ", apart" : "");
                    // Bottom-up: output row 1 is the top row of blocks. A step of limited-range
                    // luma is 1.16 levels, of chroma up to 2: half of each, rounded, at most.
                    for (int i = 0; i < 16; i++)
                        for (int c = 0; c < 3; c++)
                            ASSERT_NEAR(bgr[i * 3 + 2 - c], colourAt(i % 8 * 4, i < 8 ? 4 : 0)[c], 2)
                                << name << ", " << e.name << ", padded by " << pad << (apart ? ", apart" : "") << ", pixel " << i;
                }
}

TEST(FrameIntake, TakesWholeFramesOnly) {
    std::ifstream file(QUILTCAM_SOURCE_DIR "/tests/fuzz/corpus/frame_intake/mjpeg-160x120", std::ios::binary);
    std::vector<unsigned char> jpeg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    jpeg.erase(jpeg.begin(), jpeg.begin() + 4);  // the fuzzer's settings
    std::vector<unsigned char> padded = jpeg, cut(jpeg.begin(), jpeg.begin() + jpeg.size() / 2), yuyv(64 * 48 * 2, 128);
    padded.resize(jpeg.size() + 300, 0);  // some cameras send zeros after the end
    struct Case {
        const char* name;
        FrameFormat format;
        std::vector<FramePlane> planes;
        bool taken;
    };
    const Case cases[] = {
        {"a JPEG", {PixelLayout::mjpeg, 160, 120}, {{jpeg.data(), jpeg.size(), 0}}, true},
        {"a JPEG padded with zeros", {PixelLayout::mjpeg, 160, 120}, {{padded.data(), padded.size(), 0}}, true},
        {"half a JPEG", {PixelLayout::mjpeg, 160, 120}, {{cut.data(), cut.size(), 0}}, false},
        {"a JPEG of another size than the stream's", {PixelLayout::mjpeg, 320, 240}, {{jpeg.data(), jpeg.size(), 0}}, false},
        {"YUYV whole", {PixelLayout::yuyv, 64, 48}, {{yuyv.data(), yuyv.size(), 0}}, true},
        {"YUYV a byte short", {PixelLayout::yuyv, 64, 48}, {{yuyv.data(), yuyv.size() - 1, 0}}, false},
        {"rows said shorter than a row", {PixelLayout::yuyv, 64, 24}, {{yuyv.data(), yuyv.size(), 64}}, false},
        {"NV12 with no room for its chroma", {PixelLayout::nv12, 64, 72}, {{yuyv.data(), yuyv.size(), 0}}, false},
        {"NV12's chroma plane short", {PixelLayout::nv12, 64, 48},
         {{yuyv.data(), 64 * 48, 0}, {yuyv.data(), 64 * 24 - 1, 0}}, false},
    };
    for (const Case& c : cases) {
        FrameIntake intake;
        ASSERT_TRUE(intake.configure(c.format, 160, 120)) << c.name;
        EXPECT_EQ(intake.take(c.planes.data(), (int)c.planes.size()) != nullptr, c.taken) << c.name;
    }
}

}  // namespace
