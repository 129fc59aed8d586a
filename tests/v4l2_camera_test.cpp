// The V4L2 camera on what the real driver in the guest cannot be: MJPEG, frames of the wrong
// length or flagged bad with a picture of their own, nodes that need a media controller,
// grey-only cameras, streams that stop without an error, two cameras that come and go.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "app/quiltcam.h"
#include "v4l2/v4l2_camera.h"
#include "tests/support/fake_v4l2.h"

namespace {

// The fuzzing seed's 160 x 120 JPEG (after its four bytes of fuzzer settings): red at the
// top, fading to blue at the bottom.
std::vector<unsigned char> seedJpeg() {
    std::ifstream file(QUILTCAM_SOURCE_DIR "/tests/fuzz/corpus/frame_intake/mjpeg-160x120", std::ios::binary);
    std::vector<unsigned char> jpeg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    jpeg.erase(jpeg.begin(), jpeg.begin() + std::min<size_t>(4, jpeg.size()));
    return jpeg;
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
        decltype(FakeNode::flags) flags;
    };
    const Case cases[] = {
        {"YUYV flagged as an error, with a red picture no good frame has", V4L2_PIX_FMT_YUYV,
         [&](const v4l2_pix_format& pix, unsigned char* data, size_t size, long n) {
             grey(data, size);
             for (size_t i = 0; n % 2 && i + 3 < size; i += 4) data[i + 1] = 90, data[i + 3] = 240;  // red
             return (size_t)pix.sizeimage;
         },
         isGrey, [](long n) { return n % 2 ? (uint32_t)V4L2_BUF_FLAG_ERROR : 0u; }},
        {"YUYV sent short", V4L2_PIX_FMT_YUYV,
         [&](const v4l2_pix_format& pix, unsigned char* data, size_t size, long n) {
             grey(data, size);
             return n % 2 ? (size_t)(80 * 60 * 2) : pix.sizeimage;
         },
         isGrey, nullptr},
        {"YUYV longer than its buffer", V4L2_PIX_FMT_YUYV,
         [&](const v4l2_pix_format& pix, unsigned char* data, size_t size, long n) {
             grey(data, size);
             return n % 2 ? size + 4096 : pix.sizeimage;
         },
         isGrey, nullptr},
        {"MJPEG without its end", V4L2_PIX_FMT_MJPEG,
         [&](const v4l2_pix_format&, unsigned char* data, size_t, long n) {
             std::copy(jpeg.begin(), jpeg.end(), data);
             return n % 2 ? jpeg.size() / 2 : jpeg.size();  // half a picture, which libjpeg would decode
         },
         isUpright, nullptr},
    };
    int node = 0;
    for (const Case& c : cases) {
        const std::string path = "/dev/video" + std::to_string(node++);
        FakeNode& fakeNode = fake.add(path);
        fakeNode.formats = {c.format};
        fakeNode.fill = c.fill;
        fakeNode.flags = c.flags;
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

TEST_F(V4l2CameraTest, TheFirstUsableCameraIsTaken) {
    enum Kind { colour, metadata, mediaController, grey, busy, forbidden, unreadable };
    struct Case {
        std::vector<Kind> nodes;  // /dev/video0, 1, ...
        const char* taken;        // the camera's name, or the line that says why there is none
    };
    const Case cases[] = {
        {{metadata, colour}, "Fake camera (/dev/video1)"},
        {{mediaController, colour}, "Fake camera (/dev/video1)"},
        {{grey, colour}, "Fake camera (/dev/video1)"},
        {{grey, metadata}, "Fake camera (/dev/video0)"},
        {{busy, colour}, "Fake camera (/dev/video1)"},
        {{forbidden, grey}, "Fake camera (/dev/video1)"},
        {{metadata, busy, forbidden}, "quiltcam: cannot open Fake camera (/dev/video1): Device or resource busy"},
        {{forbidden}, "quiltcam: cannot open Fake camera (/dev/video0): Permission denied"},
        {{unreadable, metadata},
         "quiltcam: cannot take frames from Fake camera (/dev/video0): it sends no format Quiltcam reads"},
        {{metadata, mediaController}, "quiltcam: no video capture device found"},
    };
    for (const Case& c : cases) {
        FakeV4l2Scope scope;
        for (size_t i = 0; i < c.nodes.size(); i++) {
            FakeNode& node = scope.v4l2.add("/dev/video" + std::to_string(i));
            switch (c.nodes[i]) {
            case colour: break;
            case metadata: node.caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING; break;
            case mediaController: node.caps |= V4L2_CAP_IO_MC; break;
            case grey: node.formats = {V4L2_PIX_FMT_GREY, V4L2_PIX_FMT_Y16}; break;
            case busy: node.busy = true; break;
            case forbidden: node.openError = EACCES; break;
            case unreadable: node.formats = {v4l2_fourcc('H', 'E', 'V', 'C')}; break;
            }
        }
        CameraGrid grid(160, 120, 26, 20);
        char failure[256];
        describeCaptureFailure(grid, failure, sizeof failure);
        EXPECT_STREQ(grid.capturing() ? grid.camera->name() : failure, c.taken);
    }
}

TEST_F(V4l2CameraTest, AStreamThatStopsIsStartedAgain) {
    // Each fault from the tenth frame on, until the camera is opened again: frames must come
    // again, from a camera opened afresh, at once for a buffer that cannot be queued, after about
    // two seconds of silence for a stream that stalled.
    struct Case {
        const char* name;
        void (*fault)(FakeNode&);
        std::chrono::milliseconds within;
    };
    const Case cases[] = {
        {"no buffer filled, the device still there", [](FakeNode& node) { node.stalled = true; },
         std::chrono::milliseconds(4000)},
        {"buffers that cannot be queued again", [](FakeNode& node) { node.qbufFails = true; },
         std::chrono::milliseconds(1500)},
    };
    for (const Case& c : cases) {
        FakeV4l2Scope scope;
        FakeNode& node = scope.v4l2.add("/dev/video0");
        RecordingTap sink;
        V4l2Camera camera(scope.v4l2, &sink);
        ASSERT_TRUE(camera.start(160, 120));
        ASSERT_TRUE(waitFor([&] { return sink.count() >= 10; }));
        c.fault(node);
        const long before = sink.count();
        EXPECT_TRUE(waitFor([&] { return sink.count() >= before + 10; }, c.within))
            << c.name << ": the picture froze";
        EXPECT_GE(node.opens, 2) << c.name;
    }
}

TEST_F(V4l2CameraTest, TheSameCameraComesBack) {
    // Two cameras, each with a picture of its own. The first drops out for a second and comes
    // back: the picture is its own again, never the other's. Then it goes for good: after a
    // while the other camera's picture.
    auto plain = [](unsigned char luma) {
        return [luma](const v4l2_pix_format& pix, unsigned char* data, size_t size, long) {
            for (size_t i = 0; i < size; i++) data[i] = i % 2 ? 128 : luma;
            return (size_t)pix.sizeimage;
        };
    };
    FakeNode& first = fake.add("/dev/video0");
    first.card = "USB camera";
    first.bus = "usb-0000:00:14.0-2";
    first.fill = plain(60);
    FakeNode& second = fake.add("/dev/video1");
    second.card = "Integrated camera";
    second.bus = "usb-0000:00:14.0-7";
    second.fill = plain(200);
    RecordingTap sink;
    V4l2Camera camera(fake, &sink);
    ASSERT_TRUE(camera.start(160, 120));
    auto showing = [&] { return sink.count() > 0 ? (int)sink.latest()[0] : -1; };
    ASSERT_TRUE(waitFor([&] { return showing() == 51; }));  // 60 in limited range
    const long distinctBefore = sink.distinct();
    first.present = false;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    first.present = true;
    const long framesBack = sink.count() + 10;
    EXPECT_TRUE(waitFor([&] { return sink.count() >= framesBack; }));
    EXPECT_EQ(showing(), 51);
    EXPECT_EQ(sink.distinct(), distinctBefore) << "the other camera's picture was shown";
    EXPECT_STREQ(camera.name(), "USB camera (/dev/video0)");
    first.present = false;
    EXPECT_TRUE(waitFor([&] { return showing() == 214; }));  // 200 in limited range
}

}  // namespace
