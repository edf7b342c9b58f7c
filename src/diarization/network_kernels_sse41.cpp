// SSE4.1 network kernels: eight columns or four lanes at a time.
#include "diarization/network_kernels.h"
#include "diarization/network_kernels_x86.h"

namespace {

inline __m128i widen8(const int8_t *p) {
    return _mm_cvtepi8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
}

inline __m128i load8(const int16_t *p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

void dense_sse41(const int8_t *weights, const int8_t *bias, int32_t rows, int32_t cols,
                 const int16_t *x, int16_t *y, int accumulate) {
    const auto stride = static_cast<size_t>(cols);
    const int32_t full = cols & ~7;
    int32_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        const int8_t *r0 = weights + static_cast<size_t>(i) * stride;
        const int8_t *r1 = r0 + stride;
        const int8_t *r2 = r1 + stride;
        const int8_t *r3 = r2 + stride;
        __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0, a3 = a0;
        for (int32_t k = 0; k < full; k += 8) {
            const __m128i xv = load8(x + k);
            a0 = _mm_add_epi32(a0, _mm_madd_epi16(widen8(r0 + k), xv));
            a1 = _mm_add_epi32(a1, _mm_madd_epi16(widen8(r1 + k), xv));
            a2 = _mm_add_epi32(a2, _mm_madd_epi16(widen8(r2 + k), xv));
            a3 = _mm_add_epi32(a3, _mm_madd_epi16(widen8(r3 + k), xv));
        }
        __m128i sums = sum4_epi32(a0, a1, a2, a3);
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
        __m128i a0 = _mm_setzero_si128();
        for (int32_t k = 0; k < full; k += 8) {
            a0 = _mm_add_epi32(a0, _mm_madd_epi16(widen8(r0 + k), load8(x + k)));
        }
        const __m128i zero = _mm_setzero_si128();
        const auto acc = static_cast<uint32_t>(_mm_cvtsi128_si32(sum4_epi32(a0, zero, zero, zero)));
        dense_finish1(acc + dot_tail(r0, x, full, cols), bias[i], y + i, accumulate);
    }
}

// Table lookups of four lanes through memory: SSE4.1 has no gather.
inline __m128i table_lookup4(__m128i index) {
    alignas(16) int32_t idx[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(idx), index);
    return _mm_setr_epi32(kSigmoidTable32[idx[0]], kSigmoidTable32[idx[1]], kSigmoidTable32[idx[2]],
                          kSigmoidTable32[idx[3]]);
}

inline __m128i sigmoid4(__m128i v) {
    const __m128i c = _mm_min_epi32(_mm_max_epi32(v, _mm_set1_epi32(-8192)), _mm_set1_epi32(8128));
    const __m128i lo = _mm_and_si128(_mm_srai_epi32(c, 6), _mm_set1_epi32(255));
    const __m128i hi = _mm_srai_epi32(
        _mm_add_epi32(_mm_and_si128(c, _mm_set1_epi32(0x3FFF)), _mm_set1_epi32(63)), 6);
    const __m128i f = _mm_and_si128(c, _mm_set1_epi32(63));
    const __m128i sum =
        _mm_add_epi32(_mm_mullo_epi32(f, table_lookup4(hi)),
                      _mm_mullo_epi32(_mm_sub_epi32(_mm_set1_epi32(64), f), table_lookup4(lo)));
    return _mm_srai_epi32(sum, 6);
}

inline __m128i clamp16x4(__m128i v) {
    return _mm_min_epi32(_mm_max_epi32(v, _mm_set1_epi32(-32768)), _mm_set1_epi32(32767));
}

inline __m128i tanh4(__m128i v) {
    const __m128i s = sigmoid4(clamp16x4(_mm_slli_epi32(v, 1)));
    return _mm_max_epi32(_mm_sub_epi32(_mm_slli_epi32(s, 1), _mm_set1_epi32(32768)),
                         _mm_set1_epi32(-32768));
}

inline __m128i load4x16(const int16_t *p) {
    return _mm_cvtepi16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
}

inline void store4x16(int16_t *p, __m128i v) {
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p), _mm_packs_epi32(v, v));
}

void gate_state_sse41(const int16_t *gates, int32_t hidden, int16_t *c, int16_t *h) {
    const int32_t full = hidden & ~3;
    for (int32_t j = 0; j < full; j += 4) {
        const __m128i z = sigmoid4(load4x16(gates + j));
        const __m128i g = tanh4(load4x16(gates + hidden + j));
        const __m128i o = sigmoid4(load4x16(gates + 2 * hidden + j));
        const __m128i keep =
            _mm_min_epi32(_mm_sub_epi32(_mm_set1_epi32(32767), z), _mm_set1_epi32(32767));
        const __m128i fresh =
            _mm_srai_epi32(_mm_add_epi32(_mm_mullo_epi32(z, g), _mm_set1_epi32(1 << 19)), 20);
        const __m128i kept = _mm_srai_epi32(
            _mm_add_epi32(_mm_mullo_epi32(keep, load4x16(c + j)), _mm_set1_epi32(1 << 14)), 15);
        const __m128i c_new = clamp16x4(_mm_add_epi32(fresh, kept));
        const __m128i h_new = _mm_srai_epi32(
            _mm_add_epi32(_mm_mullo_epi32(tanh4(c_new), o), _mm_set1_epi32(1 << 19)), 20);
        store4x16(c + j, c_new);
        store4x16(h + j, h_new);
    }
    gate_state_tail(gates, hidden, full, c, h);
}

void add_saturate_sse41(int16_t *y, const int16_t *b, int32_t count) {
    const int32_t full = count & ~7;
    for (int32_t i = 0; i < full; i += 8) {
        auto *p = reinterpret_cast<__m128i *>(y + i);
        _mm_storeu_si128(p, _mm_adds_epi16(_mm_loadu_si128(p), load8(b + i)));
    }
    add_saturate_tail(y, b, full, count);
}

}  // namespace

const network_kernels kNetworkKernelsSse41 = {
    row_major_size, row_major_pack, dense_sse41, gate_state_sse41, add_saturate_sse41,
};
