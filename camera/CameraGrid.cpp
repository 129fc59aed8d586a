// Reducing camera frames to the grid of cells.
#include "camera/CameraGrid.h"

#include <cstring>

#include "camera/platform_camera.h"
#include "capture/camera.h"

CameraGrid::CameraGrid(int width, int height, int gridWidth, int gridHeight) {
    this->width = width;
    this->height = height;
    pixelCount = width * height;

    frameBytes = 3 * pixelCount;
    // Black until the camera's first frame arrives.
    frameBuffer = new unsigned char[frameBytes]();

    this->gridWidth = gridWidth;
    this->gridHeight = gridHeight;
    cellCount = gridWidth * gridHeight;
    cells = new RgbTriple*[cellCount];
    for (int i = 0; i < cellCount; i++) cells[i] = new RgbTriple{0, 0, 0};
    luma = new int32_t[cellCount]();
    counts = new int32_t[cellCount]();

    columnScale = (float)((double)gridWidth / (double)width);
    rowScale = (float)((double)gridHeight / (double)height);

    // Cell positions come from the 32-bit scales multiplied in double precision: column 80
    // lands in cell column 12 only that way. The last pixel column is never counted.
    columnCell = new int32_t[width];
    for (int x = 0; x < width; x++) columnCell[x] = x < width - 1 ? (int)(x * (double)columnScale) : -1;
    rowCell = new int32_t[height];
    for (int y = 0; y < height; y++) rowCell[y] = (int)(y * (double)rowScale);
    for (int y = 0; y < height; y++)
        for (int x = 0; x < width - 1; x++) counts[rowCell[y] * gridWidth + columnCell[x]]++;

    // A total of n pixels' channel is at most 255 x count; n / count is (n x m) >> 32 with
    // m = 2^32 / count + 1 whenever n x count < 2^32.
    reciprocals = new uint64_t[cellCount]();
    for (int i = 0; i < cellCount; i++) {
        const uint64_t count = (uint64_t)counts[i];
        if (count > 0 && 255 * count * count < (1ull << 32)) reciprocals[i] = (1ull << 32) / count + 1;
    }

    rowSums = new uint32_t[3 * width]();
    cellSums = new uint32_t[3 * cellCount]();

    camera = newPlatformCamera();
    started = camera->start(width, height);
}

const char* CameraGrid::captureFailure() const { return camera->failure(); }

void CameraGrid::stopCamera() { camera->stop(); }

void CameraGrid::update() {
    // A copy that brings nothing leaves the last picture in the buffer.
    camera->copyFrame(frameBuffer);

    // Rows arrive bottom-up: output row y is frame row height - 1 - y. Read right to left
    // they also mirror the picture: output column x is frame column width - 1 - x. The rows
    // of one cell row are added up byte by byte first, then split among the cells.
    const int rowBytes = 3 * width;
    for (int y = 0; y < height; y++) {
        const unsigned char* row = frameBuffer + (size_t)(height - 1 - y) * rowBytes;
        for (int i = 0; i < rowBytes; i++) rowSums[i] += row[i];
        if (y + 1 < height && rowCell[y + 1] == rowCell[y]) continue;

        uint32_t* cellRow = cellSums + 3 * rowCell[y] * gridWidth;
        for (int x = 0; x < width - 1; x++) {
            const uint32_t* pixel = rowSums + 3 * (width - 1 - x);  // blue, green, red
            uint32_t* sum = cellRow + 3 * columnCell[x];          // red, green, blue
            sum[0] += pixel[2];
            sum[1] += pixel[1];
            sum[2] += pixel[0];
        }
        std::memset(rowSums, 0, sizeof(uint32_t) * rowBytes);
    }

    for (int i = 0; i < cellCount; i++) {
        RgbTriple* cell = cells[i];
        uint32_t* sum = cellSums + 3 * i;
        const uint64_t reciprocal = reciprocals[i];
        if (reciprocal) {
            cell->r = (int32_t)((sum[0] * reciprocal) >> 32);
            cell->g = (int32_t)((sum[1] * reciprocal) >> 32);
            cell->b = (int32_t)((sum[2] * reciprocal) >> 32);
        } else if (counts[i] > 0) {
            cell->r = (int32_t)(sum[0] / (uint32_t)counts[i]);
            cell->g = (int32_t)(sum[1] / (uint32_t)counts[i]);
            cell->b = (int32_t)(sum[2] / (uint32_t)counts[i]);
        } else {  // only grids finer than the frame leave a cell empty
            cell->r = cell->g = cell->b = 0;
        }
        // The blue weight is 0.071169, so the weights sum to 0.999 and white gives 254.
        luma[i] = (int32_t)((cell->b * 0.071169 + cell->g * 0.71516) + cell->r * 0.212671);
        sum[0] = sum[1] = sum[2] = 0;
    }
}

CameraGrid::~CameraGrid() {
    delete camera;
    for (int i = 0; i < cellCount; i++) delete cells[i];
    delete[] cells;
    delete[] frameBuffer;
    delete[] luma;
    delete[] counts;
    delete[] columnCell;
    delete[] rowCell;
    delete[] reciprocals;
    delete[] rowSums;
    delete[] cellSums;
}
