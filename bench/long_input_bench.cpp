// Ten hours of audio in one zr_quorva_process call: time, and peak memory
// against the linear prediction (PCM buffer plus per frame 160 bytes of
// features, 4·D bytes of embeddings and 4 bytes of labels, and the
// clustering's pair table).
//
//   quorva_long_bench [model.zr] [--data DIR] [--hours H]
//
// The buffer is real speech from the shared data, every recording once,
// then the whole set again at other gains until the buffer is full; without
// the data it is a synthetic speech-like signal. Exits 1 when the peak
// exceeds the prediction by more than 10%, 2 when the run cannot be made.
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/alloc.h"
#include "diarization/pair_queue.h"
#include "model/engine.h"
#include "zr_quorva.h"
#if QUORVA_WITH_FILE_READERS
#include "audio/audio_file_decoder.h"
#endif

namespace {

constexpr int64_t kRate = 16000;
constexpr int64_t kFrameSamples = 512;
// Per frame: 2 rows of 40 int16 features, and one int32 label.
constexpr int64_t kFeatureBytesPerFrame = 160;
constexpr int64_t kLabelBytesPerFrame = 4;
constexpr double kAllowedExcess = 0.10;

// A field of /proc/self/status in bytes ("VmRSS", "VmHWM"), or -1.
int64_t proc_status_bytes(const char *field) {
    FILE *f = std::fopen("/proc/self/status", "r");
    if (f == nullptr) return -1;
    char line[256];
    int64_t kib = -1;
    const size_t len = std::strlen(field);
    while (std::fgets(line, sizeof line, f) != nullptr) {
        if (std::strncmp(line, field, len) == 0 && line[len] == ':') {
            kib = std::strtoll(line + len + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(f);
    return kib < 0 ? -1 : kib * 1024;
}

int64_t maxrss_bytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<int64_t>(usage.ru_maxrss) * 1024;
}

// Lowers the peak-RSS mark to the current RSS, so that what building the
// buffer needed does not count towards the call's peak.
bool reset_peak_rss() {
    FILE *f = std::fopen("/proc/self/clear_refs", "w");
    if (f == nullptr) return false;
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

double cpu_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The pair queue's storage is the one allocation of a call that grows with
// the square of the cluster count: when the largest request of the call is
// above every per-frame buffer, it is that table, with m(m - 1)·2^g entries
// (g doublings) beside the unused slot 0.
struct pair_table {
    int64_t bytes = 0;
    int64_t clusters = 0;  // m, when the capacity has that form
    int doublings = 0;
};

pair_table identify_pair_table(int64_t largest, int64_t biggest_frame_buffer) {
    const auto entry = static_cast<int64_t>(sizeof(pair_entry));
    if (largest <= biggest_frame_buffer || largest % entry != 0) return {};
    pair_table table{largest, 0, 0};
    int64_t capacity = largest / entry - 1;
    for (int g = 0; capacity > 0; ++g) {
        const auto m = static_cast<int64_t>(
            std::llround((1.0 + std::sqrt(1.0 + 4.0 * static_cast<double>(capacity))) / 2.0));
        if (m * (m - 1) == capacity) {
            table.clusters = m;
            table.doublings = g;
            break;
        }
        if (capacity % 2 != 0) break;
        capacity /= 2;
    }
    return table;
}

double mib(int64_t bytes) { return static_cast<double>(bytes) / (1024.0 * 1024.0); }

int16_t saturate(float v) {
    return static_cast<int16_t>(std::lround(std::clamp(v, -32768.0f, 32767.0f)));
}

// Low hiss between recordings, as the pauses of a conversation.
int64_t write_pause(int16_t *out, int64_t room, std::mt19937 &rng) {
    std::uniform_int_distribution<int64_t> length(kRate / 5, kRate);
    std::normal_distribution<float> hiss(0.0f, 30.0f);
    const int64_t n = std::min(room, length(rng));
    for (int64_t i = 0; i < n; ++i) out[i] = saturate(hiss(rng));
    return n;
}

#if QUORVA_WITH_FILE_READERS
// Every FLAC recording under `dir`, in a fixed order.
std::vector<std::string> recordings_under(const std::string &dir) {
    std::vector<std::string> paths;
    std::error_code ec;
    if (!std::filesystem::is_directory(dir, ec)) return paths;
    for (auto it = std::filesystem::recursive_directory_iterator(dir, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_regular_file(ec) && it->path().extension() == ".flac")
            paths.push_back(it->path().string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

// Decodes the recordings one after the other into out[0..total), with a
// pause after each; returns how many samples were written.
int64_t write_recordings(const std::vector<std::string> &paths, int16_t *out, int64_t total,
                         std::mt19937 &rng) {
    int64_t at = 0;
    for (const std::string &path : paths) {
        if (at >= total) break;
        int16_t *samples = nullptr;
        int32_t count = 0;
        if (decode_audio_file(path.c_str(), &samples, &count) != ZR_STATUS_SUCCESS) {
            std::fprintf(stderr, "skipping %s: cannot be decoded\n", path.c_str());
            continue;
        }
        const int64_t n = std::min<int64_t>(count, total - at);
        std::memcpy(out + at, samples, static_cast<size_t>(n) * sizeof(int16_t));
        mem_free(samples);
        at += n;
        at += write_pause(out + at, total - at, rng);
    }
    return at;
}
#endif

// Harmonic bursts whose pitch and timbre change every few seconds among a
// handful of voices, with pauses: a stand-in when no recordings exist.
int64_t write_synthetic(int16_t *out, int64_t total, std::mt19937 &rng) {
    const float pitches[] = {110.0f, 135.0f, 170.0f, 210.0f, 250.0f};
    std::uniform_int_distribution<int> voice(0, 4);
    std::uniform_int_distribution<int64_t> turn(2 * kRate, 8 * kRate);
    std::normal_distribution<float> hiss(0.0f, 150.0f);
    int64_t at = 0;
    while (at < total) {
        const int v = voice(rng);
        const int64_t n = std::min(total - at, turn(rng));
        for (int64_t i = 0; i < n; ++i) {
            const float t = static_cast<float>(i) / static_cast<float>(kRate);
            const float syllable = 0.5f + 0.5f * std::sin(6.2831853f * 4.0f * t);
            float s = hiss(rng);
            for (int h = 1; h <= 6; ++h) {
                const float amp = 2500.0f / static_cast<float>(h + v % 3);
                s += syllable * amp * std::sin(6.2831853f * pitches[v] * static_cast<float>(h) * t);
            }
            out[at + i] = saturate(s);
        }
        at += n;
        at += write_pause(out + at, total - at, rng);
    }
    return at;
}

// Fills out[filled..total) with copies of out[0..filled) at changing gains,
// so that every sample is written (and every page touched).
void repeat_with_gains(int16_t *out, int64_t filled, int64_t total) {
    const float gains[] = {0.6f, 1.4f, 0.8f, 1.2f, 0.5f, 1.7f, 0.9f, 1.1f};
    int64_t at = filled;
    for (int pass = 0; at < total; ++pass) {
        const float gain = gains[pass % 8];
        const int64_t n = std::min(filled, total - at);
        for (int64_t i = 0; i < n; ++i) out[at + i] = saturate(static_cast<float>(out[i]) * gain);
        at += n;
    }
}

struct options {
    std::string model = QUORVA_SOURCE_DIR "/models/default.zr";
    std::string data = QUORVA_DATA_DIR;
    double hours = 10.0;
};

bool parse(int argc, char **argv, options *o) {
    bool model_given = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--data" && i + 1 < argc) {
            o->data = argv[++i];
        } else if (arg == "--hours" && i + 1 < argc) {
            o->hours = std::atof(argv[++i]);
        } else if (!model_given && !arg.empty() && arg[0] != '-') {
            o->model = arg;
            model_given = true;
        } else {
            return false;
        }
    }
    return o->hours > 0.0 && o->hours * 3600.0 * kRate <= INT32_MAX;
}

}  // namespace

int main(int argc, char **argv) {
    options opt;
    if (!parse(argc, argv, &opt)) {
        std::fprintf(stderr, "usage: %s [model.zr] [--data DIR] [--hours H (at most 37.2)]\n",
                     argv[0]);
        return 2;
    }

    zr_quorva_t *engine = nullptr;
    if (zr_quorva_init(opt.model.c_str(), &engine) != ZR_STATUS_SUCCESS) {
        std::fprintf(stderr, "cannot load the model %s\n", opt.model.c_str());
        return 2;
    }
    const int64_t dim = engine->model->network->output_layer->rows;

    const auto samples = static_cast<int64_t>(std::llround(opt.hours * 3600.0 * kRate));
    const int64_t frames = samples / kFrameSamples;
    const int64_t baseline = proc_status_bytes("VmRSS");

    auto *pcm = static_cast<int16_t *>(std::malloc(static_cast<size_t>(samples) * sizeof(int16_t)));
    if (pcm == nullptr) {
        std::fprintf(stderr, "cannot allocate %lld samples\n", static_cast<long long>(samples));
        return 2;
    }
    std::mt19937 rng(20261209);
    int64_t filled = 0;
    const char *source = "synthetic speech-like signal";
#if QUORVA_WITH_FILE_READERS
    const std::vector<std::string> paths = recordings_under(opt.data);
    if (!paths.empty()) {
        filled = write_recordings(paths, pcm, samples, rng);
        source = "recorded speech";
    }
#endif
    if (filled == 0) {
        std::printf("no recordings under %s: using a synthetic speech-like signal\n",
                    opt.data.c_str());
        filled = write_synthetic(pcm, samples, rng);
    }
    repeat_with_gains(pcm, filled, samples);
    std::printf("input: %.2f h of %s (%.2f h distinct, repeated at other gains)\n", opt.hours,
                source, static_cast<double>(filled) / (3600.0 * kRate));

    malloc_trim(0);  // returns what the decoders freed, which is not the call's
    const bool peak_reset = reset_peak_rss();
    const int64_t before_call = proc_status_bytes("VmRSS");
    alloc_fail_at(0);  // starts counting this thread's allocations
    int32_t num_segments = 0;
    zr_quorva_segment_t *segments = nullptr;
    const double cpu0 = cpu_seconds();
    const auto wall0 = std::chrono::steady_clock::now();
    const zr_status_t status = zr_quorva_process(engine, pcm, static_cast<int32_t>(samples),
                                                 &num_segments, &segments);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpu = cpu_seconds() - cpu0;
    const int64_t hwm = proc_status_bytes("VmHWM");
    const int64_t maxrss = maxrss_bytes();
    const int64_t allocations = alloc_count();
    const size_t largest = alloc_largest();

    if (status != ZR_STATUS_SUCCESS) {
        std::fprintf(stderr, "zr_quorva_process failed: %s\n", zr_status_to_string(status));
        return 2;
    }
    std::set<int32_t> speakers;
    for (int32_t i = 0; i < num_segments; ++i) speakers.insert(segments[i].speaker_label);
    zr_quorva_segments_delete(segments);
    std::free(pcm);
    zr_quorva_delete(engine);

    const int64_t pcm_bytes = samples * 2;
    const int64_t feature_bytes = frames * kFeatureBytesPerFrame;
    const int64_t embedding_bytes = frames * 4 * dim;
    const int64_t label_bytes = frames * kLabelBytesPerFrame;
    const pair_table pairs = identify_pair_table(static_cast<int64_t>(largest),
                                                 std::max(feature_bytes, embedding_bytes));
    const int64_t prediction =
        pcm_bytes + feature_bytes + embedding_bytes + label_bytes + pairs.bytes;
    // The peak mark covers the whole call only when it could be lowered just
    // before it; otherwise ru_maxrss also holds the building of the buffer.
    const int64_t peak = (peak_reset && hwm > 0 ? hwm : maxrss) - baseline;

    std::printf("samples: %lld\nframes n: %lld\nembedding size D: %lld\n",
                static_cast<long long>(samples), static_cast<long long>(frames),
                static_cast<long long>(dim));
    std::printf("wall time: %.1f s\nCPU time: %.1f s\nreal-time factor: %.5f\n", wall, cpu,
                wall / (opt.hours * 3600.0));
    std::printf("segments: %d\nspeakers: %zu\n", num_segments, speakers.size());
    std::printf("allocations in the call: %lld, largest %.1f MiB\n",
                static_cast<long long>(allocations), mib(static_cast<int64_t>(largest)));
    std::printf("baseline RSS before the buffer: %.1f MiB; RSS before the call: %.1f MiB\n",
                mib(baseline), mib(before_call));
    std::printf("peak RSS of the call (VmHWM%s): %.1f MiB; ru_maxrss: %.1f MiB\n",
                peak_reset ? ", reset before the call" : ", not resettable", mib(hwm),
                mib(maxrss));
    if (pairs.bytes == 0) {
        std::printf("pair table: below the feature matrix, not counted\n");
    } else {
        std::printf("pair table: %.1f MiB, %lld entries of %zu bytes; clusters entering merging "
                    "m = %lld, capacity doubled %d times\n",
                    mib(pairs.bytes), static_cast<long long>(pairs.bytes / sizeof(pair_entry)),
                    sizeof(pair_entry), static_cast<long long>(pairs.clusters), pairs.doublings);
    }
    std::printf("prediction: PCM %.1f + features %.1f + embeddings %.1f + labels %.1f + "
                "pair table %.1f = %.1f MiB\n",
                mib(pcm_bytes), mib(feature_bytes), mib(embedding_bytes), mib(label_bytes),
                mib(pairs.bytes), mib(prediction));
    const double ratio = static_cast<double>(peak) / static_cast<double>(prediction);
    std::printf("peak over baseline: %.1f MiB, %.3f of the prediction\n", mib(peak), ratio);
    if (ratio > 1.0 + kAllowedExcess) {
        std::printf("FAIL: the peak exceeds the prediction by more than %.0f%%\n",
                    kAllowedExcess * 100.0);
        return 1;
    }
    std::printf("OK: within %.0f%% of the prediction\n", kAllowedExcess * 100.0);
    return 0;
}
