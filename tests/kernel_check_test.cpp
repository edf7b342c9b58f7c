// Every vector variant of the network kernels that this machine runs must give
// the scalar reference's results bit for bit: random inputs of many shapes,
// and the saturating extremes of every stage.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "common/cpu_features.h"
#include "diarization/network_kernels.h"

namespace {

std::vector<cpu_isa> vector_variants() {
    std::vector<cpu_isa> out;
    for (int i = ISA_SCALAR + 1; i < ISA_COUNT; ++i) {
        if (cpu_isa_supported(static_cast<cpu_isa>(i))) out.push_back(static_cast<cpu_isa>(i));
    }
    return out;
}

template <typename T>
std::vector<T> random_values(std::mt19937 &rng, size_t count, int lo, int hi) {
    std::uniform_int_distribution<int> dist(lo, hi);
    std::vector<T> v(count);
    for (auto &x : v) x = static_cast<T>(dist(rng));
    return v;
}

struct dense_case {
    std::vector<int8_t> weights;
    std::vector<int8_t> bias;
    std::vector<int16_t> x;
    std::vector<int16_t> y;  // the stored outputs an accumulating product adds to
    int32_t rows;
    int32_t cols;
};

std::vector<int16_t> run_dense(const network_kernels *k, const dense_case &c, int accumulate) {
    std::vector<int8_t> packed(k->packed_size(c.rows, c.cols));
    k->pack(c.weights.data(), c.rows, c.cols, packed.data());
    std::vector<int16_t> y = c.y;
    k->dense(packed.data(), c.bias.data(), c.rows, c.cols, c.x.data(), y.data(), accumulate);
    return y;
}

void expect_dense_matches(const dense_case &c) {
    for (int accumulate = 0; accumulate <= 1; ++accumulate) {
        const std::vector<int16_t> expected = run_dense(&kNetworkKernelsScalar, c, accumulate);
        for (cpu_isa isa : vector_variants()) {
            EXPECT_EQ(run_dense(network_kernels_for(isa), c, accumulate), expected)
                << cpu_isa_name(isa) << " rows " << c.rows << " cols " << c.cols << " accumulate "
                << accumulate;
        }
    }
}

dense_case random_dense(std::mt19937 &rng, int32_t rows, int32_t cols, int x_range) {
    dense_case c;
    c.rows = rows;
    c.cols = cols;
    c.weights = random_values<int8_t>(rng, size_t(rows) * size_t(cols), -128, 127);
    c.bias = random_values<int8_t>(rng, size_t(rows), -128, 127);
    c.x = random_values<int16_t>(rng, size_t(cols), -x_range, x_range - 1);
    c.y = random_values<int16_t>(rng, size_t(rows), -32768, 32767);
    return c;
}

dense_case constant_dense(int32_t rows, int32_t cols, int8_t w, int8_t b, int16_t x, int16_t y) {
    return {std::vector<int8_t>(size_t(rows) * size_t(cols), w),
            std::vector<int8_t>(size_t(rows), b),
            std::vector<int16_t>(size_t(cols), x),
            std::vector<int16_t>(size_t(rows), y),
            rows,
            cols};
}

TEST(KernelCheck, ListsTheVariantsItChecks) {
    // Not an assertion on the hardware: it records in the log what ran.
    std::string names = "scalar";
    for (cpu_isa isa : vector_variants()) names += std::string(" ") + cpu_isa_name(isa);
    RecordProperty("variants", names);
    EXPECT_EQ(network_kernels_for(ISA_SCALAR), &kNetworkKernelsScalar);
    for (int i = 0; i < ISA_COUNT; ++i) {
        const auto isa = static_cast<cpu_isa>(i);
        if (!cpu_isa_supported(isa)) {
            EXPECT_EQ(network_kernels_for(isa), &kNetworkKernelsScalar);
        }
    }
}

TEST(KernelCheck, DenseMatchesReferenceOnRandomShapes) {
    std::mt19937 rng(1);
    const int32_t row_counts[] = {1, 2, 3, 4, 5, 7, 8, 9, 17, 64, 131};
    const int32_t col_counts[] = {1,  2,  3,  7,  8,  9,  15, 16,  17,  31,
                                  32, 33, 47, 63, 64, 65, 80, 128, 129, 200};
    for (int32_t rows : row_counts) {
        for (int32_t cols : col_counts) {
            expect_dense_matches(random_dense(rng, rows, cols, 32768));
            expect_dense_matches(random_dense(rng, rows, cols, 1024));
        }
    }
}

TEST(KernelCheck, DenseMatchesReferenceAtSaturatingExtremes) {
    const int8_t weights[] = {-128, 127};
    const int8_t biases[] = {-128, 0, 127};
    const int16_t inputs[] = {-32768, 32767};
    const int16_t stored[] = {-32768, 0, 32767};
    for (int32_t cols : {1, 17, 33, 80, 511, 512, 1023, 1024, 1500, 4099}) {
        for (int8_t w : weights) {
            for (int8_t b : biases) {
                for (int16_t x : inputs) {
                    for (int16_t y : stored)
                        expect_dense_matches(constant_dense(5, cols, w, b, x, y));
                }
            }
        }
    }
    // Long rows of random extremes, whose sums wrap in various ways.
    std::mt19937 rng(2);
    for (int32_t cols : {700, 1024, 3001}) {
        dense_case c = random_dense(rng, 6, cols, 32768);
        for (auto &w : c.weights) w = (w < 0) ? int8_t{-128} : int8_t{127};
        for (auto &x : c.x) x = (x < 0) ? int16_t{-32768} : int16_t{32767};
        expect_dense_matches(c);
    }
}

TEST(KernelCheck, DenseSumWrapsInThirtyTwoBits) {
    // 512 products of 2^22 sum to 2^31, which wraps to -2^31: the row
    // saturates low although every product is positive. 1024 of them wrap
    // to exactly zero, and the rounding leaves 0.
    std::vector<cpu_isa> all = vector_variants();
    all.insert(all.begin(), ISA_SCALAR);
    for (cpu_isa isa : all) {
        EXPECT_EQ(
            run_dense(network_kernels_for(isa), constant_dense(4, 512, -128, 0, -32768, 0), 0),
            std::vector<int16_t>(4, -32768))
            << cpu_isa_name(isa);
        EXPECT_EQ(
            run_dense(network_kernels_for(isa), constant_dense(4, 1024, -128, 0, -32768, 0), 0),
            std::vector<int16_t>(4, 0))
            << cpu_isa_name(isa);
    }
}

struct cell_case {
    std::vector<int16_t> gates;
    std::vector<int16_t> c;
    std::vector<int16_t> h;
    int32_t hidden;
};

void expect_gate_state_matches(const cell_case &cc) {
    cell_case expected = cc;
    kNetworkKernelsScalar.gate_state(expected.gates.data(), cc.hidden, expected.c.data(),
                                     expected.h.data());
    for (cpu_isa isa : vector_variants()) {
        cell_case got = cc;
        network_kernels_for(isa)->gate_state(got.gates.data(), cc.hidden, got.c.data(),
                                             got.h.data());
        EXPECT_EQ(got.c, expected.c) << cpu_isa_name(isa) << " hidden " << cc.hidden;
        EXPECT_EQ(got.h, expected.h) << cpu_isa_name(isa) << " hidden " << cc.hidden;
    }
}

TEST(KernelCheck, GateStateMatchesReference) {
    std::mt19937 rng(3);
    for (int32_t hidden : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 64, 128, 130}) {
        // Full int16 range, and the interpolated range of the table.
        for (int range : {32768, 8400, 300}) {
            cell_case cc;
            cc.hidden = hidden;
            cc.gates = random_values<int16_t>(rng, size_t(3 * hidden), -range, range - 1);
            cc.c = random_values<int16_t>(rng, size_t(hidden), -32768, 32767);
            cc.h = random_values<int16_t>(rng, size_t(hidden), -32768, 32767);
            expect_gate_state_matches(cc);
        }
    }
}

