#include "diarization/network_kernels.h"

#include <cstring>

size_t row_major_size(int32_t rows, int32_t cols) {
    return static_cast<size_t>(rows) * static_cast<size_t>(cols);
}

void row_major_pack(const int8_t *weights, int32_t rows, int32_t cols, int8_t *packed) {
    std::memcpy(packed, weights, row_major_size(rows, cols));
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
