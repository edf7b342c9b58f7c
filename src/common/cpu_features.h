// Run-time choice of the instruction set the kernels use. Every kernel has a
// scalar reference; faster variants must give identical results, so the
// choice changes speed only.
#pragma once

#include <cstdint>

enum cpu_isa : int {
    ISA_SCALAR = 0,
    ISA_SSE41 = 1,
    ISA_AVX2 = 2,
    ISA_AVX512 = 3,       // F, BW, VL, DQ
    ISA_AVX512VNNI = 4,   // the above plus VNNI
    ISA_NEON = 5,
    ISA_COUNT = 6,
};

// True when this build contains kernels for `isa` and this CPU runs them.
bool cpu_isa_supported(cpu_isa isa);

// The instruction set kernels use now: the best supported one, unless a test
// has forced another with cpu_force_isa.
cpu_isa cpu_active_isa();

// Forces `isa` (which must be supported) for the whole process; a negative
// value restores the automatic choice. For tests and benchmarks only.
void cpu_force_isa(int isa);

const char *cpu_isa_name(cpu_isa isa);
