// The mosaic renderer: tile shading to the exact bit, tile placement, and the whole display
// against a reference written from the arithmetic.
#include <cstring>
#include <random>

#include "tests/app_fixture.h"
#include "tests/reference_arithmetic.h"

namespace {

using MosaicTest = AppTest;

const Uint32 untouched = 0x00123456;  // what the area outside the mosaic keeps

// The channel shadeTile gives for colour c on luminance l.
int shade(int c, int l) {
    for (int i = 0; i < 400; i++) lumaTile[i] = l;
    Uint32 pixels[400];
    shadeTile(pixels, c, c, c);
    EXPECT_EQ(pixels[0] >> 24, 0xFFu);
    EXPECT_EQ(pixels[399], pixels[0]);
    return (int)(pixels[0] & 0xFF);
}

TEST_F(MosaicTest, ShadingIsExactToTheBit) {
    struct Case {
        int colour, luma, result;
    };
    const Case cases[] = {
        {85, 147, 49},  // 49.0000029; an exact 1/255 would give 48
        {255, 254, 254}, {128, 254, 127}, {255, 0, 0}, {0, 254, 0}, {1, 254, 0}, {255, 1, 1}, {200, 100, 78},
    };
    for (const Case& c : cases) EXPECT_EQ(shade(c.colour, c.luma), c.result) << c.colour << " on " << c.luma;
    for (int c = 0; c < 256; c++) ASSERT_EQ(shade(c, 255), c) << "luminance 255 keeps colour " << c;
}

TEST_F(MosaicTest, ShadingPacksRedGreenBlue) {
    for (int i = 0; i < 400; i++) lumaTile[i] = 255;
    Uint32 pixels[400];
    shadeTile(pixels, 0x12, 0x34, 0x56);
    EXPECT_EQ(pixels[123], 0xFF123456u);
}

TEST_F(MosaicTest, WhiteViewFillsTheMosaicAndNothingElse) {
    for (int i = 0; i < 520; i++) setCell(i / 26, i % 26, 255, 255, 255, 254);
    fillDisplay(untouched);
    drawMosaic(screen);
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 640; x++) {
            const bool inMosaic = x >= 60 && x < 580 && y >= 40 && y < 440;
            ASSERT_EQ(displayPixel(x, y), inMosaic ? 0xFFFEFEFEu : untouched) << x << "," << y;
        }
}

TEST_F(MosaicTest, TilesLandOnTheirCells) {
    for (int i = 0; i < 520; i++) setCell(i / 26, i % 26, (i / 26) * 10, (i % 26) * 9, 77, 255);
    drawMosaic(screen);
    struct Case {
        int row, column, left, top;
    };
    const Case cases[] = {{0, 0, 60, 40}, {19, 25, 560, 420}, {7, 13, 320, 180}};
    for (const Case& c : cases) {
        const Uint32 expected = 0xFF000000u | (Uint32)(c.row * 10) << 16 | (Uint32)(c.column * 9) << 8 | 77;
        for (int y = c.top; y < c.top + 20; y++)
            for (int x = c.left; x < c.left + 20; x++) ASSERT_EQ(displayPixel(x, y), expected) << x << "," << y;
        // The neighbours just outside belong to other tiles or to the border.
        EXPECT_NE(displayPixel(c.left + 20 < 640 ? c.left + 20 : c.left - 1, c.top), expected);
    }
}

TEST_F(MosaicTest, GreyPictureIsTheMiddleTwentyColumns) {
    // Dark outer columns stay out of the grey picture: no pixel of any tile goes black.
    for (int i = 0; i < 520; i++) {
        const int column = i % 26;
        setCell(i / 26, column, 255, 255, 255, (column < 3 || column > 22) ? 0 : 200);
    }
    drawMosaic(screen);
    for (int y = 40; y < 440; y++)
        for (int x = 60; x < 580; x++) ASSERT_NE(displayPixel(x, y), 0xFF000000u) << x << "," << y;

    // A dark middle cell, (5, 10), is black at tile pixel (5, 7) of every tile, and only there.
    setCell(0, 0, 255, 255, 255, 200);
    setCell(5, 10, 255, 255, 255, 0);
    drawMosaic(screen);
    for (int y = 40; y < 440; y++)
        for (int x = 60; x < 580; x++) {
            const bool dark = (y - 40) % 20 == 5 && (x - 60) % 20 == 7;
            ASSERT_EQ(displayPixel(x, y) == 0xFF000000u, dark) << x << "," << y;
        }
}

// The display for a camera frame, through the grid and the renderer, against the plain
// arithmetic from the frame itself.
void expectDisplayForFrame(const std::vector<unsigned char>& frame, int lastRow) {
    auto displayPixel = AppTest::displayPixelAt;
    const auto cells = referenceCells(frame.data(), 160, 120, 26, 20);
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 640; x++) {
            const Uint32 expected = y <= lastRow ? referenceDisplayWord(cells, x, y, untouched) : untouched;
            ASSERT_EQ(displayPixel(x, y), expected) << x << "," << y;
        }
}

std::vector<unsigned char> randomFrame(std::mt19937& random) {
    return cameraFrame(160, 120, [&](int, int) {
        return std::array<int, 3>{(int)(random() & 255), (int)(random() & 255), (int)(random() & 255)};
    });
}

TEST_F(MosaicTest, WholeDisplayMatchesTheReference) {
    std::mt19937 random(2024);
    for (int round = 0; round < 3; round++) {
        const auto frame = randomFrame(random);
        camera()->show(frame);
        grid->update();
        fillDisplay(untouched);
        drawMosaic(screen);
        expectDisplayForFrame(frame, 479);
    }
}

TEST_F(MosaicTest, BlittingGivesTheSameDisplay) {
    // A clip rectangle that cuts off the mosaic's last row sends the tiles through SDL's blit.
    std::mt19937 random(7);
    const auto frame = randomFrame(random);
    camera()->show(frame);
    grid->update();
    fillDisplay(untouched);
    SDL_Rect clip = {0, 0, 640, 439};
    SDL_SetClipRect(screen, &clip);
    drawMosaic(screen);
    SDL_SetClipRect(screen, nullptr);
    expectDisplayForFrame(frame, 438);
}

}  // namespace
