// The capture chain: a video input device on its capture pin, through a sample grabber that
// asks for 24-bit RGB, into a null renderer; and the devices to choose from.
#include "directshow/directshow_camera.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <vector>

#include "capture/camera_mode.h"

static const DWORD inprocServerOrHandler = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;

// The device's friendly name (the one the system's device lists show, for messages) and its
// device path (what stays the same when it comes back; a device with none, its moniker's
// display name).
static void describe(IMoniker* moniker, char* name, size_t size, std::wstring* path) {
    IPropertyBag* properties = nullptr;
    if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&properties))) &&
        properties) {
        VARIANT value;
        VariantInit(&value);
        if (SUCCEEDED(properties->Read(L"FriendlyName", &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal) {
            size_t i = 0;
            for (; value.bstrVal[i] && i + 1 < size; i++)
                name[i] = (value.bstrVal[i] > 0 && value.bstrVal[i] < 128) ? (char)value.bstrVal[i] : '?';
            name[i] = '\0';
        }
        VariantClear(&value);
        if (SUCCEEDED(properties->Read(L"DevicePath", &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal)
            *path = value.bstrVal;
        VariantClear(&value);
        properties->Release();
    }
    IBindCtx* context = nullptr;
    LPOLESTR displayName = nullptr;
    if (path->empty() && SUCCEEDED(CreateBindCtx(0, &context)) &&
        SUCCEEDED(moniker->GetDisplayName(context, nullptr, &displayName)) && displayName) {
        *path = displayName;
        CoTaskMemFree(displayName);
    }
    if (context) context->Release();
}

// DirectShow's DeleteMediaType, which MinGW does not provide.
static void deleteMediaType(AM_MEDIA_TYPE* type) {
    if (type->pbFormat) CoTaskMemFree(type->pbFormat);
    if (type->pUnk) type->pUnk->Release();
    CoTaskMemFree(type);
}

// The devices of the video input category, in its order, by device path. With no camera the
// category is empty: S_FALSE and no enumerator. While a camera sends (a device lost says so
// itself), the last list stands.
bool DirectShowCamera::list(std::vector<std::string>* identities, bool looking) {
    if (!looking && source) return true;
    releaseDevices();
    ICreateDevEnum* devEnum = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, inprocServerOrHandler, IID_ICreateDevEnum,
                                   reinterpret_cast<void**>(&devEnum))) && devEnum) {
        IEnumMoniker* enumerator = nullptr;
        if (devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &enumerator, 0) == S_OK && enumerator) {
            IMoniker* moniker = nullptr;
            while (enumerator->Next(1, &moniker, nullptr) == S_OK && moniker) {
                devices.push_back({moniker, {}, {}});
                describe(moniker, devices.back().name, sizeof devices.back().name, &devices.back().path);
                moniker = nullptr;
            }
            enumerator->Release();
        }
        devEnum->Release();
    }
    identities->clear();
    for (const Device& device : devices) identities->push_back(std::string(device.path.begin(), device.path.end()));
    return true;
}

void DirectShowCamera::releaseDevices() {
    for (Device& device : devices) device.moniker->Release();
    devices.clear();
}

// Grey subtypes are four-character codes in their own GUID space: Y800, Y8, GREY, Y16, and L8.
static bool greySubtype(const GUID& subtype) {
    static const DWORD greys[] = {MAKEFOURCC('Y', '8', '0', '0'), MAKEFOURCC('Y', '8', ' ', ' '),
                                  MAKEFOURCC('G', 'R', 'E', 'Y'), MAKEFOURCC('Y', '1', '6', ' '), 50};
    GUID fourccSpace = MEDIASUBTYPE_YUY2;
    fourccSpace.Data1 = subtype.Data1;
    return IsEqualGUID(fourccSpace, subtype) && std::find(std::begin(greys), std::end(greys), subtype.Data1) != std::end(greys);
}

