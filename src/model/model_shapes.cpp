#include "model/model_shapes.h"

namespace {

// One direction of a layer: U is 3H x H, W is 3H x `inputs`.
bool direction_ok(const recurrent_layer *layer, int32_t inputs, int32_t *hidden_out) {
    const dense_tensor *w = layer->input_weights;
    const dense_tensor *u = layer->recurrent_weights;
    const int32_t hidden = u->cols;
    if (int64_t{hidden} * 3 != u->rows || w->rows != u->rows || w->cols != inputs) return false;
    *hidden_out = hidden;
    return true;
}

}  // namespace

bool model_check_shapes(const model_data *m) {
    const network_params *net = m->network;
    if (net->feature_normalizer->count != kFeatureBands) return false;

    int32_t inputs = kFrameFeatures;
    int32_t first_hidden = 0;
    for (int32_t i = 0; i < net->num_layers; ++i) {
        int32_t forward_hidden = 0;
        int32_t backward_hidden = 0;
        if (!direction_ok(net->forward_layers[i], inputs, &forward_hidden)) return false;
        if (!direction_ok(net->backward_layers[i], inputs, &backward_hidden)) return false;
        // The two directions are added frame by frame, so they must agree.
        if (forward_hidden != backward_hidden) return false;
        if (i == 0) first_hidden = forward_hidden;
        if (forward_hidden > first_hidden) return false;
        inputs = forward_hidden;
    }

    if (net->output_layer->cols != inputs) return false;
    if (m->clustering->count != net->output_layer->rows) return false;
    if (net->window_frames <= 2 * int64_t{net->context_frames}) return false;
    return true;
}
