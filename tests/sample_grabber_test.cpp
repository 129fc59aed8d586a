// The sample grabber's frame copy, as the grid relies on it: the newest whole frame or
// nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "camera/CameraGrid.h"
#include "tests/support/test_camera.h"

namespace {

const LONG frameSize = 160 * 120 * 3;

struct GrabberTest : ::testing::Test {
    std::shared_ptr<TestCamera> camera = std::make_shared<TestCamera>();
    TestCameraScope scope{{camera}};
    CameraGrid grid{160, 120, 26, 20};
    std::vector<unsigned char> buffer = std::vector<unsigned char>(frameSize + 16, 0xAB);

    HRESULT copy(LONG* size) { return grid.grabber->GetCurrentBuffer(size, reinterpret_cast<LONG*>(buffer.data())); }
};

TEST_F(GrabberTest, FramesOfAnotherSizeAreDropped) {
    camera->show(std::vector<unsigned char>(frameSize, 1));
    camera->show(std::vector<unsigned char>(frameSize - 3, 2));  // short
    camera->show(std::vector<unsigned char>(frameSize + 3, 3));  // long
    LONG size = frameSize;
    ASSERT_EQ(copy(&size), S_OK);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[frameSize - 1], 1);
}

TEST_F(GrabberTest, HandOverIsAWholeFrameOrNothing) {
    // The producer hands over frames of one byte value each, as fast as it can, while this
    // thread copies them: a copy with two values would be two frames mixed.
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::vector<unsigned char> frame(frameSize);
        for (unsigned number = 0; !done; number++) {
            std::fill(frame.begin(), frame.end(), (unsigned char)number);
            camera->show(frame);
        }
    });
    int copies = 0, changes = 0;
    for (int i = 0; copies < 500 && i < 10000000; i++) {
        LONG size = frameSize;
        const unsigned char before = buffer[0];
        if (copy(&size) != S_OK) continue;  // no frame yet
        copies++;
        changes += buffer[0] != before;
        const auto [low, high] = std::minmax_element(buffer.begin(), buffer.begin() + frameSize);
        ASSERT_EQ(*low, *high) << "copy " << i << " mixes frames";
    }
    done = true;
    producer.join();
    EXPECT_EQ(copies, 500);
    EXPECT_GT(changes, 1);  // the frames did change under the copies
}

}  // namespace
