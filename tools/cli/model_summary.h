// What `quorva info` says about a model: its shapes, size, windowing,
// thresholds and the arithmetic it costs per second of audio.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "model/model.h"

struct direction_shape {
    int32_t inputs;
    int32_t hidden;
};

struct layer_shape {
    direction_shape forward;
    direction_shape backward;
};

struct model_summary {
    int32_t bands = 0;
    std::vector<layer_shape> layers;
    int32_t embedding_dim = 0;  // rows of the output layer
    int32_t output_inputs = 0;  // cols of the output layer
    int32_t window_frames = 0;
    int32_t context_frames = 0;
    float merge_threshold = 0, reassign_threshold = 0, assign_threshold = 0,
          background_threshold = 0;
    int32_t background_count = 0;

    int64_t weights = 0;  // int8 weights of every dense tensor
    int64_t biases = 0;   // int8 biases of every dense tensor
    int64_t other_parameters = 0;  // normaliser means and gains, background centroid
    int64_t parameters() const { return weights + biases + other_parameters; }

    // Multiply-accumulates of the dense products for one frame through one
    // window pass: every cell step of both directions, and the output layer.
    int64_t macs_per_frame = 0;
    // Frames computed per frame of audio on a long input: every window after
    // the first advances window - 2 x context frames but computes a whole window.
    double window_overlap = 0;
    double macs_per_second = 0;
};

inline constexpr double kFramesPerSecond = 16000.0 / 512.0;

// The model must have passed the loader.
model_summary summarize_model(const model_data &model);

std::string format_model_summary(const std::string &path, const model_summary &summary);
