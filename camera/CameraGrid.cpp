// Reducing camera frames to the grid of cells.
#include "camera/CameraGrid.h"

static RgbTriple** newRecordTable(int count) {
    auto** table = new RgbTriple*[count];
    for (int i = 0; i < count; i++) table[i] = new RgbTriple{0, 0, 0};
    return table;
}

static void deleteRecordTable(RgbTriple** table, int count) {
    for (int i = 0; i < count; i++) delete table[i];
    delete[] table;
}

CameraGrid::CameraGrid(int width, int height, int gridWidth, int gridHeight) {
    this->width = width;
    this->height = height;
    pixelCount = width * height;
    pixels = newRecordTable(pixelCount);

    frameBytes = 3 * pixelCount;
    // Black until the camera's first frame arrives.
    frameBuffer = new unsigned char[frameBytes]();

    this->gridWidth = gridWidth;
    this->gridHeight = gridHeight;
    cellCount = gridWidth * gridHeight;
    cells = newRecordTable(cellCount);
    sums = newRecordTable(cellCount);
    luma = new int32_t[cellCount]();
    counts = new int32_t[cellCount]();

    columnScale = (float)((double)gridWidth / (double)width);
    rowScale = (float)((double)gridHeight / (double)height);

    captureStatus = startCapture(width, height);
}

void CameraGrid::update() {
    // A copy may write back a smaller count than the buffer holds; asking with the whole
    // buffer each time keeps one short frame from refusing every later full one.
    frameBytes = 3 * pixelCount;
    if (grabber) grabber->GetCurrentBuffer(&frameBytes, reinterpret_cast<LONG*>(frameBuffer));

    // Rows arrive bottom-up; reading the buffer backwards gives an upright picture that is
    // mirrored left to right.
    const unsigned char* source = frameBuffer + 3 * pixelCount;
    for (int p = 0; p < pixelCount; p++) {
        source -= 3;
        RgbTriple* pixel = pixels[p];
        pixel->r = source[2];
        pixel->g = source[1];
        pixel->b = source[0];
    }

    // Cell positions come from the 32-bit scales multiplied in double precision: column 80
    // lands in cell column 12 only that way. The last pixel column is never counted.
    for (int y = 0; y < height; y++) {
        const int cellRow = (int)(y * (double)rowScale);
        for (int x = 0; x < width - 1; x++) {
            const int cell = cellRow * gridWidth + (int)(x * (double)columnScale);
            const RgbTriple* pixel = pixels[y * width + x];
            RgbTriple* sum = sums[cell];
            counts[cell] += 1;
            sum->r += pixel->r;
            sum->g += pixel->g;
            sum->b += pixel->b;
        }
    }

    for (int i = 0; i < cellCount; i++) {
        RgbTriple* cell = cells[i];
        RgbTriple* sum = sums[i];
        const int count = counts[i];
        if (count > 0) {
            cell->r = sum->r / count;
            cell->g = sum->g / count;
            cell->b = sum->b / count;
        } else {  // only grids finer than the frame leave a cell empty
            cell->r = cell->g = cell->b = 0;
        }
        // The blue weight is 0.071169, so the weights sum to 0.999 and white gives 254.
        luma[i] = (int32_t)((cell->b * 0.071169 + cell->g * 0.71516) + cell->r * 0.212671);
        counts[i] = 0;
        sum->r = sum->g = sum->b = 0;
    }
}

CameraGrid::~CameraGrid() {
    IUnknown* held[] = {control, builder, grabberIn, sourceOut, nullRenderer, grabber,
                        grabberFilter, streamConfig, source, graph};
    if (control) control->Stop();
    for (IUnknown* object : held)
        if (object) object->Release();
    deleteRecordTable(pixels, pixelCount);
    deleteRecordTable(cells, cellCount);
    deleteRecordTable(sums, cellCount);
    delete[] frameBuffer;
    delete[] luma;
    delete[] counts;
}
