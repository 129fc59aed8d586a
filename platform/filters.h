// The filters of a capture chain. Internal to platform/.
#pragma once

#include <atomic>
#include <memory>
#include <vector>
#ifndef _WIN32
#include <mutex>
#endif

#include "platform/objects.h"
#include "platform/video_device.h"

namespace platform {

#ifdef _WIN32
// MinGW's win32-thread runtime has no std::mutex. The stand-in runs on Windows only in the
// test camera program, where the consumer itself paces the frames: a spin lock does.
class FrameLock {
public:
    void lock() {
        while (held.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { held.clear(std::memory_order_release); }

private:
    std::atomic_flag held = ATOMIC_FLAG_INIT;
};
#else
using FrameLock = std::mutex;
#endif

template <class Lock>
class Locked {
public:
    explicit Locked(Lock& lock) : lock(lock) { lock.lock(); }
    ~Locked() { lock.unlock(); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    Lock& lock;
};

// A video input device in the graph: one output pin, whose stream config sets the size of
// the frames the device delivers.
class DeviceFilter final : public Filter {
public:
    explicit DeviceFilter(std::shared_ptr<VideoDevice> device);

    int pinCount() override { return 1; }
    Pin* pin(int) override { return &output; }
    HRESULT acceptConnection(Pin* in, Pin* upstreamOut) override;
    HRESULT run() override;
    void stop() override;
    void* pinInterfaceFor(REFIID iid) override;

    class StreamConfig final : public IAMStreamConfig {
    public:
        explicit StreamConfig(DeviceFilter* filter) : filter(filter) {}
        HRESULT QueryInterface(REFIID iid, void** object) override;
        ULONG AddRef() override;
        ULONG Release() override;
        HRESULT SetFormat(AM_MEDIA_TYPE* type) override;
        HRESULT GetFormat(AM_MEDIA_TYPE** type) override;

    private:
        DeviceFilter* filter;
    };

    std::shared_ptr<VideoDevice> device;
    Pin output{this, PINDIR_OUTPUT};
    StreamConfig streamConfig{this};
    int width = 0, height = 0;  // the size the device will deliver
    FrameSink* sink = nullptr;
    bool running = false;

private:
    ~DeviceFilter() override;
};

// Keeps a copy of the newest frame from upstream and hands it out on request.
class SampleGrabber final : public Filter, public ISampleGrabber, public FrameSink {
public:
    HRESULT QueryInterface(REFIID iid, void** object) override { return Filter::QueryInterface(iid, object); }
    ULONG AddRef() override { return Filter::AddRef(); }
    ULONG Release() override { return Filter::Release(); }

    int pinCount() override { return 2; }
    Pin* pin(int index) override { return index == 0 ? &input : &output; }
    HRESULT acceptConnection(Pin* in, Pin* upstreamOut) override;

    HRESULT SetOneShot(BOOL oneShot) override;
    HRESULT SetMediaType(const AM_MEDIA_TYPE* type) override;
    HRESULT GetConnectedMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT SetBufferSamples(BOOL bufferThem) override;
    HRESULT GetCurrentBuffer(LONG* bufferSize, LONG* buffer) override;

    void deliverFrame(const unsigned char* bgrBottomUp, size_t bytes) override;

    Pin input{this, PINDIR_INPUT};
    Pin output{this, PINDIR_OUTPUT};

protected:
    void* interfaceFor(REFIID iid) override;

private:
    GUID acceptedMajor{}, acceptedSubtype{};
    std::atomic<bool> bufferSamples{false};
    std::atomic<bool> oneShot{false};
    std::shared_ptr<VideoDevice> upstream;
    size_t frameLength = 0;  // fixed when the input connects
    FrameLock frameLock;     // guards latest and haveFrame
    std::vector<unsigned char> latest;
    bool haveFrame = false;
};

class NullRenderer final : public Filter {
public:
    int pinCount() override { return 1; }
    Pin* pin(int) override { return &input; }
    HRESULT acceptConnection(Pin* in, Pin* upstreamOut) override;

    Pin input{this, PINDIR_INPUT};
};

}  // namespace platform
