// The embedding network: fixed-point examples, an independent plain
// transcription of the network compared bit for bit with the library under
// every instruction set, the windowing, and the failure paths.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "common/alloc.h"
#include "common/cpu_features.h"
#include "diarization/embedding_network.h"
#include "diarization/fast_rsqrt.h"
#include "diarization/fixed_point.h"
#include "diarization/network_kernels.h"
#include "model/engine.h"
#include "support/model_writer.h"

namespace {

// ---- fixed-point examples --------------------------------------------------

TEST(NetworkFixedPoint, SigmoidTableSpotValues) {
    EXPECT_EQ(kSigmoidTable[0], 16384);
    EXPECT_EQ(kSigmoidTable[1], 16895);
    EXPECT_EQ(kSigmoidTable[127], 32755);
    EXPECT_EQ(kSigmoidTable[128], 11);
    EXPECT_EQ(kSigmoidTable[255], 15872);
    EXPECT_EQ(kSigmoidTable[256], 16384);
    for (int i = 0; i < kSigmoidTableSize; ++i) EXPECT_EQ(kSigmoidTable32[i], kSigmoidTable[i]);
}

TEST(NetworkFixedPoint, SigmoidExamples) {
    EXPECT_EQ(sigmoid_q15(0), 16384);
    EXPECT_EQ(sigmoid_q15(8128), 32755);
    EXPECT_EQ(sigmoid_q15(32767), 32755);
    EXPECT_EQ(sigmoid_q15(-8192), 11);
    EXPECT_EQ(sigmoid_q15(-32768), 11);
    EXPECT_EQ(sigmoid_q15(-1), (63 * 16384 + 1 * 15872) >> 6);
    EXPECT_EQ(sigmoid_q15(-1), 16376);
    // Halfway between two entries.
    EXPECT_EQ(sigmoid_q15(32), (32 * 16895 + 32 * 16384) >> 6);
}

TEST(NetworkFixedPoint, TanhExamples) {
    EXPECT_EQ(tanh_q15(0), 0);
    EXPECT_EQ(tanh_q15(4064), 2 * 32755 - 32768);
    EXPECT_EQ(tanh_q15(32767), 32742);
    EXPECT_EQ(tanh_q15(-32768), 2 * 11 - 32768);
}

TEST(NetworkFixedPoint, DenseAccumulateClampsInEveryVariant) {
    // 120 * 32000 / 128 = 30000, added to a stored 30000.
    const int8_t weight[] = {120};
    const int8_t bias[] = {0};
    for (int i = 0; i < ISA_COUNT; ++i) {
        const auto isa = static_cast<cpu_isa>(i);
        if (!cpu_isa_supported(isa)) continue;
        const network_kernels *k = network_kernels_for(isa);
        int8_t packed[64] = {};
        ASSERT_LE(k->packed_size(1, 1), sizeof packed);
        k->pack(weight, 1, 1, packed);
        int16_t x = 32000;
        int16_t y = 0;
        k->dense(packed, bias, 1, 1, &x, &y, 0);
        EXPECT_EQ(y, 30000) << cpu_isa_name(isa);
        k->dense(packed, bias, 1, 1, &x, &y, 1);
        EXPECT_EQ(y, 32767) << cpu_isa_name(isa);
        x = -32000;
        y = -30000;
        k->dense(packed, bias, 1, 1, &x, &y, 1);
        EXPECT_EQ(y, -32768) << cpu_isa_name(isa);
    }
}

// ---- a plain transcription of the network -----------------------------------

using vec16 = std::vector<int16_t>;

void ref_dense(const dense_tensor *m, const int16_t *x, int16_t *y, bool accumulate) {
    for (int32_t i = 0; i < m->rows; ++i) {
        uint32_t acc = 0;
        for (int32_t k = 0; k < m->cols; ++k) {
            acc +=
                static_cast<uint32_t>(m->weights[size_t(i) * size_t(m->cols) + size_t(k)] * x[k]);
        }
        int32_t r = static_cast<int32_t>(acc + static_cast<uint32_t>(m->bias[i] * 1024 + 64)) >> 7;
        if (accumulate) r += y[i];
        y[i] = clamp16(r);
    }
}

// One direction of a layer over all frames; returns the outputs per frame.
std::vector<vec16> ref_direction(const recurrent_layer *layer, const std::vector<vec16> &x,
                                 bool backward) {
    const int32_t hidden = layer->recurrent_weights->cols;
    vec16 h(size_t(hidden), 0), c(size_t(hidden), 0);
    std::vector<vec16> out(x.size());
    for (size_t step = 0; step < x.size(); ++step) {
        const size_t t = backward ? x.size() - 1 - step : step;
        vec16 gates(size_t(3 * hidden));
        ref_dense(layer->input_weights, x[t].data(), gates.data(), false);
        ref_dense(layer->recurrent_weights, h.data(), gates.data(), true);
        for (int32_t j = 0; j < hidden; ++j) {
            const int32_t z = sigmoid_q15(gates[size_t(j)]);
            const int32_t g = tanh_q15(gates[size_t(hidden + j)]);
            const int32_t o = sigmoid_q15(gates[size_t(2 * hidden + j)]);
            const int32_t keep = std::min(32767 - z, 32767);
            c[size_t(j)] =
                clamp16(((z * g + (1 << 19)) >> 20) + ((keep * c[size_t(j)] + (1 << 14)) >> 15));
            h[size_t(j)] = static_cast<int16_t>((tanh_q15(c[size_t(j)]) * o + (1 << 19)) >> 20);
        }
        out[t] = h;
    }
    return out;
}

std::vector<float> ref_window(const network_params *net, const int16_t *features, int32_t frames) {
    std::vector<vec16> x(static_cast<size_t>(frames));
    for (int32_t t = 0; t < frames; ++t)
        x[size_t(t)].assign(features + t * 80, features + t * 80 + 80);
    for (int32_t l = 0; l < net->num_layers; ++l) {
        std::vector<vec16> y = ref_direction(net->forward_layers[l], x, false);
        const std::vector<vec16> b = ref_direction(net->backward_layers[l], x, true);
        for (size_t t = 0; t < y.size(); ++t) {
            for (size_t j = 0; j < y[t].size(); ++j) y[t][j] = clamp16(y[t][j] + b[t][j]);
        }
        x = y;
    }
    const dense_tensor *out = net->output_layer;
    std::vector<float> emb;
    for (const vec16 &frame : x) {
        vec16 e(size_t(out->rows));
        ref_dense(out, frame.data(), e.data(), false);
        int64_t sum = 0;
        for (int16_t v : e) sum += int64_t{v} * v;
        const float s = fast_rsqrt(static_cast<float>(sum) * (1.0f / 1048576.0f));
        for (int16_t v : e) emb.push_back((static_cast<float>(v) / 1024.0f) * s);
    }
    return emb;
}

std::vector<float> ref_embeddings(const network_params *net, const int16_t *features, int32_t n) {
    const int32_t nw = net->window_frames, nc = net->context_frames;
    const size_t dim = size_t(net->output_layer->rows);
    int32_t t = std::min(nw, n);
    std::vector<float> all = ref_window(net, features, t);
    all.resize(size_t(n) * dim);
    while (t < n) {
        const int32_t u = t - 2 * nc;
        const int32_t end = std::min(n, u + nw);
        const std::vector<float> w = ref_window(net, features + size_t(u) * 80, end - u);
        std::copy(w.begin() + std::ptrdiff_t(size_t(nc) * dim), w.end(),
                  all.begin() + std::ptrdiff_t(size_t(u + nc) * dim));
        t = end;
    }
    return all;
}

// ---- engines and inputs ------------------------------------------------------

struct engine_deleter {
    void operator()(zr_quorva_t *e) const { zr_quorva_delete(e); }
};
using engine_ptr = std::unique_ptr<zr_quorva_t, engine_deleter>;

engine_ptr make_engine(const model_desc &desc) {
    temp_file file(serialize_model(desc));
    zr_quorva_t *engine = nullptr;
    EXPECT_EQ(zr_quorva_init(file.path(), &engine), ZR_STATUS_SUCCESS);
    return engine_ptr(engine);
}

vec16 random_features(int32_t frames, uint32_t seed, int range = 6000) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-range, range);
    vec16 f(size_t(frames) * 80);
    for (auto &v : f) v = static_cast<int16_t>(dist(rng));
    return f;
}

