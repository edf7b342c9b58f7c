// The front end's per-sample loops, in a scalar reference and one variant per
// instruction set, chosen at run time. Every variant performs the same float32
// operations in the same order as the reference, so results are identical.
#pragma once

#include <cstdint>

#include "common/cpu_features.h"
#include "diarization/front_end_tables.h"

struct front_end_kernels {
    // y[i] = x[i] - 0.97 x[i-1] for i in [0, count), x[-1] being `carry`.
    void (*preemphasis)(const int16_t *x, int16_t carry, float *y, int32_t count);
    // frame[i] *= window[i] for i in [0, count).
    void (*apply_window)(float *frame, const float *window, int32_t count);
    // power[k] = re[k]^2 + im[k]^2 for k in [0, count).
    void (*power)(const float *re, const float *im, float *power, int32_t count);
    // One radix-2 stage of the 256-point complex FFT on split real and
    // imaginary parts: butterflies of size 2 * half, position p of each using
    // the twiddle cos_tw[p] - j sin_tw[p].
    void (*fft_stage)(float *re, float *im, const float *cos_tw, const float *sin_tw,
                      int32_t half);
    // The split of the 256-point result z of packed even and odd samples into
    // bins 0..256 of the 512 real samples' spectrum, scaled by 2^-9.
    void (*fft_split)(const float *z_re, const float *z_im, float *re, float *im);
};

inline constexpr int32_t kFftComplexSize = 256;
inline constexpr int32_t kFftQuarter = 128;        // cos(x) = sin(x + pi / 2)
inline constexpr float kFftOutputScale = 1.0f / 512.0f;  // 2^-9, exact

// The reference butterflies, also the variants' path for narrow stages:
// a + b W at a, a - b W at b, with b W = (b.re cos + b.im sin) + j (b.im cos - b.re sin).
inline void fft_stage_reference(float *re, float *im, const float *cos_tw, const float *sin_tw,
                                int32_t half) {
    for (int32_t group = 0; group < kFftComplexSize; group += 2 * half) {
        for (int32_t p = 0; p < half; ++p) {
            const int32_t a = group + p;
            const int32_t b = a + half;
            const float t_re = re[b] * cos_tw[p] + im[b] * sin_tw[p];
            const float t_im = im[b] * cos_tw[p] - re[b] * sin_tw[p];
            const float a_re = re[a];
            const float a_im = im[a];
            re[a] = a_re + t_re;
            im[a] = a_im + t_im;
            re[b] = a_re - t_re;
            im[b] = a_im - t_im;
        }
    }
}

inline constexpr float kPreemphasis = 0.97f;

extern const front_end_kernels kFrontEndKernelsScalar;
#if defined(QUORVA_ARCH_x86_64)
extern const front_end_kernels kFrontEndKernelsSse41;
extern const front_end_kernels kFrontEndKernelsAvx2;
extern const front_end_kernels kFrontEndKernelsAvx512;
#endif
#if defined(QUORVA_ARCH_aarch64)
extern const front_end_kernels kFrontEndKernelsNeon;
#endif

// The kernels for `isa`; the scalar ones when this build has none for it.
const front_end_kernels &front_end_kernels_for(cpu_isa isa);

// The kernels for the instruction set in use now.
inline const front_end_kernels &front_end_kernels_active() {
    return front_end_kernels_for(cpu_active_isa());
}

// One bin k in 1..255 of the split, A = z[k], B = z[256 - k]; the variants
// use it for the bins their vectors do not cover.
inline void fft_split_bin(const float *z_re, const float *z_im, float *re, float *im, int32_t k) {
    const float a_re = z_re[k];
    const float a_im = z_im[k];
    const float b_re = z_re[kFftComplexSize - k];
    const float b_im = z_im[kFftComplexSize - k];
    const float cosine = kSineTable[k + kFftQuarter];
    const float sine = kSineTable[k];
    const float im_sum = a_im + b_im;
    const float re_diff = b_re - a_re;
    re[k] = ((a_re + b_re) + cosine * im_sum + sine * re_diff) * kFftOutputScale;
    im[k] = ((a_im - b_im) + cosine * re_diff - sine * im_sum) * kFftOutputScale;
}

// Bins 0 and 256 come from z[0] alone and are real.
inline void fft_split_edges(const float *z_re, const float *z_im, float *re, float *im) {
    re[0] = (z_re[0] + z_im[0]) * kFftOutputScale;
    im[0] = 0.0f;
    re[kFftComplexSize] = (z_re[0] - z_im[0]) * kFftOutputScale;
    im[kFftComplexSize] = 0.0f;
}

inline void fft_split_reference(const float *z_re, const float *z_im, float *re, float *im) {
    fft_split_edges(z_re, z_im, re, im);
    for (int32_t k = 1; k < kFftComplexSize; ++k) fft_split_bin(z_re, z_im, re, im, k);
}
