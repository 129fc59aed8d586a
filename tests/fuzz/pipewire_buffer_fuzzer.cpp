// Fuzzes a PipeWire buffer on its way to the hand-over: the memory and chunks PipeWire says a
// buffer holds (one to three, any offset, size, stride and flags, a header that may flag it
// corrupted), read at the format agreed, through the frame intake.
//   byte 0: layout   byte 1: size   byte 2: datas - 1 (bits 0-1), corrupted header (bit 2)
//   then for each data 8 bytes: chunk offset (2), size (3), stride (2, signed), flags (1);
//   then the datas' memory, split evenly among them
#include <spa/buffer/meta.h>
#include <spa/param/video/raw.h>

#include <map>
#include <memory>
#include <vector>

#include "pipewire/pipewire_frames.h"

static const uint32_t spaFormats[] = {
    SPA_VIDEO_FORMAT_BGR,  SPA_VIDEO_FORMAT_RGB,  SPA_VIDEO_FORMAT_YUY2, SPA_VIDEO_FORMAT_YVYU, SPA_VIDEO_FORMAT_UYVY,
    SPA_VIDEO_FORMAT_VYUY, SPA_VIDEO_FORMAT_NV12, SPA_VIDEO_FORMAT_NV21, SPA_VIDEO_FORMAT_NV16, SPA_VIDEO_FORMAT_NV61,
    SPA_VIDEO_FORMAT_I420, SPA_VIDEO_FORMAT_YV12, 0};  // 0: MJPEG
// The generated shapes' kinds: 4:3, odd, 21:9, 3:4, and the tiny.
static const uint32_t sizes[][2] = {{160, 120}, {32, 24}, {16, 12}, {161, 121}, {2, 2}, {8, 6}, {280, 120}, {63, 84}};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const int layout = data[0] % 13;
    const uint32_t* frameSize = sizes[data[1] % 8];
    static std::map<std::vector<uint32_t>, std::unique_ptr<FrameIntake>> streams;  // configuring is slow
    auto& frames = streams[{(uint32_t)layout, frameSize[0], frameSize[1]}];
    if (!frames) {
        frames = std::make_unique<FrameIntake>();
        uint8_t pod[1024];
        spa_pod_builder builder{};
        builder.data = pod;
        builder.size = sizeof pod;
        const OfferedMode mode{{frameSize[0], frameSize[1], 0, 1, 30}, (PixelLayout)layout, spaFormats[layout], {30, 1}};
        FrameFormat format{PixelLayout::bgr24, 0, 0};
        uint32_t rate[2];
        if (frameFormatOf(formatFor(mode, &builder), &format, rate)) frames->configure(format, 160, 120);
    }
    const uint32_t count = 1 + (data[2] & 3) % 3;
    if (size < 3 + 8 * count) return 0;
    const uint8_t* memory = data + 3 + 8 * count;
    const size_t given = size - 3 - 8 * count, each = given / count;
    std::vector<std::unique_ptr<unsigned char[]>> buffers;
    spa_chunk chunks[3];
    spa_data datas[3];
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t* said = data + 3 + 8 * i;
        const size_t length = i == count - 1 ? given - each * i : each;
        buffers.emplace_back(new unsigned char[length ? length : 1]);
        std::copy(memory + each * i, memory + each * i + length, buffers.back().get());
        chunks[i] = {(uint32_t)(said[0] | said[1] << 8), (uint32_t)(said[2] | said[3] << 8 | said[4] << 16),
                     (int32_t)(int16_t)(said[5] | said[6] << 8), (int32_t)(said[7] & 3u)};
        datas[i] = {SPA_DATA_MemPtr, 0, -1, 0, (uint32_t)length, buffers.back().get(), &chunks[i]};
    }
    spa_meta_header header{};
    header.flags = (data[2] & 4) ? SPA_META_HEADER_FLAG_CORRUPTED : 0;
    spa_meta meta{SPA_META_Header, sizeof header, &header};
    const spa_buffer buffer{1, count, &meta, datas};
    FramePlane planes[3];
    const int planeCount = planesOf(&buffer, planes);
    if (const unsigned char* frame = planeCount ? frames->take(planes, planeCount) : nullptr) {  // every byte readable
        static std::vector<unsigned char> copy;
        copy.assign(frame, frame + frames->frameBytes());
    }
    return 0;
}
