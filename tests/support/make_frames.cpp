// Frame files for the test cameras, and the display Quiltcam must show for them.
//   make-frames scene N FILE [WxH]       a colourful moving scene, N frames
//   make-frames random N SEED FILE [WxH] N frames of noise
//   make-frames expect FILE PPM [WxH]    the 640 x 480 display for FILE's last frame, worked out
//                                        the plain way (black outside the mosaic); frames larger
//                                        than 160 x 120 are first scaled as the camera side does
// Frames are 160 x 120 unless a size is given.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "capture/frame_scaler.h"
#include "tests/support/reference_arithmetic.h"

static int W = 160, H = 120, frameSize = W * H * 3;

static bool writeFile(const char* path, const std::vector<unsigned char>& bytes, const std::string& header = "") {
    std::FILE* file = std::fopen(path, "wb");
    if (!file) return false;
    std::fwrite(header.data(), 1, header.size(), file);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    return std::fclose(file) == 0;
}

// Stores the camera's view of (x, y), counted from the top left, as the camera sends it.
static void put(std::vector<unsigned char>& frames, size_t frame, int x, int y, int r, int g, int b) {
    unsigned char* pixel = &frames[frame * frameSize + ((size_t)(H - 1 - y) * W + x) * 3];
    pixel[0] = (unsigned char)b;
    pixel[1] = (unsigned char)g;
    pixel[2] = (unsigned char)r;
}

// Diagonal rainbow bands behind a bright disc that moves from left to right.
static std::vector<unsigned char> scene(int count) {
    std::vector<unsigned char> frames((size_t)count * frameSize);
    for (int f = 0; f < count; f++) {
        const double discX = 40 + 80.0 * f / (count > 1 ? count - 1 : 1), discY = 60;
        for (int py = 0; py < H; py++)
            for (int px = 0; px < W; px++) {
                const double x = px * 160.0 / W, y = py * 120.0 / H;  // drawn as if 160 x 120
                const double t = (x + y) / 40.0;
                int r = (int)(127.5 + 127.5 * std::sin(t));
                int g = (int)(127.5 + 127.5 * std::sin(t + 2.094));
                int b = (int)(127.5 + 127.5 * std::sin(t + 4.189));
                if (std::hypot(x - discX, y - discY) < 28) {
                    r = 255;
                    g = 236;
                    b = 120;
                }
                if (y > 100) r = g = b = 30 + (int)x;  // a dark floor, brightening to the right
                put(frames, f, px, py, r, g, b);
            }
    }
    return frames;
}

static std::vector<unsigned char> noise(int count, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<unsigned char> frames((size_t)count * frameSize);
    for (auto& byte : frames) byte = (unsigned char)(random() & 255);
    return frames;
}

static int expect(const char* framesPath, const char* ppmPath) {
    std::FILE* file = std::fopen(framesPath, "rb");
    if (!file) return 1;
    std::vector<unsigned char> all;
    unsigned char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) all.insert(all.end(), chunk, chunk + got);
    std::fclose(file);
    if (all.size() < (size_t)frameSize) return 1;
    const unsigned char* last = &all[(all.size() / frameSize - 1) * frameSize];
    std::vector<unsigned char> frame(160 * 120 * 3);
    FrameScaler scaler;
    scaler.plan(W, H, 160, 120);
    scaler.scale(last, frame.data(), false);

    const auto cells = referenceCells(frame.data(), 160, 120, 26, 20);
    std::vector<unsigned char> display(640 * 480 * 3, 0);
    for (int y = 0; y < 480; y++)
        for (int x = 0; x < 640; x++) {
            const uint32_t word = referenceDisplayWord(cells, x, y, 0);
            for (int c = 0; c < 3; c++) display[((size_t)y * 640 + x) * 3 + c] = (unsigned char)(word >> (16 - 8 * c));
        }
    return writeFile(ppmPath, display, "P6\n640 480\n255\n") ? 0 : 1;
}

int main(int argc, char* argv[]) {
    const int sizeAt = !std::strcmp(argv[argc > 1 ? 1 : 0], "random") ? 5 : 4;
    if (argc == sizeAt + 1) {
        if (std::sscanf(argv[sizeAt], "%dx%d", &W, &H) != 2 || W < 1 || H < 1 || W > 4096 || H > 4096) return 2;
        frameSize = W * H * 3;
        argc--;
    }
    if (argc == 4 && !std::strcmp(argv[1], "scene")) return writeFile(argv[3], scene(std::atoi(argv[2]))) ? 0 : 1;
    if (argc == 5 && !std::strcmp(argv[1], "random"))
        return writeFile(argv[4], noise(std::atoi(argv[2]), (unsigned)std::atoi(argv[3]))) ? 0 : 1;
    if (argc == 4 && !std::strcmp(argv[1], "expect")) return expect(argv[2], argv[3]);
    std::fprintf(stderr, "usage: make-frames scene N FILE [WxH] | random N SEED FILE [WxH] | expect FILE PPM [WxH]\n");
    return 2;
}
