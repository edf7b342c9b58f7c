// The scalar reference of the network kernels. The dot product accumulates
// in uint32 so that a sum past the int32 range wraps, as it does in every
// vector variant, instead of being undefined.
#include "diarization/fixed_point.h"
#include "diarization/network_kernels.h"

namespace {

void dense_scalar(const int8_t *weights, const int8_t *bias, int32_t rows, int32_t cols,
                  const int16_t *x, int16_t *y, int accumulate) {
    for (int32_t i = 0; i < rows; ++i) {
        const int8_t *row = weights + static_cast<size_t>(i) * static_cast<size_t>(cols);
        uint32_t acc = 0;
        for (int32_t k = 0; k < cols; ++k) {
            acc += static_cast<uint32_t>(int32_t{row[k]} * int32_t{x[k]});
        }
        acc += static_cast<uint32_t>(int32_t{bias[i]} * 1024 + 64);
        int32_t r = static_cast<int32_t>(acc) >> 7;
        if (accumulate) r += y[i];
        y[i] = clamp16(r);
    }
}

void gate_state_scalar(const int16_t *gates, int32_t hidden, int16_t *c, int16_t *h) {
    const int16_t *update = gates;
    const int16_t *candidate = gates + hidden;
    const int16_t *output = gates + 2 * hidden;
    for (int32_t j = 0; j < hidden; ++j) {
        const int32_t z = sigmoid_q15(update[j]);
        const int32_t g = tanh_q15(candidate[j]);
        const int32_t o = sigmoid_q15(output[j]);
        c[j] = cell_next_c(z, g, c[j]);
        h[j] = cell_next_h(c[j], o);
    }
}

void add_saturate_scalar(int16_t *y, const int16_t *b, int32_t count) {
    for (int32_t i = 0; i < count; ++i) y[i] = clamp16(int32_t{y[i]} + b[i]);
}

}  // namespace

const network_kernels kNetworkKernelsScalar = {
    row_major_size, row_major_pack, dense_scalar, gate_state_scalar, add_saturate_scalar,
};
