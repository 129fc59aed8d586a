// The fast paths give the plain arithmetic's results to the bit: the shaders for every
// (colour, luminance) pair, the grid on random frames of several shapes.
#include <gtest/gtest.h>

#include <random>

#include "app/tile_shading.h"
#include "camera/CameraGrid.h"
#include "tests/reference_arithmetic.h"
#include "tests/test_camera.h"

namespace {

void expectEveryPairExact(SpanShader shader, const char* name) {
    uint16_t luma[256];
    for (int l = 0; l < 256; l++) luma[l] = (uint16_t)l;
    for (int c = 0; c < 256; c++) {
        const int r = c, g = 255 - c, b = (c * 7) & 255;
        uint32_t out[256];
        shader(out, luma, 256, r, g, b);
        for (int l = 0; l < 256; l++) {
            const uint32_t expected = 0xFF000000u | (uint32_t)referenceShade(r, l) << 16 |
                                      (uint32_t)referenceShade(g, l) << 8 | (uint32_t)referenceShade(b, l);
            ASSERT_EQ(out[l], expected) << name << ": colour (" << r << "," << g << "," << b << ") luminance " << l;
        }
    }
}

TEST(FastShading, EveryColourOnEveryLuminanceIsExact) {
    expectEveryPairExact(shadeSpanSse2, "SSE2");
    if (__builtin_cpu_supports("avx2")) expectEveryPairExact(shadeSpanAvx2, "AVX2");
    expectEveryPairExact(
        [](uint32_t* out, const uint16_t* luma, int count, int r, int g, int b) {
            for (int i = 0; i < count; i++) out[i] = shadePixel(luma[i], (uint32_t)r, (uint32_t)g, (uint32_t)b);
        },
        "one pixel");
}

TEST(FastShading, SpansOfEveryLengthAreWhole) {
    uint16_t luma[40];
    for (int i = 0; i < 40; i++) luma[i] = (uint16_t)(i * 6);
    for (SpanShader shader : {shadeSpanSse2, fastestSpanShader()})
        for (int count = 1; count <= 40; count++) {
            uint32_t out[41];
            out[count] = 0xDEADBEEF;
            shader(out, luma, count, 200, 100, 50);
            for (int i = 0; i < count; i++) ASSERT_EQ(out[i], shadePixel(luma[i], 200, 100, 50)) << count << "/" << i;
            ASSERT_EQ(out[count], 0xDEADBEEFu) << "wrote past a span of " << count;
        }
}

TEST(FastGrid, CellsMatchThePlainWalkOnRandomFrames) {
    struct Shape {
        int width, height, gridWidth, gridHeight;
    };
    const Shape shapes[] = {{160, 120, 26, 20}, {160, 120, 7, 5},   {160, 120, 1, 1},
                            {160, 120, 100, 130}, {160, 120, 159, 120}, {64, 48, 26, 20}};
    std::mt19937 random(99);
    for (const Shape& shape : shapes) {
        auto camera = std::make_shared<TestCamera>(shape.width, shape.height);
        TestCameraScope scope{{camera}};
        CameraGrid grid(shape.width, shape.height, shape.gridWidth, shape.gridHeight);
        for (int round = 0; round < 3; round++) {
            std::vector<unsigned char> frame((size_t)shape.width * shape.height * 3);
            // Noise, then a frame of extremes, where totals are largest.
            for (auto& byte : frame) byte = round == 2 ? (random() & 1 ? 255 : 0) : (unsigned char)(random() & 255);
            camera->show(frame);
            grid.update();
            const auto expected = referenceCells(frame.data(), shape.width, shape.height, shape.gridWidth, shape.gridHeight);
            for (int i = 0; i < grid.cellCount; i++) {
                const RgbTriple* cell = grid.cellColours()[i];
                ASSERT_EQ(cell->r, expected[i].r) << shape.gridWidth << "x" << shape.gridHeight << " cell " << i;
                ASSERT_EQ(cell->g, expected[i].g) << shape.gridWidth << "x" << shape.gridHeight << " cell " << i;
                ASSERT_EQ(cell->b, expected[i].b) << shape.gridWidth << "x" << shape.gridHeight << " cell " << i;
                ASSERT_EQ(grid.cellLuma()[i], expected[i].luma) << shape.gridWidth << "x" << shape.gridHeight << " cell " << i;
            }
        }
    }
}

}  // namespace
