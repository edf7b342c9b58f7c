// Scalar fixed-point helpers of the recurrent cells: Q10 activations in,
// Q15 gate values out. They are the reference the vector kernels must match.
#pragma once

#include <algorithm>
#include <cstdint>

#include "diarization/sigmoid_table.h"

inline int16_t clamp16(int32_t v) {
    return static_cast<int16_t>(std::clamp<int32_t>(v, INT16_MIN, INT16_MAX));
}

// Linear interpolation in the sigmoid table between the two entries around
// v, with 64 steps between entries. Inputs outside -8.0..7.9375 saturate.
inline int32_t sigmoid_q15(int32_t v) {
    const int32_t c = std::clamp<int32_t>(v, -8192, 8128);
    const int32_t lo = (c >> 6) & 255;
    const int32_t hi = ((c & 0x3FFF) + 63) >> 6;
    const int32_t f = c & 63;
    return (f * kSigmoidTable[hi] + (64 - f) * kSigmoidTable[lo]) >> 6;
}

// tanh(v) = 2 sigmoid(2v) - 1.
inline int32_t tanh_q15(int32_t v) {
    const int32_t s = sigmoid_q15(std::clamp<int32_t>(2 * v, INT16_MIN, INT16_MAX));
    return std::max(2 * s - 32768, -32768);
}

// One element of the cell's state update: the new c from the update gate z,
// the candidate g and the old c; the new h from the new c and the output gate o.
inline int16_t cell_next_c(int32_t z, int32_t g, int32_t c) {
    const int32_t keep = std::min(32767 - z, 32767);
    return clamp16(((z * g + (1 << 19)) >> 20) + ((keep * c + (1 << 14)) >> 15));
}

inline int16_t cell_next_h(int32_t c, int32_t o) {
    return static_cast<int16_t>((tanh_q15(c) * o + (1 << 19)) >> 20);
}