// Whether every format the device lists is grey: an infrared face-login camera, say.
bool DirectShowCamera::listsOnlyGrey() {
    int count = 0, capsSize = 0;
    if (!streamConfig || FAILED(streamConfig->GetNumberOfCapabilities(&count, &capsSize)) || count <= 0 ||
        count > 1024 || capsSize != sizeof(VIDEO_STREAM_CONFIG_CAPS))
        return false;
    bool grey = true;
    for (int i = 0; i < count && grey; i++) {
        AM_MEDIA_TYPE* type = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps{};
        if (streamConfig->GetStreamCaps(i, &type, reinterpret_cast<BYTE*>(&caps)) != S_OK || !type) continue;
        grey = greySubtype(type->subtype);
        deleteMediaType(type);
    }
    return grey;
}

// Asks the device (in the graph, its output pin found) for the way of sending that chooseMode
// picks from those its stream config lists (a media type of the camera's own, at the rate the
// rule takes), then connects it to the grabber. A camera that refuses keeps its own format.
HRESULT DirectShowCamera::connectSource() {
    int count = 0, capsSize = 0;
    if (streamConfig && SUCCEEDED(streamConfig->GetNumberOfCapabilities(&count, &capsSize)) &&
        capsSize == sizeof(VIDEO_STREAM_CONFIG_CAPS) && count > 0 && count <= 1024) {
        std::vector<AM_MEDIA_TYPE*> types;
        std::vector<CameraMode> modes;
        for (int i = 0; i < count; i++) {
            AM_MEDIA_TYPE* type = nullptr;
            VIDEO_STREAM_CONFIG_CAPS caps{};
            if (streamConfig->GetStreamCaps(i, &type, reinterpret_cast<BYTE*>(&caps)) != S_OK || !type) continue;
            if (!IsEqualGUID(type->majortype, MEDIATYPE_Video) || !IsEqualGUID(type->formattype, FORMAT_VideoInfo) ||
                !type->pbFormat || type->cbFormat < sizeof(VIDEOINFOHEADER)) {
                deleteMediaType(type);
                continue;
            }
            VIDEOINFOHEADER* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
            if (caps.MinFrameInterval > 0)  // the rate the shared rule takes from the range it lists
                info->AvgTimePerFrame =
                    (REFERENCE_TIME)chooseInterval(caps.MinFrameInterval, caps.MaxFrameInterval, 10000000);
            const BITMAPINFOHEADER& header = info->bmiHeader;
            const bool rgb24 = IsEqualGUID(type->subtype, MEDIASUBTYPE_RGB24);
            modes.push_back({(uint32_t)header.biWidth, (uint32_t)(header.biHeight < 0 ? -header.biHeight : header.biHeight),
                             rgb24 ? 0 : 1, (uint32_t)info->AvgTimePerFrame, 10000000});
            types.push_back(type);
        }
        const int chosen = chooseMode(modes, width, height);
        if (chosen >= 0) streamConfig->SetFormat(types[chosen]);  // refused: the camera's own format stays
        for (AM_MEDIA_TYPE* type : types) deleteMediaType(type);
    }
    // A device whose frames cannot reach the grabber would leave the mosaic black for good.
    return graph->Connect(sourceOut, grabberIn);
}

// A COM object the chain cannot do without; when it cannot be had, the failure names it.
HRESULT DirectShowCamera::create(REFCLSID type, DWORD context, REFIID iid, void** object, const char* what) {
    HRESULT status = CoCreateInstance(type, nullptr, context, iid, object);
    if (SUCCEEDED(status) && !*object) status = E_NOINTERFACE;
    if (FAILED(status)) noteFailure("cannot create", what, status);
    return status;
}

