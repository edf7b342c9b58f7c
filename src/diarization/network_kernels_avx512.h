// AVX-512 network kernels, shared by the plain AVX-512 file and the VNNI one;
// they differ only in the multiply-accumulate step `Mac`. Thirty-two columns
// or sixteen lanes at a time, masked loads and stores for the remainder.
#pragma once

// GCC 12 warns inside its own AVX-512 headers about the undefined vectors
// some intrinsics start from; the warning says nothing about this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif

#include "diarization/network_kernels.h"
#include "diarization/network_kernels_x86.h"

namespace {

inline __mmask32 low_mask32(int32_t n) {  // n < 32
    return static_cast<__mmask32>((1u << n) - 1u);
}

// 32 weights of the row-blocked layout (network_kernels.h): one column pair
// of 16 rows.
inline __m512i widen32(const int8_t *p) {
    return _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
}

// Rounds, shifts, optionally adds the stored outputs and stores the first
// n (at most 16) rows of a block with saturation.
inline void finish16(__m512i acc, const int8_t *bias, int16_t *y, int32_t n, int accumulate) {
    const auto m = static_cast<__mmask16>(n >= 16 ? 0xFFFFu : (1u << n) - 1u);
    const __m512i b = _mm512_slli_epi32(_mm512_cvtepi8_epi32(_mm_maskz_loadu_epi8(m, bias)), 10);
    __m512i r =
        _mm512_srai_epi32(_mm512_add_epi32(acc, _mm512_add_epi32(b, _mm512_set1_epi32(64))), 7);
    if (accumulate) r = _mm512_add_epi32(r, _mm512_cvtepi16_epi32(_mm256_maskz_loadu_epi16(m, y)));
    _mm256_mask_storeu_epi16(y, m, _mm512_cvtsepi32_epi16(r));
}

// N consecutive blocks of rows. Two accumulators per block (even and odd
// column pairs) keep 2N independent chains; the sums wrap, so their order
// does not matter.
template <typename Mac, int N>
inline void dense_blocks(const int8_t *packed, int32_t cols, const int16_t *x, const int8_t *bias,
                         int16_t *y, int32_t rows_left, int accumulate) {
    const size_t pairs = row_blocked_pairs(cols);
    const size_t full_pairs = static_cast<size_t>(cols) / 2;
    const size_t block_bytes = pairs * 2 * kRowBlock;
    __m512i a[N], b[N];
#pragma GCC unroll 4
    for (int q = 0; q < N; ++q) a[q] = b[q] = _mm512_setzero_si512();
    size_t p = 0;
    for (; p + 2 <= full_pairs; p += 2) {
        int32_t x01, x23;
        std::memcpy(&x01, x + 2 * p, sizeof x01);
        std::memcpy(&x23, x + 2 * p + 2, sizeof x23);
        const __m512i xa = _mm512_set1_epi32(x01);
        const __m512i xb = _mm512_set1_epi32(x23);
        const int8_t *w = packed + p * 2 * kRowBlock;
#pragma GCC unroll 4
        for (int q = 0; q < N; ++q) {
            a[q] = Mac::apply(a[q], widen32(w + q * block_bytes), xa);
            b[q] = Mac::apply(b[q], widen32(w + q * block_bytes + 2 * kRowBlock), xb);
        }
    }
    for (; p < pairs; ++p) {
        const auto lo = static_cast<uint16_t>(x[2 * p]);
        const auto hi = 2 * p + 1 < static_cast<size_t>(cols) ? static_cast<uint16_t>(x[2 * p + 1])
                                                              : uint16_t{0};
        const __m512i xv =
            _mm512_set1_epi32(static_cast<int32_t>(uint32_t{lo} | (uint32_t{hi} << 16)));
        const int8_t *w = packed + p * 2 * kRowBlock;
#pragma GCC unroll 4
        for (int q = 0; q < N; ++q) a[q] = Mac::apply(a[q], widen32(w + q * block_bytes), xv);
    }
#pragma GCC unroll 4
    for (int q = 0; q < N; ++q) {
        finish16(_mm512_add_epi32(a[q], b[q]), bias + q * kRowBlock, y + q * kRowBlock,
                 rows_left - q * kRowBlock, accumulate);
    }
}

template <typename Mac>
void dense_avx512_with(const int8_t *packed, const int8_t *bias, int32_t rows, int32_t cols,
                       const int16_t *x, int16_t *y, int accumulate) {
    const size_t block_bytes = row_blocked_pairs(cols) * 2 * kRowBlock;
    const int32_t blocks = (rows + kRowBlock - 1) / kRowBlock;
    int32_t b = 0;
    for (; b + 4 <= blocks; b += 4) {
        dense_blocks<Mac, 4>(packed + static_cast<size_t>(b) * block_bytes, cols, x,
                             bias + b * kRowBlock, y + b * kRowBlock, rows - b * kRowBlock,
                             accumulate);
    }
    for (; b < blocks; ++b) {
        dense_blocks<Mac, 1>(packed + static_cast<size_t>(b) * block_bytes, cols, x,
                             bias + b * kRowBlock, y + b * kRowBlock, rows - b * kRowBlock,
                             accumulate);
    }
}

inline __m512i sigmoid16(__m512i v) {
    const __m512i c =
        _mm512_min_epi32(_mm512_max_epi32(v, _mm512_set1_epi32(-8192)), _mm512_set1_epi32(8128));
    const __m512i lo = _mm512_and_si512(_mm512_srai_epi32(c, 6), _mm512_set1_epi32(255));
    const __m512i hi = _mm512_srai_epi32(
        _mm512_add_epi32(_mm512_and_si512(c, _mm512_set1_epi32(0x3FFF)), _mm512_set1_epi32(63)), 6);
    const __m512i f = _mm512_and_si512(c, _mm512_set1_epi32(63));
    const __m512i t_lo = _mm512_i32gather_epi32(lo, kSigmoidTable32, 4);
    const __m512i t_hi = _mm512_i32gather_epi32(hi, kSigmoidTable32, 4);
    const __m512i sum =
        _mm512_add_epi32(_mm512_mullo_epi32(f, t_hi),
                         _mm512_mullo_epi32(_mm512_sub_epi32(_mm512_set1_epi32(64), f), t_lo));
    return _mm512_srai_epi32(sum, 6);
}

inline __m512i clamp16x16(__m512i v) {
    return _mm512_min_epi32(_mm512_max_epi32(v, _mm512_set1_epi32(-32768)),
                            _mm512_set1_epi32(32767));
}

inline __m512i tanh16(__m512i v) {
    const __m512i s = sigmoid16(clamp16x16(_mm512_slli_epi32(v, 1)));
    return _mm512_max_epi32(_mm512_sub_epi32(_mm512_slli_epi32(s, 1), _mm512_set1_epi32(32768)),
                            _mm512_set1_epi32(-32768));
}

inline __m512i load16x16(__mmask16 m, const int16_t *p) {
    return _mm512_cvtepi16_epi32(_mm256_maskz_loadu_epi16(m, p));
}

void gate_state_avx512(const int16_t *gates, int32_t hidden, int16_t *c, int16_t *h) {
    for (int32_t j = 0; j < hidden; j += 16) {
        const int32_t n = hidden - j < 16 ? hidden - j : 16;
        const auto m = static_cast<__mmask16>((1u << n) - 1u);
        const __m512i z = sigmoid16(load16x16(m, gates + j));
        const __m512i g = tanh16(load16x16(m, gates + hidden + j));
        const __m512i o = sigmoid16(load16x16(m, gates + 2 * hidden + j));
        const __m512i keep = _mm512_min_epi32(_mm512_sub_epi32(_mm512_set1_epi32(32767), z),
                                              _mm512_set1_epi32(32767));
        const __m512i fresh = _mm512_srai_epi32(
            _mm512_add_epi32(_mm512_mullo_epi32(z, g), _mm512_set1_epi32(1 << 19)), 20);
        const __m512i kept =
            _mm512_srai_epi32(_mm512_add_epi32(_mm512_mullo_epi32(keep, load16x16(m, c + j)),
                                               _mm512_set1_epi32(1 << 14)),
                              15);
        const __m512i c_new = clamp16x16(_mm512_add_epi32(fresh, kept));
        const __m512i h_new = _mm512_srai_epi32(
            _mm512_add_epi32(_mm512_mullo_epi32(tanh16(c_new), o), _mm512_set1_epi32(1 << 19)), 20);
        _mm256_mask_storeu_epi16(c + j, m, _mm512_cvtepi32_epi16(c_new));
        _mm256_mask_storeu_epi16(h + j, m, _mm512_cvtepi32_epi16(h_new));
    }
}

void add_saturate_avx512(int16_t *y, const int16_t *b, int32_t count) {
    for (int32_t i = 0; i < count; i += 32) {
        const int32_t n = count - i < 32 ? count - i : 32;
        const __mmask32 m = n == 32 ? ~__mmask32{0} : low_mask32(n);
        const __m512i sum = _mm512_adds_epi16(_mm512_maskz_loadu_epi16(m, y + i),
                                              _mm512_maskz_loadu_epi16(m, b + i));
        _mm512_mask_storeu_epi16(y + i, m, sum);
    }
}

}  // namespace
