// AVX2 variants of the front-end kernels, 8 values per step. Each lane
// performs the reference's float32 operations in the reference's order (no
// fused multiply-add), so the output matches the scalar kernels bit for bit.
#include <immintrin.h>

#include "diarization/front_end_kernels.h"

namespace {

void preemphasis_avx2(const int16_t *x, int16_t carry, float *y, int32_t count) {
    if (count <= 0) return;
    y[0] = static_cast<float>(x[0]) - kPreemphasis * static_cast<float>(carry);
    const __m256 coefficient = _mm256_set1_ps(kPreemphasis);
    int32_t i = 1;
    for (; i + 8 <= count; i += 8) {
        const __m256 current = _mm256_cvtepi32_ps(
            _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(x + i))));
        const __m256 previous = _mm256_cvtepi32_ps(
            _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(x + i - 1))));
        _mm256_storeu_ps(y + i, _mm256_sub_ps(current, _mm256_mul_ps(coefficient, previous)));
    }
    for (; i < count; ++i) {
        y[i] = static_cast<float>(x[i]) - kPreemphasis * static_cast<float>(x[i - 1]);
    }
}

void apply_window_avx2(float *frame, const float *window, int32_t count) {
    int32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        _mm256_storeu_ps(frame + i,
                         _mm256_mul_ps(_mm256_loadu_ps(frame + i), _mm256_loadu_ps(window + i)));
    }
    for (; i < count; ++i) frame[i] = frame[i] * window[i];
}

void power_avx2(const float *re, const float *im, float *power, int32_t count) {
    int32_t k = 0;
    for (; k + 8 <= count; k += 8) {
        const __m256 r = _mm256_loadu_ps(re + k);
        const __m256 j = _mm256_loadu_ps(im + k);
        _mm256_storeu_ps(power + k, _mm256_add_ps(_mm256_mul_ps(r, r), _mm256_mul_ps(j, j)));
    }
    for (; k < count; ++k) power[k] = re[k] * re[k] + im[k] * im[k];
}

// Butterflies of one stage, several positions at a time; stages narrower
// than the narrowest vector run the reference loop.
void fft_stage_avx2(float *re, float *im, const float *cos_tw, const float *sin_tw, int32_t half) {
    if (half >= 8) {
        for (int32_t group = 0; group < kFftComplexSize; group += 2 * half) {
            for (int32_t p = 0; p < half; p += 8) {
                float *a_re = re + group + p;
                float *a_im = im + group + p;
                float *b_re = a_re + half;
                float *b_im = a_im + half;
                const __m256 c = _mm256_loadu_ps(cos_tw + p);
                const __m256 s = _mm256_loadu_ps(sin_tw + p);
                const __m256 br = _mm256_loadu_ps(b_re);
                const __m256 bi = _mm256_loadu_ps(b_im);
                const __m256 t_re = _mm256_add_ps(_mm256_mul_ps(br, c), _mm256_mul_ps(bi, s));
                const __m256 t_im = _mm256_sub_ps(_mm256_mul_ps(bi, c), _mm256_mul_ps(br, s));
                const __m256 ar = _mm256_loadu_ps(a_re);
                const __m256 ai = _mm256_loadu_ps(a_im);
                _mm256_storeu_ps(a_re, _mm256_add_ps(ar, t_re));
                _mm256_storeu_ps(a_im, _mm256_add_ps(ai, t_im));
                _mm256_storeu_ps(b_re, _mm256_sub_ps(ar, t_re));
                _mm256_storeu_ps(b_im, _mm256_sub_ps(ai, t_im));
            }
        }
        return;
    }
    if (half >= 4) {
        for (int32_t group = 0; group < kFftComplexSize; group += 2 * half) {
            for (int32_t p = 0; p < half; p += 4) {
                float *a_re = re + group + p;
                float *a_im = im + group + p;
                float *b_re = a_re + half;
                float *b_im = a_im + half;
                const __m128 c = _mm_loadu_ps(cos_tw + p);
                const __m128 s = _mm_loadu_ps(sin_tw + p);
                const __m128 br = _mm_loadu_ps(b_re);
                const __m128 bi = _mm_loadu_ps(b_im);
                const __m128 t_re = _mm_add_ps(_mm_mul_ps(br, c), _mm_mul_ps(bi, s));
                const __m128 t_im = _mm_sub_ps(_mm_mul_ps(bi, c), _mm_mul_ps(br, s));
                const __m128 ar = _mm_loadu_ps(a_re);
                const __m128 ai = _mm_loadu_ps(a_im);
                _mm_storeu_ps(a_re, _mm_add_ps(ar, t_re));
                _mm_storeu_ps(a_im, _mm_add_ps(ai, t_im));
                _mm_storeu_ps(b_re, _mm_sub_ps(ar, t_re));
                _mm_storeu_ps(b_im, _mm_sub_ps(ai, t_im));
            }
        }
        return;
    }
    fft_stage_reference(re, im, cos_tw, sin_tw, half);
}

// Bins k..k+7 at once; B = z[256 - k] is read backwards and reversed, so
// each lane computes one bin exactly as the reference does.
void fft_split_avx2(const float *z_re, const float *z_im, float *re, float *im) {
    const __m256i reverse = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    const __m256 scale = _mm256_set1_ps(kFftOutputScale);
    fft_split_edges(z_re, z_im, re, im);
    int32_t k = 1;
    for (; k + 8 <= kFftComplexSize; k += 8) {
        const int32_t b = kFftComplexSize - k - 7;
        const __m256 a_re = _mm256_loadu_ps(z_re + k);
        const __m256 a_im = _mm256_loadu_ps(z_im + k);
        const __m256 b_re = _mm256_permutevar8x32_ps(_mm256_loadu_ps(z_re + b), reverse);
        const __m256 b_im = _mm256_permutevar8x32_ps(_mm256_loadu_ps(z_im + b), reverse);
        const __m256 cosine = _mm256_loadu_ps(kSineTable + k + kFftQuarter);
        const __m256 sine = _mm256_loadu_ps(kSineTable + k);
        const __m256 im_sum = _mm256_add_ps(a_im, b_im);
        const __m256 re_diff = _mm256_sub_ps(b_re, a_re);
        const __m256 out_re =
            _mm256_add_ps(_mm256_add_ps(_mm256_add_ps(a_re, b_re), _mm256_mul_ps(cosine, im_sum)),
                          _mm256_mul_ps(sine, re_diff));
        const __m256 out_im =
            _mm256_sub_ps(_mm256_add_ps(_mm256_sub_ps(a_im, b_im), _mm256_mul_ps(cosine, re_diff)),
                          _mm256_mul_ps(sine, im_sum));
        _mm256_storeu_ps(re + k, _mm256_mul_ps(out_re, scale));
        _mm256_storeu_ps(im + k, _mm256_mul_ps(out_im, scale));
    }
    for (; k < kFftComplexSize; ++k) fft_split_bin(z_re, z_im, re, im, k);
}

}  // namespace

const front_end_kernels kFrontEndKernelsAvx2 = {preemphasis_avx2, apply_window_avx2, power_avx2,
                                                fft_stage_avx2, fft_split_avx2};
