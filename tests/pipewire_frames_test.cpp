// PipeWire's buffers that are not a whole frame (flagged, short, their chunk outside their
// memory) dropped; whole ones, at the format agreed last, taken.
#include <gtest/gtest.h>

#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include "pipewire/pipewire_frames.h"

namespace {

TEST(PipeWireFrames, WholeBuffersAtTheFormatAgreedLast) {
    // YUY2, mid-grey but for a white first pixel, agreed at 64 x 48 and then again at 32 x 24.
    std::vector<unsigned char> memory(80 * 48 * 2, 128);
    memory[0] = memory[2] = 235;
    struct Case {
        const char* name;
        uint32_t width, height;  // the size agreed
        uint32_t offset, size, stride, chunkFlags, headerFlags;
        bool taken;
    };
    const Case cases[] = {
        {"a whole frame", 64, 48, 0, 64 * 48 * 2, 128, 0, 0, true},
        {"the chunk flagged corrupted", 64, 48, 0, 64 * 48 * 2, 128, SPA_CHUNK_FLAG_CORRUPTED, 0, false},
        {"the header flagged corrupted", 64, 48, 0, 64 * 48 * 2, 128, 0, SPA_META_HEADER_FLAG_CORRUPTED, false},
        {"short", 64, 48, 0, 64 * 47 * 2, 128, 0, 0, false},
        {"the chunk past the memory's end", 64, 48, 4096, 64 * 48 * 2, 128, 0, 0, false},
        {"renegotiated smaller", 32, 24, 0, 32 * 24 * 2, 64, 0, 0, true},
    };
    FrameIntake intake;
    for (const Case& c : cases) {
        uint8_t pod[1024];
        spa_pod_builder builder{};
        builder.data = pod;
        builder.size = sizeof pod;
        const OfferedMode agreed{{c.width, c.height, 0, 1, 30}, PixelLayout::yuyv, SPA_VIDEO_FORMAT_YUY2, {30, 1}};
        FrameFormat format{PixelLayout::bgr24, 0, 0};
        uint32_t rate[2];
        ASSERT_TRUE(frameFormatOf(formatFor(agreed, &builder), &format, rate) && intake.configure(format, 16, 12)) << c.name;
        spa_chunk chunk{c.offset, c.size, (int32_t)c.stride, (int32_t)c.chunkFlags};
        spa_data data{};
        data.type = SPA_DATA_MemPtr;
        data.maxsize = (uint32_t)memory.size();
        data.data = memory.data();
        data.chunk = &chunk;
        spa_meta_header header{};
        header.flags = c.headerFlags;
        spa_meta meta{SPA_META_Header, sizeof header, &header};
        const spa_buffer buffer{1, 1, &meta, &data};
        FramePlane planes[3];
        const int count = planesOf(&buffer, planes);
        const unsigned char* frame = count ? intake.take(planes, count) : nullptr;
        EXPECT_EQ(frame != nullptr, c.taken) << c.name;
        // The white pixel lands in the top right output pixel (bottom-up, not yet mirrored) whatever
        // the stride, brighter the smaller the frame.
        if (frame) {
            EXPECT_GT(frame[(11 * 16 + 0) * 3], 128 + 4 * 64 / c.width) << c.name;
        }
    }
}

}  // namespace
