// NEON variants of the front-end kernels, 4 values per step. Each lane
// performs the reference's float32 operations in the reference's order (no
// fused multiply-add), so the output matches the scalar kernels bit for bit.
#include <arm_neon.h>

#include "diarization/front_end_kernels.h"

namespace {

void preemphasis_neon(const int16_t *x, int16_t carry, float *y, int32_t count) {
    if (count <= 0) return;
    y[0] = static_cast<float>(x[0]) - kPreemphasis * static_cast<float>(carry);
    const float32x4_t coefficient = vdupq_n_f32(kPreemphasis);
    int32_t i = 1;
    for (; i + 4 <= count; i += 4) {
        const float32x4_t current = vcvtq_f32_s32(vmovl_s16(vld1_s16(x + i)));
        const float32x4_t previous = vcvtq_f32_s32(vmovl_s16(vld1_s16(x + i - 1)));
        vst1q_f32(y + i, vsubq_f32(current, vmulq_f32(coefficient, previous)));
    }
    for (; i < count; ++i) {
        y[i] = static_cast<float>(x[i]) - kPreemphasis * static_cast<float>(x[i - 1]);
    }
}

void apply_window_neon(float *frame, const float *window, int32_t count) {
    int32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        vst1q_f32(frame + i, vmulq_f32(vld1q_f32(frame + i), vld1q_f32(window + i)));
    }
    for (; i < count; ++i) frame[i] = frame[i] * window[i];
}

void power_neon(const float *re, const float *im, float *power, int32_t count) {
    int32_t k = 0;
    for (; k + 4 <= count; k += 4) {
        const float32x4_t r = vld1q_f32(re + k);
        const float32x4_t j = vld1q_f32(im + k);
        vst1q_f32(power + k, vaddq_f32(vmulq_f32(r, r), vmulq_f32(j, j)));
    }
    for (; k < count; ++k) power[k] = re[k] * re[k] + im[k] * im[k];
}

// Butterflies of one stage, several positions at a time; stages narrower
// than the narrowest vector run the reference loop.
void fft_stage_neon(float *re, float *im, const float *cos_tw, const float *sin_tw, int32_t half) {
    if (half >= 4) {
        for (int32_t group = 0; group < kFftComplexSize; group += 2 * half) {
            for (int32_t p = 0; p < half; p += 4) {
                float *a_re = re + group + p;
                float *a_im = im + group + p;
                float *b_re = a_re + half;
                float *b_im = a_im + half;
                const float32x4_t c = vld1q_f32(cos_tw + p);
                const float32x4_t s = vld1q_f32(sin_tw + p);
                const float32x4_t br = vld1q_f32(b_re);
                const float32x4_t bi = vld1q_f32(b_im);
                const float32x4_t t_re = vaddq_f32(vmulq_f32(br, c), vmulq_f32(bi, s));
                const float32x4_t t_im = vsubq_f32(vmulq_f32(bi, c), vmulq_f32(br, s));
                const float32x4_t ar = vld1q_f32(a_re);
                const float32x4_t ai = vld1q_f32(a_im);
                vst1q_f32(a_re, vaddq_f32(ar, t_re));
                vst1q_f32(a_im, vaddq_f32(ai, t_im));
                vst1q_f32(b_re, vsubq_f32(ar, t_re));
                vst1q_f32(b_im, vsubq_f32(ai, t_im));
            }
        }
        return;
    }
    fft_stage_reference(re, im, cos_tw, sin_tw, half);
}

float32x4_t reversed(float32x4_t v) {
    const float32x4_t pairs_swapped = vrev64q_f32(v);
    return vextq_f32(pairs_swapped, pairs_swapped, 2);
}

// Bins k..k+3 at once; B = z[256 - k] is read backwards and reversed, so
// each lane computes one bin exactly as the reference does.
void fft_split_neon(const float *z_re, const float *z_im, float *re, float *im) {
    const float32x4_t scale = vdupq_n_f32(kFftOutputScale);
    fft_split_edges(z_re, z_im, re, im);
    int32_t k = 1;
    for (; k + 4 <= kFftComplexSize; k += 4) {
        const int32_t b = kFftComplexSize - k - 3;
        const float32x4_t a_re = vld1q_f32(z_re + k);
        const float32x4_t a_im = vld1q_f32(z_im + k);
        const float32x4_t b_re = reversed(vld1q_f32(z_re + b));
        const float32x4_t b_im = reversed(vld1q_f32(z_im + b));
        const float32x4_t cosine = vld1q_f32(kSineTable + k + kFftQuarter);
        const float32x4_t sine = vld1q_f32(kSineTable + k);
        const float32x4_t im_sum = vaddq_f32(a_im, b_im);
        const float32x4_t re_diff = vsubq_f32(b_re, a_re);
        const float32x4_t out_re = vaddq_f32(
            vaddq_f32(vaddq_f32(a_re, b_re), vmulq_f32(cosine, im_sum)), vmulq_f32(sine, re_diff));
        const float32x4_t out_im = vsubq_f32(
            vaddq_f32(vsubq_f32(a_im, b_im), vmulq_f32(cosine, re_diff)), vmulq_f32(sine, im_sum));
        vst1q_f32(re + k, vmulq_f32(out_re, scale));
        vst1q_f32(im + k, vmulq_f32(out_im, scale));
    }
    for (; k < kFftComplexSize; ++k) fft_split_bin(z_re, z_im, re, im, k);
}

}  // namespace

const front_end_kernels kFrontEndKernelsNeon = {preemphasis_neon, apply_window_neon, power_neon,
                                                fft_stage_neon, fft_split_neon};
