// The V4L2 camera on what the real driver in the guest cannot be: MJPEG, frames of the wrong
// length or flagged bad with a picture of their own, nodes that need a media controller,
// grey-only cameras, buffers that cannot be queued again, colour stated every way drivers do.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "app/quiltcam.h"
#include "v4l2/v4l2_camera.h"
#include "tests/support/fake_v4l2.h"

namespace {

// The fuzzing seed's 160 x 120 JPEG (after its seven bytes of fuzzer settings): red at the
// top, fading to blue at the bottom.
std::vector<unsigned char> seedJpeg() {
    std::ifstream file(QUILTCAM_SOURCE_DIR "/tests/fuzz/corpus/frame_intake/mjpeg-160x120", std::ios::binary);
    std::vector<unsigned char> jpeg((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    jpeg.erase(jpeg.begin(), jpeg.begin() + std::min<size_t>(7, jpeg.size()));
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
