// The 512-point real transform of the front end, computed through a 256-point
// complex radix-2 transform and a split step, all in float32.
#pragma once

#include <cstdint>

#include "diarization/front_end_kernels.h"

inline constexpr int32_t kFftSize = 512;
inline constexpr int32_t kSpectrumBins = kFftSize / 2 + 1;  // 257

// Transforms the 512 values of `frame` into bins 0..256 of `re` and `im`:
// X[k] / 256 for bins 1..255 and X[k] / 512 for bins 0 and 256, X being the
// DFT with kernel e^(-j 2 pi k n / 512). `work` holds 512 floats of scratch.
// The butterflies run on `kernels`; every variant gives the same bits.
void real_fft_512(const front_end_kernels &kernels, const float *frame, float *work, float *re,
                  float *im);
