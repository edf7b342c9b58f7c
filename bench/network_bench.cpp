// Speed of the embedding network on the benchmark model (2 layers, H = 128,
// embedding 64, windows of 200 frames with 20 of context, random weights):
//   - seconds per hour of audio for zr_quorva_process and for the network
//     alone, on one core (a few minutes of audio, scaled);
//   - multiply-accumulates per second of the dense kernel in every variant
//     this CPU runs, on the shapes of the benchmark model;
//   - in the same run, the CPU's peak for the instructions the kernels rely
//     on (vpmaddwd, vpdpwssd), from a tight loop of independent ones.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "common/cpu_features.h"
#include "diarization/embedding_network.h"
#include "diarization/network_kernels.h"
#include "model/engine.h"
#include "support/model_writer.h"
#include "zr_quorva.h"

namespace {

constexpr int32_t kFrameSamples = 512;
constexpr double kFrameSeconds = kFrameSamples / 16000.0;
constexpr int32_t kBenchFrames = 5625;  // three minutes
constexpr int32_t kHidden = 128;
constexpr int32_t kEmbedding = 64;

model_shape bench_shape() {
    model_shape shape;
    shape.layers = 2;
    shape.hidden = kHidden;
    shape.embedding = kEmbedding;
    shape.window_frames = 200;
    shape.context_frames = 20;
    return shape;
}

// One engine for the whole run, built from a temporary model file.
zr_quorva_t *bench_engine() {
    static zr_quorva_t *engine = [] {
        temp_file file(serialize_model(random_model(bench_shape(), 2024)));
        zr_quorva_t *e = nullptr;
        return zr_quorva_init(file.path(), &e) == ZR_STATUS_SUCCESS ? e : nullptr;
    }();
    return engine;
}

// Multiply-accumulates of one frame of one window pass.
int64_t macs_per_window_frame(const network_params *net) {
    int64_t macs = 0;
    for (int32_t l = 0; l < net->num_layers; ++l) {
        for (const recurrent_layer *layer : {net->forward_layers[l], net->backward_layers[l]}) {
            macs += int64_t{layer->input_weights->rows} * layer->input_weights->cols;
            macs += int64_t{layer->recurrent_weights->rows} * layer->recurrent_weights->cols;
        }
    }
    return macs + int64_t{net->output_layer->rows} * net->output_layer->cols;
}

// Frames the windowing runs through the network for n input frames.
int64_t windowed_frames(const network_params *net, int64_t n) {
    int64_t t = std::min<int64_t>(net->window_frames, n);
    int64_t total = t;
    while (t < n) {
        const int64_t start = t - 2 * int64_t{net->context_frames};
        const int64_t end = std::min<int64_t>(n, start + net->window_frames);
        total += end - start;
        t = end;
    }
    return total;
}

void set_per_hour_counters(benchmark::State &state, int32_t frames) {
    const double audio_hours = frames * kFrameSeconds / 3600.0;
    state.counters["s_per_audio_hour"] = benchmark::Counter(
        audio_hours, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_NetworkPerHourOfAudio(benchmark::State &state) {
    zr_quorva_t *engine = bench_engine();
    if (engine == nullptr) return state.SkipWithError("model did not load");
    std::mt19937 rng(1);
    std::uniform_int_distribution<int> dist(-3000, 3000);
    std::vector<int16_t> features(size_t(kBenchFrames) * kFrameFeatures);
    for (auto &v : features) v = static_cast<int16_t>(dist(rng));
    std::vector<float> embeddings(size_t(kBenchFrames) * kEmbedding);
    for (auto _ : state) {
        if (network_embeddings(engine->runtime, features.data(), kBenchFrames, embeddings.data()) !=
            ZR_STATUS_SUCCESS) {
            return state.SkipWithError("network failed");
        }
        benchmark::DoNotOptimize(embeddings.data());
    }
    set_per_hour_counters(state, kBenchFrames);
    const network_params *net = engine->runtime->network;
    state.counters["network_MACs"] = benchmark::Counter(
        double(macs_per_window_frame(net)) * double(windowed_frames(net, kBenchFrames)),
        benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(cpu_isa_name(cpu_active_isa()));
}
BENCHMARK(BM_NetworkPerHourOfAudio)->Unit(benchmark::kMillisecond);

// Three minutes of a synthetic two-voice signal: alternating harmonic tones
// with a little noise.
std::vector<int16_t> synthetic_pcm(int32_t frames) {
    std::vector<int16_t> pcm(size_t(frames) * kFrameSamples);
    std::mt19937 rng(3);
    std::uniform_int_distribution<int> noise(-300, 300);
    for (size_t i = 0; i < pcm.size(); ++i) {
        const double t = double(i) / 16000.0;
        const double pitch = (int(t / 2.5) % 2 == 0) ? 130.0 : 210.0;
        double v = 0;
        for (int h = 1; h <= 5; ++h) v += std::sin(2 * M_PI * pitch * h * t) / h;
        pcm[i] = static_cast<int16_t>(v * 4000 + noise(rng));
    }
    return pcm;
}

void BM_ProcessPerHourOfAudio(benchmark::State &state) {
    zr_quorva_t *engine = bench_engine();
    if (engine == nullptr) return state.SkipWithError("model did not load");
    const std::vector<int16_t> pcm = synthetic_pcm(kBenchFrames);
    zr_status_t status = ZR_STATUS_SUCCESS;
    for (auto _ : state) {
        int32_t count = 0;
        zr_quorva_segment_t *segments = nullptr;
        status = zr_quorva_process(engine, pcm.data(), static_cast<int32_t>(pcm.size()), &count,
                                   &segments);
        zr_quorva_segments_delete(segments);
    }
    set_per_hour_counters(state, kBenchFrames);
    state.SetLabel(zr_status_to_string(status));
}
BENCHMARK(BM_ProcessPerHourOfAudio)->Unit(benchmark::kMillisecond);

// The dense kernel alone on the model's two shapes: W of the first layer
// (384 x 80) and U (384 x 128).
void BM_DenseKernel(benchmark::State &state) {
    const auto isa = static_cast<cpu_isa>(state.range(0));
    const auto cols = static_cast<int32_t>(state.range(1));
    const int32_t rows = 3 * kHidden;
    if (!cpu_isa_supported(isa)) return state.SkipWithError("not supported here");
    const network_kernels *k = network_kernels_for(isa);
    std::mt19937 rng(4);
    std::uniform_int_distribution<int> dist(-128, 127);
    std::vector<int8_t> weights(static_cast<size_t>(rows) * static_cast<size_t>(cols));
    std::vector<int8_t> bias(static_cast<size_t>(rows));
    for (auto &w : weights) w = static_cast<int8_t>(dist(rng));
    for (auto &b : bias) b = static_cast<int8_t>(dist(rng));
    std::vector<int16_t> x(static_cast<size_t>(cols));
    std::vector<int16_t> y(static_cast<size_t>(rows));
    for (auto &v : x) v = static_cast<int16_t>(dist(rng) * 8);
    std::vector<int8_t> packed(k->packed_size(rows, cols));
    k->pack(weights.data(), rows, cols, packed.data());
    for (auto _ : state) {
        k->dense(packed.data(), bias.data(), rows, cols, x.data(), y.data(), 1);
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    state.counters["MACs"] =
        benchmark::Counter(double(rows) * cols, benchmark::Counter::kIsIterationInvariantRate);
    state.SetLabel(cpu_isa_name(isa));
}
BENCHMARK(BM_DenseKernel)
    ->ArgsProduct({{ISA_SCALAR, ISA_SSE41, ISA_AVX2, ISA_AVX512, ISA_AVX512VNNI, ISA_NEON},
                   {80, 128}});

#if defined(__x86_64__)
constexpr int64_t kPeakLoops = 1 << 16;
constexpr int kPeakChains = 12;  // independent accumulators per loop

// kPeakChains independent 512-bit vpmaddwd (32 products, pairwise summed)
// per loop; nothing depends on a previous result.
__attribute__((target("avx512f,avx512bw"), noinline)) void peak_vpmaddwd(int64_t loops) {
    asm volatile(
        "vpternlogd $0xff, %%zmm12, %%zmm12, %%zmm12\n\t"
        "vpternlogd $0xff, %%zmm13, %%zmm13, %%zmm13\n\t"
        "1:\n\t"
        "vpmaddwd %%zmm12, %%zmm13, %%zmm0\n\t"
        "vpmaddwd %%zmm12, %%zmm13, %%zmm1\n\t"
        "vpmaddwd %%zmm12, %%zmm13, %%zmm2\n\t"
        "vpmaddwd %%zmm12, %%zmm13, %%zmm3\n\t"
        "vpmaddwd %%zmm12, %%zmm13, %%zmm4\n\t"
        "vpmaddwd %%zmm12, %%zmm13, %%zmm5\n\t"
        "vpmaddwd %%zmm12, %%zmm13, %%zmm6\n\t"
        "vpmaddwd %%zmm12, %%zmm13, %%zmm7\n\t"
        "vpmaddwd %%zmm12, %%zmm13, %%zmm8\n\t"
        "vpmaddwd %%zmm12, %%zmm13, %%zmm9\n\t"
        "vpmaddwd %%zmm12, %%zmm13, %%zmm10\n\t"
        "vpmaddwd %%zmm12, %%zmm13, %%zmm11\n\t"
        "dec %0\n\t"
        "jnz 1b\n\t"
        : "+r"(loops)
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm12", "xmm13", "cc");
}

// The same with vpdpwssd (multiply, pairwise sum and accumulate in one):
// twelve independent accumulator chains.
__attribute__((target("avx512f,avx512bw,avx512vnni"), noinline)) void peak_vpdpwssd(int64_t loops) {
    asm volatile(
        "vpternlogd $0xff, %%zmm12, %%zmm12, %%zmm12\n\t"
        "vpternlogd $0xff, %%zmm13, %%zmm13, %%zmm13\n\t"
        "1:\n\t"
        "vpdpwssd %%zmm12, %%zmm13, %%zmm0\n\t"
        "vpdpwssd %%zmm12, %%zmm13, %%zmm1\n\t"
        "vpdpwssd %%zmm12, %%zmm13, %%zmm2\n\t"
        "vpdpwssd %%zmm12, %%zmm13, %%zmm3\n\t"
        "vpdpwssd %%zmm12, %%zmm13, %%zmm4\n\t"
        "vpdpwssd %%zmm12, %%zmm13, %%zmm5\n\t"
        "vpdpwssd %%zmm12, %%zmm13, %%zmm6\n\t"
        "vpdpwssd %%zmm12, %%zmm13, %%zmm7\n\t"
        "vpdpwssd %%zmm12, %%zmm13, %%zmm8\n\t"
        "vpdpwssd %%zmm12, %%zmm13, %%zmm9\n\t"
        "vpdpwssd %%zmm12, %%zmm13, %%zmm10\n\t"
        "vpdpwssd %%zmm12, %%zmm13, %%zmm11\n\t"
        "dec %0\n\t"
        "jnz 1b\n\t"
        : "+r"(loops)
        :
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm12", "xmm13", "cc");
}

// What the kernel's inner step can reach at best: each vpdpwssd fed by a
// sign-extending load of 32 int8 weights (vpmovsxbw); twelve of them per
// loop into eight accumulators, all loads from L1.
alignas(64) int8_t g_peak_weights[8 * 32];

__attribute__((target("avx512f,avx512bw,avx512vnni"), noinline)) void peak_widen_vpdpwssd(
    int64_t loops) {
    const int8_t *w = g_peak_weights;
    asm volatile(
        "vpternlogd $0xff, %%zmm13, %%zmm13, %%zmm13\n\t"
        "1:\n\t"
        "vpmovsxbw 0(%1), %%zmm8\n\t"
        "vpdpwssd %%zmm8, %%zmm13, %%zmm0\n\t"
        "vpmovsxbw 32(%1), %%zmm9\n\t"
        "vpdpwssd %%zmm9, %%zmm13, %%zmm1\n\t"
        "vpmovsxbw 64(%1), %%zmm10\n\t"
        "vpdpwssd %%zmm10, %%zmm13, %%zmm2\n\t"
        "vpmovsxbw 96(%1), %%zmm11\n\t"
        "vpdpwssd %%zmm11, %%zmm13, %%zmm3\n\t"
        "vpmovsxbw 128(%1), %%zmm8\n\t"
        "vpdpwssd %%zmm8, %%zmm13, %%zmm4\n\t"
        "vpmovsxbw 160(%1), %%zmm9\n\t"
        "vpdpwssd %%zmm9, %%zmm13, %%zmm5\n\t"
        "vpmovsxbw 192(%1), %%zmm10\n\t"
        "vpdpwssd %%zmm10, %%zmm13, %%zmm6\n\t"
        "vpmovsxbw 224(%1), %%zmm11\n\t"
        "vpdpwssd %%zmm11, %%zmm13, %%zmm7\n\t"
        "vpmovsxbw 0(%1), %%zmm8\n\t"
        "vpdpwssd %%zmm8, %%zmm13, %%zmm0\n\t"
        "vpmovsxbw 32(%1), %%zmm9\n\t"
        "vpdpwssd %%zmm9, %%zmm13, %%zmm1\n\t"
        "vpmovsxbw 64(%1), %%zmm10\n\t"
        "vpdpwssd %%zmm10, %%zmm13, %%zmm2\n\t"
        "vpmovsxbw 96(%1), %%zmm11\n\t"
        "vpdpwssd %%zmm11, %%zmm13, %%zmm3\n\t"
        "dec %0\n\t"
        "jnz 1b\n\t"
        : "+r"(loops)
        : "r"(w)
        : "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10",
          "xmm11", "xmm13", "cc", "memory");
}

void BM_PeakInstruction(benchmark::State &state, void (*loop)(int64_t), cpu_isa needs) {
    if (!cpu_isa_supported(needs)) return state.SkipWithError("not supported here");
    for (auto _ : state) loop(kPeakLoops);
    state.counters["MACs"] = benchmark::Counter(double(kPeakLoops) * kPeakChains * 32,
                                                benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK_CAPTURE(BM_PeakInstruction, vpmaddwd_zmm, peak_vpmaddwd, ISA_AVX512);
BENCHMARK_CAPTURE(BM_PeakInstruction, vpdpwssd_zmm, peak_vpdpwssd, ISA_AVX512VNNI);
BENCHMARK_CAPTURE(BM_PeakInstruction, vpmovsxbw_then_vpdpwssd_zmm, peak_widen_vpdpwssd,
                  ISA_AVX512VNNI);
#endif

}  // namespace

BENCHMARK_MAIN();
