// A virtual camera for Windows, made the way virtual cameras are made there: a DirectShow video
// capture source filter in an in-process COM server, registered under the video input device
// category as "Quiltcam Virtual Camera" (and, when asked, a second one, "Quiltcam Virtual
// Camera 2", a class of its own). For tests only; nothing shipped needs it.
//
// It streams on a thread of its own at the rate it was set to, in samples from the allocator it
// agrees with the downstream pin, timestamped on the graph's clock, and plays a frame file,
// holding its last frame (each run starts the file again; at another size than the file's,
// resampled to the nearest pixel). Its output pin is of the capture category; IAMStreamConfig
// lists the formats it offers and takes only those.
// Settings, read from the environment of the program that loads it (the second camera's from
// QUILTCAM_VIRTUAL_CAMERA2_..., its frames from QUILTCAM_VIRTUAL_CAMERA2_FRAMES, at the same size):
//   QUILTCAM_TEST_FRAMES=file            the frames: packed blue-green-red, rows bottom-up
//   QUILTCAM_TEST_FRAME_SIZE=WxH         their size (160x120), the only size offered: at
//                                        640x480 the camera refuses to be set to 160 x 120
//   QUILTCAM_VIRTUAL_CAMERA_FORMAT=YUY2  send YUY2, as most USB webcams do, instead of RGB24
//   QUILTCAM_VIRTUAL_CAMERA_MODES=webcam offer a webcam's list instead: YUY2 and RGB24 at several
//                                        sizes, 16:9 first, each at a rate of its own, starting
//                                        at 1280x720 YUY2
//   QUILTCAM_VIRTUAL_CAMERA_PREVIEW=1    a second output pin, of the preview category, in YUY2,
//                                        listed first
//   QUILTCAM_VIRTUAL_CAMERA_UNPLUG=N,M   unplugged after N frames (the graph hears
//                                        EC_DEVICE_LOST), back M ms later (once a process)
//   QUILTCAM_VIRTUAL_CAMERA_RETURN=WxH   back as a camera that offers only RGB24 at WxH
//   QUILTCAM_VIRTUAL_CAMERA_TOPDOWN=1    RGB24 rows top-down (a negative height), as some send
//   QUILTCAM_VIRTUAL_CAMERA_SILENT=1     runs, and never sends a frame
//   QUILTCAM_VIRTUAL_CAMERA_SHORT=1      every other sample white, and only half of it given
//   QUILTCAM_VIRTUAL_CAMERA_STOPS=N      sends N frames, then nothing, with no word of it
//   QUILTCAM_VIRTUAL_CAMERA_BUSY=T       refuses to run for T ms after it was first loaded, as a
//                                        camera held by another program does
// Rows of RGB24 are padded to whole words, as DirectShow lays them out.
// Install with `regsvr32 quiltcam-virtual-camera.dll` (with QUILTCAM_VIRTUAL_CAMERAS=2, both),
// remove with `regsvr32 /u`.
#include <windows.h>
#include <dshow.h>
#include <olectl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

// {5C2E6A1B-3D47-4E8F-9A61-7B0C2D4E8F13} and ...14: the first camera and the second.
static const CLSID cameraClasses[2] = {{0x5c2e6a1b, 0x3d47, 0x4e8f, {0x9a, 0x61, 0x7b, 0x0c, 0x2d, 0x4e, 0x8f, 0x13}},
                                       {0x5c2e6a1b, 0x3d47, 0x4e8f, {0x9a, 0x61, 0x7b, 0x0c, 0x2d, 0x4e, 0x8f, 0x14}}};
static const WCHAR* const friendlyNames[2] = {L"Quiltcam Virtual Camera", L"Quiltcam Virtual Camera 2"};
static const WCHAR pinName[] = L"Capture", previewPinName[] = L"Preview";
static const REFERENCE_TIME framePeriod = 333333;  // 100 ns units: 30 frames a second

static HMODULE thisModule;
static DWORD loadedAt;  // GetTickCount() when the DLL was loaded
static LONG objectsAlive = 0;

// --- Settings and the shared unplug ---

// A way the camera can send: a size, a format, and the shortest time between frames.
struct Mode {
    int width, height;
    bool yuy2;
    REFERENCE_TIME fastest;
    bool topDown;
};

struct Settings {
    int width = 160, height = 120;  // the file's frames
    std::vector<Mode> modes, returnModes;
    bool preview = false, silent = false, shortSamples = false;
    long unplugAfter = -1, backAfterMs = 0, stopsAfter = -1, busyForMs = 0;
    std::vector<unsigned char> frames;  // whole frames only
};

// A camera's setting: the variable's value, or null.
static const char* setting(int camera, const char* name) {
    char variable[96];
    std::snprintf(variable, sizeof variable, "QUILTCAM_VIRTUAL_CAMERA%s_%s", camera ? "2" : "", name);
    return std::getenv(variable);
}

