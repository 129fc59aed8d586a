// The V4L2 camera on what the real driver in the guest cannot send: MJPEG, frames of the wrong
// length, nodes that do not capture, a camera gone before it opens; and the size it asks for.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

#include "app/quiltcam.h"
#include "capture/frame_size.h"
#include "v4l2/v4l2_camera.h"
#include "tests/support/fake_v4l2.h"

namespace {

// The fuzzing seed's 160 x 120 JPEG (after its three bytes of fuzzer settings): red at the
// top, fading to blue at the bottom.
std::vector<unsigned char> seedJpeg() {
    std::ifstream file(QUILTCAM_SOURCE_DIR "/tests/fuzz/corpus/frame_intake/mjpeg-160x120", std::ios::binary);
    std::vector<unsigned char> jpeg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    jpeg.erase(jpeg.begin(), jpeg.begin() + std::min<size_t>(3, jpeg.size()));
    return jpeg;
}

// What the camera side asks a camera for: a size of the frame's 4:3 shape where there is one.
TEST(FrameSizeChoice, TakesTheSmallestOfTheFramesShapeThatIsLargeEnough) {
    using Sizes = std::vector<FrameSize>;
    struct Case {
        Sizes offered;
        uint32_t width, height;
    };
    const Case cases[] = {
        {{{320, 180}, {640, 360}, {640, 480}, {1280, 720}}, 640, 480},  // vivid's webcam sizes
        {{{1280, 960}, {320, 240}, {160, 120}}, 160, 120},
        {{{1920, 1080}, {640, 360}, {1280, 720}}, 640, 360},  // no 4:3: the smallest; its middle is used
        {{{176, 144}, {352, 288}}, 176, 144},
        {{{80, 60}, {128, 96}}, 128, 96},  // all too small: the largest
        {{}, 0, 0},
    };
    for (const Case& c : cases) {
        const FrameSize chosen = chooseFrameSize(c.offered, 160, 120);
        EXPECT_EQ(chosen.width, c.width);
        EXPECT_EQ(chosen.height, c.height);
    }
}

struct V4l2CameraTest : ::testing::Test {
    FakeV4l2Scope scope;
    FakeV4l2& fake = scope.v4l2;
};

TEST_F(V4l2CameraTest, FramesThatAreNotWholeAreDropped) {
    // Every other frame is bad; the good ones, all alike and right, are all that may come through.
    const auto jpeg = seedJpeg();
    auto grey = [](unsigned char* data, size_t size) {
        for (size_t i = 0; i < size; i++) data[i] = i % 2 ? 128 : 220;
    };
    auto isGrey = [](const std::vector<unsigned char>& frame) {
        return *std::min_element(frame.begin(), frame.end()) == *std::max_element(frame.begin(), frame.end());
    };
    auto isUpright = [](const std::vector<unsigned char>& frame) {  // red at the top, blue at the bottom
        const unsigned char *bottom = &frame[80 * 3], *top = &frame[(119 * 160 + 80) * 3];  // rows bottom-up
        return bottom[0] > 200 && bottom[2] < 50 && top[2] > 200 && top[0] < 50;
    };
    struct Case {
        const char* name;
        uint32_t format;
        decltype(FakeNode::fill) fill;
        std::function<bool(const std::vector<unsigned char>&)> right;
    };
    const Case cases[] = {
        {"YUYV sent short", V4L2_PIX_FMT_YUYV,
         [&](const v4l2_pix_format& pix, unsigned char* data, size_t size, long n) {
             grey(data, size);
             return n % 2 ? (size_t)(80 * 60 * 2) : pix.sizeimage;
         },
         isGrey},
        {"YUYV longer than its buffer", V4L2_PIX_FMT_YUYV,
         [&](const v4l2_pix_format& pix, unsigned char* data, size_t size, long n) {
             grey(data, size);
             return n % 2 ? size + 4096 : pix.sizeimage;
         },
         isGrey},
        {"MJPEG without its end", V4L2_PIX_FMT_MJPEG,
         [&](const v4l2_pix_format&, unsigned char* data, size_t, long n) {
             std::copy(jpeg.begin(), jpeg.end(), data);
             return n % 2 ? jpeg.size() / 2 : jpeg.size();  // half a picture, which libjpeg would decode
         },
         isUpright},
    };
    int node = 0;
    for (const Case& c : cases) {
        const std::string path = "/dev/video" + std::to_string(node++);
        FakeNode& fakeNode = fake.add(path);
        fakeNode.formats = {c.format};
        fakeNode.fill = c.fill;
        RecordingTap sink;
        V4l2Camera camera(fake, &sink);
        ASSERT_TRUE(camera.start(160, 120)) << c.name;
        EXPECT_TRUE(waitFor([&] { return sink.count() >= 4; })) << c.name;
        camera.stop();
        fakeNode.present = false;  // the next case's camera is the first
        EXPECT_TRUE(sink.distinct() == 1 && c.right(sink.latest())) << c.name << ": a bad frame came through";
        EXPECT_GE(camera.framesDropped.load(), 3) << c.name;
    }
}

TEST_F(V4l2CameraTest, CameraGoneBeforeItOpensIsNamedWithTheReason) {
    fake.add("/dev/video0").presentForOpens = 2;  // seen while the devices are listed
    CameraGrid grid(160, 120, 26, 20);
    char text[256];
    describeCaptureFailure(grid, text, sizeof text);
    EXPECT_STREQ(text, "quiltcam: cannot open /dev/video0: No such file or directory");
}

TEST_F(V4l2CameraTest, NodesThatDoNotCaptureArePassedOver) {
    fake.add("/dev/video0").caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    fake.add("/dev/video1").answersQuerycap = false;
    fake.add("/dev/video2");
    V4l2Camera camera(fake);
    ASSERT_TRUE(camera.start(160, 120)) << camera.failure();
    EXPECT_STREQ(camera.name(), "/dev/video2");
}

}  // namespace
