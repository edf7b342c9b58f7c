// NEON network kernels: sixteen int8 weights at a time widened to int16 and
// multiplied into four 32-bit accumulators, four lanes for the cell state.
#include <arm_neon.h>

#include "diarization/fixed_point.h"
#include "diarization/network_kernels.h"

namespace {

inline uint32_t dot_tail(const int8_t *row, const int16_t *x, int32_t from, int32_t cols) {
    uint32_t acc = 0;
    for (int32_t k = from; k < cols; ++k) acc += static_cast<uint32_t>(int32_t{row[k]} * x[k]);
    return acc;
}

// Adds the products of 16 columns of one row to its accumulator. SMLAL wraps
// like the scalar reference's 32-bit sum.
inline int32x4_t mac16(int32x4_t acc, const int8_t *w, int16x8_t x0, int16x8_t x1) {
    const int8x16_t w8 = vld1q_s8(w);
    const int16x8_t w0 = vmovl_s8(vget_low_s8(w8));
    const int16x8_t w1 = vmovl_high_s8(w8);
    acc = vmlal_s16(acc, vget_low_s16(w0), vget_low_s16(x0));
    acc = vmlal_high_s16(acc, w0, x0);
    acc = vmlal_s16(acc, vget_low_s16(w1), vget_low_s16(x1));
    return vmlal_high_s16(acc, w1, x1);
}

inline void finish1(uint32_t acc, int8_t bias, int16_t *y, int accumulate) {
    acc += static_cast<uint32_t>(int32_t{bias} * 1024 + 64);
    int32_t r = static_cast<int32_t>(acc) >> 7;
    if (accumulate) r += *y;
    *y = clamp16(r);
}

void dense_neon(const int8_t *weights, const int8_t *bias, int32_t rows, int32_t cols,
                const int16_t *x, int16_t *y, int accumulate) {
    const auto stride = static_cast<size_t>(cols);
    const int32_t full = cols & ~15;
    int32_t i = 0;
    for (; i + 4 <= rows; i += 4) {
        const int8_t *r0 = weights + static_cast<size_t>(i) * stride;
        const int8_t *r1 = r0 + stride;
        const int8_t *r2 = r1 + stride;
        const int8_t *r3 = r2 + stride;
        int32x4_t a0 = vdupq_n_s32(0), a1 = a0, a2 = a0, a3 = a0;
        for (int32_t k = 0; k < full; k += 16) {
            const int16x8_t x0 = vld1q_s16(x + k);
            const int16x8_t x1 = vld1q_s16(x + k + 8);
            a0 = mac16(a0, r0 + k, x0, x1);
            a1 = mac16(a1, r1 + k, x0, x1);
            a2 = mac16(a2, r2 + k, x0, x1);
            a3 = mac16(a3, r3 + k, x0, x1);
        }
        int32x4_t sums = vpaddq_s32(vpaddq_s32(a0, a1), vpaddq_s32(a2, a3));
        if (full < cols) {
            const int32_t tail[4] = {static_cast<int32_t>(dot_tail(r0, x, full, cols)),
                                     static_cast<int32_t>(dot_tail(r1, x, full, cols)),
                                     static_cast<int32_t>(dot_tail(r2, x, full, cols)),
                                     static_cast<int32_t>(dot_tail(r3, x, full, cols))};
            sums = vaddq_s32(sums, vld1q_s32(tail));
        }
        const int32_t b[4] = {bias[i] * 1024 + 64, bias[i + 1] * 1024 + 64, bias[i + 2] * 1024 + 64,
                              bias[i + 3] * 1024 + 64};
        int32x4_t r = vshrq_n_s32(vaddq_s32(sums, vld1q_s32(b)), 7);
        if (accumulate) r = vaddq_s32(r, vmovl_s16(vld1_s16(y + i)));
        vst1_s16(y + i, vqmovn_s32(r));
    }
    for (; i < rows; ++i) {
        const int8_t *r0 = weights + static_cast<size_t>(i) * stride;
        int32x4_t a0 = vdupq_n_s32(0);
        for (int32_t k = 0; k < full; k += 16) {
            a0 = mac16(a0, r0 + k, vld1q_s16(x + k), vld1q_s16(x + k + 8));
        }
        const auto acc = static_cast<uint32_t>(vaddvq_s32(a0));
        finish1(acc + dot_tail(r0, x, full, cols), bias[i], y + i, accumulate);
    }
}

// Table lookups of four lanes through memory: NEON has no gather.
inline int32x4_t table_lookup4(int32x4_t index) {
    int32_t idx[4];
    vst1q_s32(idx, index);
    const int32_t values[4] = {kSigmoidTable32[idx[0]], kSigmoidTable32[idx[1]],
                               kSigmoidTable32[idx[2]], kSigmoidTable32[idx[3]]};
    return vld1q_s32(values);
}

inline int32x4_t sigmoid4(int32x4_t v) {
    const int32x4_t c = vminq_s32(vmaxq_s32(v, vdupq_n_s32(-8192)), vdupq_n_s32(8128));
    const int32x4_t lo = vandq_s32(vshrq_n_s32(c, 6), vdupq_n_s32(255));
    const int32x4_t hi =
        vshrq_n_s32(vaddq_s32(vandq_s32(c, vdupq_n_s32(0x3FFF)), vdupq_n_s32(63)), 6);
    const int32x4_t f = vandq_s32(c, vdupq_n_s32(63));
    const int32x4_t sum = vaddq_s32(vmulq_s32(f, table_lookup4(hi)),
                                    vmulq_s32(vsubq_s32(vdupq_n_s32(64), f), table_lookup4(lo)));
    return vshrq_n_s32(sum, 6);
}

inline int32x4_t clamp16x4(int32x4_t v) {
    return vminq_s32(vmaxq_s32(v, vdupq_n_s32(-32768)), vdupq_n_s32(32767));
}

inline int32x4_t tanh4(int32x4_t v) {
    const int32x4_t s = sigmoid4(clamp16x4(vshlq_n_s32(v, 1)));
    return vmaxq_s32(vsubq_s32(vshlq_n_s32(s, 1), vdupq_n_s32(32768)), vdupq_n_s32(-32768));
}

// (a * b + 2^(shift-1)) >> shift on four lanes.
template <int kShift>
inline int32x4_t mul_round(int32x4_t a, int32x4_t b) {
    return vshrq_n_s32(vaddq_s32(vmulq_s32(a, b), vdupq_n_s32(1 << (kShift - 1))), kShift);
}

void gate_state_neon(const int16_t *gates, int32_t hidden, int16_t *c, int16_t *h) {
    const int32_t full = hidden & ~3;
    for (int32_t j = 0; j < full; j += 4) {
        const int32x4_t z = sigmoid4(vmovl_s16(vld1_s16(gates + j)));
        const int32x4_t g = tanh4(vmovl_s16(vld1_s16(gates + hidden + j)));
        const int32x4_t o = sigmoid4(vmovl_s16(vld1_s16(gates + 2 * hidden + j)));
        const int32x4_t keep = vminq_s32(vsubq_s32(vdupq_n_s32(32767), z), vdupq_n_s32(32767));
        const int32x4_t c_new = clamp16x4(
            vaddq_s32(mul_round<20>(z, g), mul_round<15>(keep, vmovl_s16(vld1_s16(c + j)))));
        const int32x4_t h_new = mul_round<20>(tanh4(c_new), o);
        vst1_s16(c + j, vqmovn_s32(c_new));
        vst1_s16(h + j, vmovn_s32(h_new));
    }
    for (int32_t j = full; j < hidden; ++j) {
        const int32_t z = sigmoid_q15(gates[j]);
        const int32_t g = tanh_q15(gates[hidden + j]);
        const int32_t o = sigmoid_q15(gates[2 * hidden + j]);
        c[j] = cell_next_c(z, g, c[j]);
        h[j] = cell_next_h(c[j], o);
    }
}

void add_saturate_neon(int16_t *y, const int16_t *b, int32_t count) {
    const int32_t full = count & ~7;
    for (int32_t i = 0; i < full; i += 8)
        vst1q_s16(y + i, vqaddq_s16(vld1q_s16(y + i), vld1q_s16(b + i)));
    for (int32_t i = full; i < count; ++i) y[i] = clamp16(int32_t{y[i]} + b[i]);
}

}  // namespace

const network_kernels kNetworkKernelsNeon = {
    row_major_size, row_major_pack, dense_neon, gate_state_neon, add_saturate_neon,
};