static Settings load(int camera) {
    Settings s;
    if (const char* size = std::getenv("QUILTCAM_TEST_FRAME_SIZE")) std::sscanf(size, "%dx%d", &s.width, &s.height);
    if (s.width <= 0 || s.height <= 0 || s.width > 4096 || s.height > 4096) s.width = 160, s.height = 120;
    const char* format = setting(camera, "FORMAT");
    const bool topDown = setting(camera, "TOPDOWN") && !std::strcmp(setting(camera, "TOPDOWN"), "1");
    s.modes = {{s.width, s.height, format && !std::strcmp(format, "YUY2"), framePeriod, topDown}};
    const char* modes = setting(camera, "MODES");
    if (modes && !std::strcmp(modes, "webcam"))
        s.modes = {{1280, 720, true, 1000000, false}, {640, 360, true, 333333, false},
                   {640, 480, true, 333333, false},  {1280, 960, true, 1333333, false},
                   {1280, 720, false, 2000000, false}, {640, 360, false, 333333, false},
                   {640, 480, false, 400000, false},  {320, 180, false, 333333, false}};
    const char* preview = setting(camera, "PREVIEW");
    s.preview = preview && !std::strcmp(preview, "1");
    int returnWidth = 0, returnHeight = 0;
    if (const char* back = setting(camera, "RETURN"))
        std::sscanf(back, "%dx%d", &returnWidth, &returnHeight);
    s.returnModes = s.modes;
    if (returnWidth > 0 && returnHeight > 0 && returnWidth <= 4096 && returnHeight <= 4096)
        s.returnModes = {{returnWidth, returnHeight, false, framePeriod, false}};
    if (const char* unplug = setting(camera, "UNPLUG")) std::sscanf(unplug, "%ld,%ld", &s.unplugAfter, &s.backAfterMs);
    s.silent = setting(camera, "SILENT") && !std::strcmp(setting(camera, "SILENT"), "1");
    s.shortSamples = setting(camera, "SHORT") && !std::strcmp(setting(camera, "SHORT"), "1");
    if (const char* stops = setting(camera, "STOPS")) s.stopsAfter = std::atol(stops);
    if (const char* busy = setting(camera, "BUSY")) s.busyForMs = std::atol(busy);
    const size_t frameBytes = (size_t)s.width * s.height * 3;
    if (const char* path = std::getenv(camera ? "QUILTCAM_VIRTUAL_CAMERA2_FRAMES" : "QUILTCAM_TEST_FRAMES")) {
        if (std::FILE* file = std::fopen(path, "rb")) {
            std::vector<unsigned char> frame(frameBytes);
            while (std::fread(frame.data(), 1, frameBytes, file) == frameBytes)
                s.frames.insert(s.frames.end(), frame.begin(), frame.end());
            std::fclose(file);
        }
    }
    if (s.frames.empty()) s.frames.assign(frameBytes, 128);  // no file: mid-grey
    return s;
}

static const Settings& settings(int camera) {
    static const Settings loaded[2] = {load(0), load(1)};
    return loaded[camera];
}

// Each camera's frames sent by every instance of it in this process, and when an unplugged one is
// back.
static LONG framesSent[2] = {0, 0};
static volatile LONG unplugged[2] = {0, 0};
static volatile DWORD backAtTick[2] = {0, 0};

static bool present(int camera) { return !unplugged[camera] || (LONG)(GetTickCount() - backAtTick[camera]) >= 0; }

// --- Media types ---

static HRESULT copyType(AM_MEDIA_TYPE* to, const AM_MEDIA_TYPE* from) {
    *to = *from;
    if (from->cbFormat) {
        to->pbFormat = static_cast<BYTE*>(CoTaskMemAlloc(from->cbFormat));
        if (!to->pbFormat) return E_OUTOFMEMORY;
        std::memcpy(to->pbFormat, from->pbFormat, from->cbFormat);
    }
    if (to->pUnk) to->pUnk->AddRef();
    return S_OK;
}

static AM_MEDIA_TYPE* newType(const AM_MEDIA_TYPE* from) {
    auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    if (type && FAILED(copyType(type, from))) {
        CoTaskMemFree(type);
        type = nullptr;
    }
    return type;
}

// A format the camera sends: a mode at a rate.
struct CameraFormat {
    AM_MEDIA_TYPE type;
    VIDEOINFOHEADER info;
    Mode mode;
    CameraFormat(const Mode& mode, REFERENCE_TIME interval) : mode(mode) {
        std::memset(&info, 0, sizeof info);
        BITMAPINFOHEADER& header = info.bmiHeader;
        header.biSize = sizeof header;
        header.biWidth = mode.width;
        // RGB: bottom-up, or top-down with a negative height; YUY2 is top-down whatever the sign.
        header.biHeight = mode.topDown ? -mode.height : mode.height;
        header.biPlanes = 1;
        header.biBitCount = mode.yuy2 ? 16 : 24;
        header.biCompression = mode.yuy2 ? MAKEFOURCC('Y', 'U', 'Y', '2') : BI_RGB;
        header.biSizeImage = (DWORD)(rowBytes() * mode.height);
        info.AvgTimePerFrame = interval;
        info.dwBitRate = (DWORD)(header.biSizeImage * 8 * (10000000 / interval));
        std::memset(&type, 0, sizeof type);
        type.majortype = MEDIATYPE_Video;
        type.subtype = mode.yuy2 ? MEDIASUBTYPE_YUY2 : MEDIASUBTYPE_RGB24;
        type.bFixedSizeSamples = TRUE;
        type.lSampleSize = header.biSizeImage;
        type.formattype = FORMAT_VideoInfo;
        type.cbFormat = sizeof info;
        type.pbFormat = reinterpret_cast<BYTE*>(&info);
    }
    CameraFormat(const CameraFormat& other) { *this = other; }
    CameraFormat& operator=(const CameraFormat& other) {
        type = other.type;
        info = other.info;
        mode = other.mode;
        type.pbFormat = reinterpret_cast<BYTE*>(&info);
        return *this;
    }
    // Rows of RGB are padded to whole words.
    int rowBytes() const { return mode.yuy2 ? mode.width * 2 : (mode.width * 3 + 3) & ~3; }
    // Whether a media type asks for exactly this format (a partial type: for what it names).
    bool accepts(const AM_MEDIA_TYPE* other) const {
        if (!IsEqualGUID(other->majortype, GUID_NULL) && !IsEqualGUID(other->majortype, type.majortype)) return false;
        if (!IsEqualGUID(other->subtype, GUID_NULL) && !IsEqualGUID(other->subtype, type.subtype)) return false;
        if (IsEqualGUID(other->formattype, GUID_NULL)) return true;
        if (!IsEqualGUID(other->formattype, FORMAT_VideoInfo) || !other->pbFormat || other->cbFormat < sizeof info)
            return false;
        const BITMAPINFOHEADER& asked = reinterpret_cast<const VIDEOINFOHEADER*>(other->pbFormat)->bmiHeader;
        const BITMAPINFOHEADER& mine = info.bmiHeader;
        return asked.biWidth == mine.biWidth && (asked.biHeight == mine.biHeight || asked.biHeight == -mine.biHeight) &&
               asked.biBitCount == mine.biBitCount && asked.biCompression == mine.biCompression;
    }
};

