// The front end's per-sample loops, in a scalar reference and one variant per
// instruction set, chosen at run time. Every variant performs the same float32
// operations in the same order as the reference, so results are identical.
#pragma once

#include <cstdint>

#include "common/cpu_features.h"

struct front_end_kernels {
    // y[i] = x[i] - 0.97 x[i-1] for i in [0, count), x[-1] being `carry`.
    void (*preemphasis)(const int16_t *x, int16_t carry, float *y, int32_t count);
    // frame[i] *= window[i] for i in [0, count).
    void (*apply_window)(float *frame, const float *window, int32_t count);
    // power[k] = re[k]^2 + im[k]^2 for k in [0, count).
    void (*power)(const float *re, const float *im, float *power, int32_t count);
};

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
