// The span shader for processors with AVX2; built with -mavx2 and chosen at run time.
#include <immintrin.h>

#include "app/tile_shading.h"

static inline __m256i divideBy255(__m256i x) {
    return _mm256_srli_epi16(_mm256_mulhi_epu16(x, _mm256_set1_epi16((short)0x8081)), 7);
}

void shadeSpanAvx2(uint32_t* out, const uint16_t* luma, int count, int r, int g, int b) {
    const __m256i red = _mm256_set1_epi16((short)r), green = _mm256_set1_epi16((short)g),
                  blue = _mm256_set1_epi16((short)b), alpha = _mm256_set1_epi16((short)0xFF00);
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i l = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(luma + i));
        const __m256i greenBlue = _mm256_or_si256(_mm256_slli_epi16(divideBy255(_mm256_mullo_epi16(l, green)), 8),
                                                  divideBy255(_mm256_mullo_epi16(l, blue)));
        const __m256i alphaRed = _mm256_or_si256(divideBy255(_mm256_mullo_epi16(l, red)), alpha);
        // Unpacking works within each 128-bit half: pixels 0-3 and 8-11, then 4-7 and 12-15.
        const __m256i low = _mm256_unpacklo_epi16(greenBlue, alphaRed);
        const __m256i high = _mm256_unpackhi_epi16(greenBlue, alphaRed);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i + 8), _mm256_permute2x128_si256(low, high, 0x31));
    }
    // The rest (a tile row of 20 leaves 4) overlaps what is done, by at most eight pixels.
    if (i < count) {
        const int start = count >= 8 && count - i < 8 ? count - 8 : i;
        shadeSpanSse2(out + start, luma + start, count - start, r, g, b);
    }
}
