// Tinting the grey picture: channel c (0-255) on luminance l (0-255) becomes
// trunc(c x (l x k)), k being the float nearest 1/255. Because k exceeds 1/255 by less than
// 2.4e-10, c x l x k never climbs from below an integer to it, and lands on c x l / 255
// exactly when that is an integer: the result is always floor(c x l / 255). The span
// shaders work that out 8 (SSE2) or 16 (AVX2) pixels at a time.
#pragma once

#include <cstdint>

// out[i] = 0xFF000000 | R << 16 | G << 8 | B for luma[0..count).
using SpanShader = void (*)(uint32_t* out, const uint16_t* luma, int count, int r, int g, int b);

void shadeSpanSse2(uint32_t* out, const uint16_t* luma, int count, int r, int g, int b);
void shadeSpanAvx2(uint32_t* out, const uint16_t* luma, int count, int r, int g, int b);
// The widest this processor runs.
SpanShader fastestSpanShader();

// floor(x / 255) for 0 <= x < 65536.
inline uint32_t divideBy255(uint32_t x) { return (x * 0x8081u) >> 23; }

inline uint32_t shadePixel(uint32_t l, uint32_t r, uint32_t g, uint32_t b) {
    return 0xFF000000u | divideBy255(l * r) << 16 | divideBy255(l * g) << 8 | divideBy255(l * b);
}