TEST(KernelCheck, GateStateMatchesReferenceAtExtremes) {
    const int16_t gate_values[] = {-32768, -8193, -8192, -8191, -65,  -64,  -63,  -1,   0,
                                   1,      63,    64,    4063,  4064, 8127, 8128, 8129, 32767};
    const int16_t states[] = {-32768, -1, 0, 1, 32767};
    // Every combination of gate values over the three blocks, one per lane.
    const size_t n = std::size(gate_values);
    for (int16_t c : states) {
        cell_case cc;
        cc.hidden = static_cast<int32_t>(n * n * n);
        cc.gates.resize(size_t(3 * cc.hidden));
        for (size_t i = 0; i < n * n * n; ++i) {
            cc.gates[i] = gate_values[i % n];
            cc.gates[size_t(cc.hidden) + i] = gate_values[(i / n) % n];
            cc.gates[size_t(2 * cc.hidden) + i] = gate_values[i / (n * n)];
        }
        cc.c.assign(size_t(cc.hidden), c);
        cc.h.assign(size_t(cc.hidden), 0);
        expect_gate_state_matches(cc);
    }
}

void expect_add_saturate_matches(const std::vector<int16_t> &y, const std::vector<int16_t> &b) {
    std::vector<int16_t> expected = y;
    kNetworkKernelsScalar.add_saturate(expected.data(), b.data(), static_cast<int32_t>(y.size()));
    for (cpu_isa isa : vector_variants()) {
        std::vector<int16_t> got = y;
        network_kernels_for(isa)->add_saturate(got.data(), b.data(),
                                               static_cast<int32_t>(y.size()));
        EXPECT_EQ(got, expected) << cpu_isa_name(isa) << " count " << y.size();
    }
}

TEST(KernelCheck, AddSaturateMatchesReference) {
    std::mt19937 rng(4);
    for (size_t count : {1, 3, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 128, 200}) {
        expect_add_saturate_matches(random_values<int16_t>(rng, count, -32768, 32767),
                                    random_values<int16_t>(rng, count, -32768, 32767));
    }
    for (int16_t a : {int16_t{-32768}, int16_t{-1}, int16_t{32767}}) {
        for (int16_t b : {int16_t{-32768}, int16_t{1}, int16_t{32767}}) {
            expect_add_saturate_matches(std::vector<int16_t>(37, a), std::vector<int16_t>(37, b));
        }
    }
    std::vector<int16_t> y{32767, -32768, 30000};
    kNetworkKernelsScalar.add_saturate(y.data(), std::vector<int16_t>{1, -1, -30000}.data(), 3);
    EXPECT_EQ(y, (std::vector<int16_t>{32767, -32768, 0}));
}

}  // namespace
