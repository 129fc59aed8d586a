// The V4L2 camera on what no driver in the guest can be: a frame longer than its buffer, nodes
// that need a media controller, grey-only cameras and ones with no format the intake reads,
// buffers that cannot be queued again, colour stated every way drivers state it. (Frames
// flagged bad or cut short, MJPEG cut short, unplugs: the USB webcam's cases in the guest.)
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

TEST_F(V4l2CameraTest, TheColourTheDriverStates) {
    // One Y'CbCr colour that no matrix or range turns into another's: the display's colour
    // by the encoding the driver states, or, where it states none, the one the kernel's own map
    // gives its colour space (HDTV's and DCI-P3's are BT.709), and full range only where it
    // says so or its colour space is JPEG's.
    const unsigned char y = 120, cb = 90, cr = 180;
    struct Case {
        uint32_t colorspace, encoding, quantization;
        double kr, kb;
        bool full;
    };
    const Case cases[] = {
        {V4L2_COLORSPACE_SRGB, V4L2_YCBCR_ENC_DEFAULT, V4L2_QUANTIZATION_DEFAULT, 0.299, 0.114, false},
        {V4L2_COLORSPACE_REC709, V4L2_YCBCR_ENC_DEFAULT, V4L2_QUANTIZATION_DEFAULT, 0.2126, 0.0722, false},
        {V4L2_COLORSPACE_DCI_P3, V4L2_YCBCR_ENC_DEFAULT, V4L2_QUANTIZATION_DEFAULT, 0.2126, 0.0722, false},
        {V4L2_COLORSPACE_BT2020, V4L2_YCBCR_ENC_DEFAULT, V4L2_QUANTIZATION_DEFAULT, 0.2627, 0.0593, false},
        {V4L2_COLORSPACE_SMPTE240M, V4L2_YCBCR_ENC_DEFAULT, V4L2_QUANTIZATION_DEFAULT, 0.212, 0.087, false},
        {V4L2_COLORSPACE_SRGB, V4L2_YCBCR_ENC_XV709, V4L2_QUANTIZATION_DEFAULT, 0.2126, 0.0722, false},
        {V4L2_COLORSPACE_REC709, V4L2_YCBCR_ENC_601, V4L2_QUANTIZATION_DEFAULT, 0.299, 0.114, false},
        {V4L2_COLORSPACE_JPEG, V4L2_YCBCR_ENC_DEFAULT, V4L2_QUANTIZATION_DEFAULT, 0.299, 0.114, true},
        {V4L2_COLORSPACE_SRGB, V4L2_YCBCR_ENC_DEFAULT, V4L2_QUANTIZATION_FULL_RANGE, 0.299, 0.114, true},
    };
    for (const Case& c : cases) {
        FakeV4l2Scope scope;
        FakeNode& node = scope.v4l2.add("/dev/video0");
        node.colorspace = c.colorspace;
        node.ycbcrEncoding = c.encoding;
        node.quantization = c.quantization;
        node.fill = [&](const v4l2_pix_format& pix, unsigned char* data, size_t size, long) {
            for (size_t i = 0; i + 3 < size; i += 4) data[i] = y, data[i + 1] = cb, data[i + 2] = y, data[i + 3] = cr;
            return (size_t)pix.sizeimage;
        };
        RecordingTap sink;
        V4l2Camera camera(scope.v4l2, &sink);
        ASSERT_TRUE(camera.start(160, 120));
        ASSERT_TRUE(waitFor([&] { return sink.count() >= 2; }));
        camera.stop();
        const double luma = c.full ? y : (y - 16) * 255.0 / 219, blue = (cb - 128) * (c.full ? 1 : 255.0 / 224),
                     red = (cr - 128) * (c.full ? 1 : 255.0 / 224), kg = 1 - c.kr - c.kb;
        const double want[3] = {luma + 2 * (1 - c.kb) * blue,
                                luma - (2 * c.kb * (1 - c.kb) * blue + 2 * c.kr * (1 - c.kr) * red) / kg,
                                luma + 2 * (1 - c.kr) * red};
        const std::vector<unsigned char> frame = sink.latest();
        for (int channel = 0; channel < 3; channel++)
            EXPECT_NEAR(frame[(size_t)channel], want[channel], 0.51)
                << "colour space " << c.colorspace << ", encoding " << c.encoding << ", quantization " << c.quantization
                << ", channel " << channel << " (blue, green, red)";
    }
}

}  // namespace
