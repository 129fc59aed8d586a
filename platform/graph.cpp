// The filter graph manager and the capture graph builder.
#include "platform/filters.h"

namespace platform {

class FilterGraph final : public ComObject<IGraphBuilder, IMediaControl> {
public:
    HRESULT AddFilter(IBaseFilter* filter, LPCWSTR name) override {
        auto* ours = dynamic_cast<Filter*>(filter);
        if (!filter) return E_POINTER;
        if (!ours) return E_INVALIDARG;
        if (ours->graph) return VFW_E_WRONG_STATE;
        ours->AddRef();
        ours->graph = this;
        ours->graphName = narrow(name);
        filters.push_back(ours);
        traceCall("AddFilter " + ours->graphName);
        return S_OK;
    }

    HRESULT Connect(IPin* out, IPin* in) override {
        if (!out || !in) return E_POINTER;
        auto* from = dynamic_cast<Pin*>(out);
        auto* to = dynamic_cast<Pin*>(in);
        if (!from || !to) return E_INVALIDARG;
        if (from->direction != PINDIR_OUTPUT || to->direction != PINDIR_INPUT) return VFW_E_INVALID_DIRECTION;
        if (from->owner->graph != this || to->owner->graph != this) return VFW_E_NOT_IN_GRAPH;
        if (from->peer || to->peer) return VFW_E_ALREADY_CONNECTED;
        if (FAILED(to->owner->acceptConnection(to, from))) return VFW_E_CANNOT_CONNECT;
        from->peer = to;
        to->peer = from;
        traceCall("Connect " + from->owner->graphName + " -> " + to->owner->graphName);
        return S_OK;
    }

    HRESULT Run() override {
        traceCall("Run");
        HRESULT status = S_OK;
        for (Filter* filter : filters) {
            HRESULT started = filter->run();
            if (FAILED(started) && SUCCEEDED(status)) status = started;
        }
        return status;
    }

    HRESULT Stop() override {
        for (Filter* filter : filters) filter->stop();
        return S_OK;
    }

private:
    ~FilterGraph() override {
        Stop();
        for (Filter* filter : filters) {
            filter->graph = nullptr;
            filter->Release();
        }
    }
    void* interfaceFor(REFIID iid) override {
        if (iid == IID_IUnknown || iid == IID_IGraphBuilder) return static_cast<IGraphBuilder*>(this);
        if (iid == IID_IMediaControl) return static_cast<IMediaControl*>(this);
        return nullptr;
    }

    std::vector<Filter*> filters;  // each holds a reference
};

class CaptureGraphBuilder final : public ComObject<ICaptureGraphBuilder2> {
public:
    HRESULT SetFiltergraph(IGraphBuilder* graph) override {
        if (!graph) return E_POINTER;
        if (this->graph) return E_UNEXPECTED;
        graph->AddRef();
        this->graph = graph;
        return S_OK;
    }

    // Looks on the filter itself, then on its pins (where a device keeps its stream config).
    HRESULT FindInterface(const GUID*, const GUID*, IBaseFilter* filter, REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (!filter) return E_POINTER;
        if (SUCCEEDED(filter->QueryInterface(iid, object))) return S_OK;
        auto* ours = dynamic_cast<Filter*>(filter);
        void* found = ours ? ours->pinInterfaceFor(iid) : nullptr;
        if (!found) return E_NOINTERFACE;
        ours->AddRef();  // pin interfaces share their filter's count
        *object = found;
        return S_OK;
    }

    // A preview stream would go to a video window; here there is no window to open, so
    // nothing is rendered.
    HRESULT RenderStream(const GUID*, const GUID*, IUnknown* source, IBaseFilter*, IBaseFilter*) override {
        if (!source) return E_POINTER;
        if (!graph) return E_UNEXPECTED;
        traceCall("RenderStream");
        return S_OK;
    }

private:
    ~CaptureGraphBuilder() override {
        if (graph) graph->Release();
    }
    void* interfaceFor(REFIID iid) override {
        return (iid == IID_IUnknown || iid == IID_ICaptureGraphBuilder2) ? static_cast<ICaptureGraphBuilder2*>(this)
                                                                         : nullptr;
    }

    IGraphBuilder* graph = nullptr;
};

IUnknown* newFilterGraph() { return static_cast<IGraphBuilder*>(new FilterGraph); }
IUnknown* newCaptureGraphBuilder() { return new CaptureGraphBuilder; }

}  // namespace platform