// Bottom-up blue-green-red into top-down YUY2, BT.601 in limited range, as webcams send it.
static void toYuy2(const unsigned char* bgr, unsigned char* yuy2, int width, int height) {
    for (int y = 0; y < height; y++) {
        const unsigned char* row = bgr + (size_t)(height - 1 - y) * width * 3;
        unsigned char* out = yuy2 + (size_t)y * width * 2;
        for (int x = 0; x < width; x += 2) {
            int u = 0, v = 0;
            for (int i = 0; i < 2; i++) {
                const int b = row[(x + i) * 3], g = row[(x + i) * 3 + 1], r = row[(x + i) * 3 + 2];
                out[(x + i) * 2] = (unsigned char)((66 * r + 129 * g + 25 * b + 128 + 4096) >> 8);
                u += (-38 * r - 74 * g + 112 * b + 128) / 256 + 128;
                v += (112 * r - 94 * g - 18 * b + 128) / 256 + 128;
            }
            out[x * 2 + 1] = (unsigned char)(u / 2);
            out[x * 2 + 3] = (unsigned char)(v / 2);
        }
    }
}

// --- Enumerators ---

class Filter;

// A COM object's reference count; the object goes with its last reference.
template <class Interface>
class Counted : public Interface {
public:
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&refs); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&refs);
        if (!left) delete this;
        return left;
    }

protected:
    Counted() = default;
    Counted(const Counted&) : Interface() {}  // a copy has references of its own
    virtual ~Counted() = default;
    LONG refs = 1;
};

