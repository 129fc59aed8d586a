// Pins, pin enumeration, and the three kinds of filter in a capture chain: the video input
// device, the sample grabber that keeps the newest frame, and the null renderer.
#include "platform/filters.h"

#include <cstring>

namespace platform {

std::string narrow(LPCWSTR text) {
    std::string result;
    for (; text && *text; text++) result += (*text < 128) ? (char)*text : '?';
    return result;
}

static AM_MEDIA_TYPE* newVideoInfoType(int width, int height);
static void fillVideoInfoType(AM_MEDIA_TYPE* type, int width, int height);

// --- Pins ---

HRESULT Pin::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IPin)
        *object = static_cast<IPin*>(this);
    else
        *object = owner->pinInterfaceFor(iid);
    if (!*object) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}
ULONG Pin::AddRef() { return owner->AddRef(); }
ULONG Pin::Release() { return owner->Release(); }

HRESULT Pin::ConnectedTo(IPin** pin) {
    if (!pin) return E_POINTER;
    *pin = peer;
    if (!peer) return VFW_E_NOT_CONNECTED;
    peer->AddRef();
    return S_OK;
}

HRESULT Pin::ConnectionMediaType(AM_MEDIA_TYPE* type) {
    if (!type) return E_POINTER;
    if (!peer) return VFW_E_NOT_CONNECTED;
    fillVideoInfoType(type, connectedWidth, connectedHeight);
    return S_OK;
}

HRESULT Pin::QueryDirection(PIN_DIRECTION* result) {
    if (!result) return E_POINTER;
    *result = direction;
    return S_OK;
}

namespace {

class PinEnumerator final : public Enumerator<IEnumPins, IPin> {
public:
    explicit PinEnumerator(Filter* filter) : filter(filter) { filter->AddRef(); }

private:
    ~PinEnumerator() override { filter->Release(); }
    void* interfaceFor(REFIID iid) override {
        return (iid == IID_IUnknown || iid == IID_IEnumPins) ? static_cast<IEnumPins*>(this) : nullptr;
    }
    size_t size() override { return (size_t)filter->pinCount(); }
    IPin* fetch(size_t index) override {
        Pin* pin = filter->pin((int)index);
        pin->AddRef();
        return pin;
    }

    Filter* filter;
};

}  // namespace

HRESULT Filter::EnumPins(IEnumPins** pins) {
    if (!pins) return E_POINTER;
    *pins = new PinEnumerator(this);
    return S_OK;
}

void* Filter::interfaceFor(REFIID iid) {
    if (iid == IID_IUnknown || iid == IID_IBaseFilter) return static_cast<IBaseFilter*>(this);
    return nullptr;
}

// --- Media types ---

static void fillVideoInfoType(AM_MEDIA_TYPE* type, int width, int height) {
    std::memset(type, 0, sizeof *type);
    type->majortype = MEDIATYPE_Video;
    type->subtype = MEDIASUBTYPE_RGB24;
    type->bFixedSizeSamples = TRUE;
    type->lSampleSize = (ULONG)(width * height * 3);
    type->formattype = FORMAT_VideoInfo;
    auto* info = static_cast<VIDEOINFOHEADER*>(CoTaskMemAlloc(sizeof(VIDEOINFOHEADER)));
    std::memset(info, 0, sizeof *info);
    info->bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info->bmiHeader.biWidth = width;
    info->bmiHeader.biHeight = height;
    info->bmiHeader.biPlanes = 1;
    info->bmiHeader.biBitCount = 24;
    info->bmiHeader.biCompression = BI_RGB;
    info->bmiHeader.biSizeImage = (DWORD)(width * height * 3);
    type->cbFormat = sizeof(VIDEOINFOHEADER);
    type->pbFormat = reinterpret_cast<BYTE*>(info);
}

static AM_MEDIA_TYPE* newVideoInfoType(int width, int height) {
    auto* type = static_cast<AM_MEDIA_TYPE*>(CoTaskMemAlloc(sizeof(AM_MEDIA_TYPE)));
    fillVideoInfoType(type, width, height);
    return type;
}

// --- The video input device ---

DeviceFilter::DeviceFilter(std::shared_ptr<VideoDevice> device) : device(std::move(device)) {
    this->device->nativeSize(&width, &height);
}

HRESULT DeviceFilter::acceptConnection(Pin*, Pin*) { return VFW_E_INVALID_DIRECTION; }

HRESULT DeviceFilter::run() {
    if (!sink || running) return S_OK;
    HRESULT status = device->start(width, height, sink);
    running = SUCCEEDED(status);
    return status;
}

void DeviceFilter::stop() {
    if (running) device->stop();
    running = false;
}

DeviceFilter::~DeviceFilter() { stop(); }

void* DeviceFilter::pinInterfaceFor(REFIID iid) {
    return iid == IID_IAMStreamConfig ? static_cast<IAMStreamConfig*>(&streamConfig) : nullptr;
}

ULONG DeviceFilter::StreamConfig::AddRef() { return filter->AddRef(); }
ULONG DeviceFilter::StreamConfig::Release() { return filter->Release(); }
HRESULT DeviceFilter::StreamConfig::QueryInterface(REFIID iid, void** object) {
    return filter->output.QueryInterface(iid, object);
}