const network_params *params(const engine_ptr &e) {
    return e->runtime->network;
}
int32_t embedding_dim(const engine_ptr &e) {
    return params(e)->output_layer->rows;
}

std::vector<float> run_network(const engine_ptr &e, const vec16 &features, int32_t n,
                               zr_status_t expected = ZR_STATUS_SUCCESS) {
    std::vector<float> out(size_t(n) * size_t(embedding_dim(e)), -7.0f);
    EXPECT_EQ(network_embeddings(e->runtime, features.data(), n, out.data()), expected);
    return out;
}

bool state_is_zero(const network_runtime *rt) {
    for (int32_t l = 0; l < rt->network->num_layers; ++l) {
        for (const recurrent_cell *cell : {rt->forward_cells[l], rt->backward_cells[l]}) {
            const int32_t hidden = layer_hidden_size(cell->layer);
            for (int32_t j = 0; j < hidden; ++j) {
                if (cell->h[j] != 0 || cell->c[j] != 0) return false;
            }
        }
    }
    return true;
}

// Bitwise comparison of float arrays (no NaN tolerance, no rounding slack).
::testing::AssertionResult same_bits(const std::vector<float> &a, const std::vector<float> &b) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << "sizes differ";
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
            return ::testing::AssertionFailure() << "value " << i << ": " << a[i] << " vs " << b[i];
        }
    }
    return ::testing::AssertionSuccess();
}

