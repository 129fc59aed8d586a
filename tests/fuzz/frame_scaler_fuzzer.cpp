// Fuzzes the area-averaging scaler with arbitrary source and target sizes and contents.
//   bytes 0-1: source width, 2-3: source height, 4: target width, 5: target height,
//   6: flip   then the source pixels (repeated to fill the frame)
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "capture/frame_scaler.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 8) return 0;
    const int sourceWidth = 1 + (data[0] | data[1] << 8) % 1024, sourceHeight = 1 + (data[2] | data[3] << 8) % 768;
    const int targetWidth = 1 + data[4] % 200, targetHeight = 1 + data[5] % 160;
    const bool flip = data[6] & 1;
    std::vector<unsigned char> source((size_t)sourceWidth * sourceHeight * 3);
    for (size_t i = 0; i < source.size(); i++) source[i] = data[7 + i % (size - 7)];
    std::vector<unsigned char> target((size_t)targetWidth * targetHeight * 3);
    FrameScaler scaler;
    scaler.plan(sourceWidth, sourceHeight, targetWidth, targetHeight);
    scaler.scale(source.data(), target.data(), flip);
    // An average lies between the smallest and the largest byte it averages.
    unsigned char low = 255, high = 0;
    for (unsigned char byte : source) low = byte < low ? byte : low, high = byte > high ? byte : high;
    for (unsigned char byte : target)
        if (byte < low || byte > high) std::abort();
    return 0;
}
