// The PipeWire camera on PipeWire itself (a private session, PipeWire's own test source as the
// camera): frames handed over from PipeWire's thread while the loop's side copies them as fast
// as it can, never waiting (under ThreadSanitizer in CI); and the camera let go cleanly.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "pipewire/pipewire_camera.h"
#include "tests/support/fake_v4l2.h"

namespace {

TEST(PipeWireCamera, HandsFramesOverFromPipeWiresThread) {
    const std::string dir = testing::TempDir() + "pipewire-camera-" + std::to_string(getpid());
    const std::string session = QUILTCAM_SOURCE_DIR "/tests/support/pipewire_session.sh";
    if (std::system((session + " start " + dir + " && " + session + " camera-add " + dir).c_str()) != 0)
        GTEST_SKIP() << "no PipeWire session (cmake/install-deps.sh installs PipeWire)";
    setenv("XDG_RUNTIME_DIR", (dir + "/run").c_str(), 1);
    {
        RecordingTap tap;
        PipeWireCamera camera(&tap);
        ASSERT_TRUE(camera.start(160, 120)) << camera.failure();
        std::vector<unsigned char> frame(160 * 120 * 3);
        long copies = 0;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
        while (std::chrono::steady_clock::now() < end) copies += camera.copyFrame(frame.data());
        EXPECT_GE(copies, 10) << "frames copied while " << tap.count() << " were handed over";
        EXPECT_STREQ(camera.name(), "test-camera");
    }
    unsetenv("XDG_RUNTIME_DIR");
    std::system((session + " end " + dir).c_str());
}

}  // namespace
