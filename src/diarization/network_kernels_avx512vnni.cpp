// AVX-512 VNNI network kernels: the multiply-add and the accumulation fused
// into one vpdpwssd (the wrapping form, like the separate add it replaces).
#include "diarization/network_kernels_avx512.h"

namespace {

struct dot_accumulate {
    static __m512i apply(__m512i acc, __m512i w, __m512i x) {
        return _mm512_dpwssd_epi32(acc, w, x);
    }
};

void dense_avx512vnni(const int8_t *packed, const int8_t *bias, int32_t rows, int32_t cols,
                      const int16_t *x, int16_t *y, int accumulate) {
    dense_avx512_with<dot_accumulate>(packed, bias, rows, cols, x, y, accumulate);
}

}  // namespace

const network_kernels kNetworkKernelsAvx512Vnni = {
    row_blocked_size, row_blocked_pack, dense_avx512vnni, gate_state_avx512, add_saturate_avx512,
};
