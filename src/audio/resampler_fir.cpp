#include "audio/resampler_fir.h"

#include "audio/resampler.h"
#include "common/cpu_features.h"

void fir_block_scalar(const int16_t *input, int32_t first, int32_t end, const float *h,
                      int16_t *out) {
    for (int32_t i = first; i < end; ++i) out[i - first] = fir_filter_at(input, i, h);
}

fir_block_fn fir_block_kernel() {
#if defined(QUORVA_ARCH_x86_64)
    if (cpu_active_isa() >= ISA_AVX2) return fir_block_avx2;
#endif
#if defined(QUORVA_ARCH_aarch64)
    if (cpu_active_isa() == ISA_NEON) return fir_block_neon;
#endif
    return fir_block_scalar;
}
