#include "common/cpu_features.h"

#include <atomic>

namespace {

std::atomic<int> g_forced{-1};

bool detect(cpu_isa isa) {
    switch (isa) {
        case ISA_SCALAR:
            return true;
#if defined(QUORVA_ARCH_x86_64)
        case ISA_SSE41:
            return __builtin_cpu_supports("sse4.1");
        case ISA_AVX2:
            return __builtin_cpu_supports("avx2");
        case ISA_AVX512:
            return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
        case ISA_AVX512VNNI:
            return detect(ISA_AVX512) && __builtin_cpu_supports("avx512vnni");
#endif
#if defined(QUORVA_ARCH_aarch64)
        case ISA_NEON:
            return true;  // part of the base architecture
#endif
        default:
            return false;
    }
}

int best_supported() {
    static const int best = [] {
        int b = ISA_SCALAR;
        for (int i = ISA_SCALAR; i < ISA_COUNT; ++i) {
            if (detect(static_cast<cpu_isa>(i))) b = i;
        }
        return b;
    }();
    return best;
}

}  // namespace

bool cpu_isa_supported(cpu_isa isa) { return isa >= ISA_SCALAR && isa < ISA_COUNT && detect(isa); }

cpu_isa cpu_active_isa() {
    const int forced = g_forced.load(std::memory_order_relaxed);
    return static_cast<cpu_isa>(forced >= 0 ? forced : best_supported());
}

void cpu_force_isa(int isa) {
    g_forced.store(isa >= 0 && isa < ISA_COUNT && detect(static_cast<cpu_isa>(isa)) ? isa : -1,
                   std::memory_order_relaxed);
}

const char *cpu_isa_name(cpu_isa isa) {
    static const char *const names[] = {"scalar", "sse4.1", "avx2", "avx512", "avx512vnni", "neon"};
    return isa >= ISA_SCALAR && isa < ISA_COUNT ? names[isa] : "unknown";
}