// An enumerator over what `size` and `item` give; its clone is a copy of Derived, at the same place.
template <class Interface, class Item, class Derived>
class Enumerator : public Counted<Interface> {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, __uuidof(Interface))) ? this : nullptr;
        if (!*object) return E_NOINTERFACE;
        this->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Next(ULONG count, Item* items, ULONG* fetched) override {
        if (!items || (count > 1 && !fetched)) return E_POINTER;
        ULONG got = 0;
        for (; got < count && position < size(); got++, position++) items[got] = item(position);
        if (fetched) *fetched = got;
        return got == count ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override {
        position += count;
        return position <= size() ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE Reset() override {
        position = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Clone(Interface** copy) override {
        if (!copy) return E_POINTER;
        *copy = new (std::nothrow) Derived(*static_cast<Derived*>(this));
        return *copy ? S_OK : E_OUTOFMEMORY;
    }

protected:
    virtual ULONG size() = 0;
    virtual Item item(ULONG index) = 0;
    ULONG position = 0;
};

class TypeEnumerator final : public Enumerator<IEnumMediaTypes, AM_MEDIA_TYPE*, TypeEnumerator> {
public:
    explicit TypeEnumerator(const AM_MEDIA_TYPE* type) : type(type) {}

private:
    ULONG size() override { return 1; }
    AM_MEDIA_TYPE* item(ULONG) override { return newType(type); }
    const AM_MEDIA_TYPE* type;  // the filter's format, which outlives no enumerator: it is static
};

// --- The output pin ---

class OutputPin final : public IPin, public IAMStreamConfig, public IKsPropertySet {
public:
    OutputPin(Filter* filter, const GUID* category, const WCHAR* name, const Mode& mode)
        : filter(filter), category(category), name(name), format(mode, 2 * mode.fastest) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IPin
    HRESULT STDMETHODCALLTYPE Connect(IPin* receiver, const AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }
    HRESULT STDMETHODCALLTYPE Disconnect() override;
    HRESULT STDMETHODCALLTYPE ConnectedTo(IPin** pin) override;
    HRESULT STDMETHODCALLTYPE ConnectionMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE QueryPinInfo(PIN_INFO* info) override;
    HRESULT STDMETHODCALLTYPE QueryDirection(PIN_DIRECTION* direction) override {
        if (!direction) return E_POINTER;
        *direction = PINDIR_OUTPUT;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryId(LPWSTR* id) override {
        if (!id) return E_POINTER;
        const size_t bytes = (lstrlenW(name) + 1) * sizeof(WCHAR);
        *id = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (!*id) return E_OUTOFMEMORY;
        std::memcpy(*id, name, bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryAccept(const AM_MEDIA_TYPE* type) override {
        return type && format.accepts(type) ? S_OK : S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE EnumMediaTypes(IEnumMediaTypes** types) override {
        if (!types) return E_POINTER;
        *types = new (std::nothrow) TypeEnumerator(&format.type);
        return *types ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE QueryInternalConnections(IPin**, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EndOfStream() override { return E_UNEXPECTED; }
    HRESULT STDMETHODCALLTYPE BeginFlush() override { return E_UNEXPECTED; }
    HRESULT STDMETHODCALLTYPE EndFlush() override { return E_UNEXPECTED; }
    HRESULT STDMETHODCALLTYPE NewSegment(REFERENCE_TIME, REFERENCE_TIME, double) override { return S_OK; }

    // IAMStreamConfig: one format, which cannot be changed.
    HRESULT STDMETHODCALLTYPE SetFormat(AM_MEDIA_TYPE* type) override;
    HRESULT STDMETHODCALLTYPE GetFormat(AM_MEDIA_TYPE** type) override {
        if (!type) return E_POINTER;
        *type = newType(&format.type);
        return *type ? S_OK : E_OUTOFMEMORY;
    }
    HRESULT STDMETHODCALLTYPE GetNumberOfCapabilities(int* count, int* size) override;
    HRESULT STDMETHODCALLTYPE GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) override;

    // IKsPropertySet: the pin's category.
    HRESULT STDMETHODCALLTYPE Set(REFGUID, DWORD, LPVOID, DWORD, LPVOID, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Get(REFGUID set, DWORD id, LPVOID, DWORD, LPVOID data, DWORD size, DWORD* returned) override;
    HRESULT STDMETHODCALLTYPE QuerySupported(REFGUID set, DWORD id, DWORD* support) override {
        if (!IsEqualGUID(set, AMPROPSETID_Pin)) return E_PROP_SET_UNSUPPORTED;
        if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
        if (support) *support = KSPROPERTY_SUPPORT_GET;
        return S_OK;
    }

    Filter* filter;
    const GUID* category;
    const WCHAR* name;
    CameraFormat format;  // guarded by the filter's lock, as is the connection
    // The connection.
    IPin* peer = nullptr;
    IMemInputPin* input = nullptr;
    IMemAllocator* allocator = nullptr;
};

// --- The filter ---

class Filter final : public Counted<IBaseFilter> {
public:
    // Plugged in again after an unplug, it is the camera it returns as. The preview pin's one
    // format is the capture pin's size in YUY2, which Wine's graph cannot bring to the grabber's
    // RGB24 (a format set on, or a connection made from, the wrong pin shows).
    Filter(int camera, const std::vector<Mode>& modes)
        : camera(camera), modes(modes), pin(this, &PIN_CATEGORY_CAPTURE, pinName, modes[0]),
          previewPin(this, &PIN_CATEGORY_PREVIEW, previewPinName,
                     {modes[0].width, modes[0].height, true, modes[0].fastest, false}) {
        InitializeCriticalSection(&lock);
        stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        InterlockedIncrement(&objectsAlive);
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        const bool filter = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPersist) ||
                            IsEqualIID(iid, IID_IMediaFilter) || IsEqualIID(iid, IID_IBaseFilter);
        *object = filter ? static_cast<IBaseFilter*>(this) : nullptr;
        if (!*object) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetClassID(CLSID* clsid) override {
        if (!clsid) return E_POINTER;
        *clsid = cameraClasses[camera];
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Stop() override;
    HRESULT STDMETHODCALLTYPE Pause() override;
    HRESULT STDMETHODCALLTYPE Run(REFERENCE_TIME start) override;
    HRESULT STDMETHODCALLTYPE GetState(DWORD, FILTER_STATE* state) override {
        if (!state) return E_POINTER;
        EnterCriticalSection(&lock);
        *state = this->state;
        LeaveCriticalSection(&lock);
        return *state == State_Paused ? VFW_S_CANT_CUE : S_OK;  // live: no frames while paused
    }
    HRESULT STDMETHODCALLTYPE SetSyncSource(IReferenceClock* newClock) override {
        EnterCriticalSection(&lock);
        if (newClock) newClock->AddRef();
        if (clock) clock->Release();
        clock = newClock;
        LeaveCriticalSection(&lock);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetSyncSource(IReferenceClock** result) override {
        if (!result) return E_POINTER;
        EnterCriticalSection(&lock);
        *result = clock;
        if (clock) clock->AddRef();
        LeaveCriticalSection(&lock);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumPins(IEnumPins** pins) override;
    HRESULT STDMETHODCALLTYPE FindPin(LPCWSTR id, IPin** found) override {
        if (!id || !found) return E_POINTER;
        *found = nullptr;
        for (ULONG i = 0; i < pinCount(); i++)
            if (!lstrcmpW(id, pins(i)->name)) *found = pins(i);
        if (!*found) return VFW_E_NOT_FOUND;
        (*found)->AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryFilterInfo(FILTER_INFO* info) override {
        if (!info) return E_POINTER;
        lstrcpynW(info->achName, name, MAX_FILTER_NAME);
        info->pGraph = graph;
        if (graph) graph->AddRef();
        return S_OK;
    }
    // The graph holds the filter, never the other way round.
    HRESULT STDMETHODCALLTYPE JoinFilterGraph(IFilterGraph* newGraph, LPCWSTR newName) override {
        EnterCriticalSection(&lock);
        graph = newGraph;
        lstrcpynW(name, newName ? newName : L"", MAX_FILTER_NAME);
        events = nullptr;
        if (graph && SUCCEEDED(graph->QueryInterface(IID_IMediaEventSink, reinterpret_cast<void**>(&events))))
            events->Release();
        LeaveCriticalSection(&lock);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE QueryVendorInfo(LPWSTR*) override { return E_NOTIMPL; }

    void stream();
    ULONG pinCount() const { return settings(camera).preview ? 2 : 1; }
    // The preview pin first, as some cameras list it.
    OutputPin* pins(ULONG index) { return index == (settings(camera).preview ? 1u : 0u) ? &pin : &previewPin; }

    CRITICAL_SECTION lock;
    FILTER_STATE state = State_Stopped;
    const int camera;  // which of the two: its settings
    const std::vector<Mode> modes;
    OutputPin pin, previewPin;

private:
    ~Filter() override {
        Stop();
        pin.Disconnect();
        previewPin.Disconnect();
        if (clock) clock->Release();
        CloseHandle(stopEvent);
        DeleteCriticalSection(&lock);
        InterlockedDecrement(&objectsAlive);
    }
    void deliver(OutputPin& to, IMemAllocator* allocator, IMemInputPin* input, long frame, bool first);
    void notify(long code, LONG_PTR param2);

    REFERENCE_TIME startTime = 0;
    IReferenceClock* clock = nullptr;
    IFilterGraph* graph = nullptr;
    IMediaEventSink* events = nullptr;  // the graph's, not held
    WCHAR name[MAX_FILTER_NAME] = {};
    HANDLE stopEvent;
    HANDLE thread = nullptr;
};

class PinEnumerator final : public Enumerator<IEnumPins, IPin*, PinEnumerator> {
public:
    explicit PinEnumerator(Filter* filter) : filter(filter) { filter->AddRef(); }
    PinEnumerator(const PinEnumerator& other) : Enumerator(other), filter(other.filter) { filter->AddRef(); }

private:
    ~PinEnumerator() override { filter->Release(); }
    ULONG size() override { return filter->pinCount(); }
    IPin* item(ULONG index) override {
        filter->pins(index)->AddRef();
        return filter->pins(index);
    }
    Filter* filter;
};

HRESULT Filter::EnumPins(IEnumPins** pins) {
    if (!pins) return E_POINTER;
    *pins = new (std::nothrow) PinEnumerator(this);
    return *pins ? S_OK : E_OUTOFMEMORY;
}

HRESULT OutputPin::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPin))
        *object = static_cast<IPin*>(this);
    else if (IsEqualIID(iid, IID_IAMStreamConfig))
        *object = static_cast<IAMStreamConfig*>(this);
    else if (IsEqualIID(iid, IID_IKsPropertySet))
        *object = static_cast<IKsPropertySet*>(this);
    else
        *object = nullptr;
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}
ULONG OutputPin::AddRef() { return filter->AddRef(); }
ULONG OutputPin::Release() { return filter->Release(); }

HRESULT OutputPin::Connect(IPin* receiver, const AM_MEDIA_TYPE* type) {
    if (!receiver) return E_POINTER;
    EnterCriticalSection(&filter->lock);
    HRESULT status = S_OK;
    IMemInputPin* memInput = nullptr;
    IMemAllocator* memAllocator = nullptr;
    ALLOCATOR_PROPERTIES wanted = {}, actual = {};
    if (peer)
        status = VFW_E_ALREADY_CONNECTED;
    else if (filter->state != State_Stopped)
        status = VFW_E_NOT_STOPPED;
    else if (type && !format.accepts(type))
        status = VFW_E_TYPE_NOT_ACCEPTED;
    else if (FAILED(receiver->ReceiveConnection(this, &format.type)))
        status = VFW_E_NO_ACCEPTABLE_TYPES;
    else if (FAILED(receiver->QueryInterface(IID_IMemInputPin, reinterpret_cast<void**>(&memInput))))
        status = VFW_E_NO_TRANSPORT;
    if (memInput) {
        // The downstream pin's allocator if it has one, else a plain memory allocator, with room
        // for a few whole frames.
        memInput->GetAllocatorRequirements(&wanted);
        if (FAILED(memInput->GetAllocator(&memAllocator)))
            CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                             reinterpret_cast<void**>(&memAllocator));
        if (wanted.cBuffers < 3) wanted.cBuffers = 3;
        if (wanted.cbBuffer < (LONG)format.type.lSampleSize) wanted.cbBuffer = (LONG)format.type.lSampleSize;
        if (wanted.cbAlign < 1) wanted.cbAlign = 1;
        if (!memAllocator || FAILED(memAllocator->SetProperties(&wanted, &actual)) ||
            actual.cbBuffer < (LONG)format.type.lSampleSize || FAILED(memInput->NotifyAllocator(memAllocator, FALSE)))
            status = VFW_E_NO_TRANSPORT;
    }
    if (status == S_OK) {
        peer = receiver;
        peer->AddRef();
        input = memInput;
        allocator = memAllocator;
    } else {
        if (memInput) {
            receiver->Disconnect();
            memInput->Release();
        }
        if (memAllocator) memAllocator->Release();
    }
    LeaveCriticalSection(&filter->lock);
    return status;
}

HRESULT OutputPin::Disconnect() {
    EnterCriticalSection(&filter->lock);
    HRESULT status = S_FALSE;
    if (filter->state != State_Stopped) {
        status = VFW_E_NOT_STOPPED;
    } else if (peer) {
        peer->Release();
        input->Release();
        allocator->Release();
        peer = nullptr;
        input = nullptr;
        allocator = nullptr;
        status = S_OK;
    }
    LeaveCriticalSection(&filter->lock);
    return status;
}

HRESULT OutputPin::ConnectedTo(IPin** pin) {
    if (!pin) return E_POINTER;
    EnterCriticalSection(&filter->lock);
    *pin = peer;
    if (peer) peer->AddRef();
    LeaveCriticalSection(&filter->lock);
    return *pin ? S_OK : VFW_E_NOT_CONNECTED;
}

HRESULT OutputPin::ConnectionMediaType(AM_MEDIA_TYPE* type) {
    if (!type) return E_POINTER;
    EnterCriticalSection(&filter->lock);
    const bool connected = peer != nullptr;
    LeaveCriticalSection(&filter->lock);
    if (!connected) {
        std::memset(type, 0, sizeof *type);
        return VFW_E_NOT_CONNECTED;
    }
    return copyType(type, &format.type);
}

HRESULT OutputPin::QueryPinInfo(PIN_INFO* info) {
    if (!info) return E_POINTER;
    info->pFilter = filter;
    filter->AddRef();
    info->dir = PINDIR_OUTPUT;
    lstrcpynW(info->achName, name, MAX_PIN_NAME);
    return S_OK;
}

// A real camera takes only the formats it lists, at a rate it can give: a size it cannot give,
// or a type that does not describe itself consistently, is refused.
HRESULT OutputPin::SetFormat(AM_MEDIA_TYPE* type) {
    if (!type) return E_POINTER;
    EnterCriticalSection(&filter->lock);
    HRESULT status = filter->state != State_Stopped ? VFW_E_NOT_STOPPED : peer ? VFW_E_ALREADY_CONNECTED
                                                                                 : VFW_E_INVALIDMEDIATYPE;
    for (const Mode& mode : filter->modes) {
        const CameraFormat offered(mode, mode.fastest);
        if (status != VFW_E_INVALIDMEDIATYPE || !offered.accepts(type)) continue;
        REFERENCE_TIME interval = reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat)->AvgTimePerFrame;
        if (interval < mode.fastest) interval = 2 * mode.fastest;  // none asked for, or too fast
        format = CameraFormat(mode, interval);
        status = S_OK;
    }
    LeaveCriticalSection(&filter->lock);
    return status;
}

HRESULT OutputPin::GetNumberOfCapabilities(int* count, int* size) {
    if (!count || !size) return E_POINTER;
    *count = (int)filter->modes.size();
    *size = sizeof(VIDEO_STREAM_CONFIG_CAPS);
    return S_OK;
}

// Each mode at half its fastest rate, as cameras list them; the fastest is in the caps.
HRESULT OutputPin::GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) {
    if (!type || !caps) return E_POINTER;
    if (index < 0 || index >= (int)filter->modes.size()) return S_FALSE;
    const Mode& mode = filter->modes[index];
    const CameraFormat offered(mode, 2 * mode.fastest);
    *type = newType(&offered.type);
    if (!*type) return E_OUTOFMEMORY;
    auto* video = reinterpret_cast<VIDEO_STREAM_CONFIG_CAPS*>(caps);
    std::memset(video, 0, sizeof *video);
    video->guid = FORMAT_VideoInfo;
    const SIZE size = {mode.width, mode.height};
    video->InputSize = video->MinCroppingSize = video->MaxCroppingSize = video->MinOutputSize = video->MaxOutputSize = size;
    video->CropGranularityX = video->CropGranularityY = video->OutputGranularityX = video->OutputGranularityY = 1;
    video->MinFrameInterval = mode.fastest;
    video->MaxFrameInterval = 10 * mode.fastest;
    video->MinBitsPerSecond = video->MaxBitsPerSecond = (LONG)offered.info.dwBitRate;
    return S_OK;
}

HRESULT OutputPin::Get(REFGUID set, DWORD id, LPVOID, DWORD, LPVOID data, DWORD size, DWORD* returned) {
    if (!IsEqualGUID(set, AMPROPSETID_Pin)) return E_PROP_SET_UNSUPPORTED;
    if (id != AMPROPERTY_PIN_CATEGORY) return E_PROP_ID_UNSUPPORTED;
    if (!data && !returned) return E_POINTER;
    if (returned) *returned = sizeof(GUID);
    if (!data) return S_OK;
    if (size < sizeof(GUID)) return E_UNEXPECTED;
    *static_cast<GUID*>(data) = *category;
    return S_OK;
}

static DWORD WINAPI streamThread(void* filter) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    static_cast<Filter*>(filter)->stream();
    CoUninitialize();
    return 0;
}

HRESULT Filter::Pause() {
    EnterCriticalSection(&lock);
    HRESULT status = S_OK;
    if (state == State_Stopped && pin.peer) {
        status = pin.allocator->Commit();
        if (SUCCEEDED(status) && previewPin.peer) status = previewPin.allocator->Commit();
        if (SUCCEEDED(status)) {
            ResetEvent(stopEvent);
            thread = CreateThread(nullptr, 0, streamThread, this, 0, nullptr);
            if (!thread) status = E_OUTOFMEMORY;
        }
    }
    if (SUCCEEDED(status)) state = State_Paused;
    LeaveCriticalSection(&lock);
    return status;
}

HRESULT Filter::Run(REFERENCE_TIME start) {
    // Held by another program for a while: the graph's Run fails, as a busy camera's does.
    if (GetTickCount() - loadedAt < (DWORD)settings(camera).busyForMs) return HRESULT_FROM_WIN32(ERROR_BUSY);
    EnterCriticalSection(&lock);
    HRESULT status = state == State_Stopped ? Pause() : S_OK;
    if (SUCCEEDED(status)) {
        startTime = start;
        state = State_Running;
    }
    LeaveCriticalSection(&lock);
    return status;
}

HRESULT Filter::Stop() {
    EnterCriticalSection(&lock);
    state = State_Stopped;
    HANDLE stopping = thread;
    thread = nullptr;
    SetEvent(stopEvent);
    for (OutputPin* output : {&pin, &previewPin})  // a GetBuffer that waits gives up
        if (output->allocator) output->allocator->Decommit();
    LeaveCriticalSection(&lock);
    if (stopping) {
        WaitForSingleObject(stopping, INFINITE);
        CloseHandle(stopping);
    }
    return S_OK;
}

void Filter::notify(long code, LONG_PTR param2) {
    EnterCriticalSection(&lock);
    if (events) events->Notify(code, reinterpret_cast<LONG_PTR>(static_cast<IBaseFilter*>(this)), param2);
    LeaveCriticalSection(&lock);
}

// The streaming thread: a frame every 30th of a second while running; paused, none.
void Filter::stream() {
    const Settings& s = settings(camera);
    const long frameCount = (long)(s.frames.size() / ((size_t)s.width * s.height * 3));
    long frame = 0;
    bool lost = false, announcedBack = false;
    ULONGLONG next = GetTickCount64() * 10000;  // 100 ns units
    for (;;) {
        EnterCriticalSection(&lock);
        next += pin.format.info.AvgTimePerFrame;
        const bool running = state == State_Running;
        IMemAllocator* allocators[2] = {pin.allocator, previewPin.allocator};
        IMemInputPin* inputs[2] = {pin.input, previewPin.input};
        for (int i = 0; i < 2; i++)
            if (allocators[i] && inputs[i]) allocators[i]->AddRef(), inputs[i]->AddRef();
            else allocators[i] = nullptr, inputs[i] = nullptr;
        LeaveCriticalSection(&lock);
        const LONGLONG wait = ((LONGLONG)next - (LONGLONG)GetTickCount64() * 10000) / 10000;
        const bool stopping = WaitForSingleObject(stopEvent, wait > 0 ? (DWORD)wait : 0) == WAIT_OBJECT_0;
        if (!stopping && lost) {
            // Plugged in again: as another device, which the program must bind afresh.
            if (!announcedBack && present(camera)) {
                notify(EC_DEVICE_LOST, 1);
                announcedBack = true;
            }
        } else if (!stopping && running && allocators[0]) {
            const LONG sent = InterlockedCompareExchange(&framesSent[camera], 0, 0);
            if (s.unplugAfter >= 0 && sent >= s.unplugAfter && !InterlockedExchange(&unplugged[camera], 1)) {
                backAtTick[camera] = GetTickCount() + (DWORD)s.backAfterMs;
                lost = true;
                notify(EC_DEVICE_LOST, 0);
            } else if (!s.silent && (s.stopsAfter < 0 || sent < s.stopsAfter)) {
                for (int i = 0; i < 2; i++)
                    if (allocators[i])
                        deliver(i == 0 ? pin : previewPin, allocators[i], inputs[i],
                                frame < frameCount ? frame : frameCount - 1, frame == 0);
                frame++;
            }
        }
        for (int i = 0; i < 2; i++)
            if (allocators[i]) allocators[i]->Release(), inputs[i]->Release();
        if (stopping) return;
    }
}

// A frame of the file as the pin's format has it: resampled to its size (the nearest pixel),
// in its format.
void Filter::deliver(OutputPin& to, IMemAllocator* memAllocator, IMemInputPin* memInput, long frame, bool first) {
    IMediaSample* sample = nullptr;
    if (memAllocator->GetBuffer(&sample, nullptr, nullptr, 0) != S_OK || !sample) return;  // stopping
    BYTE* data = nullptr;
    const Settings& s = settings(camera);
    EnterCriticalSection(&lock);
    const CameraFormat format = to.format;
    LeaveCriticalSection(&lock);
    const int width = format.mode.width, height = format.mode.height;
    if (SUCCEEDED(sample->GetPointer(&data)) && sample->GetSize() >= (LONG)format.type.lSampleSize) {
        const unsigned char* picture = s.frames.data() + (size_t)frame * s.width * s.height * 3;
        std::vector<unsigned char> sized;
        if (width != s.width || height != s.height) {
            sized.resize((size_t)width * height * 3);
            for (int y = 0; y < height; y++)
                for (int x = 0; x < width; x++)
                    std::memcpy(&sized[((size_t)y * width + x) * 3],
                                picture + ((size_t)(y * s.height / height) * s.width + x * s.width / width) * 3, 3);
            picture = sized.data();
        }
        if (format.mode.yuy2) {
            toYuy2(picture, data, width, height);
        } else {  // the file's rows are bottom-up, as are the sample's unless it is top-down
            for (int y = 0; y < height; y++)
                std::memcpy(data + (size_t)(format.mode.topDown ? height - 1 - y : y) * format.rowBytes(),
                            picture + (size_t)y * width * 3, (size_t)width * 3);
        }
        // A sample cut short, as a driver in trouble hands one over: white, so that any of it shows.
        static LONG samples = 0;
        const bool cut = s.shortSamples && (InterlockedIncrement(&samples) & 1) == 0;
        if (cut) std::memset(data, 255, (size_t)format.type.lSampleSize);
        sample->SetActualDataLength((LONG)format.type.lSampleSize / (cut ? 2 : 1));
        // Stamped when it was taken, on the graph's clock, in stream time.
        EnterCriticalSection(&lock);
        REFERENCE_TIME now = 0;
        if (clock && SUCCEEDED(clock->GetTime(&now))) now -= startTime;
        LeaveCriticalSection(&lock);
        REFERENCE_TIME end = now + format.info.AvgTimePerFrame;
        sample->SetTime(&now, &end);
        sample->SetSyncPoint(TRUE);
        sample->SetDiscontinuity(first ? TRUE : FALSE);
        if (memInput->Receive(sample) == S_OK && &to == &pin) InterlockedIncrement(&framesSent[camera]);
    }
    sample->Release();
}

// --- The COM server ---

// One class factory per camera.
class ClassFactory final : public IClassFactory {
public:
    explicit ClassFactory(int camera) : camera(camera) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) ? this : nullptr;
        return *object ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }  // static
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        if (!present(camera)) return HRESULT_FROM_WIN32(ERROR_DEVICE_NOT_CONNECTED);  // unplugged
        const Settings& s = settings(camera);
        Filter* filter = new (std::nothrow) Filter(camera, unplugged[camera] ? s.returnModes : s.modes);
        if (!filter) return E_OUTOFMEMORY;
        const HRESULT status = filter->QueryInterface(iid, object);
        filter->Release();
        return status;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

private:
    const int camera;
};
static ClassFactory factories[2] = {ClassFactory(0), ClassFactory(1)};

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        thisModule = instance;
        loadedAt = GetTickCount();
        DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    for (int camera = 0; camera < 2; camera++)
        if (IsEqualCLSID(clsid, cameraClasses[camera])) return factories[camera].QueryInterface(iid, object);
    return CLASS_E_CLASSNOTAVAILABLE;
}

STDAPI DllCanUnloadNow() { return objectsAlive == 0 ? S_OK : S_FALSE; }

// The camera's class key, CLSID\{...}.
static std::wstring clsidKey(int camera) {
    WCHAR clsid[40];
    StringFromGUID2(cameraClasses[camera], clsid, 40);
    return std::wstring(L"CLSID\\") + clsid;
}

static HRESULT withFilterMapper(int camera, HRESULT (*use)(IFilterMapper2*, int)) {
    const bool initialised = SUCCEEDED(CoInitialize(nullptr));
    IFilterMapper2* mapper = nullptr;
    HRESULT status = CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                      reinterpret_cast<void**>(&mapper));
    if (SUCCEEDED(status)) {
        status = use(mapper, camera);
        mapper->Release();
    }
    if (initialised) CoUninitialize();
    return status;
}

// The class, then the device: a filter of the video input device category, as a camera's
// driver would list one.
static HRESULT registerCamera(int camera) {
    const std::wstring key = clsidKey(camera), server = key + L"\\InprocServer32";
    WCHAR path[MAX_PATH];
    GetModuleFileNameW(thisModule, path, MAX_PATH);
    auto set = [](const WCHAR* at, const WCHAR* name, const WCHAR* value) {  // the key made as needed
        const DWORD bytes = (DWORD)((lstrlenW(value) + 1) * sizeof(WCHAR));
        return RegSetKeyValueW(HKEY_CLASSES_ROOT, at, name, REG_SZ, value, bytes) == ERROR_SUCCESS;
    };
    if (!set(key.c_str(), nullptr, friendlyNames[camera]) || !set(server.c_str(), nullptr, path) ||
        !set(server.c_str(), L"ThreadingModel", L"Both"))
        return SELFREG_E_CLASS;
    return withFilterMapper(camera, [](IFilterMapper2* mapper, int camera) {
        REGPINTYPES types[] = {{&MEDIATYPE_Video, &MEDIASUBTYPE_RGB24}, {&MEDIATYPE_Video, &MEDIASUBTYPE_YUY2}};
        REGFILTERPINS2 pin = {};
        pin.dwFlags = 0;
        pin.cInstances = 1;
        pin.nMediaTypes = 2;
        pin.lpMediaType = types;
        pin.clsPinCategory = &PIN_CATEGORY_CAPTURE;
        REGFILTER2 filter = {};
        filter.dwVersion = 2;
        filter.dwMerit = MERIT_DO_NOT_USE;
        filter.cPins2 = 1;
        filter.rgPins2 = &pin;
        return mapper->RegisterFilter(cameraClasses[camera], friendlyNames[camera], nullptr,
                                      &CLSID_VideoInputDeviceCategory, friendlyNames[camera], &filter);
    });
}

// The first camera; the second too when QUILTCAM_VIRTUAL_CAMERAS=2.
STDAPI DllRegisterServer() {
    const char* cameras = std::getenv("QUILTCAM_VIRTUAL_CAMERAS");
    HRESULT status = registerCamera(0);
    if (SUCCEEDED(status) && cameras && !std::strcmp(cameras, "2")) status = registerCamera(1);
    return status;
}

STDAPI DllUnregisterServer() {
    HRESULT status = S_OK;
    for (int camera = 0; camera < 2; camera++) {
        const HRESULT removed = withFilterMapper(camera, [](IFilterMapper2* mapper, int camera) {
            return mapper->UnregisterFilter(&CLSID_VideoInputDeviceCategory, friendlyNames[camera], cameraClasses[camera]);
        });
        if (camera == 0) status = removed;  // the second may never have been there
        RegDeleteTreeW(HKEY_CLASSES_ROOT, clsidKey(camera).c_str());
    }
    return status;
}
