#include "capture/camera_core.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

// How long start-up waits for a system that does not list its cameras.
static const LifeMs listingTakesAtMost = 3000;

LifeMs lifeClock() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool CameraCore::start(int w, int h) {
    if (launched || w <= 0 || h <= 0) return false;
    width = w;
    height = h;
    handOver.plan((size_t)w * h * 3);
    launchedAt = lifeClock();
    if (!launch()) {
        failureText = firstFailure.empty() ? noCamera() : firstFailure;
        return false;
    }
    launched = true;
    while (!settled) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const bool started = life.live();
    if (!started) stop();
    return started;
}

void CameraCore::stop() {
    if (!launched) return;
    halt();
    launched = false;
}

const char* CameraCore::name() const {
    while (nameLock.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    std::memcpy(shownName, cameraName, sizeof shownName);
    nameLock.clear(std::memory_order_release);
    return shownName;
}

void CameraCore::tick() {
    const LifeMs now = lifeClock();
    const bool listing = list(&listed, life.looking());
    listedAny = listedAny || (listing && !listed.empty());
    bool sentNothing = false;
    std::string opened;
    life.tick(
        now, listing ? &listed : nullptr,
        [&] {
            sentNothing = life.onTrial();
            close();
            intakeReady = false;
        },
        [&](int index, bool allowGrey) {
            if (sentNothing && !life.live()) noteFailure("cannot take frames from " + openName + ": it sends no frames");
            sentNothing = false;
            intakeReady = false;
            const CameraTried tried = open(index, allowGrey);
            if (tried == CameraTried::started) opened = listed[index];
            return tried;
        });
    if (sentNothing && !life.live()) noteFailure("cannot take frames from " + openName + ": it sends no frames");
    if (!opened.empty()) openIdentity = opened;
    if (life.live() && !life.onTrial() && life.inUse() == openIdentity && openName != cameraName) {
        while (nameLock.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
        std::snprintf(cameraName, sizeof cameraName, "%s", openName.c_str());
        nameLock.clear(std::memory_order_release);
    }
    if (settled) return;
    const bool done = life.live() || life.exhausted() || (!listing && now - launchedAt >= listingTakesAtMost);
    if (!done) return;
    if (!life.live()) failureText = !firstFailure.empty() ? firstFailure : noCamera();
    settled = true;  // after all the verdict says: start() reads it once this is set
}

bool CameraCore::configureFrames(const FrameFormat& format) {
    intakeReady = intake.configure(format, width, height);
    streamed.format = fourccOf(format.layout);
    streamed.width = (uint32_t)format.width;
    streamed.height = (uint32_t)format.height;
    return intakeReady;
}

void CameraCore::deliver(const FramePlane* planes, int count) {
    const unsigned char* frame = intakeReady ? intake.take(planes, count) : nullptr;
    if (!frame) {
        framesDropped++;
        return;
    }
    handOver.put(frame, intake.frameBytes());
    life.frameHandedOver(lifeClock());
    if (tap) tap->frameHandedOver(frame, intake.frameBytes());
}

void CameraCore::noteFailure(const std::string& text) {
    if (firstFailure.empty()) firstFailure = text;
}

void CameraCore::named(const std::string& name) { openName = name; }
