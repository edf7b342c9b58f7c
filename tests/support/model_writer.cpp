#include "support/model_writer.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace {

void put_i32(std::vector<uint8_t> &out, int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(u >> (8 * i)));
}

void put_f32(std::vector<uint8_t> &out, float v) {
    int32_t bits;
    std::memcpy(&bits, &v, 4);
    put_i32(out, bits);
}

void put_i16s(std::vector<uint8_t> &out, const std::vector<int16_t> &values) {
    for (int16_t v : values) {
        const auto u = static_cast<uint16_t>(v);
        out.push_back(static_cast<uint8_t>(u));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
}

void put_tensor(std::vector<uint8_t> &out, const tensor_desc &t) {
    put_i32(out, t.cols);
    put_i32(out, t.rows);
    for (int8_t b : t.bias) out.push_back(static_cast<uint8_t>(b));
    for (int8_t w : t.weights) out.push_back(static_cast<uint8_t>(w));
}

}  // namespace

tensor_desc random_tensor(int32_t cols, int32_t rows, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-128, 127);
    tensor_desc t;
    t.cols = cols;
    t.rows = rows;
    t.bias.resize(static_cast<size_t>(rows));
    t.weights.resize(static_cast<size_t>(rows) * static_cast<size_t>(cols));
    for (auto &b : t.bias) b = static_cast<int8_t>(dist(rng));
    for (auto &w : t.weights) w = static_cast<int8_t>(dist(rng));
    return t;
}

model_desc random_model(const model_shape &shape, uint32_t seed) {
    model_desc d;
    d.feature_mean.assign(40, 0);
    d.feature_scale.assign(40, 1024);
    uint32_t s = seed;
    int32_t inputs = 80;
    for (int32_t i = 0; i < shape.layers; ++i) {
        d.forward_layers.push_back({random_tensor(inputs, 3 * shape.hidden, ++s),
                                    random_tensor(shape.hidden, 3 * shape.hidden, ++s)});
        inputs = shape.hidden;
    }
    inputs = 80;
    for (int32_t i = 0; i < shape.layers; ++i) {
        d.backward_layers.push_back({random_tensor(inputs, 3 * shape.hidden, ++s),
                                     random_tensor(shape.hidden, 3 * shape.hidden, ++s)});
        inputs = shape.hidden;
    }
    d.output_layer = random_tensor(shape.hidden, shape.embedding, ++s);
    d.window_frames = shape.window_frames;
    d.context_frames = shape.context_frames;
    d.merge_threshold = 0.3f;
    d.reassign_threshold = 0.4f;
    d.assign_threshold = 0.2f;
    d.background_threshold = 0.1f;
    d.background_embedding.assign(static_cast<size_t>(shape.embedding), 0.0f);
    d.background_embedding[0] = 1.0f;
    return d;
}

std::vector<uint8_t> serialize_model(const model_desc &d) {
    std::vector<uint8_t> out(d.magic.begin(), d.magic.end());
    out.insert(out.end(), d.version.begin(), d.version.end());
    put_i32(out, d.normalizer_count.value_or(static_cast<int32_t>(d.feature_mean.size())));
    put_i16s(out, d.feature_mean);
    put_i16s(out, d.feature_scale);
    put_i32(out, d.num_layers.value_or(static_cast<int32_t>(d.forward_layers.size())));
    for (const layer_desc &l : d.forward_layers) {
        put_tensor(out, l.input_weights);
        put_tensor(out, l.recurrent_weights);
    }
    for (const layer_desc &l : d.backward_layers) {
        put_tensor(out, l.input_weights);
        put_tensor(out, l.recurrent_weights);
    }
    put_tensor(out, d.output_layer);
    put_i32(out, d.window_frames);
    put_i32(out, d.context_frames);
    put_f32(out, d.merge_threshold);
    put_f32(out, d.reassign_threshold);
    put_f32(out, d.assign_threshold);
    put_f32(out, d.background_threshold);
    put_i32(out, d.background_count.value_or(static_cast<int32_t>(d.background_embedding.size())));
    for (float v : d.background_embedding) put_f32(out, v);
    return out;
}

std::string temp_directory() {
    static const std::string dir = [] {
        const char *base = std::getenv("TMPDIR");
        std::string tmpl = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                           "/quorva-test-XXXXXX";
        if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        return tmpl;
    }();
    // Removed with whatever the tests left in it when this process exits (not
    // a child of it that exits: the directory is the parent's).
    static const pid_t owner = getpid();
    static const int registered = std::atexit([] {
        if (getpid() != owner) return;
        std::error_code ignored;
        std::filesystem::remove_all(dir, ignored);
    });
    (void)registered;
    return dir;
}

temp_file::temp_file(const std::vector<uint8_t> &bytes, const std::string &suffix) {
    static std::atomic<int> counter{0};
    path_ = temp_directory() + "/file" + std::to_string(counter++) + suffix;
    FILE *f = std::fopen(path_.c_str(), "wb");
    if (f == nullptr) throw std::runtime_error("cannot create " + path_);
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) {
        std::fclose(f);
        throw std::runtime_error("cannot write " + path_);
    }
    std::fclose(f);
}

temp_file::~temp_file() { std::remove(path_.c_str()); }
