#include <immintrin.h>

#include "audio/resampler.h"
#include "audio/resampler_fir.h"

// Eight consecutive positions per step. Lane j accumulates
// input[i + j - k] * h[k] for k = 0, 1, ... exactly as the scalar loop does,
// with separate multiply and add (no fused multiply-add).
void fir_block_avx2(const int16_t *input, int32_t first, int32_t end, const float *h,
                    int16_t *out) {
    int32_t i = first;
    for (; i + 8 <= end; i += 8) {
        __m256 acc = _mm256_setzero_ps();
        for (int32_t k = 0; k < kResamplerTaps; ++k) {
            const __m128i x16 =
                _mm_loadu_si128(reinterpret_cast<const __m128i *>(input + (i - k)));
            const __m256 x = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(x16));
            acc = _mm256_add_ps(acc, _mm256_mul_ps(x, _mm256_set1_ps(h[k])));
        }
        // Truncation toward zero, then int16 saturation: the same as the
        // reference's clamps, since |acc| stays far below 2^31.
        const __m256i t = _mm256_cvttps_epi32(acc);
        const __m128i packed =
            _mm_packs_epi32(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + (i - first)), packed);
    }
    for (; i < end; ++i) out[i - first] = fir_filter_at(input, i, h);
}
