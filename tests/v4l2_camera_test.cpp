// The V4L2 camera against the fake kernel: formats converted, sizes scaled, faults survived.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <thread>

#include "app/quiltcam.h"
#include "camera/CameraGrid.h"
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

// YUYV where luminance falls from top to bottom and chroma is neutral.
size_t yuyvRamp(const v4l2_pix_format& pix, unsigned char* data, size_t, long) {
    for (uint32_t y = 0; y < pix.height; y++)
        for (uint32_t x = 0; x < pix.width; x += 2) {
            unsigned char* pair = data + y * pix.bytesperline + x * 2;
            pair[0] = pair[2] = (unsigned char)(235 - y * 200 / pix.height);
            pair[1] = pair[3] = 128;
        }
    return pix.sizeimage;
}

// Blue-green-red where every byte depends on its place, so scaling can be checked exactly.
size_t bgrPattern(const v4l2_pix_format& pix, unsigned char* data, size_t, long) {
    for (uint32_t i = 0; i < pix.sizeimage; i++) data[i] = (unsigned char)((i * 7 + i / 1920) & 255);
    return pix.sizeimage;
}

struct V4l2CameraTest : ::testing::Test {
    FakeV4l2Scope scope;
    FakeV4l2& fake = scope.v4l2;
    Sink sink;
};

TEST_F(V4l2CameraTest, YuyvCameraDeliversUprightBottomUpBgr) {
    FakeNode& node = fake.add("/dev/video0");
    node.fill = yuyvRamp;
    platform::V4l2Camera camera(fake, "/dev/video0");
    ASSERT_EQ(camera.open(), S_OK);
    ASSERT_EQ(camera.start(160, 120, &sink), S_OK);
    ASSERT_TRUE(waitFor([&] { return sink.count() >= 3; }));
    camera.stop();
    const auto frame = sink.latest();
    ASSERT_EQ(frame.size(), 160u * 120 * 3);
    // Grey (neutral chroma), darkest in the first row stored: bottom-up.
    const unsigned char* bottom = &frame[0];
    const unsigned char* top = &frame[119 * 480];
    EXPECT_EQ(bottom[0], bottom[1]);
    EXPECT_EQ(bottom[1], bottom[2]);
    EXPECT_LT(bottom[0] + 100, top[0]);
}

TEST_F(V4l2CameraTest, LargeOnlyCameraIsScaledByAreaAveraging) {
    FakeNode& node = fake.add("/dev/video0");
    node.formats = {V4L2_PIX_FMT_BGR24};
    node.sizes = {{640, 480}};
    node.fill = bgrPattern;
    platform::V4l2Camera camera(fake, "/dev/video0");
    ASSERT_EQ(camera.start(160, 120, &sink), S_OK);
    ASSERT_TRUE(waitFor([&] { return sink.count() >= 1; }));
    camera.stop();
    const auto frame = sink.latest();
    // Each output pixel is the rounded mean of a 4 x 4 block, and rows come out bottom-up.
    std::vector<unsigned char> source(640 * 480 * 3);
    v4l2_pix_format pix{};
    pix.sizeimage = (uint32_t)source.size();
    bgrPattern(pix, source.data(), source.size(), 0);
    for (int y = 0; y < 120; y++)
        for (int x = 0; x < 160; x++)
            for (int c = 0; c < 3; c++) {
                int sum = 0;
                for (int j = 0; j < 4; j++)
                    for (int i = 0; i < 4; i++) sum += source[((y * 4 + j) * 640 + x * 4 + i) * 3 + c];
                ASSERT_EQ(frame[((119 - y) * 160 + x) * 3 + c], (sum + 8) / 16) << x << "," << y << "," << c;
            }
}

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

TEST_F(V4l2CameraTest, PassingDequeueErrorsAreRidden) {
    struct Case {
        int error, times;
    };
    for (const Case c : {Case{EAGAIN, 20}, Case{EIO, 10}}) {
        Sink fresh;
        FakeNode& node = fake.add("/dev/video0");
        node.dequeueError = c.error;
        node.dequeueErrorsLeft = c.times;
        platform::V4l2Camera camera(fake, "/dev/video0");
        ASSERT_EQ(camera.start(160, 120, &fresh), S_OK);
        EXPECT_TRUE(waitFor([&] { return fresh.count() >= 3; })) << "errno " << c.error;
        camera.stop();
        EXPECT_EQ(camera.reconnections.load(), 0);
    }
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

// The grid on a fake camera, and what the program would tell the user.
struct GridOnFakeCamera : V4l2CameraTest {
    std::string failure(const CameraGrid& grid) {
        char text[512];
        describeCaptureFailure(grid, text, sizeof text);
        return text;
    }
};

TEST_F(GridOnFakeCamera, CameraThatCannotBeOpenedIsNamedWithTheReason) {
    struct Case {
        int openError, setFormatError;
        const char* message;
    };
    const Case cases[] = {
        {0, EBUSY, "quiltcam: cannot open /dev/video0: Device or resource busy"},
        {EACCES, 0, "quiltcam: cannot open /dev/video0: Permission denied"},
    };
    for (const Case& c : cases) {
        FakeNode& node = fake.add("/dev/video0");
        node.openError = c.openError;
        node.setFormatError = c.setFormatError;
        CameraGrid grid(160, 120, 26, 20);
        EXPECT_FALSE(grid.capturing());
        EXPECT_EQ(failure(grid), c.message);
    }
}

TEST_F(GridOnFakeCamera, NoCameraIsReported) {
    fake.add("/dev/video0").caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    CameraGrid grid(160, 120, 26, 20);
    EXPECT_EQ(failure(grid), "quiltcam: no video capture device found");
}

TEST_F(GridOnFakeCamera, UnplugHoldsThePictureAndReplugResumes) {
    FakeNode& node = fake.add("/dev/video0");
    node.fill = yuyvRamp;
    node.unplugAfter = 10;
    CameraGrid grid(160, 120, 26, 20);
    ASSERT_TRUE(grid.capturing());
    ASSERT_TRUE(waitFor([&] { return fake.framesSent("/dev/video0") >= 10; }));
    std::this_thread::sleep_for(50ms);
    grid.update();
    const int topLuma = grid.cellLuma()[0];
    EXPECT_GT(topLuma, 150);  // the ramp's bright top

    // Gone: updates go on at once and show the last frame.
    for (int i = 0; i < 20; i++) {
        const auto before = std::chrono::steady_clock::now();
        grid.update();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 100ms);
    }
    EXPECT_EQ(grid.cellLuma()[0], topLuma);

    // A camera appears again, under another name, with a uniformly dark picture.
    fake.add("/dev/video1", [](FakeNode& again) {
        again.fill = [](const v4l2_pix_format& pix, unsigned char* data, size_t size, long) {
            for (size_t i = 0; i < size; i++) data[i] = i % 2 ? 128 : 40;
            return (size_t)pix.sizeimage;
        };
    });
    EXPECT_TRUE(waitFor([&] {
        grid.update();
        return grid.cellLuma()[0] < 60;
    }, 2500ms)) << "capture did not resume";
}

}  // namespace
