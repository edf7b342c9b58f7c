// The hot loops of the embedding network behind a table of operations: a
// scalar reference and vector variants for each instruction set, chosen at
// run time. Every variant gives results identical to the reference.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu_features.h"

struct network_kernels {
    // Bytes a rows x cols weight matrix takes in this variant's layout.
    size_t (*packed_size)(int32_t rows, int32_t cols);

    // Rearranges row-major weights into this variant's layout (packed_size
    // bytes at `packed`).
    void (*pack)(const int8_t *weights, int32_t rows, int32_t cols, int8_t *packed);

    // y[i] = clamp16(((sum_k W[i][k] x[k] + bias[i] 1024 + 64) >> 7) [+ y[i]]) for
    // i < rows, W given in this variant's layout. The sum wraps in 32 bits;
    // the old y[i] is added only when `accumulate` is non-zero.
    void (*dense)(const int8_t *packed, const int8_t *bias, int32_t rows, int32_t cols,
                  const int16_t *x, int16_t *y, int accumulate);

    // One cell step after the gate pre-activations are known: `gates` holds
    // the update gate, candidate and output gate blocks of `hidden` values
    // each; c and h (hidden values each) are updated in place.
    void (*gate_state)(const int16_t *gates, int32_t hidden, int16_t *c, int16_t *h);

    // y[i] = clamp16(y[i] + b[i]) for i < count.
    void (*add_saturate)(int16_t *y, const int16_t *b, int32_t count);
};

// The plain layout: row-major, as stored in the model.
size_t row_major_size(int32_t rows, int32_t cols);
void row_major_pack(const int8_t *weights, int32_t rows, int32_t cols, int8_t *packed);

// The row-blocked layout: blocks of kRowBlock rows; within a block, for each
// pair of columns, the two weights of every row side by side. After sign
// extension every 32-bit lane of a pairwise multiply-add is one row, so row
// sums need no horizontal reduction. Padding rows and the padding column of
// an odd count are zero.
inline constexpr int32_t kRowBlock = 16;

inline size_t row_blocked_pairs(int32_t cols) { return (static_cast<size_t>(cols) + 1) / 2; }
size_t row_blocked_size(int32_t rows, int32_t cols);
void row_blocked_pack(const int8_t *weights, int32_t rows, int32_t cols, int8_t *packed);

// The kernels for `isa`; the scalar reference when this build or CPU lacks it.
const network_kernels *network_kernels_for(cpu_isa isa);

// The kernels for the instruction set in use now (cpu_active_isa).
inline const network_kernels *network_kernels_active() {
    return network_kernels_for(cpu_active_isa());
}

// Per-instruction-set tables, defined in the *_<isa>.cpp files.
extern const network_kernels kNetworkKernelsScalar;
extern const network_kernels kNetworkKernelsSse41;
extern const network_kernels kNetworkKernelsAvx2;
extern const network_kernels kNetworkKernelsAvx512;
extern const network_kernels kNetworkKernelsAvx512Vnni;
extern const network_kernels kNetworkKernelsNeon;
