// The system device enumerator: monikers for the video input devices that the listers find.
#include "platform/filters.h"
#ifndef _WIN32
#include "platform/v4l2_camera.h"
#endif

namespace platform {

std::vector<VideoDeviceLister> defaultVideoDeviceListers() {
#ifdef _WIN32
    return {};  // the stand-in serves only the test camera there
#else
    return {listV4l2Cameras};
#endif
}

std::vector<VideoDeviceLister>& videoDeviceListers() {
    static std::vector<VideoDeviceLister> listers = defaultVideoDeviceListers();
    return listers;
}

VideoDeviceList listVideoDevices() {
    VideoDeviceList devices;
    for (VideoDeviceLister lister : videoDeviceListers()) lister(&devices);
    return devices;
}

namespace {

class DeviceProperties final : public ComObject<IPropertyBag> {
public:
    explicit DeviceProperties(std::string friendlyName) : friendlyName(std::move(friendlyName)) {}

    HRESULT Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        if (!name || !value) return E_POINTER;
        if (narrow(name) != "FriendlyName") return E_INVALIDARG;
        value->vt = VT_BSTR;
        value->bstrVal = static_cast<BSTR>(CoTaskMemAlloc((friendlyName.size() + 1) * sizeof(WCHAR)));
        for (size_t i = 0; i <= friendlyName.size(); i++) value->bstrVal[i] = (WCHAR)(unsigned char)friendlyName[i];
        return S_OK;
    }

private:
    void* interfaceFor(REFIID iid) override {
        return (iid == IID_IUnknown || iid == IID_IPropertyBag) ? static_cast<IPropertyBag*>(this) : nullptr;
    }

    std::string friendlyName;
};

class DeviceMoniker final : public ComObject<IMoniker> {
public:
    explicit DeviceMoniker(std::shared_ptr<VideoDevice> device) : device(std::move(device)) {}

    HRESULT BindToObject(IBindCtx*, IMoniker*, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        HRESULT opened = device->open();
        if (FAILED(opened)) return opened;
        auto* filter = new DeviceFilter(device);
        HRESULT status = filter->QueryInterface(iid, object);
        filter->Release();
        return status;
    }

    // The device's properties: its friendly name, the name the user knows it by.
    HRESULT BindToStorage(IBindCtx*, IMoniker*, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        auto* properties = new DeviceProperties(device->name());
        HRESULT status = properties->QueryInterface(iid, object);
        properties->Release();
        return status;
    }

private:
    void* interfaceFor(REFIID iid) override {
        return (iid == IID_IUnknown || iid == IID_IMoniker) ? static_cast<IMoniker*>(this) : nullptr;
    }

    std::shared_ptr<VideoDevice> device;
};

class MonikerEnumerator final : public Enumerator<IEnumMoniker, IMoniker> {
public:
    explicit MonikerEnumerator(VideoDeviceList devices) : devices(std::move(devices)) {}

private:
    void* interfaceFor(REFIID iid) override {
        return (iid == IID_IUnknown || iid == IID_IEnumMoniker) ? static_cast<IEnumMoniker*>(this) : nullptr;
    }
    size_t size() override { return devices.size(); }
    IMoniker* fetch(size_t index) override { return new DeviceMoniker(devices[index]); }

    VideoDeviceList devices;
};

class SystemDeviceEnum final : public ComObject<ICreateDevEnum> {
public:
    // An empty category gives S_FALSE and no enumerator, as on Windows.
    HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** monikers, DWORD) override {
        if (!monikers) return E_POINTER;
        *monikers = nullptr;
        if (category != CLSID_VideoInputDeviceCategory) return S_FALSE;
        VideoDeviceList devices = listVideoDevices();
        if (devices.empty()) return S_FALSE;
        *monikers = new MonikerEnumerator(std::move(devices));
        return S_OK;
    }

private:
    void* interfaceFor(REFIID iid) override {
        return (iid == IID_IUnknown || iid == IID_ICreateDevEnum) ? static_cast<ICreateDevEnum*>(this) : nullptr;
    }
};

}  // namespace

IUnknown* newSystemDeviceEnum() { return new SystemDeviceEnum; }

}  // namespace platform
