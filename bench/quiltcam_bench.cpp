// Quiltcam's per-frame costs: the grid's update, the mosaic's drawing, a whole pass of the
// frame loop on SDL's dummy video driver, and a camera frame's conversion and scaling, from
// V4L2 and from PipeWire.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <random>

#include <spa/param/video/raw.h>

#include "app/quiltcam.h"
#include "capture/frame_hand_over.h"
#include "capture/frame_scaler.h"
#include "pipewire/pipewire_frames.h"
#include "tests/support/fake_v4l2.h"
#include "tests/support/test_camera.h"
#include "v4l2/v4l2_camera.h"

namespace {

TestCamera* camera;
std::vector<unsigned char> frames[2];

void startOnce() {
    if (screen) return;
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    static TestCameraScope scope;
    startUp();
    camera = TestCameraScope::made();
    std::mt19937 random(1);
    for (auto& frame : frames) {
        frame.resize(160 * 120 * 3);
        for (auto& byte : frame) byte = (unsigned char)(random() & 255);
    }
}

void perFrame(benchmark::State& state) {
    state.counters["fps"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
}

// A new camera frame each time (its hand-over, two copies of about 57 KB, is included).
void update(benchmark::State& state) {
    startOnce();
    unsigned n = 0;
    for (auto _ : state) {
        camera->show(frames[n++ & 1]);
        grid->update();
    }
    perFrame(state);
}
BENCHMARK(update);

void drawMosaic(benchmark::State& state) {
    startOnce();
    SDL_Surface* target = SDL_CreateRGBSurface(SDL_SWSURFACE, 640, 480, 32, rMask, gMask, bMask, aMask);
    unsigned n = 0;
    for (auto _ : state) {
        state.PauseTiming();
        camera->show(frames[n++ & 1]);
        grid->update();
        state.ResumeTiming();
        drawMosaic(target);
    }
    perFrame(state);
    SDL_FreeSurface(target);
}
BENCHMARK(drawMosaic);

// update() + drawMosaic() + the display update, as the frame loop runs them.
void pass(benchmark::State& state) {
    startOnce();
    unsigned n = 0;
    for (auto _ : state) {
        camera->show(frames[n++ & 1]);
        framePass();
    }
    perFrame(state);
}
BENCHMARK(pass);

// Area-averaging a 640 x 480 frame down to 160 x 120, turning it bottom-up.
void scale640(benchmark::State& state) {
    FrameScaler scaler;
    scaler.plan(640, 480, 160, 120);
    std::vector<unsigned char> source(640 * 480 * 3, 77), target(160 * 120 * 3);
    for (auto _ : state) {
        scaler.scale(source.data(), target.data(), true);
        benchmark::DoNotOptimize(target.data());
    }
    perFrame(state);
}
BENCHMARK(scale640);

// A 640 x 480 YUYV camera: conversion to blue-green-red and scaling to 160 x 120, on the
// camera's own thread (the fake kernel hands frames over at once).
class CountingTap final : public FrameTap {
public:
    std::atomic<long> frames{0};
    void frameHandedOver(const unsigned char*, size_t) override { frames++; }
};

void cameraFrame640(benchmark::State& state) {
    FakeV4l2 fake;
    fake.frameIntervalMs = 0;
    FakeNode& node = fake.add("/dev/video0");
    node.width = 640;
    node.height = 480;
    node.fill = [](const v4l2_pix_format& pix, unsigned char* data, size_t size, long n) {
        if (n < 8)  // every buffer once; they keep their contents
            for (size_t i = 0; i < size; i++) data[i] = (unsigned char)(i * 31 + n);
        return (size_t)pix.sizeimage;
    };
    CountingTap sink;
    V4l2Camera device(fake, &sink);
    if (!device.start(160, 120)) state.SkipWithError("camera did not start");
    for (auto _ : state) {
        const long seen = sink.frames;
        while (sink.frames == seen) {
        }
    }
    device.stop();
    perFrame(state);
}
BENCHMARK(cameraFrame640)->UseRealTime();

// A 640 x 480 YUY2 buffer as PipeWire's thread takes it: through the intake to the hand-over.
void pipewireFrame640(benchmark::State& state) {
    FrameIntake intake;
    uint8_t pod[1024];
    spa_pod_builder builder{};
    builder.data = pod;
    builder.size = sizeof pod;
    const OfferedMode agreed{{640, 480, 0, 1, 30}, PixelLayout::yuyv, SPA_VIDEO_FORMAT_YUY2, {30, 1}};
    FrameFormat format{PixelLayout::bgr24, 0, 0};
    uint32_t rate[2];
    frameFormatOf(formatFor(agreed, &builder), &format, rate);
    intake.configure(format, 160, 120);
    std::vector<unsigned char> memory(640 * 480 * 2);
    for (size_t i = 0; i < memory.size(); i++) memory[i] = (unsigned char)(i * 31);
    spa_chunk chunk{0, (uint32_t)memory.size(), 1280, 0};
    spa_data data{};
    data.type = SPA_DATA_MemPtr;
    data.maxsize = (uint32_t)memory.size();
    data.data = memory.data();
    data.chunk = &chunk;
    const spa_buffer buffer{0, 1, nullptr, &data};
    FrameHandOver handOver;
    handOver.plan(160 * 120 * 3);
    for (auto _ : state) {
        FramePlane planes[3];
        handOver.put(intake.take(planes, planesOf(&buffer, planes)), intake.frameBytes());
    }
    perFrame(state);
}
BENCHMARK(pipewireFrame640);

}  // namespace

BENCHMARK_MAIN();
