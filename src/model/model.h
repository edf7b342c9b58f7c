// The in-memory model: every trained parameter of an engine, read from a
// ".zr" file by model_load and released by model_release.
#pragma once

#include <cstdint>

#include "zr_quorva.h"

// A dense int8 layer: y = W x + b, W row-major (rows x cols).
struct dense_tensor {
    int32_t cols;
    int32_t rows;
    int8_t *weights;  // rows * cols
    int8_t *bias;     // rows
};

// Per-band offset and Q10 gain applied to the log band energies.
struct normalizer_params {
    int32_t count;
    int16_t *feature_mean;
    int16_t *feature_scale;
};

// One direction of one recurrent layer.
struct recurrent_layer {
    dense_tensor *input_weights;      // 3H x In
    dense_tensor *recurrent_weights;  // 3H x H
};

struct network_params {
    dense_tensor *output_layer;
    normalizer_params *feature_normalizer;
    recurrent_layer **backward_layers;  // num_layers slots
    recurrent_layer **forward_layers;   // num_layers slots
    int32_t num_layers;
    int32_t window_frames;
    int32_t context_frames;
};

struct clustering_params {
    float *background_embedding;  // count values
    int32_t count;
    float merge_threshold;
    float reassign_threshold;
    float assign_threshold;
    float background_threshold;
};

struct model_data {
    network_params *network;
    clustering_params *clustering;
};

inline constexpr int32_t kFeatureBands = 40;
inline constexpr int32_t kFrameFeatures = 2 * kFeatureBands;  // two rows per frame

// Reads and validates the model file at `path` (not NULL). On success
// *model_out owns a complete model; on failure nothing stays allocated and the
// status says why (IO_ERROR, INVALID_ARGUMENT or OUT_OF_MEMORY).
// *file_opened tells the caller whether the failure came after the file was
// opened (the open failure is the only one that carries its own message).
zr_status_t model_load(const char *path, model_data **model_out, bool *file_opened);

// Releases a model and everything it owns; accepts NULL and partly built ones.
void model_release(model_data *m);

// Hidden size of a direction: the column count of its recurrent weights.
inline int32_t layer_hidden_size(const recurrent_layer *layer) {
    return layer->recurrent_weights->cols;
}