// Binds a device and connects its capture pin to the grabber, asked for the frame size, and runs
// it. The device is added to the graph before its format changes, and the format changes before
// the device is connected.
CameraTried DirectShowCamera::open(int index, bool allowGrey) {
    const Device& device = devices[(size_t)index];
    const char* name = device.name[0] ? device.name : "the video capture device";
    HRESULT status = device.moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&source));
    if (FAILED(status) || !source) {
        source = nullptr;
        noteFailure("cannot open", name, FAILED(status) ? status : E_NOINTERFACE);
        return CameraTried::passedOver;
    }
    graph->AddFilter(source, L"Video Capture");
    // The capture pin, for both its format and its connection (a still or preview pin may come
    // first); a device that names no pin categories, its first output pin.
    if (FAILED(builder->FindPin(source, PINDIR_OUTPUT, &PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, FALSE, 0, &sourceOut)))
        sourceOut = pinOf(source, PINDIR_OUTPUT);
    if (sourceOut) sourceOut->QueryInterface(IID_IAMStreamConfig, reinterpret_cast<void**>(&streamConfig));
    if (!allowGrey && listsOnlyGrey()) {
        close();
        return CameraTried::greyOnly;
    }
    status = sourceOut ? connectSource() : VFW_E_NO_ACCEPTABLE_TYPES;
    if (FAILED(status)) {
        noteFailure("cannot take frames from", name, status);
        close();
        return CameraTried::passedOver;
    }
    if (!rendererConnected) rendererConnected = SUCCEEDED(connectFilters(graph, grabberFilter, nullRenderer));
    renderPreview();
    if (!planFrames()) {
        noteFailure("cannot take frames from", name, S_OK, "it sends no format Quiltcam reads");
        close();
        return CameraTried::passedOver;
    }
    status = control->Run();
    if (FAILED(status)) {
        noteFailure("cannot open", name, status);
        close();
        return CameraTried::passedOver;
    }
    named(device.name);
    return CameraTried::started;
}

// The frames as the grabber connected at: the camera's size (the one asked for, or its own where
// it refused), rows bottom-up or top-down, padded to whole words.
bool DirectShowCamera::planFrames() {
    AM_MEDIA_TYPE type;
    std::memset(&type, 0, sizeof type);
    if (FAILED(grabber->GetConnectedMediaType(&type))) return false;
    bool planned = false;
    if (IsEqualGUID(type.formattype, FORMAT_VideoInfo) && type.pbFormat && type.cbFormat >= sizeof(VIDEOINFOHEADER)) {
        const VIDEOINFOHEADER* info = reinterpret_cast<VIDEOINFOHEADER*>(type.pbFormat);
        const BITMAPINFOHEADER& header = info->bmiHeader;
        FrameFormat format{PixelLayout::bgr24, (int)header.biWidth, (int)(header.biHeight < 0 ? -header.biHeight : header.biHeight)};
        format.bottomUp = header.biHeight > 0;
        rowBytes = ((size_t)format.width * 3 + 3) & ~(size_t)3;  // rows are padded to whole words
        planned = header.biBitCount == 24 && configureFrames(format);
        streamed.intervalNumerator = (uint32_t)info->AvgTimePerFrame;
        streamed.intervalDenominator = 10000000;
    }
    if (type.pbFormat) CoTaskMemFree(type.pbFormat);
    if (type.pUnk) type.pUnk->Release();
    return planned;
}

// Out with the device and whatever the graph put between it and the grabber.
void DirectShowCamera::close() {
    control->Stop();
    IEnumFilters* filters = nullptr;
    IBaseFilter* stale[16];
    int staleCount = 0;
    if (SUCCEEDED(graph->EnumFilters(&filters))) {
        IBaseFilter* filter = nullptr;
        while (staleCount < 16 && filters->Next(1, &filter, nullptr) == S_OK) {
            if (filter != grabberFilter && filter != nullRenderer && filter != previewRenderer)
                stale[staleCount++] = filter;
            else
                filter->Release();
        }
        filters->Release();
    }
    for (int i = 0; i < staleCount; i++) {
        graph->RemoveFilter(stale[i]);
        stale[i]->Release();
    }
    IUnknown* old[] = {streamConfig, sourceOut, source};
    for (IUnknown* object : old)
        if (object) object->Release();
    streamConfig = nullptr;
    sourceOut = nullptr;
    source = nullptr;
}

