// The sample grabber's frame copy, as the grid relies on it: the newest whole frame or
// nothing, with DirectShow's return codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "camera/CameraGrid.h"
#include "tests/test_camera.h"

namespace {

const LONG frameSize = 160 * 120 * 3;

struct GrabberTest : ::testing::Test {
    std::shared_ptr<TestCamera> camera = std::make_shared<TestCamera>();
    TestCameraScope scope{{camera}};
    CameraGrid grid{160, 120, 26, 20};
    std::vector<unsigned char> buffer = std::vector<unsigned char>(frameSize + 16, 0xAB);

    HRESULT copy(LONG* size) { return grid.grabber->GetCurrentBuffer(size, reinterpret_cast<LONG*>(buffer.data())); }
};

TEST_F(GrabberTest, CopyFollowsDirectShowsRules) {
    LONG size = frameSize;
    EXPECT_EQ(copy(&size), VFW_E_WRONG_STATE);  // no frame yet
    EXPECT_EQ(buffer[0], 0xAB);

    camera->show(std::vector<unsigned char>(frameSize, 7));
    size = frameSize - 1;
    EXPECT_EQ(copy(&size), E_OUTOFMEMORY);  // too small: untouched
    EXPECT_EQ(buffer[0], 0xAB);
    EXPECT_EQ(size, frameSize - 1);

    size = frameSize + 16;
    EXPECT_EQ(copy(&size), S_OK);
    EXPECT_EQ(size, frameSize);  // the count copied is written back
    EXPECT_EQ(buffer[frameSize - 1], 7);
    EXPECT_EQ(buffer[frameSize], 0xAB);  // nothing past the frame

    size = 0;
    EXPECT_EQ(grid.grabber->GetCurrentBuffer(&size, nullptr), S_OK);  // asks for the size
    EXPECT_EQ(size, frameSize);
    EXPECT_EQ(grid.grabber->GetCurrentBuffer(nullptr, nullptr), E_POINTER);
}

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
    // Each frame is one byte value throughout; a torn copy would mix two values.
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::vector<unsigned char> frame(frameSize);
        for (unsigned value = 0; !done; value++) {
            std::fill(frame.begin(), frame.end(), (unsigned char)value);
            camera->show(frame);
        }
    });
    int copies = 0;
    for (int i = 0; copies < 500 && i < 10000000; i++) {
        LONG size = frameSize;
        if (copy(&size) != S_OK) continue;  // no frame yet
        copies++;
        const unsigned char first = buffer[0];
        ASSERT_TRUE(std::all_of(buffer.begin(), buffer.begin() + frameSize, [&](unsigned char b) { return b == first; }))
            << "copy " << i << " mixes two frames";
    }
    done = true;
    producer.join();
    EXPECT_EQ(copies, 500);
}

}  // namespace
