// How the grid builds its capture chain on the platform: the calls and their order, the
// device chosen, and the references left held (what Wine's DirectShow cannot show).
#include <gtest/gtest.h>

#include "camera/CameraGrid.h"
#include "platform/call_trace.h"
#include "tests/support/test_camera.h"

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

TEST(CaptureChain, CallsComeInOrderOnTheFirstDevice) {
    // The device joins the graph before its format changes, and the format changes before it
    // is connected; a device that does not describe itself with a VIDEOINFOHEADER keeps its
    // format.
    const std::vector<std::string> connected = {
        "Connect Video Capture -> Grabber", "SetBufferSamples TRUE", "SetOneShot FALSE", "AddFilter NullRenderer",
        "Connect Grabber -> NullRenderer", "RenderStream", "Run"};
    std::vector<std::string> withFormat = {"AddFilter Video Capture", "SetMediaType", "AddFilter Grabber"};
    std::vector<std::string> withoutFormat = withFormat;
    withFormat.push_back("SetFormat 160x120");
    withFormat.insert(withFormat.end(), connected.begin(), connected.end());
    withoutFormat.insert(withoutFormat.end(), connected.begin(), connected.end());
    for (bool videoInfo : {true, false}) {
        auto camera = videoInfo ? std::make_shared<TestCamera>(640, 480) : std::make_shared<NotVideoInfoCamera>();
        auto second = std::make_shared<TestCamera>();
        TestCameraScope scope{{camera, second}};
        Trace trace;
        CameraGrid grid(160, 120, 26, 20);
        EXPECT_EQ(trace.calls, videoInfo ? withFormat : withoutFormat);
        EXPECT_TRUE(grid.capturing());
        EXPECT_EQ(camera->startedWidth, videoInfo ? 160 : camera->width);
        EXPECT_EQ(second->sink, nullptr);  // only the first device of the category is used
    }
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
    // A connection that finds no input pin gives back the output pin it found first.
    EXPECT_EQ(grid.connectFilters(grid.graph, grid.grabberFilter, grid.source), E_FAIL);
    EXPECT_EQ(references(grid.grabberFilter), 4u);
}

}  // namespace
