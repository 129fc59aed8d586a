// The camera grid: owns the camera and reduces each of its frames to a grid of cells, each
// with an average colour and a luminance. Platform-free: the camera is whichever back end
// newPlatformCamera() gives.
#pragma once

#include <cstdint>

class Camera;

// A decoded pixel, a cell's average colour (each channel 0-255) or a cell's running sum.
struct RgbTriple {
    int32_t r;
    int32_t g;
    int32_t b;
};

class CameraGrid {
public:
    // Allocates every table, then starts the camera at width x height.
    CameraGrid(int width, int height, int gridWidth, int gridHeight);
    // The program keeps its grid until it exits; tests and tools that build grids of their
    // own give them back here.
    ~CameraGrid();
    CameraGrid(const CameraGrid&) = delete;
    CameraGrid& operator=(const CameraGrid&) = delete;

    // Copies the newest camera frame and recomputes every cell. Allocates nothing.
    void update();
    // Row-major, cell row x gridWidth + cell column; the same tables for the grid's lifetime.
    RgbTriple** cellColours() { return cells; }
    int32_t* cellLuma() { return luma; }

    // Stops the camera for good, before the program ends: its threads ended, its stream stopped.
    void stopCamera();
    // Whether the camera started; if not, why, in one line without the program's name.
    bool capturing() const { return started; }
    const char* captureFailure() const;

    Camera* camera;
    int32_t width, height;
    int32_t pixelCount;
    int32_t gridWidth, gridHeight;
    int32_t cellCount;
    unsigned char* frameBuffer;
    int32_t frameBytes;
    RgbTriple** cells;
    int32_t* luma;
    int32_t* counts;  // pixels each cell takes, fixed by the frame and grid sizes
    float columnScale, rowScale;

private:
    bool started = false;
    // Worked out once from the scales, with the same arithmetic as a per-pixel walk.
    int32_t* columnCell;    // cell column of each output pixel column; -1 for the last one
    int32_t* rowCell;       // cell row of each output pixel row
    uint64_t* reciprocals;  // exact division by each cell's count, 0 where it must divide
    // Scratch for one update: one cell row's pixel rows added up, per byte of a frame row;
    // then each cell's red, green and blue totals. Zero between updates.
    uint32_t* rowSums;
    uint32_t* cellSums;
};
