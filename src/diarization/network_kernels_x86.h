// Pieces shared by the x86 variants of the network kernels. Included only by
// the *_sse41/avx2/avx512 files, each compiled for its instruction set; the
// anonymous namespace keeps every copy private to its file.
#pragma once

#include <immintrin.h>

#include <cstring>

#include "diarization/fixed_point.h"

namespace {

// Wrapping 32-bit dot product of the columns [from, cols) of one row, for
// the columns left over after the vector loop.
inline uint32_t dot_tail(const int8_t *row, const int16_t *x, int32_t from, int32_t cols) {
    uint32_t acc = 0;
    for (int32_t k = from; k < cols; ++k) acc += static_cast<uint32_t>(int32_t{row[k]} * x[k]);
    return acc;
}

// The four row sums of four 128-bit accumulators, in lanes 0..3.
inline __m128i sum4_epi32(__m128i a0, __m128i a1, __m128i a2, __m128i a3) {
    return _mm_hadd_epi32(_mm_hadd_epi32(a0, a1), _mm_hadd_epi32(a2, a3));
}

// Rounds, shifts, optionally adds the stored outputs and stores four rows
// with saturation: the tail of the dense operation for rows i..i+3.
inline void dense_finish4(__m128i sums, const int8_t *bias, int16_t *y, int accumulate) {
    int32_t bias4;
    std::memcpy(&bias4, bias, sizeof bias4);
    const __m128i b = _mm_slli_epi32(_mm_cvtepi8_epi32(_mm_cvtsi32_si128(bias4)), 10);
    __m128i r = _mm_srai_epi32(_mm_add_epi32(sums, _mm_add_epi32(b, _mm_set1_epi32(64))), 7);
    if (accumulate) {
        r = _mm_add_epi32(
            r, _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(y))));
    }
    _mm_storel_epi64(reinterpret_cast<__m128i *>(y), _mm_packs_epi32(r, r));
}

// The same for one row whose wrapped sum is `acc`.
inline void dense_finish1(uint32_t acc, int8_t bias, int16_t *y, int accumulate) {
    acc += static_cast<uint32_t>(int32_t{bias} * 1024 + 64);
    int32_t r = static_cast<int32_t>(acc) >> 7;
    if (accumulate) r += *y;
    *y = clamp16(r);
}

// Scalar gate and state arithmetic for the elements [from, hidden).
inline void gate_state_tail(const int16_t *gates, int32_t hidden, int32_t from, int16_t *c,
                            int16_t *h) {
    for (int32_t j = from; j < hidden; ++j) {
        const int32_t z = sigmoid_q15(gates[j]);
        const int32_t g = tanh_q15(gates[hidden + j]);
        const int32_t o = sigmoid_q15(gates[2 * hidden + j]);
        c[j] = cell_next_c(z, g, c[j]);
        h[j] = cell_next_h(c[j], o);
    }
}

inline void add_saturate_tail(int16_t *y, const int16_t *b, int32_t from, int32_t count) {
    for (int32_t i = from; i < count; ++i) y[i] = clamp16(int32_t{y[i]} + b[i]);
}

}  // namespace
