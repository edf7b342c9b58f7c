// AVX-512 variants of the front-end kernels, 16 values per step. Each lane
// performs the reference's float32 operations in the reference's order (no
// fused multiply-add), so the output matches the scalar kernels bit for bit.
#include <immintrin.h>

// GCC 12's AVX-512 conversion intrinsics start from a deliberately undefined
// vector and warn about it wherever they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "diarization/front_end_kernels.h"

namespace {

void preemphasis_avx512(const int16_t *x, int16_t carry, float *y, int32_t count) {
    if (count <= 0) return;
    y[0] = static_cast<float>(x[0]) - kPreemphasis * static_cast<float>(carry);
    const __m512 coefficient = _mm512_set1_ps(kPreemphasis);
    int32_t i = 1;
    for (; i + 16 <= count; i += 16) {
        const __m512 current = _mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(x + i))));
        const __m512 previous = _mm512_cvtepi32_ps(_mm512_cvtepi16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(x + i - 1))));
        _mm512_storeu_ps(y + i, _mm512_sub_ps(current, _mm512_mul_ps(coefficient, previous)));
    }
    for (; i < count; ++i) {
        y[i] = static_cast<float>(x[i]) - kPreemphasis * static_cast<float>(x[i - 1]);
    }
}

void apply_window_avx512(float *frame, const float *window, int32_t count) {
    int32_t i = 0;
    for (; i + 16 <= count; i += 16) {
        _mm512_storeu_ps(frame + i, _mm512_mul_ps(_mm512_loadu_ps(frame + i), _mm512_loadu_ps(window + i)));
    }
    for (; i < count; ++i) frame[i] = frame[i] * window[i];
}

void power_avx512(const float *re, const float *im, float *power, int32_t count) {
    int32_t k = 0;
    for (; k + 16 <= count; k += 16) {
        const __m512 r = _mm512_loadu_ps(re + k);
        const __m512 j = _mm512_loadu_ps(im + k);
        _mm512_storeu_ps(power + k, _mm512_add_ps(_mm512_mul_ps(r, r), _mm512_mul_ps(j, j)));
    }
    for (; k < count; ++k) power[k] = re[k] * re[k] + im[k] * im[k];
}

}  // namespace

const front_end_kernels kFrontEndKernelsAvx512 = {preemphasis_avx512, apply_window_avx512,
                                                  power_avx512};
