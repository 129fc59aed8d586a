#include "app/tile_shading.h"

#include <emmintrin.h>

static inline __m128i divideBy255(__m128i x) {
    return _mm_srli_epi16(_mm_mulhi_epu16(x, _mm_set1_epi16((short)0x8081)), 7);
}

// Eight 16-bit luminances to eight pixel words.
static inline void shade8(uint32_t* out, __m128i l, __m128i r, __m128i g, __m128i b) {
    const __m128i red = divideBy255(_mm_mullo_epi16(l, r));
    const __m128i green = divideBy255(_mm_mullo_epi16(l, g));
    const __m128i blue = divideBy255(_mm_mullo_epi16(l, b));
    const __m128i greenBlue = _mm_or_si128(_mm_slli_epi16(green, 8), blue);
    const __m128i alphaRed = _mm_or_si128(red, _mm_set1_epi16((short)0xFF00));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm_unpacklo_epi16(greenBlue, alphaRed));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4), _mm_unpackhi_epi16(greenBlue, alphaRed));
}

void shadeSpanSse2(uint32_t* out, const uint16_t* luma, int count, int r, int g, int b) {
    const __m128i red = _mm_set1_epi16((short)r), green = _mm_set1_epi16((short)g), blue = _mm_set1_epi16((short)b);
    int i = 0;
    for (; i + 8 <= count; i += 8)
        shade8(out + i, _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + i)), red, green, blue);
    if (i < count && count >= 8) {  // the last eight again, overlapping: same words, rewritten
        i = count - 8;
        shade8(out + i, _mm_loadu_si128(reinterpret_cast<const __m128i*>(luma + i)), red, green, blue);
        return;
    }
    for (; i < count; i++) out[i] = shadePixel(luma[i], (uint32_t)r, (uint32_t)g, (uint32_t)b);
}

SpanShader fastestSpanShader() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx2")) return shadeSpanAvx2;
#endif
    return shadeSpanSse2;
}
