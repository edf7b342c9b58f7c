#include "diarization/network_runtime.h"

#include "common/alloc.h"

namespace {

dense_wrapper *wrapper_create(const dense_tensor *tensor, uint8_t accumulate) {
    auto *w = static_cast<dense_wrapper *>(mem_calloc(1, sizeof(dense_wrapper)));
    if (w != nullptr) {
        w->tensor = tensor;
        w->accumulate = accumulate;
    }
    return w;
}

void cell_release(recurrent_cell *cell) {
    if (cell == nullptr) return;
    mem_free(cell->h);
    mem_free(cell->c);
    mem_free(cell->input);
    mem_free(cell->recurrent);
    mem_free(cell);
}

recurrent_cell *cell_create(const recurrent_layer *layer) {
    auto *cell = static_cast<recurrent_cell *>(mem_calloc(1, sizeof(recurrent_cell)));
    if (cell == nullptr) return nullptr;
    cell->layer = layer;
    const auto hidden = static_cast<size_t>(layer_hidden_size(layer));
    if ((cell->h = static_cast<int16_t *>(mem_calloc(hidden, sizeof(int16_t)))) == nullptr ||
        (cell->c = static_cast<int16_t *>(mem_calloc(hidden, sizeof(int16_t)))) == nullptr ||
        (cell->input = wrapper_create(layer->input_weights, 0)) == nullptr ||
        (cell->recurrent = wrapper_create(layer->recurrent_weights, 1)) == nullptr) {
        cell_release(cell);
        return nullptr;
    }
    return cell;
}

void cells_release(recurrent_cell **cells, int32_t count) {
    if (cells == nullptr) return;
    for (int32_t i = count - 1; i >= 0; --i) cell_release(cells[i]);
    mem_free(cells);
}

}  // namespace

zr_status_t network_runtime_create(const network_params *network, network_runtime **out) {
    auto *rt = static_cast<network_runtime *>(mem_calloc(1, sizeof(network_runtime)));
    if (rt == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    rt->network = network;
    const int32_t layers = network->num_layers;
    rt->forward_cells = static_cast<recurrent_cell **>(mem_calloc(layers, sizeof(recurrent_cell *)));
    if (rt->forward_cells != nullptr) {
        rt->backward_cells =
            static_cast<recurrent_cell **>(mem_calloc(layers, sizeof(recurrent_cell *)));
    }
    bool ok = rt->forward_cells != nullptr && rt->backward_cells != nullptr;
    for (int32_t i = 0; ok && i < layers; ++i) {
        ok = (rt->forward_cells[i] = cell_create(network->forward_layers[i])) != nullptr &&
             (rt->backward_cells[i] = cell_create(network->backward_layers[i])) != nullptr;
    }
    if (ok) ok = (rt->output = wrapper_create(network->output_layer, 0)) != nullptr;
    if (!ok) {
        network_runtime_release(rt);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    *out = rt;
    return ZR_STATUS_SUCCESS;
}

void network_runtime_release(network_runtime *runtime) {
    if (runtime == nullptr) return;
    const int32_t layers = runtime->network != nullptr ? runtime->network->num_layers : 0;
    mem_free(runtime->output);
    cells_release(runtime->forward_cells, layers);
    cells_release(runtime->backward_cells, layers);
    mem_free(runtime);
}
