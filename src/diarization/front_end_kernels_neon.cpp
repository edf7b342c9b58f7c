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

}  // namespace

const front_end_kernels kFrontEndKernelsNeon = {preemphasis_neon, apply_window_neon,
                                                  power_neon};
