// The capture chain: the first video input device, through a sample grabber that keeps the
// newest 24-bit RGB frame, into a null renderer.
#include "directshow/directshow_camera.h"

#include <cstring>
#include <vector>

#include "capture/camera_mode.h"

static const DWORD inprocServerOrHandler = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER;

// Remembers the device's friendly name, the one the system's device lists show, for messages.
static void copyFriendlyName(IMoniker* moniker, char* name, size_t size) {
    IPropertyBag* properties = nullptr;
    if (FAILED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, reinterpret_cast<void**>(&properties))) ||
        !properties)
        return;
    VARIANT value;
    VariantInit(&value);
    if (SUCCEEDED(properties->Read(L"FriendlyName", &value, nullptr)) && value.vt == VT_BSTR && value.bstrVal) {
        size_t i = 0;
        for (; value.bstrVal[i] && i + 1 < size; i++)
            name[i] = (value.bstrVal[i] > 0 && value.bstrVal[i] < 128) ? (char)value.bstrVal[i] : '?';
        name[i] = '\0';
    }
    VariantClear(&value);
    properties->Release();
}

// DirectShow's DeleteMediaType, which MinGW does not provide.
static void deleteMediaType(AM_MEDIA_TYPE* type) {
    if (type->pbFormat) CoTaskMemFree(type->pbFormat);
    if (type->pUnk) type->pUnk->Release();
    CoTaskMemFree(type);
}

// The first device of the video input category, bound to its filter. With no camera the
// category is empty: S_FALSE and no enumerator.
HRESULT DirectShowCamera::bindFirstDevice(IBaseFilter** device) {
    HRESULT status = create(CLSID_SystemDeviceEnum, inprocServerOrHandler, IID_ICreateDevEnum,
                            reinterpret_cast<void**>(&devEnum), "the system device enumerator");
    if (FAILED(status)) return status;
    IEnumMoniker* enumerator = nullptr;
    status = VFW_E_NO_CAPTURE_HARDWARE;
    if (devEnum && devEnum->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &enumerator, 0) == S_OK &&
        enumerator) {
        ULONG fetched = 0;
        if (enumerator->Next(1, &moniker, &fetched) == S_OK) {
            copyFriendlyName(moniker, deviceName, sizeof deviceName);
            status = moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(device));
            moniker->Release();
            moniker = nullptr;
        }
        enumerator->Release();
    }
    if (devEnum) devEnum->Release();
    devEnum = nullptr;
    if (SUCCEEDED(status) && !*device) status = VFW_E_NO_CAPTURE_HARDWARE;
    return status;
}

// Asks the device (in the graph, its output pin found) for the way of sending that chooseMode
// picks from those its stream config lists (a media type of the camera's own, at the rate
// the rule takes), then connects it to the grabber. A camera that refuses keeps its own format.
HRESULT DirectShowCamera::connectSource() {
    if (streamConfig) streamConfig->Release();
    streamConfig = nullptr;
    builder->FindInterface(nullptr, nullptr, source, IID_IAMStreamConfig, reinterpret_cast<void**>(&streamConfig));
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
    const HRESULT connected = graph->Connect(sourceOut, grabberIn);
    connectFailed = FAILED(connected);
    return connected;
}

// A COM object the chain cannot do without; when it cannot be had, `missing` names it.
HRESULT DirectShowCamera::create(REFCLSID type, DWORD context, REFIID iid, void** object, const char* what) {
    const HRESULT status = CoCreateInstance(type, nullptr, context, iid, object);
    if (FAILED(status) || !*object) missing = what;
    return FAILED(status) ? status : *object ? S_OK : E_NOINTERFACE;
}

HRESULT DirectShowCamera::startCapture(int width, int height) {
    this->width = width;  // what connectSource asks the device for, now and after a loss
    this->height = height;
    CoInitialize(nullptr);
    HRESULT status = create(CLSID_FilterGraph, inprocServerOrHandler, IID_IGraphBuilder,
                            reinterpret_cast<void**>(&graph), "the filter graph manager");
    if (FAILED(status)) return status;
    // Nothing can be built without a device: stop here and say so.
    status = bindFirstDevice(&source);
    if (FAILED(status)) return status;

    graph->AddFilter(source, L"Video Capture");

    status = create(CLSID_CaptureGraphBuilder2, inprocServerOrHandler, IID_ICaptureGraphBuilder2,
                    reinterpret_cast<void**>(&builder), "the capture graph builder");
    if (FAILED(status)) return status;
    builder->SetFiltergraph(graph);

    status = create(CLSID_SampleGrabber, CLSCTX_INPROC_SERVER, IID_IBaseFilter, reinterpret_cast<void**>(&grabberFilter),
                    "the sample grabber (qedit.dll)");
    if (FAILED(status)) return status;
    status = grabberFilter->QueryInterface(IID_ISampleGrabber, reinterpret_cast<void**>(&grabber));
    if (FAILED(status)) {
        missing = "the sample grabber's ISampleGrabber";
        return status;
    }

    // Only the kind of frame is fixed here; the size comes from the device's format below.
    AM_MEDIA_TYPE wanted;
    std::memset(&wanted, 0, sizeof wanted);
    wanted.majortype = MEDIATYPE_Video;
    wanted.subtype = MEDIASUBTYPE_RGB24;
    grabber->SetMediaType(&wanted);
    graph->AddFilter(grabberFilter, L"Grabber");

    sourceOut = pinOf(source, PINDIR_OUTPUT);
    grabberIn = pinOf(grabberFilter, PINDIR_INPUT);

    // The device is in the graph before its format changes, and the format changes before
    // the device is connected.
    status = connectSource();
    if (FAILED(status)) return status;
    grabber->SetBufferSamples(TRUE);
    grabber->SetOneShot(FALSE);

    status = create(CLSID_NullRenderer, CLSCTX_INPROC_SERVER, IID_IBaseFilter, reinterpret_cast<void**>(&nullRenderer),
                    "the null renderer (qedit.dll)");
    if (FAILED(status)) return status;
    graph->AddFilter(nullRenderer, L"NullRenderer");
    connectFilters(graph, grabberFilter, nullRenderer);

    renderPreview();

    status = graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control));
    if (FAILED(status)) {
        missing = "the filter graph's media control";
        return status;
    }
    return control->Run();
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
