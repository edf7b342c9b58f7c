#include "diarization/front_end_kernels.h"

namespace {

void preemphasis_scalar(const int16_t *x, int16_t carry, float *y, int32_t count) {
    float previous = static_cast<float>(carry);
    for (int32_t i = 0; i < count; ++i) {
        const float current = static_cast<float>(x[i]);
        y[i] = current - kPreemphasis * previous;
        previous = current;
    }
}

void apply_window_scalar(float *frame, const float *window, int32_t count) {
    for (int32_t i = 0; i < count; ++i) frame[i] = frame[i] * window[i];
}

void power_scalar(const float *re, const float *im, float *power, int32_t count) {
    for (int32_t k = 0; k < count; ++k) power[k] = re[k] * re[k] + im[k] * im[k];
}

}  // namespace

const front_end_kernels kFrontEndKernelsScalar = {preemphasis_scalar, apply_window_scalar,
                                                  power_scalar, fft_stage_reference,
                                                  fft_split_reference};

const front_end_kernels &front_end_kernels_for(cpu_isa isa) {
    switch (isa) {
#if defined(QUORVA_ARCH_x86_64)
        case ISA_SSE41:
            return kFrontEndKernelsSse41;
        case ISA_AVX2:
            return kFrontEndKernelsAvx2;
        case ISA_AVX512:
        case ISA_AVX512VNNI:
            return kFrontEndKernelsAvx512;
#endif
#if defined(QUORVA_ARCH_aarch64)
        case ISA_NEON:
            return kFrontEndKernelsNeon;
#endif
        default:
            return kFrontEndKernelsScalar;
    }
}