class ForcedIsa {
public:
    explicit ForcedIsa(cpu_isa isa) { cpu_force_isa(isa); }
    ~ForcedIsa() { cpu_force_isa(-1); }
};

std::vector<cpu_isa> supported_isas() {
    std::vector<cpu_isa> out;
    for (int i = 0; i < ISA_COUNT; ++i) {
        if (cpu_isa_supported(static_cast<cpu_isa>(i))) out.push_back(static_cast<cpu_isa>(i));
    }
    return out;
}

void expect_matches_reference(const model_desc &desc, const std::vector<int32_t> &lengths) {
    engine_ptr engine = make_engine(desc);
    ASSERT_NE(engine, nullptr);
    for (int32_t n : lengths) {
        const vec16 features = random_features(n, 100 + uint32_t(n));
        const std::vector<float> expected = ref_embeddings(params(engine), features.data(), n);
        for (cpu_isa isa : supported_isas()) {
            ForcedIsa forced(isa);
            EXPECT_TRUE(same_bits(run_network(engine, features, n), expected))
                << cpu_isa_name(isa) << " n " << n;
            EXPECT_TRUE(state_is_zero(engine->runtime));
        }
    }
}

// ---- the network against its transcription ---------------------------------

TEST(NetworkEmbeddings, MatchesPlainTranscriptionInEveryVariant) {
    // Hidden size 12 leaves tails in every vector width; the lengths cover a
    // single short window, exactly one window, and several windows with a
    // short last one.
    model_shape shape;
    shape.layers = 2;
    shape.hidden = 12;
    shape.embedding = 6;
    shape.window_frames = 20;
    shape.context_frames = 4;
    expect_matches_reference(random_model(shape, 7), {1, 2, 19, 20, 21, 33, 45, 77});
}

TEST(NetworkEmbeddings, MatchesPlainTranscriptionAtFullVectorWidths) {
    model_shape shape;
    shape.layers = 2;
    shape.hidden = 64;
    shape.embedding = 32;
    shape.window_frames = 24;
    shape.context_frames = 5;
    expect_matches_reference(random_model(shape, 8), {24, 61});
}

TEST(NetworkEmbeddings, MatchesPlainTranscriptionWithNarrowerLaterLayers) {
    model_shape shape;
    shape.layers = 1;
    shape.hidden = 16;
    shape.embedding = 5;
    shape.window_frames = 15;
    shape.context_frames = 3;
    model_desc desc = random_model(shape, 9);
    // Layers 1 and 2 shrink to 9 and 5 units; the output layer reads 5.
    uint32_t seed = 50;
    int32_t inputs = 16;
    for (int32_t hidden : {9, 5}) {
        desc.forward_layers.push_back(
            {random_tensor(inputs, 3 * hidden, ++seed), random_tensor(hidden, 3 * hidden, ++seed)});
        desc.backward_layers.push_back(
            {random_tensor(inputs, 3 * hidden, ++seed), random_tensor(hidden, 3 * hidden, ++seed)});
        inputs = hidden;
    }
    desc.output_layer = random_tensor(5, 5, ++seed);
    expect_matches_reference(desc, {7, 15, 40});
}

