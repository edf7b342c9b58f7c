#include "diarization/network_kernels.h"

#include <cstring>

size_t row_major_size(int32_t rows, int32_t cols) {
    return static_cast<size_t>(rows) * static_cast<size_t>(cols);
}

void row_major_pack(const int8_t *weights, int32_t rows, int32_t cols, int8_t *packed) {
    std::memcpy(packed, weights, row_major_size(rows, cols));
}

size_t row_blocked_size(int32_t rows, int32_t cols) {
    const size_t blocks = (static_cast<size_t>(rows) + kRowBlock - 1) / kRowBlock;
    return blocks * row_blocked_pairs(cols) * 2 * kRowBlock;
}

void row_blocked_pack(const int8_t *weights, int32_t rows, int32_t cols, int8_t *packed) {
    const auto row_count = static_cast<size_t>(rows);
    const auto col_count = static_cast<size_t>(cols);
    const size_t pairs = row_blocked_pairs(cols);
    const size_t blocks = (row_count + kRowBlock - 1) / kRowBlock;
    for (size_t b = 0; b < blocks; ++b) {
        for (size_t p = 0; p < pairs; ++p) {
            int8_t *out = packed + (b * pairs + p) * 2 * kRowBlock;
            for (size_t r = 0; r < kRowBlock; ++r) {
                const size_t row = b * kRowBlock + r;
                for (size_t j = 0; j < 2; ++j) {
                    const size_t col = 2 * p + j;
                    const bool inside = row < row_count && col < col_count;
                    out[2 * r + j] = inside ? weights[row * col_count + col] : int8_t{0};
                }
            }
        }
    }
}

const network_kernels *network_kernels_for(cpu_isa isa) {
    if (!cpu_isa_supported(isa)) return &kNetworkKernelsScalar;
    switch (isa) {
#if defined(QUORVA_ARCH_x86_64)
        case ISA_SSE41:
            return &kNetworkKernelsSse41;
        case ISA_AVX2:
            return &kNetworkKernelsAvx2;
        case ISA_AVX512:
            return &kNetworkKernelsAvx512;
        case ISA_AVX512VNNI:
            return &kNetworkKernelsAvx512Vnni;
#endif
#if defined(QUORVA_ARCH_aarch64)
        case ISA_NEON:
            return &kNetworkKernelsNeon;
#endif
        default:
            return &kNetworkKernelsScalar;
    }
}
