// How the grid builds its capture chain on the platform: the calls and their order, the
// device chosen, pin look-ups, and the references left held.
#include <gtest/gtest.h>

#include <random>

#include "camera/CameraGrid.h"
#include "platform/call_trace.h"
#include "tests/reference_arithmetic.h"
#include "tests/test_camera.h"

namespace {

// Records the platform calls made while it lives.
struct Trace {
    std::vector<std::string> calls;
    Trace() { platform::callTrace = &calls; }
    ~Trace() { platform::callTrace = nullptr; }
};

// The count an object holds, seen through AddRef and Release.
ULONG references(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

class NotVideoInfoCamera : public TestCamera {
public:
    bool reportsVideoInfo() const override { return false; }
};

TEST(CaptureChain, CallsComeInOrder) {
    auto camera = std::make_shared<TestCamera>(640, 480);
    TestCameraScope scope{{camera}};
    Trace trace;
    CameraGrid grid(160, 120, 26, 20);
    // The device joins the graph before its format changes, and the format changes before
    // the device is connected.
    const std::vector<std::string> expected = {
        "AddFilter Video Capture", "SetMediaType",          "AddFilter Grabber",
        "SetFormat 160x120",       "Connect Video Capture -> Grabber",
        "SetBufferSamples TRUE",   "SetOneShot FALSE",      "AddFilter NullRenderer",
        "Connect Grabber -> NullRenderer", "RenderStream",  "Run",
    };
    EXPECT_EQ(trace.calls, expected);
    EXPECT_TRUE(grid.capturing());
    EXPECT_EQ(camera->startedWidth, 160);
    EXPECT_EQ(camera->startedHeight, 120);
}

TEST(CaptureChain, DeviceWithoutVideoInfoKeepsItsSizeAndIsScaled) {
    auto camera = std::make_shared<NotVideoInfoCamera>();
    camera->width = 320;
    camera->height = 240;
    TestCameraScope scope{{camera}};
    Trace trace;
    CameraGrid grid(160, 120, 26, 20);
    for (const std::string& call : trace.calls) EXPECT_EQ(call.rfind("SetFormat", 0), std::string::npos) << call;
    EXPECT_EQ(camera->startedWidth, 320);  // the device keeps its own size

    // The grabber connected at 320 x 240: each copy is scaled to the grid's 160 x 120. A frame
    // of 2 x 2 blocks gives back, exactly, the frame the blocks were made from.
    std::mt19937 random(3);
    std::vector<unsigned char> small(160 * 120 * 3), large(320 * 240 * 3);
    for (auto& byte : small) byte = (unsigned char)(random() & 255);
    for (int y = 0; y < 240; y++)
        for (int x = 0; x < 320; x++)
            for (int c = 0; c < 3; c++) large[(y * 320 + x) * 3 + c] = small[(y / 2 * 160 + x / 2) * 3 + c];
    camera->show(large);
    grid.update();
    const auto expected = referenceCells(small.data(), 160, 120, 26, 20);
    for (int i = 0; i < 520; i++) {
        ASSERT_EQ(grid.cellColours()[i]->g, expected[i].g) << i;
        ASSERT_EQ(grid.cellLuma()[i], expected[i].luma) << i;
    }
}

TEST(CaptureChain, FirstDeviceIsUsed) {
    auto first = std::make_shared<TestCamera>(), second = std::make_shared<TestCamera>();
    TestCameraScope scope{{first, second}};
    CameraGrid grid(160, 120, 26, 20);
    EXPECT_NE(first->sink, nullptr);
    EXPECT_EQ(second->sink, nullptr);
}

TEST(CaptureChain, NoDeviceStopsBeforeTheGraphIsBuilt) {
    TestCameraScope scope{{}};
    Trace trace;
    CameraGrid grid(160, 120, 26, 20);
    EXPECT_FALSE(grid.capturing());
    EXPECT_EQ(grid.captureResult(), VFW_E_NO_CAPTURE_HARDWARE);
    EXPECT_TRUE(trace.calls.empty());
    EXPECT_EQ(grid.source, nullptr);
    grid.update();  // still safe: the picture stays black
    EXPECT_EQ(grid.cellLuma()[0], 0);
}

TEST(CaptureChain, ReferencesHeldAreTheChainsOwn) {
    auto camera = std::make_shared<TestCamera>();
    TestCameraScope scope{{camera}};
    CameraGrid grid(160, 120, 26, 20);
    // Graph: the grid, the capture graph builder and the media control.
    EXPECT_EQ(references(grid.graph), 3u);
    // Device filter: the grid, the graph, the output pin kept for the connection and the
    // stream config (pins and the stream config share the filter's count).
    EXPECT_EQ(references(grid.source), 4u);
    // Grabber: the grid twice (filter and grabber interface), the graph, its input pin.
    EXPECT_EQ(references(grid.grabberFilter), 4u);
    EXPECT_EQ(references(grid.nullRenderer), 2u);
    // The device itself: this test, the device list, the device filter and the grabber. The
    // enumerators and the moniker have let go.
    EXPECT_EQ(camera.use_count(), 4);
}

}  // namespace