// ---- windowing ---------------------------------------------------------------

TEST(NetworkEmbeddings, SecondWindowSuppliesTheLastFramesOfTheExample) {
    // Nw = 100, Nc = 10, n = 101: the first window covers frames 0..99, the
    // second frames 80..100 and supplies 90..100 from its rows 10..20.
    model_shape shape;
    shape.layers = 1;
    shape.hidden = 8;
    shape.embedding = 4;
    shape.window_frames = 100;
    shape.context_frames = 10;
    engine_ptr engine = make_engine(random_model(shape, 11));
    ASSERT_NE(engine, nullptr);
    const size_t dim = 4;
    const vec16 features = random_features(101, 12);
    const std::vector<float> all = run_network(engine, features, 101);

    const std::vector<float> first = run_network(engine, features, 100);
    const vec16 tail(features.begin() + 80 * 80, features.end());
    const std::vector<float> second = run_network(engine, tail, 21);

    EXPECT_TRUE(same_bits({all.begin(), all.begin() + 90 * dim},
                          {first.begin(), first.begin() + 90 * dim}));
    EXPECT_TRUE(
        same_bits({all.begin() + 90 * dim, all.end()}, {second.begin() + 10 * dim, second.end()}));
    // Frames 80..89 come from the first window, not from the second one's
    // dropped context rows.
    EXPECT_FALSE(same_bits({all.begin() + 80 * dim, all.begin() + 90 * dim},
                           {second.begin(), second.begin() + 10 * dim}));
}

TEST(NetworkEmbeddings, InputNoLongerThanAWindowIsOnePass) {
    model_shape shape;
    shape.window_frames = 30;
    shape.context_frames = 6;
    engine_ptr engine = make_engine(random_model(shape, 13));
    ASSERT_NE(engine, nullptr);
    const vec16 features = random_features(30, 14);
    // A single pass allocates the buffers once and runs no scratch window:
    // its rows are those of one window pass over all frames.
    EXPECT_TRUE(same_bits(run_network(engine, features, 30),
                          ref_window(params(engine), features.data(), 30)));
    EXPECT_TRUE(same_bits(run_network(engine, features, 17),
                          ref_window(params(engine), features.data(), 17)));
}

TEST(NetworkEmbeddings, LongWindowNeedsNoMoreMemoryThanTheInput) {
    // A window far longer than any input: the buffers follow the input's
    // length, not the window's, and the one pass covers every frame.
    model_shape shape;
    shape.window_frames = INT32_MAX;
    shape.context_frames = 10;
    engine_ptr engine = make_engine(random_model(shape, 27));
    ASSERT_NE(engine, nullptr);
    const vec16 features = random_features(30, 28);
    alloc_fail_at(0);
    const std::vector<float> out = run_network(engine, features, 30);
    EXPECT_LT(alloc_largest(), size_t{1} << 20);
    EXPECT_TRUE(same_bits(out, ref_window(params(engine), features.data(), 30)));
}

// ---- output normalisation -----------------------------------------------------

TEST(NetworkEmbeddings, ZeroOutputLayerGivesZeroEmbeddings) {
    model_shape shape;
    model_desc desc = random_model(shape, 15);
    std::fill(desc.output_layer.weights.begin(), desc.output_layer.weights.end(), 0);
    std::fill(desc.output_layer.bias.begin(), desc.output_layer.bias.end(), 0);
    engine_ptr engine = make_engine(desc);
    ASSERT_NE(engine, nullptr);
    const std::vector<float> out = run_network(engine, random_features(45, 16), 45);
    for (float v : out) EXPECT_EQ(v, 0.0f);
}

TEST(NetworkEmbeddings, EmbeddingsHaveUnitLength) {
    model_shape shape;
    shape.hidden = 16;
    shape.embedding = 24;
    engine_ptr engine = make_engine(random_model(shape, 17));
    ASSERT_NE(engine, nullptr);
    const int32_t n = 120;
    const std::vector<float> out = run_network(engine, random_features(n, 18, 20000), n);
    int nonzero = 0;
    for (int32_t t = 0; t < n; ++t) {
        double sum = 0;
        for (int32_t k = 0; k < 24; ++k)
            sum += double(out[size_t(t) * 24 + size_t(k)]) * out[size_t(t) * 24 + size_t(k)];
        if (sum == 0) continue;
        ++nonzero;
        // 0.065 percent from the inverse square root, plus float rounding.
        EXPECT_NEAR(std::sqrt(sum), 1.0, 0.00066) << "frame " << t;
    }
    EXPECT_GT(nonzero, n / 2);
}

