// The mosaic renderer: the shading the arithmetic fixes, to the bit, for every colour on every
// luminance on every path that does it, and SDL's blit giving the display the arithmetic gives.
// (The whole display of the direct path, as the user sees it, is the program tests'
// dump_matches_reference.)
#include <random>

#include "app/tile_shading.h"
#include "tests/support/app_fixture.h"
#include "tests/support/reference_arithmetic.h"

namespace {

using MosaicTest = AppTest;

TEST(FastShading, EveryColourOnEveryLuminanceAndEverySpanIsExact) {
    const SpanShader shaders[] = {shadeSpanSse2, fastestSpanShader()};
    uint16_t luma[256];
    for (int l = 0; l < 256; l++) luma[l] = (uint16_t)l;
    for (SpanShader shader : shaders)
        for (int c = 0; c < 256; c++) {
            const int r = c, g = 255 - c, b = (c * 7) & 255;
            uint32_t out[256];
            shader(out, luma, 256, r, g, b);
            for (int l = 0; l < 256; l++)
                ASSERT_EQ(out[l], 0xFF000000u | (uint32_t)referenceShade(r, l) << 16 | (uint32_t)referenceShade(g, l) << 8 |
                                      (uint32_t)referenceShade(b, l))
                    << "colour (" << r << "," << g << "," << b << ") luminance " << l;
        }
    // Spans of every length come out whole, and nothing is written past them.
    for (SpanShader shader : shaders)
        for (int count = 1; count <= 40; count++) {
            uint32_t out[41];
            out[count] = 0xDEADBEEF;
            shader(out, luma + 100, count, 200, 100, 50);
            for (int i = 0; i < count; i++) ASSERT_EQ(out[i], shadePixel(luma[100 + i], 200, 100, 50)) << count << "/" << i;
            ASSERT_EQ(out[count], 0xDEADBEEFu) << "wrote past a span of " << count;
        }
}

TEST_F(MosaicTest, BlittingGivesTheSameDisplay) {
    // A clip rectangle that cuts off the mosaic's last row sends the tiles through SDL's blit.
    const Uint32 untouched = 0x00123456;
    std::mt19937 random(7);
    const auto frame = cameraFrame(160, 120, [&](int, int) {
        return std::array<int, 3>{(int)(random() & 255), (int)(random() & 255), (int)(random() & 255)};
    });
    camera()->show(frame);
    grid->update();
    SDL_FillRect(screen, nullptr, untouched);
    SDL_Rect clip = {0, 0, 640, 439};
    SDL_SetClipRect(screen, &clip);
    drawMosaic(screen);
    SDL_SetClipRect(screen, nullptr);
    const auto cells = referenceCells(frame.data(), 160, 120, 26, 20);
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 640; x++)
            ASSERT_EQ(displayPixel(x, y), y < 439 ? referenceDisplayWord(cells, x, y, untouched) : untouched) << x << "," << y;
}

}  // namespace
