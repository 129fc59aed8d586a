// Fuzzes what a camera's frame goes through before the hand-over: every layout the frame intake
// reads, at any size up to 1024 x 768, in one to three planes of any length and row stride,
// with arbitrary contents (truncated and broken JPEGs among them). Its seeds are frames of the
// generated shapes (tests/frame_shapes_test.cpp writes them, with QUILTCAM_SHAPES_CORPUS=DIR).
//   byte 0: layout   bytes 1-2, 3-4: width and height - 1 (little-endian)   byte 5: planes - 1
//   (bits 0-1), row stride / 16 (bits 2-7, 0: rows not padded)   byte 6: BT.709 (bit 0), full
//   range (bit 1)   then the planes' bytes, split evenly among them
#include <map>
#include <memory>
#include <vector>

#include "capture/frame_intake.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 7) return 0;
    const FrameFormat format{(PixelLayout)(data[0] % 13), 1 + (data[1] | data[2] << 8) % 1024,
                             1 + (data[3] | data[4] << 8) % 768,
                             (data[6] & 1) ? YcbcrMatrix::bt709 : YcbcrMatrix::bt601, (data[6] & 2) != 0};
    static std::map<std::vector<int>, std::unique_ptr<FrameIntake>> intakes;  // configuring is slow
    if (intakes.size() > 64) intakes.clear();
    auto& intake = intakes[{(int)format.layout, format.width, format.height, data[6] & 3}];
    if (!intake) {
        intake = std::make_unique<FrameIntake>();
        if (!intake->configure(format, 160, 120)) return 0;
    }
    const int count = 1 + (data[5] & 3) % 3;
    const size_t given = size - 7, each = given / count;
    // Each plane in a buffer of its own, exactly as long as said, so that a read past it shows.
    std::vector<std::unique_ptr<unsigned char[]>> buffers;
    FramePlane planes[3];
    for (int p = 0; p < count; p++) {
        const size_t length = p == count - 1 ? given - each * p : each;
        buffers.emplace_back(new unsigned char[length ? length : 1]);
        std::copy(data + 7 + each * p, data + 7 + each * p + length, buffers.back().get());
        planes[p] = {buffers.back().get(), length, (size_t)(data[5] >> 2) * 16};
    }
    if (const unsigned char* frame = intake->take(planes, count)) {  // every byte of the frame must be readable
        static std::vector<unsigned char> copy;
        copy.assign(frame, frame + intake->frameBytes());
    }
    return 0;
}
