// The sample grabber's frame copy, as the grid relies on it: the newest whole frame or
// nothing.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
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

TEST_F(GrabberTest, FramesOfAnotherSizeAreDropped) {
    camera->show(std::vector<unsigned char>(frameSize, 1));
    camera->show(std::vector<unsigned char>(frameSize - 3, 2));  // short
    camera->show(std::vector<unsigned char>(frameSize + 3, 3));  // long
    LONG size = frameSize;
    ASSERT_EQ(copy(&size), S_OK);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[frameSize - 1], 1);
}

// A frame that carries its own checksum: its number, noise from that number, and a sum of
// everything before the sum's own four bytes.
uint32_t checksum(const unsigned char* data, size_t size) {
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; i++) hash = (hash ^ data[i]) * 16777619u;
    return hash;
}

void makeFrame(std::vector<unsigned char>& frame, uint32_t number) {
    std::mt19937 random(number);
    std::memcpy(frame.data(), &number, 4);
    for (size_t i = 4; i < frame.size() - 4; i++) frame[i] = (unsigned char)random();
    const uint32_t sum = checksum(frame.data(), frame.size() - 4);
    std::memcpy(frame.data() + frame.size() - 4, &sum, 4);
}

TEST_F(GrabberTest, HandOverIsAWholeFrameOrNothing) {
    // The producer writes frames as fast as it can while this thread copies them.
    std::atomic<bool> done{false};
    std::thread producer([&] {
        std::vector<unsigned char> frame(frameSize);
        for (uint32_t number = 0; !done; number++) {
            makeFrame(frame, number);
            camera->show(frame);
        }
    });
    int copies = 0;
    uint32_t last = 0, distinct = 0;
    for (int i = 0; copies < 500 && i < 10000000; i++) {
        LONG size = frameSize;
        if (copy(&size) != S_OK) continue;  // no frame yet
        copies++;
        uint32_t sum, number;
        std::memcpy(&sum, buffer.data() + frameSize - 4, 4);
        std::memcpy(&number, buffer.data(), 4);
        ASSERT_EQ(sum, checksum(buffer.data(), frameSize - 4)) << "copy " << i << " mixes frames";
        distinct += number != last;
        last = number;
    }
    done = true;
    producer.join();
    EXPECT_EQ(copies, 500);
    EXPECT_GT(distinct, 1u);  // the frames did change under the copies
}

}  // namespace
