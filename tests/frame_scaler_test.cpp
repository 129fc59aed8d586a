// Area-averaging scaling against a reference that integrates each output pixel's area in
// double precision.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "capture/frame_scaler.h"

namespace {

std::vector<unsigned char> reference(const std::vector<unsigned char>& source, int sw, int sh, int tw, int th) {
    std::vector<unsigned char> target((size_t)tw * th * 3);
    const double sx = (double)sw / tw, sy = (double)sh / th;
    for (int y = 0; y < th; y++)
        for (int x = 0; x < tw; x++)
            for (int c = 0; c < 3; c++) {
                double sum = 0;
                for (int j = (int)(y * sy); j < sh && j < (y + 1) * sy; j++)
                    for (int i = (int)(x * sx); i < sw && i < (x + 1) * sx; i++) {
                        const double wx = std::min<double>(i + 1, (x + 1) * sx) - std::max<double>(i, x * sx);
                        const double wy = std::min<double>(j + 1, (y + 1) * sy) - std::max<double>(j, y * sy);
                        sum += wx * wy * source[((size_t)j * sw + i) * 3 + c];
                    }
                target[((size_t)y * tw + x) * 3 + c] = (unsigned char)std::lround(sum / (sx * sy));
            }
    return target;
}

TEST(FrameScaler, ScalesTheMiddleOfTheTargetsShapeByItsAreaIntegral) {
    struct Case {
        int sw, sh;
        int x, y, w, h;  // the part of the source that must be scaled
        int tolerance;   // integer ratios are exact; others may round the other way
    };
    const Case cases[] = {
        {640, 480, 0, 0, 640, 480, 0},  {320, 240, 0, 0, 320, 240, 0},  {160, 120, 0, 0, 160, 120, 0},
        {1280, 720, 160, 0, 960, 720, 0}, {320, 180, 40, 0, 240, 180, 1}, {352, 288, 0, 12, 352, 264, 1},
        {176, 144, 0, 6, 176, 132, 1},  {100, 80, 0, 2, 100, 75, 1},    {1, 768, 0, 383, 1, 1, 0},  // a sliver: a pixel
    };
    std::mt19937 random(5);
    for (const Case& c : cases) {
        std::vector<unsigned char> source((size_t)c.sw * c.sh * 3), middle;
        for (auto& byte : source) byte = (unsigned char)(random() & 255);
        for (int y = c.y; y < c.y + c.h; y++)
            middle.insert(middle.end(), &source[((size_t)y * c.sw + c.x) * 3], &source[((size_t)y * c.sw + c.x + c.w) * 3]);
        FrameScaler scaler;
        scaler.plan(c.sw, c.sh, 160, 120);
        std::vector<unsigned char> scaled(160 * 120 * 3);
        scaler.scale(source.data(), scaled.data(), false);
        const auto expected = reference(middle, c.w, c.h, 160, 120);
        for (size_t i = 0; i < scaled.size(); i++)
            ASSERT_LE(std::abs(scaled[i] - expected[i]), c.tolerance) << c.sw << "x" << c.sh << " byte " << i;
    }
}

}  // namespace
