#include <arm_neon.h>

#include "audio/resampler.h"
#include "audio/resampler_fir.h"

// Eight consecutive positions per step in two 4-lane accumulators. Each lane
// accumulates input[i + j - k] * h[k] for k = 0, 1, ... as the scalar loop
// does, with a separate multiply and add (vmlaq could fuse them).
void fir_block_neon(const int16_t *input, int32_t first, int32_t end, const float *h,
                    int16_t *out) {
    int32_t i = first;
    for (; i + 8 <= end; i += 8) {
        float32x4_t acc_lo = vdupq_n_f32(0.0f);
        float32x4_t acc_hi = vdupq_n_f32(0.0f);
        for (int32_t k = 0; k < kResamplerTaps; ++k) {
            const int16x8_t x16 = vld1q_s16(input + (i - k));
            const float32x4_t x_lo = vcvtq_f32_s32(vmovl_s16(vget_low_s16(x16)));
            const float32x4_t x_hi = vcvtq_f32_s32(vmovl_s16(vget_high_s16(x16)));
            const float32x4_t tap = vdupq_n_f32(h[k]);
            acc_lo = vaddq_f32(acc_lo, vmulq_f32(x_lo, tap));
            acc_hi = vaddq_f32(acc_hi, vmulq_f32(x_hi, tap));
        }
        // Truncation toward zero, then int16 saturation: the reference's
        // clamps, since |acc| stays far below 2^31.
        const int16x8_t packed = vcombine_s16(vqmovn_s32(vcvtq_s32_f32(acc_lo)),
                                              vqmovn_s32(vcvtq_s32_f32(acc_hi)));
        vst1q_s16(out + (i - first), packed);
    }
    for (; i < end; ++i) out[i - first] = fir_filter_at(input, i, h);
}
