// The resampler's FIR over a run of input positions, with a scalar reference
// and faster kernels that give the same samples bit for bit: each output keeps
// the reference's order of multiplies and adds, only several outputs are
// computed side by side.
#pragma once

#include <cstdint>

// out[j] = the filter at input position first + j, for first + j < end
// (first >= the 100-sample history).
using fir_block_fn = void (*)(const int16_t *input, int32_t first, int32_t end, const float *h,
                              int16_t *out);

void fir_block_scalar(const int16_t *input, int32_t first, int32_t end, const float *h,
                      int16_t *out);
#if defined(QUORVA_ARCH_x86_64)
void fir_block_avx2(const int16_t *input, int32_t first, int32_t end, const float *h,
                    int16_t *out);
#endif
#if defined(QUORVA_ARCH_aarch64)
void fir_block_neon(const int16_t *input, int32_t first, int32_t end, const float *h,
                    int16_t *out);
#endif

// The kernel for the instruction set in use.
fir_block_fn fir_block_kernel();
