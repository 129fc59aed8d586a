// The camera grid: owns the capture chain and reduces each camera frame to a grid of cells,
// each with an average colour and a luminance.
#pragma once

#include <atomic>
#include <cstdint>

#include "camera/directshow_api.h"
#include "image/frame_scaler.h"

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

    // The result of building and starting the capture chain, the device it chose (by its
    // friendly name), and whether that device was bound but its frames could not be brought
    // to the grabber.
    bool capturing() const { return SUCCEEDED(captureStatus); }
    HRESULT captureResult() const { return captureStatus; }
    const char* captureDevice() const { return deviceName; }
    bool framesUnreachable() const { return connectFailed; }

    HRESULT startCapture(int width, int height);
    IPin* pinOf(IBaseFilter* filter, PIN_DIRECTION direction);
    HRESULT findPin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** pin);
    HRESULT connectFilters(IGraphBuilder* graph, IBaseFilter* upstream, IBaseFilter* downstream);

    IGraphBuilder* graph = nullptr;
    IMoniker* moniker = nullptr;
    IBaseFilter* source = nullptr;
    ICreateDevEnum* devEnum = nullptr;
    IAMStreamConfig* streamConfig = nullptr;
    IBaseFilter* grabberFilter = nullptr;
    ISampleGrabber* grabber = nullptr;
    IBaseFilter* nullRenderer = nullptr;

    int32_t width, height;
    int32_t pixelCount;
    int32_t gridWidth, gridHeight;
    int32_t cellCount;
    unsigned char* frameBuffer;
    LONG frameBytes;
    RgbTriple** cells;
    int32_t* luma;
    int32_t* counts;  // pixels each cell takes, fixed by the frame and grid sizes
    float columnScale, rowScale;

private:
    // Worked out once from the scales, with the same arithmetic as a per-pixel walk.
    int32_t* columnCell;    // cell column of each output pixel column; -1 for the last one
    int32_t* rowCell;       // cell row of each output pixel row
    uint64_t* reciprocals;  // exact division by each cell's count, 0 where it must divide
    // Scratch for one update: one cell row's pixel rows added up, per byte of a frame row;
    // then each cell's red, green and blue totals. Zero between updates.
    uint32_t* rowSums;
    uint32_t* cellSums;

    // When the grabber connected at another size than the frame's (a camera that cannot give
    // it), each copy lands here first and is scaled into frameBuffer.
    void planConnectedSize();
    unsigned char* connectedFrame = nullptr;
    LONG connectedBytes = 0;
    int connectedRowBytes = 0;
    bool connectedTopDown = false;
    FrameScaler connectedScaler;

    // Steps of the chain that a rebuild repeats: the first device bound, and the device's
    // output asked for the frame size and connected to the grabber.
    HRESULT bindFirstDevice(IBaseFilter** device);
    HRESULT connectSource(int width, int height);

    HRESULT captureStatus = E_FAIL;
    bool connectFailed = false;
    char deviceName[256] = {};
    // update() copies a frame only while no rebuild holds the grabber, and a rebuild starts
    // only once no copy is under way: update() itself never waits.
    std::atomic<bool> copying{false}, rebuilding{false};
#ifdef _WIN32
    // A camera lost while running (EC_DEVICE_LOST) is bound afresh and the chain rebuilt
    // around the same grabber, on a thread that watches the graph's events.
    void startWatching();
    void watchDevice();
    HRESULT rebuildChain();
    friend DWORD WINAPI watchGraph(void* grid);
    IMediaEventEx* mediaEvent = nullptr;
    HANDLE watcher = nullptr, stopWatching = nullptr;
#endif
    // References kept beyond the fields above, released only by the destructor.
    ICaptureGraphBuilder2* builder = nullptr;
    IMediaControl* control = nullptr;
    IPin* sourceOut = nullptr;
    IPin* grabberIn = nullptr;
};
