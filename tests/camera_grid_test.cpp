// The camera grid, fed by a test camera: every cell of random frames (noise, and extremes, where
// totals are largest) against the arithmetic written out plainly, which fixes each pixel's cell
// (mirrored, rows from the top, the float scale) and each cell's colour and luminance; and a copy
// that brings nothing leaves the picture.
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

};

TEST_F(CameraGridTest, CopiesThatBringNothingLeaveThePicture) {
    grid.update();  // no frame yet: black
    for (int i = 0; i < 520; i++) ASSERT_EQ(grid.cellLuma()[i], 0);
    camera->show(cameraFrame(160, 120, [](int x, int y) { return Rgb{x, y, 60}; }));
    grid.update();
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
