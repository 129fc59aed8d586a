// Building blocks of the platform's COM objects: reference counting, filters and their pins.
// Internal to platform/.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "platform/call_trace.h"
#include "platform/directshow.h"

namespace platform {

// Reference counting and QueryInterface for an object that implements one or more
// interfaces. The concrete class answers interfaceFor() with the right base pointer.
template <class... Interfaces>
class ComObject : public Interfaces... {
public:
    ComObject() = default;
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = interfaceFor(iid);
        if (!*object) return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG AddRef() override { return ++references; }
    ULONG Release() override {
        ULONG left = --references;
        if (left == 0) delete this;
        return left;
    }
    ULONG referenceCount() const { return references; }

protected:
    virtual ~ComObject() = default;
    virtual void* interfaceFor(REFIID iid) = 0;

private:
    std::atomic<ULONG> references{1};
};

// The Next and Reset of a COM enumerator, over the items that fetch() hands out with a
// reference of their own.
template <class Interface, class Item>
class Enumerator : public ComObject<Interface> {
public:
    HRESULT Next(ULONG count, Item** items, ULONG* fetched) override {
        if (!items) return E_POINTER;
        if (count != 1 && !fetched) return E_INVALIDARG;
        ULONG taken = 0;
        while (taken < count && position < size()) items[taken++] = fetch(position++);
        if (fetched) *fetched = taken;
        return taken == count ? S_OK : S_FALSE;
    }
    HRESULT Reset() override {
        position = 0;
        return S_OK;
    }

protected:
    virtual size_t size() = 0;
    virtual Item* fetch(size_t index) = 0;

private:
    size_t position = 0;
};

class Filter;
class FilterGraph;

// A filter's pin. It lives inside its filter and shares the filter's reference count, as
// DirectShow's pins do.
class Pin final : public IPin {
public:
    Pin(Filter* owner, PIN_DIRECTION direction) : owner(owner), direction(direction) {}

    HRESULT QueryInterface(REFIID iid, void** object) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT ConnectedTo(IPin** pin) override;
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT QueryDirection(PIN_DIRECTION* result) override;

    Filter* const owner;
    const PIN_DIRECTION direction;
    Pin* peer = nullptr;
    int connectedWidth = 0, connectedHeight = 0;  // frame size on the connection
};

// What every filter of the platform shares: its pins, its graph, and its part in running.
class Filter : public ComObject<IBaseFilter> {
public:
    HRESULT EnumPins(IEnumPins** pins) override;

    virtual int pinCount() = 0;
    virtual Pin* pin(int index) = 0;
    // Downstream filters decide whether they take a connection from upstream.
    virtual HRESULT acceptConnection(Pin* in, Pin* upstreamOut) = 0;
    virtual HRESULT run() { return S_OK; }
    virtual void stop() {}
    // Interfaces reachable from the filter's pins, for FindInterface.
    virtual void* pinInterfaceFor(REFIID) { return nullptr; }

    FilterGraph* graph = nullptr;
    std::string graphName;

protected:
    void* interfaceFor(REFIID iid) override;
};

// What CoCreateInstance makes for each class.
IUnknown* newFilterGraph();
IUnknown* newSystemDeviceEnum();
IUnknown* newCaptureGraphBuilder();
IUnknown* newSampleGrabber();
IUnknown* newNullRenderer();

std::string narrow(LPCWSTR text);

}  // namespace platform
