// The camera grid, fed through the platform's capture chain by a test camera.
#include <gtest/gtest.h>

#include <array>
#include <random>

#include "camera/CameraGrid.h"
#include "tests/test_camera.h"

namespace {

using Rgb = std::array<int, 3>;

class CameraGridTest : public ::testing::Test {
protected:
    std::shared_ptr<TestCamera> camera = std::make_shared<TestCamera>();
    TestCameraScope scope{{camera}};
    CameraGrid grid{160, 120, 26, 20};

    // Shows a frame described by the colour the camera sees at (x, y), then updates.
    template <class ColourAt>
    void see(ColourAt colourAt) {
        camera->show(cameraFrame(160, 120, colourAt));
        grid.update();
    }
    Rgb cell(int row, int column) {
        const RgbTriple* c = grid.cellColours()[row * 26 + column];
        return {c->r, c->g, c->b};
    }
    int luma(int row, int column) { return grid.cellLuma()[row * 26 + column]; }
};

TEST_F(CameraGridTest, UniformFrameGivesItsColourAndOneLuminanceEverywhere) {
    struct Case {
        Rgb colour;
        int luma;
    };
    const Case cases[] = {
        {{255, 255, 255}, 254},  // the weights sum to 0.999
        {{0, 0, 0}, 0},
        {{255, 0, 0}, 54},   // 255 x 0.212671 = 54.23
        {{0, 255, 0}, 182},  // 255 x 0.71516 = 182.37
        {{0, 0, 255}, 18},   // 255 x 0.071169 = 18.15
        {{85, 170, 30}, 141},
    };
    for (const Case& c : cases) {
        see([&](int, int) { return c.colour; });
        for (int row = 0; row < 20; row++)
            for (int column = 0; column < 26; column++) {
                ASSERT_EQ(cell(row, column), c.colour) << row << "," << column;
                ASSERT_EQ(luma(row, column), c.luma) << row << "," << column;
            }
    }
}

TEST_F(CameraGridTest, CamerasLeftmostColumnNeverCounts) {
    // The camera's column 0 becomes output column 159, the one column never accumulated.
    see([](int x, int) { return x == 0 ? Rgb{255, 255, 255} : Rgb{10, 20, 30}; });
    for (int i = 0; i < 520; i++) ASSERT_EQ(cell(i / 26, i % 26), (Rgb{10, 20, 30})) << i;
}

TEST_F(CameraGridTest, PictureIsMirroredLeftToRight) {
    see([](int x, int) { return x < 80 ? Rgb{255, 0, 0} : Rgb{0, 0, 255}; });
    for (int row = 0; row < 20; row++) {
        EXPECT_EQ(cell(row, 0), (Rgb{0, 0, 255}));
        EXPECT_EQ(cell(row, 25), (Rgb{255, 0, 0}));
    }
}

TEST_F(CameraGridTest, EachPixelColumnFallsInItsCellColumn) {
    // Cell column -> first output pixel column; counts follow from the next cell's start.
    const int firstColumn[27] = {0,  7,  13, 19, 25, 31, 37,  44,  50,  56,  62,  68,  74, 81,
                                 87, 93, 99, 105, 111, 117, 124, 130, 136, 142, 148, 154, 159};
    for (int cellColumn = 0; cellColumn < 26; cellColumn++) {
        const int count = firstColumn[cellColumn + 1] - firstColumn[cellColumn];
        for (int x = firstColumn[cellColumn]; x < firstColumn[cellColumn + 1]; x++) {
            // Light output column x alone (camera column 159 - x).
            see([&](int cameraX, int) { return 159 - cameraX == x ? Rgb{255, 255, 255} : Rgb{0, 0, 0}; });
            for (int c = 0; c < 26; c++) {
                const int expected = c == cellColumn ? 255 / count : 0;
                ASSERT_EQ(cell(7, c)[0], expected) << "pixel column " << x << ", cell column " << c;
            }
        }
    }
    // Column 80 is the one whose cell depends on the double-precision product.
    see([](int cameraX, int) { return 159 - cameraX == 80 ? Rgb{255, 255, 255} : Rgb{0, 0, 0}; });
    EXPECT_EQ(cell(0, 12)[0], 36);
    EXPECT_EQ(cell(0, 13)[0], 0);
    // And the last column counts nowhere.
    see([](int cameraX, int) { return cameraX == 0 ? Rgb{255, 255, 255} : Rgb{0, 0, 0}; });
    for (int i = 0; i < 520; i++) ASSERT_EQ(cell(i / 26, i % 26)[0], 0) << i;
}

TEST_F(CameraGridTest, EveryCellRowTakesSixPixelRows) {
    for (int y = 0; y < 120; y++) {
        see([&](int, int cameraY) { return cameraY == y ? Rgb{255, 255, 255} : Rgb{0, 0, 0}; });
        for (int row = 0; row < 20; row++)
            ASSERT_EQ(cell(row, 4)[1], row == y / 6 ? 42 : 0) << "pixel row " << y;  // 255 / 6
    }
}

TEST_F(CameraGridTest, UpdateBeforeAnyFrameIsBlack) {
    grid.update();
    for (int i = 0; i < 520; i++) {
        ASSERT_EQ(cell(i / 26, i % 26), (Rgb{0, 0, 0}));
        ASSERT_EQ(luma(i / 26, i % 26), 0);
    }
}

TEST_F(CameraGridTest, UpdatesOnOneFrameAgree) {
    std::mt19937 random(7);
    auto frame = cameraFrame(160, 120, [&](int, int) {
        return Rgb{(int)(random() & 255), (int)(random() & 255), (int)(random() & 255)};
    });
    camera->show(frame);
    grid.update();
    std::vector<Rgb> first;
    std::vector<int> firstLuma(grid.cellLuma(), grid.cellLuma() + 520);
    for (int i = 0; i < 520; i++) first.push_back(cell(i / 26, i % 26));
    grid.update();
    for (int i = 0; i < 520; i++) {
        ASSERT_EQ(cell(i / 26, i % 26), first[i]) << i;
        ASSERT_EQ(grid.cellLuma()[i], firstLuma[i]) << i;
    }
}

TEST_F(CameraGridTest, FailedCopyKeepsThePreviousFrame) {
    see([](int, int) { return Rgb{40, 50, 60}; });
    // The device stops delivering (as an unplugged camera does); the grabber still holds the
    // last frame, and the picture stays.
    camera->stop();
    grid.update();
    EXPECT_EQ(cell(10, 10), (Rgb{40, 50, 60}));
}

TEST(CameraGridShapes, CellsWithoutPixelsAreBlack) {
    auto camera = std::make_shared<TestCamera>();
    TestCameraScope scope{{camera}};
    // 100 columns over 160 pixels and 130 rows over 120 leave some cells without pixels.
    CameraGrid grid(160, 120, 100, 130);
    camera->show(cameraFrame(160, 120, [](int, int) { return Rgb{200, 200, 200}; }));
    grid.update();
    int empty = 0, lit = 0;
    for (int i = 0; i < grid.cellCount; i++) {
        const RgbTriple* c = grid.cellColours()[i];
        if (c->r == 0) {
            empty++;
            EXPECT_EQ(grid.cellLuma()[i], 0);
        } else {
            lit++;
            EXPECT_EQ(c->r, 200);
        }
    }
    EXPECT_GT(empty, 0);
    EXPECT_GT(lit, 0);
}

}  // namespace