// The graph manager, the capture graph builder, the grabber (asking for 24-bit RGB, its samples
// to the frame path) and the null renderer, once for every device.
bool DirectShowCamera::buildChain() {
    HRESULT status = create(CLSID_FilterGraph, inprocServerOrHandler, IID_IGraphBuilder, reinterpret_cast<void**>(&graph),
                            "the filter graph manager");
    if (SUCCEEDED(status))
        status = create(CLSID_CaptureGraphBuilder2, inprocServerOrHandler, IID_ICaptureGraphBuilder2,
                        reinterpret_cast<void**>(&builder), "the capture graph builder");
    if (SUCCEEDED(status)) {
        builder->SetFiltergraph(graph);
        status = create(CLSID_SampleGrabber, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                        reinterpret_cast<void**>(&grabberFilter), "the sample grabber (qedit.dll)");
    }
    if (SUCCEEDED(status)) {
        status = grabberFilter->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void**>(&grabber));
        if (FAILED(status)) noteFailure("cannot create", "the sample grabber's ISampleGrabber", status);
    }
    if (SUCCEEDED(status)) {
        // Only the kind of frame is fixed here; the size comes from each device's format.
        AM_MEDIA_TYPE wanted;
        std::memset(&wanted, 0, sizeof wanted);
        wanted.majortype = MEDIATYPE_Video;
        wanted.subtype = MEDIASUBTYPE_RGB24;
        grabber->SetMediaType(&wanted);
        graph->AddFilter(grabberFilter, L"Grabber");
        grabberIn = pinOf(grabberFilter, PINDIR_INPUT);
        grabber->SetBufferSamples(FALSE);
        grabber->SetOneShot(FALSE);
        grabber->SetCallback(&sink, 0);
        status = create(CLSID_NullRenderer, CLSCTX_INPROC_SERVER, IID_IBaseFilter, reinterpret_cast<void**>(&nullRenderer),
                        "the null renderer (qedit.dll)");
    }
    if (SUCCEEDED(status)) {
        graph->AddFilter(nullRenderer, L"NullRenderer");
        status = graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control));
        if (FAILED(status)) noteFailure("cannot create", "the filter graph's media control", status);
    }
    if (SUCCEEDED(status)) {
        status = graph->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(&mediaEvent));
        if (FAILED(status)) noteFailure("cannot create", "the filter graph's events", status);
    }
    return SUCCEEDED(status);
}

void DirectShowCamera::releaseChain() {
    if (control) close();
    if (grabber) grabber->SetCallback(nullptr, 0);
    releaseDevices();
    IUnknown* held[] = {mediaEvent, control, builder, grabberIn, previewRenderer, nullRenderer, grabber, grabberFilter, graph};
    for (IUnknown* object : held)
        if (object) object->Release();
    mediaEvent = nullptr;
    control = nullptr;
    builder = nullptr;
    grabberIn = nullptr;
    previewRenderer = nullptr;
    nullRenderer = nullptr;
    grabber = nullptr;
    grabberFilter = nullptr;
    graph = nullptr;
}

// The device's preview stream, into a null renderer of its own: rendered with no sink, a camera
// with a preview pin would open a video window of DirectShow's beside the mosaic's.
void DirectShowCamera::renderPreview() {
    if (!previewRenderer &&
        SUCCEEDED(CoCreateInstance(CLSID_NullRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                   reinterpret_cast<void**>(&previewRenderer))))
        graph->AddFilter(previewRenderer, L"Preview");
    builder->RenderStream(&PIN_CATEGORY_PREVIEW, &MEDIATYPE_Video, source, nullptr, previewRenderer);
}

IPin* DirectShowCamera::pinOf(IBaseFilter* filter, PIN_DIRECTION direction) {
    IPin* found = nullptr;
    findPin(filter, direction, &found);
    return found;
}

HRESULT DirectShowCamera::findPin(IBaseFilter* filter, PIN_DIRECTION direction, IPin** pin) {
    IEnumPins* pins = nullptr;
    if (!filter || FAILED(filter->EnumPins(&pins)) || !pins) return E_FAIL;
    IPin* candidate = nullptr;
    HRESULT status = E_FAIL;
    while (pins->Next(1, &candidate, nullptr) == S_OK) {
        PIN_DIRECTION candidateDirection;
        candidate->QueryDirection(&candidateDirection);
        if (candidateDirection == direction) {
            *pin = candidate;
            status = S_OK;
            break;
        }
        candidate->Release();
    }
    pins->Release();
    return status;
}

HRESULT DirectShowCamera::connectFilters(IGraphBuilder* graph, IBaseFilter* upstream, IBaseFilter* downstream) {
    IPin* out = nullptr;
    IPin* in = nullptr;
    HRESULT status = findPin(upstream, PINDIR_OUTPUT, &out);
    if (FAILED(status)) return status;
    if (FAILED(findPin(downstream, PINDIR_INPUT, &in))) {
        out->Release();
        return E_FAIL;
    }
    status = graph->Connect(out, in);
    in->Release();
    out->Release();
    return status;
}
