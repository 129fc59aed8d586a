// The V4L2 camera on what the real driver in the guest cannot send: MJPEG, frames of the wrong
// length, nodes that do not capture; and the size it asks a camera for.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "platform/directshow.h"
#include "platform/v4l2_camera.h"
#include "tests/fake_v4l2.h"

namespace {

using namespace std::chrono_literals;

// Keeps the newest frame a camera delivers.
class Sink final : public platform::FrameSink {
public:
    void deliverFrame(const unsigned char* data, size_t bytes) override {
        std::lock_guard<std::mutex> guard(lock);
        frame.assign(data, data + bytes);
        frames++;
    }
    std::vector<unsigned char> latest() {
        std::lock_guard<std::mutex> guard(lock);
        return frame;
    }
    long count() {
        std::lock_guard<std::mutex> guard(lock);
        return frames;
    }

private:
    std::mutex lock;
    std::vector<unsigned char> frame;
    long frames = 0;
};

template <class Condition>
bool waitFor(Condition condition, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// What the camera side asks a camera for: a size of the frame's 4:3 shape where there is one.
TEST(FrameSizeChoice, TakesTheSmallestOfTheFramesShapeThatIsLargeEnough) {
    using Sizes = std::vector<platform::FrameSize>;
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
        const platform::FrameSize chosen = platform::chooseFrameSize(c.offered, 160, 120);
        EXPECT_EQ(chosen.width, c.width);
        EXPECT_EQ(chosen.height, c.height);
    }
}

struct V4l2CameraTest : ::testing::Test {
    FakeV4l2Scope scope;
    FakeV4l2& fake = scope.v4l2;
    Sink sink;
};

TEST_F(V4l2CameraTest, ShortAndCorruptFramesAreDropped) {
    FakeNode& node = fake.add("/dev/video0");
    // Odd frames are dark and sent short; only whole (bright) frames may come through.
    node.fill = [](const v4l2_pix_format& pix, unsigned char* data, size_t size, long n) {
        std::fill(data, data + size, (unsigned char)(n % 2 ? 20 : 220));
        for (size_t i = 1; i < size; i += 2) data[i] = 128;
        return (size_t)pix.sizeimage;
    };
    node.shortFrame = [](long n) { return n % 2 == 1; };
    platform::V4l2Camera camera(fake, "/dev/video0");
    ASSERT_EQ(camera.start(160, 120, &sink), S_OK);
    for (int i = 0; i < 10; i++) {
        ASSERT_TRUE(waitFor([&] { return sink.count() > i; }));
        const auto frame = sink.latest();
        ASSERT_GT(*std::min_element(frame.begin(), frame.end()), 150) << "a short frame came through";
    }
    camera.stop();
    EXPECT_GT(camera.framesDropped.load(), 0);
}

TEST_F(V4l2CameraTest, MjpegCameraDeliversDecodedFrames) {
    // A 160 x 120 JPEG, red at the top fading to blue at the bottom (a fuzzing seed, after
    // its three bytes of fuzzer settings).
    std::ifstream file(QUILTCAM_SOURCE_DIR "/tests/fuzz/corpus/frame_intake/mjpeg-160x120", std::ios::binary);
    std::vector<unsigned char> jpeg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    ASSERT_GT(jpeg.size(), 100u);
    jpeg.erase(jpeg.begin(), jpeg.begin() + 3);
    FakeNode& node = fake.add("/dev/video0");
    node.formats = {V4L2_PIX_FMT_MJPEG};
    node.fill = [&](const v4l2_pix_format&, unsigned char* data, size_t, long) {
        std::copy(jpeg.begin(), jpeg.end(), data);
        return jpeg.size();
    };
    platform::V4l2Camera camera(fake, "/dev/video0");
    ASSERT_EQ(camera.start(160, 120, &sink), S_OK);
    ASSERT_TRUE(waitFor([&] { return sink.count() >= 2; }));
    camera.stop();
    const auto frame = sink.latest();
    const unsigned char* bottom = &frame[80 * 3];  // blue, green, red
    const unsigned char* top = &frame[(119 * 160 + 80) * 3];
    EXPECT_GT(bottom[0], 200);
    EXPECT_LT(bottom[2], 50);
    EXPECT_GT(top[2], 200);
    EXPECT_LT(top[0], 50);
}

TEST_F(V4l2CameraTest, TruncatedJpegIsDropped) {
    FakeNode& node = fake.add("/dev/video0");
    node.formats = {V4L2_PIX_FMT_MJPEG};
    node.fill = [](const v4l2_pix_format&, unsigned char* data, size_t size, long) {
        const unsigned char start[] = {0xFF, 0xD8, 0xFF, 0xE0};  // starts like a JPEG, never ends
        std::fill(data, data + size, 0x55);
        std::copy(start, start + 4, data);
        return size / 3;
    };
    platform::V4l2Camera camera(fake, "/dev/video0");
    ASSERT_EQ(camera.start(160, 120, &sink), S_OK);
    ASSERT_TRUE(waitFor([&] { return camera.framesDropped >= 5; }));
    camera.stop();
    EXPECT_EQ(sink.count(), 0);
}

TEST_F(V4l2CameraTest, EnumerationSkipsNodesThatDoNotCapture) {
    fake.add("/dev/video0").caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    fake.add("/dev/video1");
    fake.add("/dev/video2");
    fake.add("/dev/video3").answersQuerycap = false;
    platform::VideoDeviceList devices;
    platform::listV4l2Cameras(&devices);
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]->name(), "/dev/video1");
    EXPECT_EQ(devices[1]->name(), "/dev/video2");
}

}  // namespace
