// The camera core under a camera system of the test's own, whose cameras open or not and send
// or not: what start-up says when none can be used, a format the system renegotiates, and a
// stop that ends the system's thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "capture/camera_core.h"
#include "tests/support/fake_v4l2.h"  // RecordingTap, waitFor

namespace {

struct FakeCamera {
    std::string name;
    bool opens = true, sends = true;
};

// Frames of plain grey YUYV in the format the test sets, from a thread of the system's own.
class FakeSystem final : public CameraCore {
public:
    FakeSystem(std::vector<FakeCamera> cameras, FrameTap* tap) : CameraCore(tap), cameras(std::move(cameras)) {}
    ~FakeSystem() override { stop(); }
    std::atomic<bool> renegotiated{false};  // 64 x 48 at Y' 200 before, 32 x 24 at Y' 60 after
    std::atomic<bool> running{false};

private:
    bool launch() override {
        running = true;
        thread = std::thread([this] {
            for (int pass = 0; running; pass++) {
                if (pass % 10 == 0) tick();
                if (opened >= 0 && cameras[(size_t)opened].sends) send();
                std::this_thread::sleep_for(std::chrono::milliseconds(25));
            }
        });
        return true;
    }
    void halt() override {
        running = false;
        if (thread.joinable()) thread.join();
    }
    bool list(std::vector<std::string>* identities, bool) override {
        identities->clear();
        for (const FakeCamera& camera : cameras) identities->push_back(camera.name);
        return true;
    }
    CameraTried open(int index, bool) override {
        if (!cameras[(size_t)index].opens) {
            noteFailure("cannot open " + cameras[(size_t)index].name + ": Device or resource busy");
            return CameraTried::passedOver;
        }
        opened = index;
        named(cameras[(size_t)index].name);
        configured = 0;
        return CameraTried::started;
    }
    void close() override { opened = -1; }
    // As a system that renegotiates: the new format before the first frame in it.
    void send() {
        const bool after = renegotiated;
        const int w = after ? 32 : 64, h = after ? 24 : 48;
        const unsigned char luma = after ? 60 : 200;
        if (configured != w * h) configureFrames({PixelLayout::yuyv, w, h});
        configured = w * h;
        frame.assign((size_t)w * h * 2, 128);
        for (size_t i = 0; i < frame.size(); i += 2) frame[i] = luma;
        const FramePlane plane{frame.data(), frame.size(), 0};
        deliver(&plane, 1);
    }

    std::vector<FakeCamera> cameras;
    std::thread thread;
    int opened = -1, configured = 0;
    std::vector<unsigned char> frame;
};

TEST(CameraCore, StartUpSaysWhyNoCameraCanBeUsed) {
    struct Case {
        std::vector<FakeCamera> cameras;
        const char* said;
    };
    const Case cases[] = {
        {{}, "no video capture device found"},
        {{{"A", false}, {"B", true, false}}, "cannot open A: Device or resource busy"},
        {{{"B", true, false}}, "cannot take frames from B: it sends no frames"},
    };
    for (const Case& c : cases) {
        FakeSystem system(c.cameras, nullptr);
        EXPECT_FALSE(system.start(16, 12));
        EXPECT_STREQ(system.failure(), c.said);
        EXPECT_FALSE(system.running) << c.said << ": the system's thread runs on";
    }
}

TEST(CameraCore, ARenegotiatedFormatIsReadAsAgreed) {
    RecordingTap tap;
    FakeSystem system({{"A"}}, &tap);
    ASSERT_TRUE(system.start(16, 12));
    EXPECT_STREQ(system.name(), "A");
    auto showing = [&] { return tap.count() ? (int)tap.latest()[0] : -1; };
    EXPECT_TRUE(waitFor([&] { return showing() == 214; }));  // 200 in limited range
    system.renegotiated = true;
    // At once: not after two seconds of dropped frames and the camera opened again.
    EXPECT_TRUE(waitFor([&] { return showing() == 51; }, std::chrono::milliseconds(1000))) << "showing " << showing();
    system.stop();
    EXPECT_FALSE(system.running);
}

}  // namespace
