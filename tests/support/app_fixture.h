// The application module, started once per test process on SDL's dummy video driver with a
// test camera as the only device.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "app/quiltcam.h"
#include "tests/support/test_camera.h"

class AppTest : public ::testing::Test {
public:
    static Uint32 displayPixelAt(int x, int y) { return displayPixel(x, y); }

protected:
    static void SetUpTestSuite() {
        if (screen) return;
        setenv("SDL_VIDEODRIVER", "dummy", 1);
        static TestCameraScope scope;
        startUp();
    }
    static TestCamera* camera() { return TestCameraScope::made(); }
    static Uint32 displayPixel(int x, int y) {
        return static_cast<const Uint32*>(screen->pixels)[y * (screen->pitch / 4) + x];
    }
    static void fillDisplay(Uint32 word) {
        SDL_FillRect(screen, nullptr, word);
    }
    static void setCell(int row, int column, int r, int g, int b, int luma) {
        RgbTriple* cell = cellColourTable[row * 26 + column];
        cell->r = r;
        cell->g = g;
        cell->b = b;
        cellLumaTable[row * 26 + column] = luma;
    }
};
