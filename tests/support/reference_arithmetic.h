// Quiltcam's arithmetic written out the plain way, pixel by pixel, as the yardstick for the
// fast paths: the cells of a frame, and the display they give.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

struct ReferenceCell {
    int r, g, b, luma;
};

// frame: width x height packed blue-green-red pixels, rows bottom-up.
inline std::vector<ReferenceCell> referenceCells(const unsigned char* frame, int width, int height, int gridWidth,
                                                 int gridHeight) {
    const float columnScale = (float)((double)gridWidth / width), rowScale = (float)((double)gridHeight / height);
    std::vector<long long> sum(3 * gridWidth * gridHeight, 0), count(gridWidth * gridHeight, 0);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width - 1; x++) {
            // Output pixel y * width + x is the frame's pixel width * height - 1 - that index.
            const unsigned char* pixel = frame + 3 * ((size_t)width * height - 1 - ((size_t)y * width + x));
            const int cell = (int)(y * (double)rowScale) * gridWidth + (int)(x * (double)columnScale);
            sum[3 * cell] += pixel[2];
            sum[3 * cell + 1] += pixel[1];
            sum[3 * cell + 2] += pixel[0];
            count[cell]++;
        }
    std::vector<ReferenceCell> cells(gridWidth * gridHeight);
    for (size_t i = 0; i < cells.size(); i++) {
        ReferenceCell& c = cells[i];
        c.r = count[i] ? (int)(sum[3 * i] / count[i]) : 0;
        c.g = count[i] ? (int)(sum[3 * i + 1] / count[i]) : 0;
        c.b = count[i] ? (int)(sum[3 * i + 2] / count[i]) : 0;
        c.luma = (int)((c.b * 0.071169 + c.g * 0.71516) + c.r * 0.212671);
    }
    return cells;
}

// trunc(c x (l x k)) with k the float nearest 1/255, in double precision.
inline int referenceShade(int colour, int luma) {
    const float k = 1.0f / 255.0f;
    return (int)(colour * (luma * (double)k));
}

// The 640 x 480 display word at (x, y) for 26 x 20 cells; `outside` where the mosaic is not.
inline uint32_t referenceDisplayWord(const std::vector<ReferenceCell>& cells, int x, int y, uint32_t outside) {
    if (x < 60 || x >= 580 || y < 40 || y >= 440) return outside;
    const ReferenceCell& tint = cells[(y - 40) / 20 * 26 + (x - 60) / 20];
    const int l = cells[(y - 40) % 20 * 26 + (x - 60) % 20 + 3].luma;
    return 0xFF000000u | (uint32_t)referenceShade(tint.r, l) << 16 | (uint32_t)referenceShade(tint.g, l) << 8 |
           (uint32_t)referenceShade(tint.b, l);
}
