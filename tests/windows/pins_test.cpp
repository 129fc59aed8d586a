// pinOf, findPin and connectFilters against Wine's own DirectShow: its sample grabber (pins
// "Input" and "Output") and null renderer (pin "In"); and, where a camera is registered, the
// sample grabber's frame copy, whose rules the grid relies on. A console program; prints
// "N passed, N failed" and exits 1 on any failure.
#include <cstdio>
#include <cstring>

#include "camera/CameraGrid.h"

static int passed = 0, failed = 0;

static void check(bool ok, const char* what) {
    (ok ? passed : failed)++;
    std::printf("%s: %s\n", ok ? "ok" : "FAILED", what);
}

template <class Interface>
static Interface* create(REFCLSID clsid, REFIID iid) {
    Interface* object = nullptr;
    CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, iid, reinterpret_cast<void**>(&object));
    return object;
}

static int countPins(IBaseFilter* filter, PIN_DIRECTION direction) {
    IEnumPins* pins = nullptr;
    filter->EnumPins(&pins);
    IPin* pin = nullptr;
    int count = 0;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        PIN_DIRECTION found;
        pin->QueryDirection(&found);
        count += found == direction;
        pin->Release();
    }
    pins->Release();
    return count;
}

static bool directionIs(IPin* pin, PIN_DIRECTION direction) {
    PIN_DIRECTION found;
    return pin && SUCCEEDED(pin->QueryDirection(&found)) && found == direction;
}

// The copy hands out the newest whole frame or nothing: too small a buffer is left untouched.
static void checkFrameCopy(ISampleGrabber* grabber) {
    const LONG frameSize = 160 * 120 * 3;
    static unsigned char buffer[160 * 120 * 3 + 16];
    LONG size = 0;
    for (int i = 0; i < 200 && grabber->GetCurrentBuffer(&size, nullptr) != S_OK; i++) Sleep(10);
    check(size == frameSize, "a null buffer asks for the frame's size");
    std::memset(buffer, 0xAB, sizeof buffer);
    size = frameSize - 1;
    const HRESULT small = grabber->GetCurrentBuffer(&size, reinterpret_cast<LONG*>(buffer));
    std::printf("too small: 0x%08lX\n", (unsigned long)small);
    check(small == E_OUTOFMEMORY && buffer[0] == 0xAB, "too small a buffer: E_OUTOFMEMORY, untouched");
    size = frameSize + 16;
    check(grabber->GetCurrentBuffer(&size, reinterpret_cast<LONG*>(buffer)) == S_OK && size == frameSize &&
              buffer[frameSize] == 0xAB,
          "a larger buffer: the frame, and its size written back");
}

int main() {
    CameraGrid grid(160, 120, 26, 20);
    if (grid.capturing()) {
        checkFrameCopy(grid.grabber);
        std::printf("%d passed, %d failed\n", passed, failed);
        return failed ? 1 : 0;
    }
    // No camera: the chain stops at the device enumerator, COM initialised.
    check(grid.captureResult() == VFW_E_NO_CAPTURE_HARDWARE, "no camera: VFW_E_NO_CAPTURE_HARDWARE");

    IBaseFilter* grabber = create<IBaseFilter>(CLSID_SampleGrabber, IID_IBaseFilter);
    IBaseFilter* renderer = create<IBaseFilter>(CLSID_NullRenderer, IID_IBaseFilter);
    IGraphBuilder* graph = create<IGraphBuilder>(CLSID_FilterGraph, IID_IGraphBuilder);
    check(grabber && renderer && graph, "Wine creates the filter graph, sample grabber and null renderer");
    if (!grabber || !renderer || !graph) {
        std::printf("%d passed, %d failed\n", passed, failed);
        return 1;
    }

    IPin* sentinel = reinterpret_cast<IPin*>(0x1);
    IPin* pin = sentinel;
    check(grid.findPin(renderer, PINDIR_OUTPUT, &pin) == (HRESULT)0x80004005, "findPin(null renderer, output) is E_FAIL");
    check(pin == sentinel, "findPin leaves the pin untouched when there is none");
    check(grid.pinOf(renderer, PINDIR_OUTPUT) == nullptr, "pinOf(null renderer, output) is null");
    check(countPins(grabber, PINDIR_INPUT) == 1 && countPins(grabber, PINDIR_OUTPUT) == 1,
          "the sample grabber has one input and one output pin");

    IPin* grabberIn = grid.pinOf(grabber, PINDIR_INPUT);
    IPin* grabberOut = grid.pinOf(grabber, PINDIR_OUTPUT);
    IPin* rendererIn = nullptr;
    check(directionIs(grabberIn, PINDIR_INPUT) && directionIs(grabberOut, PINDIR_OUTPUT), "pinOf finds each direction");
    check(grid.findPin(renderer, PINDIR_INPUT, &rendererIn) == S_OK && directionIs(rendererIn, PINDIR_INPUT),
          "findPin(null renderer, input) is S_OK with the pin");

    // connectFilters gives the graph's own Connect status: compare with a twin graph.
    graph->AddFilter(grabber, L"Grabber");
    graph->AddFilter(renderer, L"NullRenderer");
    const HRESULT viaHelper = grid.connectFilters(graph, grabber, renderer);
    IBaseFilter* twinGrabber = create<IBaseFilter>(CLSID_SampleGrabber, IID_IBaseFilter);
    IBaseFilter* twinRenderer = create<IBaseFilter>(CLSID_NullRenderer, IID_IBaseFilter);
    IGraphBuilder* twin = create<IGraphBuilder>(CLSID_FilterGraph, IID_IGraphBuilder);
    twin->AddFilter(twinGrabber, L"Grabber");
    twin->AddFilter(twinRenderer, L"NullRenderer");
    const HRESULT direct = twin->Connect(grid.pinOf(twinGrabber, PINDIR_OUTPUT), grid.pinOf(twinRenderer, PINDIR_INPUT));
    std::printf("connectFilters 0x%08lX, Connect 0x%08lX\n", (unsigned long)viaHelper, (unsigned long)direct);
    check(viaHelper == direct, "connectFilters returns the graph's Connect status");
    check(grid.connectFilters(graph, renderer, grabber) == E_FAIL, "connectFilters without an output pin is E_FAIL");

    std::printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
