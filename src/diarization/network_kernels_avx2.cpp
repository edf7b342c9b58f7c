// AVX2 network kernels: sixteen columns or eight lanes at a time, table
// lookups through gathers.
#include "diarization/network_kernels.h"
#include "diarization/network_kernels_x86.h"

namespace {

inline __m256i widen16(const int8_t *p) {
    return _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

inline __m256i load16(const int16_t *p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

inline __m128i fold(__m256i v) {
    return _mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

void dense_avx2(const int8_t *weights, const int8_t *bias, int32_t rows, int32_t cols,
                const int16_t *x, int16_t *y, int accumulate) {
    const auto stride = static_cast<size_t>(cols);
    const int32_t full = cols & ~15;
    int32_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        const int8_t *r0 = weights + static_cast<size_t>(i) * stride;
        const int8_t *r1 = r0 + stride;
        const int8_t *r2 = r1 + stride;
        const int8_t *r3 = r2 + stride;
        __m256i a0 = _mm256_setzero_si256(), a1 = a0, a2 = a0, a3 = a0;
        for (int32_t k = 0; k < full; k += 16) {
            const __m256i xv = load16(x + k);
            a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(widen16(r0 + k), xv));
            a1 = _mm256_add_epi32(a1, _mm256_madd_epi16(widen16(r1 + k), xv));
            a2 = _mm256_add_epi32(a2, _mm256_madd_epi16(widen16(r2 + k), xv));
            a3 = _mm256_add_epi32(a3, _mm256_madd_epi16(widen16(r3 + k), xv));
        }
        __m128i sums = sum4_epi32(fold(a0), fold(a1), fold(a2), fold(a3));
        if (full < cols) {
            const __m128i tail = _mm_setr_epi32(static_cast<int32_t>(dot_tail(r0, x, full, cols)),
                                                static_cast<int32_t>(dot_tail(r1, x, full, cols)),
                                                static_cast<int32_t>(dot_tail(r2, x, full, cols)),
                                                static_cast<int32_t>(dot_tail(r3, x, full, cols)));
            sums = _mm_add_epi32(sums, tail);
        }
        dense_finish4(sums, bias + i, y + i, accumulate);
    }
    for (; i < rows; ++i) {
        const int8_t *r0 = weights + static_cast<size_t>(i) * stride;
        __m256i a0 = _mm256_setzero_si256();
        for (int32_t k = 0; k < full; k += 16) {
            a0 = _mm256_add_epi32(a0, _mm256_madd_epi16(widen16(r0 + k), load16(x + k)));
        }
        const __m128i zero = _mm_setzero_si128();
        const auto acc =
            static_cast<uint32_t>(_mm_cvtsi128_si32(sum4_epi32(fold(a0), zero, zero, zero)));
        dense_finish1(acc + dot_tail(r0, x, full, cols), bias[i], y + i, accumulate);
    }
}

inline __m256i sigmoid8(__m256i v) {
    const __m256i c =
        _mm256_min_epi32(_mm256_max_epi32(v, _mm256_set1_epi32(-8192)), _mm256_set1_epi32(8128));
    const __m256i lo = _mm256_and_si256(_mm256_srai_epi32(c, 6), _mm256_set1_epi32(255));
    const __m256i hi = _mm256_srai_epi32(
        _mm256_add_epi32(_mm256_and_si256(c, _mm256_set1_epi32(0x3FFF)), _mm256_set1_epi32(63)), 6);
    const __m256i f = _mm256_and_si256(c, _mm256_set1_epi32(63));
    const __m256i t_lo = _mm256_i32gather_epi32(kSigmoidTable32, lo, 4);
    const __m256i t_hi = _mm256_i32gather_epi32(kSigmoidTable32, hi, 4);
    const __m256i sum =
        _mm256_add_epi32(_mm256_mullo_epi32(f, t_hi),
                         _mm256_mullo_epi32(_mm256_sub_epi32(_mm256_set1_epi32(64), f), t_lo));
    return _mm256_srai_epi32(sum, 6);
}

inline __m256i clamp16x8(__m256i v) {
    return _mm256_min_epi32(_mm256_max_epi32(v, _mm256_set1_epi32(-32768)),
                            _mm256_set1_epi32(32767));
}

inline __m256i tanh8(__m256i v) {
    const __m256i s = sigmoid8(clamp16x8(_mm256_slli_epi32(v, 1)));
    return _mm256_max_epi32(_mm256_sub_epi32(_mm256_slli_epi32(s, 1), _mm256_set1_epi32(32768)),
                            _mm256_set1_epi32(-32768));
}

inline __m256i load8x16(const int16_t *p) {
    return _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

inline void store8x16(int16_t *p, __m256i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p),
                     _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}

void gate_state_avx2(const int16_t *gates, int32_t hidden, int16_t *c, int16_t *h) {
    const int32_t full = hidden & ~7;
    for (int32_t j = 0; j < full; j += 8) {
        const __m256i z = sigmoid8(load8x16(gates + j));
        const __m256i g = tanh8(load8x16(gates + hidden + j));
        const __m256i o = sigmoid8(load8x16(gates + 2 * hidden + j));
        const __m256i keep = _mm256_min_epi32(_mm256_sub_epi32(_mm256_set1_epi32(32767), z),
                                              _mm256_set1_epi32(32767));
        const __m256i fresh = _mm256_srai_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(z, g), _mm256_set1_epi32(1 << 19)), 20);
        const __m256i kept = _mm256_srai_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(keep, load8x16(c + j)), _mm256_set1_epi32(1 << 14)),
            15);
        const __m256i c_new = clamp16x8(_mm256_add_epi32(fresh, kept));
        const __m256i h_new = _mm256_srai_epi32(
            _mm256_add_epi32(_mm256_mullo_epi32(tanh8(c_new), o), _mm256_set1_epi32(1 << 19)), 20);
        store8x16(c + j, c_new);
        store8x16(h + j, h_new);
    }
    gate_state_tail(gates, hidden, full, c, h);
}

void add_saturate_avx2(int16_t *y, const int16_t *b, int32_t count) {
    const int32_t full = count & ~15;
    for (int32_t i = 0; i < full; i += 16) {
        auto *p = reinterpret_cast<__m256i *>(y + i);
        _mm256_storeu_si256(p, _mm256_adds_epi16(_mm256_loadu_si256(p), load16(b + i)));
    }
    add_saturate_tail(y, b, full, count);
}

}  // namespace

const network_kernels kNetworkKernelsAvx2 = {
    row_major_size, row_major_pack, dense_avx2, gate_state_avx2, add_saturate_avx2,
};