TEST(NetworkEmbeddings, SmallOutputVectorsStillHaveUnitLength) {
    // One output of 8/1024 and the rest zero: a short vector still scales to
    // unit length.
    model_shape shape;
    shape.embedding = 3;
    model_desc desc = random_model(shape, 19);
    std::fill(desc.output_layer.weights.begin(), desc.output_layer.weights.end(), 0);
    desc.output_layer.bias = {0, 0, 0};
    engine_ptr engine = make_engine(desc);
    ASSERT_NE(engine, nullptr);
    // With zero weights only the bias reaches e: bias 1 gives (1024 + 64) >> 7 = 8.
    dense_tensor *out = engine->model->network->output_layer;
    out->bias[1] = 1;
    const std::vector<float> emb = run_network(engine, random_features(5, 20), 5);
    for (int32_t t = 0; t < 5; ++t) {
        EXPECT_EQ(emb[size_t(t) * 3], 0.0f);
        EXPECT_NEAR(emb[size_t(t) * 3 + 1], 1.0f, 0.00066f);
        EXPECT_EQ(emb[size_t(t) * 3 + 2], 0.0f);
    }
}

// ---- state and failures -----------------------------------------------------

TEST(NetworkEmbeddings, EveryAllocationFailureReturnsOutOfMemoryWithZeroState) {
    model_shape shape;
    shape.layers = 2;
    engine_ptr engine = make_engine(random_model(shape, 21));
    ASSERT_NE(engine, nullptr);
    const int32_t n = 50;  // several windows
    const vec16 features = random_features(n, 22);

    alloc_fail_at(0);
    const std::vector<float> expected = run_network(engine, features, n);
    const int64_t allocations = alloc_count();
    ASSERT_GT(allocations, 0);

    for (int64_t k = 1; k <= allocations; ++k) {
        alloc_fail_at(k);
        run_network(engine, features, n, ZR_STATUS_OUT_OF_MEMORY);
        alloc_fail_at(0);
        EXPECT_TRUE(state_is_zero(engine->runtime)) << "allocation " << k;
    }
    // The engine still works and gives the same result.
    EXPECT_TRUE(same_bits(run_network(engine, features, n), expected));
}

TEST(NetworkEmbeddings, RepeatedCallsGiveIdenticalEmbeddings) {
    model_shape shape;
    engine_ptr engine = make_engine(random_model(shape, 23));
    ASSERT_NE(engine, nullptr);
    const vec16 features = random_features(70, 24);
    const std::vector<float> first = run_network(engine, features, 70);
    EXPECT_TRUE(state_is_zero(engine->runtime));
    EXPECT_TRUE(same_bits(run_network(engine, features, 70), first));
}

TEST(NetworkEmbeddingsThreads, TwoEnginesOnTwoThreadsAgree) {
    model_shape shape;
    shape.hidden = 16;
    const model_desc desc = random_model(shape, 25);
    engine_ptr a = make_engine(desc);
    engine_ptr b = make_engine(desc);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    const vec16 features = random_features(90, 26);
    std::vector<float> out_a(90 * size_t(embedding_dim(a))), out_b(out_a.size());
    zr_status_t status_a = ZR_STATUS_RUNTIME_ERROR, status_b = ZR_STATUS_RUNTIME_ERROR;
    std::thread ta(
        [&] { status_a = network_embeddings(a->runtime, features.data(), 90, out_a.data()); });
    std::thread tb(
        [&] { status_b = network_embeddings(b->runtime, features.data(), 90, out_b.data()); });
    ta.join();
    tb.join();
    EXPECT_EQ(status_a, ZR_STATUS_SUCCESS);
    EXPECT_EQ(status_b, ZR_STATUS_SUCCESS);
    EXPECT_TRUE(same_bits(out_a, out_b));
    EXPECT_TRUE(same_bits(out_a, ref_embeddings(params(a), features.data(), 90)));
}

}  // namespace
