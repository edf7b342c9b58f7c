// Writes model files for tests and benchmarks: valid ones with random or given
// weights, and broken ones (any field can be overridden), so that no test
// depends on a checked-in binary.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct tensor_desc {
    int32_t cols = 0;
    int32_t rows = 0;
    std::vector<int8_t> bias;     // written as given, whatever rows says
    std::vector<int8_t> weights;  // row-major, written as given
};

struct layer_desc {
    tensor_desc input_weights;
    tensor_desc recurrent_weights;
};

struct model_desc {
    std::string magic = "quorva";
    std::string version = "1.0.0";
    std::vector<int16_t> feature_mean;
    std::vector<int16_t> feature_scale;
    std::vector<layer_desc> forward_layers;
    std::vector<layer_desc> backward_layers;
    tensor_desc output_layer;
    int32_t window_frames = 0;
    int32_t context_frames = 0;
    float merge_threshold = 0.0f;
    float reassign_threshold = 0.0f;
    float assign_threshold = 0.0f;
    float background_threshold = 0.0f;
    std::vector<float> background_embedding;

    // Counts written instead of the vectors' sizes, for broken files.
    std::optional<int32_t> normalizer_count;
    std::optional<int32_t> num_layers;
    std::optional<int32_t> background_count;
};

struct model_shape {
    int32_t layers = 1;
    int32_t hidden = 8;
    int32_t embedding = 4;
    int32_t window_frames = 20;
    int32_t context_frames = 4;
};

// A tensor of the given shape with uniformly random int8 weights and biases.
tensor_desc random_tensor(int32_t cols, int32_t rows, uint32_t seed);

// A well-formed model of the given shape with random weights, mean 0 and unit
// (1024) scale, a unit background embedding and moderate thresholds.
model_desc random_model(const model_shape &shape, uint32_t seed);

// The file bytes of a model description.
std::vector<uint8_t> serialize_model(const model_desc &desc);

// A file in a private temporary directory, removed when the object dies.
class temp_file {
public:
    explicit temp_file(const std::vector<uint8_t> &bytes, const std::string &suffix = ".zr");
    ~temp_file();
    temp_file(const temp_file &) = delete;
    temp_file &operator=(const temp_file &) = delete;
    const char *path() const { return path_.c_str(); }

private:
    std::string path_;
};

// Path of a fresh, empty temporary directory for this process.
std::string temp_directory();
