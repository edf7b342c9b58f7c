// The 257-entry sigmoid table of the recurrent cells: Q15 values sampled every
// 1/16 between -8 and 8, positive inputs in the lower half, negative inputs
// in the upper half (indexed by the low eight bits of v >> 6).
#pragma once

#include <cstdint>

inline constexpr int kSigmoidTableSize = 257;

extern const int16_t kSigmoidTable[kSigmoidTableSize];
extern const int32_t kSigmoidTable32[kSigmoidTableSize];
