// The V4L2 camera on what no driver in the guest can be: a frame longer than its buffer, nodes
// that need a media controller, grey-only cameras and ones with no format the intake reads, a
// range of sizes whose steps miss 160 x 120 (vivid's steps of 2 meet it), buffers that cannot be
// queued again. (Frames flagged bad or cut short, MJPEG cut short, unplugs: the USB webcam's
// cases in the guest; colour stated every way drivers state it: the frame shapes' model.)
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "app/quiltcam.h"
#include "v4l2/v4l2_camera.h"
#include "tests/support/fake_v4l2.h"

namespace {

struct V4l2CameraTest : ::testing::Test {
    FakeV4l2Scope scope;
    FakeV4l2& fake = scope.v4l2;
};

TEST_F(V4l2CameraTest, AFrameLongerThanItsBufferIsDropped) {
    // Every other frame says it is longer than the memory it is in; the good ones, all alike,
    // are all that may come through.
    FakeNode& node = fake.add("/dev/video0");
    node.fill = [](const v4l2_pix_format& pix, unsigned char* data, size_t size, long n) {
        for (size_t i = 0; i < size; i++) data[i] = i % 2 ? 128 : 220;
        return n % 2 ? size + 4096 : pix.sizeimage;
    };
    RecordingTap sink;
    V4l2Camera camera(fake, &sink);
    ASSERT_TRUE(camera.start(160, 120));
    EXPECT_TRUE(waitFor([&] { return sink.count() >= 4; }));
    camera.stop();
    EXPECT_EQ(sink.distinct(), 1) << "a bad frame came through";
    EXPECT_GE(camera.framesDropped.load(), 3);
}

TEST_F(V4l2CameraTest, TheFirstUsableCameraIsTaken) {
    // (Busy and forbidden nodes: the guest's cases, on vivid.)
    enum Kind { colour, metadata, mediaController, grey, unreadable };
    struct Case {
        std::vector<Kind> nodes;  // /dev/video0, 1, ...
        const char* taken;        // the camera's name, or the line that says why there is none
    };
    const Case cases[] = {
        {{metadata, colour}, "Fake camera (/dev/video1)"},
        {{mediaController, colour}, "Fake camera (/dev/video1)"},
        {{grey, colour}, "Fake camera (/dev/video1)"},
        {{grey, metadata}, "Fake camera (/dev/video0)"},
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
            case unreadable: node.formats = {v4l2_fourcc('H', 'E', 'V', 'C')}; break;
            }
        }
        CameraGrid grid(160, 120, 26, 20);
        char failure[256];
        describeCaptureFailure(grid, failure, sizeof failure);
        EXPECT_STREQ(grid.capturing() ? grid.camera->name() : failure, c.taken);
    }
}

TEST_F(V4l2CameraTest, OfARangeOfSizesTheRulesIsAskedFor) {
    // From 100 x 100 in steps of 64: the driver's nearest to 160 x 120 would be too short.
    FakeNode& node = fake.add("/dev/video0");
    node.width = node.height = 100, node.step = 64;
    V4l2Camera camera(fake, nullptr);
    ASSERT_TRUE(camera.start(160, 120));
    EXPECT_EQ(std::make_pair(node.current.width, node.current.height), std::make_pair(164u, 164u));
}

TEST_F(V4l2CameraTest, ABufferThatCannotBeQueuedAgainBreaksTheStream) {
    // From the tenth frame on, until the camera is opened again: frames must come again, from the
    // camera opened afresh, at once rather than after two seconds of silence.
    FakeNode& node = fake.add("/dev/video0");
    RecordingTap sink;
    V4l2Camera camera(fake, &sink);
    ASSERT_TRUE(camera.start(160, 120));
    ASSERT_TRUE(waitFor([&] { return sink.count() >= 10; }));
    node.qbufFails = true;
    const long before = sink.count();
    EXPECT_TRUE(waitFor([&] { return sink.count() >= before + 10; }, std::chrono::milliseconds(1500)))
        << "the picture froze";
    EXPECT_GE(node.opens, 2);
}

}  // namespace
