// PipeWire's formats and buffers on their way in, on PipeWire's own types: what a node offers,
// chosen by the shared rule; the format agreed, and agreed again when the source renegotiates;
// buffers that are not a whole frame (flagged, short, their chunk outside their memory) dropped.
#include <gtest/gtest.h>

#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>

#include "pipewire/pipewire_frames.h"

namespace {

struct Offer {  // one EnumFormat: raw formats (none: MJPEG), then sizes and rates, each a choice
    std::vector<uint32_t> formats;
    uint32_t sizeChoice;
    std::vector<spa_rectangle> sizes;
    uint32_t rateChoice;
    std::vector<spa_fraction> rates;
};

const spa_pod* build(spa_pod_builder* b, const Offer& offer) {
    spa_pod_frame object, choice;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_add(b, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video), SPA_FORMAT_mediaSubtype,
                        SPA_POD_Id(offer.formats.empty() ? SPA_MEDIA_SUBTYPE_mjpg : SPA_MEDIA_SUBTYPE_raw), 0);
    if (!offer.formats.empty()) {
        spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_format, 0);
        spa_pod_builder_push_choice(b, &choice, SPA_CHOICE_Enum, 0);
        for (uint32_t format : offer.formats) spa_pod_builder_id(b, format);
        spa_pod_builder_pop(b, &choice);
    }
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_push_choice(b, &choice, offer.sizeChoice, 0);
    for (const spa_rectangle& size : offer.sizes) spa_pod_builder_rectangle(b, size.width, size.height);
    spa_pod_builder_pop(b, &choice);
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_push_choice(b, &choice, offer.rateChoice, 0);
    for (const spa_fraction& rate : offer.rates) spa_pod_builder_fraction(b, rate.num, rate.denom);
    spa_pod_builder_pop(b, &choice);
    return static_cast<const spa_pod*>(spa_pod_builder_pop(b, &object));
}

TEST(PipeWireFrames, TheSharedChoiceFromWhatANodeOffers) {
    const uint32_t most = 0x7fffffff;
    struct Case {
        const char* node;
        std::vector<Offer> offers;
        PixelLayout layout;
        uint32_t width, height, rate;
    };
    const Case cases[] = {
        {"PipeWire's test source: any size, any rate",
         {{{SPA_VIDEO_FORMAT_RGB, SPA_VIDEO_FORMAT_RGB, SPA_VIDEO_FORMAT_UYVY}, SPA_CHOICE_Range,
           {{320, 240}, {1, 1}, {most, most}}, SPA_CHOICE_Range, {{25, 1}, {0, 1}, {most, 1}}}},
         PixelLayout::rgb24, 160, 120, 30},
        {"a webcam through the V4L2 monitor: 16:9 first, MJPEG faster",
         {{{}, SPA_CHOICE_Enum, {{1280, 720}, {1280, 720}, {640, 480}}, SPA_CHOICE_Enum, {{60, 1}, {60, 1}, {30, 1}}},
          {{SPA_VIDEO_FORMAT_YUY2}, SPA_CHOICE_None, {{1280, 720}}, SPA_CHOICE_Enum, {{10, 1}, {10, 1}, {5, 1}}},
          {{SPA_VIDEO_FORMAT_YUY2}, SPA_CHOICE_None, {{640, 480}}, SPA_CHOICE_Enum, {{60, 1}, {60, 1}, {30, 1}, {15, 1}}}},
         PixelLayout::yuyv, 640, 480, 30},
        {"a camera of sizes in steps, no rate under 60",
         {{{SPA_VIDEO_FORMAT_NV12}, SPA_CHOICE_Step, {{640, 480}, {64, 64}, {4096, 4096}, {64, 48}}, SPA_CHOICE_Enum,
           {{120, 1}, {120, 1}, {60, 1}}}},
         PixelLayout::nv12, 192, 160, 60},
    };
    for (const Case& c : cases) {
        std::vector<OfferedMode> offered;
        uint8_t buffer[4096];
        for (const Offer& offer : c.offers) {
            spa_pod_builder builder{};
            builder.data = buffer;
            builder.size = sizeof buffer;
            addOfferedModes(build(&builder, offer), 160, 120, &offered);
        }
        std::vector<CameraMode> modes;
        for (const OfferedMode& mode : offered) modes.push_back(mode.mode);
        const int chosen = chooseMode(modes, 160, 120);
        ASSERT_GE(chosen, 0) << c.node;
        const OfferedMode& mode = offered[chosen];
        EXPECT_TRUE(mode.layout == c.layout && mode.mode.width == c.width && mode.mode.height == c.height &&
                    mode.rate[0] == c.rate * mode.rate[1])
            << c.node << ": " << mode.mode.width << "x" << mode.mode.height << " at " << mode.rate[0] << "/" << mode.rate[1];
    }
}

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
        {"rows padded", 64, 48, 0, 80 * 48 * 2, 160, 0, 0, true},
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