HRESULT DeviceFilter::StreamConfig::GetFormat(AM_MEDIA_TYPE** type) {
    if (!type) return E_POINTER;
    *type = newVideoInfoType(filter->width, filter->height);
    if (!filter->device->reportsVideoInfo()) {
        CoTaskMemFree((*type)->pbFormat);
        (*type)->pbFormat = nullptr;
        (*type)->cbFormat = 0;
        (*type)->formattype = FORMAT_None;
    }
    return S_OK;
}

HRESULT DeviceFilter::StreamConfig::SetFormat(AM_MEDIA_TYPE* type) {
    if (!type) return E_POINTER;
    if (filter->running) return VFW_E_NOT_STOPPED;
    if (filter->output.peer) return VFW_E_ALREADY_CONNECTED;
    if (type->majortype != MEDIATYPE_Video || type->formattype != FORMAT_VideoInfo || !type->pbFormat ||
        type->cbFormat < sizeof(VIDEOINFOHEADER))
        return VFW_E_INVALIDMEDIATYPE;
    const BITMAPINFOHEADER& header = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader;
    // Bottom-up frames only, and no size beyond what any camera gives.
    if (header.biWidth <= 0 || header.biHeight <= 0 || header.biWidth > 8192 || header.biHeight > 8192)
        return VFW_E_INVALIDMEDIATYPE;
    filter->width = header.biWidth;
    filter->height = header.biHeight;
    traceCall("SetFormat " + std::to_string(filter->width) + "x" + std::to_string(filter->height));
    return S_OK;
}

// --- The sample grabber ---

void* SampleGrabber::interfaceFor(REFIID iid) {
    if (iid == IID_ISampleGrabber) return static_cast<ISampleGrabber*>(this);
    return Filter::interfaceFor(iid);
}

HRESULT SampleGrabber::acceptConnection(Pin* in, Pin* upstreamOut) {
    auto* device = dynamic_cast<DeviceFilter*>(upstreamOut->owner);
    if (in != &input || !device) return VFW_E_CANNOT_CONNECT;
    // The device converts whatever the camera gives to 24-bit RGB, so that is all this
    // grabber can be asked to accept.
    if ((acceptedMajor != GUID{} && acceptedMajor != MEDIATYPE_Video) ||
        (acceptedSubtype != GUID{} && acceptedSubtype != MEDIASUBTYPE_RGB24))
        return VFW_E_TYPE_NOT_ACCEPTED;
    frameLength = (size_t)device->width * (size_t)device->height * 3;
    latest.assign(frameLength, 0);
    upstream = device->device;
    device->sink = this;
    in->connectedWidth = upstreamOut->connectedWidth = device->width;
    in->connectedHeight = upstreamOut->connectedHeight = device->height;
    output.connectedWidth = device->width;
    output.connectedHeight = device->height;
    return S_OK;
}

HRESULT SampleGrabber::SetOneShot(BOOL oneShot) {
    this->oneShot = oneShot != FALSE;
    traceCall(oneShot ? "SetOneShot TRUE" : "SetOneShot FALSE");
    return S_OK;
}

HRESULT SampleGrabber::SetMediaType(const AM_MEDIA_TYPE* type) {
    if (!type) return E_POINTER;
    acceptedMajor = type->majortype;
    acceptedSubtype = type->subtype;
    traceCall("SetMediaType");
    return S_OK;
}

HRESULT SampleGrabber::GetConnectedMediaType(AM_MEDIA_TYPE* type) {
    if (!type) return E_POINTER;
    return input.ConnectionMediaType(type);
}

HRESULT SampleGrabber::SetBufferSamples(BOOL bufferThem) {
    bufferSamples = bufferThem != FALSE;
    traceCall(bufferThem ? "SetBufferSamples TRUE" : "SetBufferSamples FALSE");
    return S_OK;
}

HRESULT SampleGrabber::GetCurrentBuffer(LONG* bufferSize, LONG* buffer) {
    if (!bufferSize) return E_POINTER;
    if (!input.peer) return VFW_E_NOT_CONNECTED;
    if (!bufferSamples) return E_INVALIDARG;
    if (upstream) upstream->framePulled();
    Locked<FrameLock> lock(frameLock);
    if (!haveFrame) return VFW_E_WRONG_STATE;
    if (!buffer) {
        *bufferSize = (LONG)frameLength;
        return S_OK;
    }
    if (*bufferSize < 0 || frameLength > (size_t)*bufferSize) return E_OUTOFMEMORY;
    std::memcpy(buffer, latest.data(), frameLength);
    *bufferSize = (LONG)frameLength;
    return S_OK;
}

void SampleGrabber::deliverFrame(const unsigned char* bgrBottomUp, size_t bytes) {
    if (bytes != frameLength || !bufferSamples) return;
    Locked<FrameLock> lock(frameLock);
    if (oneShot && haveFrame) return;
    std::memcpy(latest.data(), bgrBottomUp, bytes);
    haveFrame = true;
}

// --- The null renderer: takes any connection and discards what it is given ---

HRESULT NullRenderer::acceptConnection(Pin* in, Pin* upstreamOut) {
    if (in != &input) return VFW_E_CANNOT_CONNECT;
    in->connectedWidth = upstreamOut->connectedWidth;
    in->connectedHeight = upstreamOut->connectedHeight;
    return S_OK;
}

IUnknown* newSampleGrabber() { return static_cast<IBaseFilter*>(new SampleGrabber); }
IUnknown* newNullRenderer() { return static_cast<IBaseFilter*>(new NullRenderer); }

}  // namespace platform
