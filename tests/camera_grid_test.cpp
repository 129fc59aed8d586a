// The camera grid, fed by a test camera: the numbers the arithmetic fixes, and every cell of
// random frames against the arithmetic written out plainly.
#include <gtest/gtest.h>

#include <array>
#include <random>

#include "camera/CameraGrid.h"
#include "tests/support/reference_arithmetic.h"
#include "tests/support/test_camera.h"

namespace {

using Rgb = std::array<int, 3>;

class CameraGridTest : public ::testing::Test {
protected:
    TestCameraScope scope;
    CameraGrid grid{160, 120, 26, 20};
    TestCamera* camera = TestCameraScope::made();

    // Shows a frame described by the colour the camera sees at (x, y), then updates.
    template <class ColourAt>
    void see(ColourAt colourAt) {
        camera->show(cameraFrame(160, 120, colourAt));
        grid.update();
    }
    Rgb cell(int index) { return {grid.cellColours()[index]->r, grid.cellColours()[index]->g, grid.cellColours()[index]->b}; }
};

TEST_F(CameraGridTest, UniformFrameGivesItsColourAndOneLuminanceEverywhere) {
    struct Case {
        Rgb colour;
        int luma;
    };
    const Case cases[] = {
        {{255, 255, 255}, 254},  // the weights sum to 0.999
        {{0, 0, 0}, 0},          {{255, 0, 0}, 54}, {{0, 255, 0}, 182}, {{0, 0, 255}, 18}, {{85, 170, 30}, 141},
    };
    for (const Case& c : cases) {
        see([&](int, int) { return c.colour; });
        for (int i = 0; i < 520; i++) {
            ASSERT_EQ(cell(i), c.colour) << i;
            ASSERT_EQ(grid.cellLuma()[i], c.luma) << i;
        }
    }
}

TEST_F(CameraGridTest, EachPixelColumnAndRowFallsInItsCell) {
    // Cell column -> its first output pixel column (the camera's column 159 - x: mirrored).
    // Column 80 lands in 12, not 13, only with the float scale multiplied in double precision;
    // column 159 (the camera's leftmost) counts nowhere.
    const int firstColumn[27] = {0,  7,  13, 19, 25,  31,  37,  44,  50,  56,  62,  68,  74, 81,
                                 87, 93, 99, 105, 111, 117, 124, 130, 136, 142, 148, 154, 159};
    for (int cellColumn = 0; cellColumn <= 26; cellColumn++) {
        const int last = cellColumn < 26 ? firstColumn[cellColumn + 1] : 160;
        for (int x = firstColumn[cellColumn]; x < last; x++) {
            see([&](int cameraX, int) { return 159 - cameraX == x ? Rgb{255, 255, 255} : Rgb{0, 0, 0}; });
            for (int c = 0; c < 26; c++)
                ASSERT_EQ(cell(7 * 26 + c)[0], c == cellColumn ? 255 / (last - firstColumn[cellColumn]) : 0)
                    << "pixel column " << x << ", cell column " << c;
        }
    }
    // Every cell row takes six pixel rows, from the top.
    for (int y = 0; y < 120; y++) {
        see([&](int, int cameraY) { return cameraY == y ? Rgb{255, 255, 255} : Rgb{0, 0, 0}; });
        for (int row = 0; row < 20; row++) ASSERT_EQ(cell(row * 26 + 4)[1], row == y / 6 ? 42 : 0) << "pixel row " << y;
    }
}

TEST_F(CameraGridTest, CopiesThatBringNothingLeaveThePicture) {
    grid.update();  // no frame yet: black
    for (int i = 0; i < 520; i++) ASSERT_EQ(grid.cellLuma()[i], 0);
    see([](int x, int y) { return Rgb{x, y, 60}; });
    const std::vector<int> first(grid.cellLuma(), grid.cellLuma() + 520);
    grid.update();  // the same frame again: the same cells
    EXPECT_EQ(std::vector<int>(grid.cellLuma(), grid.cellLuma() + 520), first);
    camera->stop();  // the device delivers no more, as an unplugged camera: the picture stays
    grid.update();
    EXPECT_EQ(std::vector<int>(grid.cellLuma(), grid.cellLuma() + 520), first);
}

TEST(CameraGridShapes, CellsMatchThePlainWalkOnRandomFrames) {
    struct Shape {
        int width, height, gridWidth, gridHeight;
    };
    // The program's shape; one grid finer than the frame (cells without pixels are black); a
    // frame of another size.
    const Shape shapes[] = {{160, 120, 26, 20}, {160, 120, 100, 130}, {64, 48, 26, 20}};
    std::mt19937 random(99);
    for (const Shape& shape : shapes) {
        TestCameraScope scope;
        CameraGrid grid(shape.width, shape.height, shape.gridWidth, shape.gridHeight);
        TestCamera* camera = TestCameraScope::made();
        for (int round = 0; round < 3; round++) {
            std::vector<unsigned char> frame((size_t)shape.width * shape.height * 3);
            // Noise, then a frame of extremes, where totals are largest.
            for (auto& byte : frame) byte = round == 2 ? (random() & 1 ? 255 : 0) : (unsigned char)(random() & 255);
            camera->show(frame);
            grid.update();
            const auto expected = referenceCells(frame.data(), shape.width, shape.height, shape.gridWidth, shape.gridHeight);
            for (int i = 0; i < grid.cellCount; i++) {
                const RgbTriple* cell = grid.cellColours()[i];
                ASSERT_EQ((Rgb{cell->r, cell->g, cell->b}), (Rgb{expected[i].r, expected[i].g, expected[i].b}))
                    << shape.gridWidth << "x" << shape.gridHeight << " cell " << i;
                ASSERT_EQ(grid.cellLuma()[i], expected[i].luma) << shape.gridWidth << "x" << shape.gridHeight << " cell " << i;
            }
        }
    }
}

}  // namespace
