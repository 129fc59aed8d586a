// Fuzzes what a camera's frame goes through before the hand-over: every layout the frame intake
// reads, at several sizes, in one to three planes of any length and row stride, with arbitrary
// contents (truncated and broken JPEGs among them).
//   byte 0: layout   byte 1: size   byte 2: planes - 1 (bits 0-1), row stride / 16 (bits 2-7,
//   0: rows not padded)   byte 3: BT.709 (bit 0), full range (bit 1)   then the planes' bytes,
//   split evenly among them
#include <map>
#include <memory>
#include <vector>

#include "capture/frame_intake.h"

static const int sizes[][2] = {{160, 120}, {32, 24}, {16, 12}, {176, 144}, {2, 2}, {8, 6}, {640, 480}, {63, 47}};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const FrameFormat format{(PixelLayout)(data[0] % 13), sizes[data[1] % 8][0], sizes[data[1] % 8][1],
                             (data[3] & 1) != 0, (data[3] & 2) != 0};
    static std::map<std::vector<int>, std::unique_ptr<FrameIntake>> intakes;  // configuring is slow
    auto& intake = intakes[{(int)format.layout, format.width, format.height, data[3] & 3}];
    if (!intake) {
        intake = std::make_unique<FrameIntake>();
        if (!intake->configure(format, 160, 120)) return 0;
    }
    const int count = 1 + (data[2] & 3) % 3;
    const size_t given = size - 4, each = given / count;
    // Each plane in a buffer of its own, exactly as long as said, so that a read past it shows.
    std::vector<std::unique_ptr<unsigned char[]>> buffers;
    FramePlane planes[3];
    for (int p = 0; p < count; p++) {
        const size_t length = p == count - 1 ? given - each * p : each;
        buffers.emplace_back(new unsigned char[length ? length : 1]);
        std::copy(data + 4 + each * p, data + 4 + each * p + length, buffers.back().get());
        planes[p] = {buffers.back().get(), length, (size_t)(data[2] >> 2) * 16};
    }
    if (const unsigned char* frame = intake->take(planes, count)) {  // every byte of the frame must be readable
        static std::vector<unsigned char> copy;
        copy.assign(frame, frame + intake->frameBytes());
    }
    return 0;
}
