// Per-engine state of the embedding network: one recurrent cell per layer and
// direction, and the wrappers that say whether a dense product overwrites or
// adds to its output.
#pragma once

#include <cstdint>

#include "model/model.h"

struct dense_wrapper {
    const dense_tensor *tensor;  // not owned
    uint8_t accumulate;          // 1: add the product to the output's values
    const int8_t *packed;        // during a call: the weights in the kernels' layout
};

struct recurrent_cell {
    const recurrent_layer *layer;  // not owned
    int16_t *h;                    // hidden state, H values, Q10
    int16_t *c;                    // cell state, H values, Q10
    dense_wrapper *input;          // W x, overwrites the gates
    dense_wrapper *recurrent;      // U h, added to the gates
};

struct network_runtime {
    const network_params *network;  // not owned
    dense_wrapper *output;
    recurrent_cell **backward_cells;  // num_layers
    recurrent_cell **forward_cells;   // num_layers
};

// Builds the runtime for `network` with all states zero. OUT_OF_MEMORY leaves
// nothing allocated.
zr_status_t network_runtime_create(const network_params *network, network_runtime **out);
void network_runtime_release(network_runtime *runtime);
