// What is not a whole frame is dropped by the frame intake (what is, of every shape and layout,
// is tested in frame_shapes_test.cpp against a model).
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "capture/frame_intake.h"

namespace {

TEST(FrameIntake, TakesWholeFramesOnly) {
    std::ifstream file(QUILTCAM_SOURCE_DIR "/tests/fuzz/corpus/frame_intake/mjpeg-160x120", std::ios::binary);
    std::vector<unsigned char> jpeg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    jpeg.erase(jpeg.begin(), jpeg.begin() + 7);  // the fuzzer's settings
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
