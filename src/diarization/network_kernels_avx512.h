// AVX-512 network kernels, shared by the plain AVX-512 file and the VNNI one;
// they differ only in the multiply-accumulate step `Mac`. Thirty-two columns
// or sixteen lanes at a time, masked loads and stores for the remainder.
#pragma once

// GCC 12 warns inside its own AVX-512 headers about the undefined vectors
// some intrinsics start from; the warning says nothing about this code.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "diarization/network_kernels.h"
#include "diarization/network_kernels_x86.h"

namespace {

inline __mmask32 low_mask32(int32_t n) {  // n < 32
    return static_cast<__mmask32>((1u << n) - 1u);
}

inline __m512i widen32(const int8_t *p) {
    return _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(p)));
}

inline __m512i widen32_masked(__mmask32 m, const int8_t *p) {
    return _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(m, p));
}

inline __m128i fold512(__m512i v) {
    const __m256i h = _mm256_add_epi32(_mm512_castsi512_si256(v), _mm512_extracti64x4_epi64(v, 1));
    return _mm_add_epi32(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
}

// Lanes 0..3: the sums of a0..a3, transposing within 128-bit lanes before
// the final fold so that four rows share one reduction.
inline __m128i sum4_512(__m512i a0, __m512i a1, __m512i a2, __m512i a3) {
    const __m512i t0 = _mm512_add_epi32(_mm512_unpacklo_epi32(a0, a1), _mm512_unpackhi_epi32(a0, a1));
    const __m512i t1 = _mm512_add_epi32(_mm512_unpacklo_epi32(a2, a3), _mm512_unpackhi_epi32(a2, a3));
    return fold512(_mm512_add_epi32(_mm512_unpacklo_epi64(t0, t1), _mm512_unpackhi_epi64(t0, t1)));
}

template <typename Mac>
void dense_avx512_with(const int8_t *weights, const int8_t *bias, int32_t rows, int32_t cols,
                       const int16_t *x, int16_t *y, int accumulate) {
    const auto stride = static_cast<size_t>(cols);
    const int32_t full = cols & ~31;
    const int32_t rest = cols - full;
    const __mmask32 tail = low_mask32(rest);
    const __m512i x_tail = _mm512_maskz_loadu_epi16(tail, x + full);
    int32_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        const int8_t *r0 = weights + static_cast<size_t>(i) * stride;
        const int8_t *r1 = r0 + stride;
        const int8_t *r2 = r1 + stride;
        const int8_t *r3 = r2 + stride;
        __m512i a0 = _mm512_setzero_si512(), a1 = a0, a2 = a0, a3 = a0;
        for (int32_t k = 0; k < full; k += 32) {
            const __m512i xv = _mm512_loadu_si512(x + k);
            a0 = Mac::apply(a0, widen32(r0 + k), xv);
            a1 = Mac::apply(a1, widen32(r1 + k), xv);
            a2 = Mac::apply(a2, widen32(r2 + k), xv);
            a3 = Mac::apply(a3, widen32(r3 + k), xv);
        }
        if (rest != 0) {
            a0 = Mac::apply(a0, widen32_masked(tail, r0 + full), x_tail);
            a1 = Mac::apply(a1, widen32_masked(tail, r1 + full), x_tail);
            a2 = Mac::apply(a2, widen32_masked(tail, r2 + full), x_tail);
            a3 = Mac::apply(a3, widen32_masked(tail, r3 + full), x_tail);
        }
        dense_finish4(sum4_512(a0, a1, a2, a3), bias + i,
                      y + i, accumulate);
    }
    for (; i < rows; ++i) {
        const int8_t *r0 = weights + static_cast<size_t>(i) * stride;
        __m512i a0 = _mm512_setzero_si512();
        for (int32_t k = 0; k < full; k += 32) {
            a0 = Mac::apply(a0, widen32(r0 + k), _mm512_loadu_si512(x + k));
        }
        if (rest != 0) a0 = Mac::apply(a0, widen32_masked(tail, r0 + full), x_tail);
        const __m128i zero = _mm_setzero_si128();
        const auto acc =
            static_cast<uint32_t>(_mm_cvtsi128_si32(sum4_epi32(fold512(a0), zero, zero, zero)));
        dense_finish1(acc, bias[i], y + i, accumulate);
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
    const __m512i sum = _mm512_add_epi32(
        _mm512_mullo_epi32(f, t_hi), _mm512_mullo_epi32(_mm512_sub_epi32(_mm512_set1_epi32(64), f), t_lo));
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
        const __m512i kept = _mm512_srai_epi32(
            _mm512_add_epi32(_mm512_mullo_epi32(keep, load16x16(m, c + j)),
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
