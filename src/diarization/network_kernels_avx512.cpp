// AVX-512 (F, BW, VL, DQ) network kernels: widening multiply-add and add.
#include "diarization/network_kernels_avx512.h"

namespace {

struct madd_then_add {
    static __m512i apply(__m512i acc, __m512i w, __m512i x) {
        return _mm512_add_epi32(acc, _mm512_madd_epi16(w, x));
    }
};

void dense_avx512(const int8_t *packed, const int8_t *bias, int32_t rows, int32_t cols,
                  const int16_t *x, int16_t *y, int accumulate) {
    dense_avx512_with<madd_then_add>(packed, bias, rows, cols, x, y, accumulate);
}

}  // namespace

const network_kernels kNetworkKernelsAvx512 = {
    row_blocked_size, row_blocked_pack, dense_avx512, gate_state_avx512, add_saturate_avx512,
};
