#include "diarization/embedding_network.h"

#include <algorithm>
#include <cstring>

#include "common/alloc.h"
#include "diarization/fast_rsqrt.h"
#include "diarization/network_kernels.h"

namespace {

// Working memory of one call, sized for the longest window it runs.
struct window_buffers {
    float *scratch;          // frames x D embeddings of a later window
    int16_t *layer_out[2];   // frames x H outputs, alternating between layers
    int16_t *gates;          // frames x 3H gate pre-activations of one direction
    int16_t *projection;     // D output-layer values of one frame
    int8_t *packed_weights;  // every weight matrix in the kernels' layout
};

void buffers_release(window_buffers *b) {
    mem_free(b->scratch);
    mem_free(b->layer_out[0]);
    mem_free(b->layer_out[1]);
    mem_free(b->gates);
    mem_free(b->projection);
    mem_free(b->packed_weights);
    *b = {};
}

zr_status_t buffers_create(size_t frames, size_t hidden, size_t dim, size_t packed_bytes,
                           window_buffers *b) {
    const size_t layer_bytes = frames * hidden * sizeof(int16_t);
    b->scratch = static_cast<float *>(mem_alloc(frames * dim * sizeof(float)));
    b->layer_out[0] = static_cast<int16_t *>(mem_alloc(layer_bytes));
    b->layer_out[1] = static_cast<int16_t *>(mem_alloc(layer_bytes));
    b->gates = static_cast<int16_t *>(mem_alloc(3 * layer_bytes));
    b->projection = static_cast<int16_t *>(mem_alloc(dim * sizeof(int16_t)));
    b->packed_weights = static_cast<int8_t *>(mem_alloc(packed_bytes));
    if (b->scratch == nullptr || b->layer_out[0] == nullptr || b->layer_out[1] == nullptr ||
        b->gates == nullptr || b->projection == nullptr || b->packed_weights == nullptr) {
        buffers_release(b);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    return ZR_STATUS_SUCCESS;
}

void apply_dense(const network_kernels *k, const dense_wrapper *w, const int16_t *x, int16_t *y) {
    const dense_tensor *m = w->tensor;
    k->dense(w->packed, m->bias, m->rows, m->cols, x, y, w->accumulate);
}

// Calls f on every dense wrapper of the network, always in the same order.
template <typename F>
void for_each_wrapper(network_runtime *rt, F f) {
    for (int32_t l = 0; l < rt->network->num_layers; ++l) {
        for (recurrent_cell *cell : {rt->forward_cells[l], rt->backward_cells[l]}) {
            f(cell->input);
            f(cell->recurrent);
        }
    }
    f(rt->output);
}

size_t packed_bytes(network_runtime *rt, const network_kernels *k) {
    size_t total = 0;
    for_each_wrapper(
        rt, [&](dense_wrapper *w) { total += k->packed_size(w->tensor->rows, w->tensor->cols); });
    return total;
}

// Lays every weight matrix out for the kernels in use; once per call, as
// the choice of kernels may change between calls.
void pack_weights(network_runtime *rt, const network_kernels *k, int8_t *packed) {
    for_each_wrapper(rt, [&](dense_wrapper *w) {
        k->pack(w->tensor->weights, w->tensor->rows, w->tensor->cols, packed);
        w->packed = packed;
        packed += k->packed_size(w->tensor->rows, w->tensor->cols);
    });
}

// Input products W x of every frame, before the time loop: they do not
// depend on the hidden state.
void input_products(const network_kernels *k, const recurrent_cell *cell, const int16_t *x,
                    int32_t frames, int16_t *gates) {
    const dense_tensor *w = cell->input->tensor;
    for (int32_t t = 0; t < frames; ++t) {
        apply_dense(k, cell->input, x + static_cast<size_t>(t) * w->cols,
                    gates + static_cast<size_t>(t) * w->rows);
    }
}

// One cell step on the frame whose input products are in `gates`.
void cell_step(const network_kernels *k, recurrent_cell *cell, int16_t *gates) {
    apply_dense(k, cell->recurrent, cell->h, gates);
    k->gate_state(gates, layer_hidden_size(cell->layer), cell->c, cell->h);
}

// Forward direction, then backward added with saturation: y = layer(x).
void layer_pass(const network_kernels *k, recurrent_cell *forward, recurrent_cell *backward,
                const int16_t *x, int32_t frames, int16_t *gates, int16_t *y) {
    const int32_t hidden = layer_hidden_size(forward->layer);
    const auto gate_stride = static_cast<size_t>(3) * hidden;

    input_products(k, forward, x, frames, gates);
    for (int32_t t = 0; t < frames; ++t) {
        cell_step(k, forward, gates + t * gate_stride);
        std::memcpy(y + static_cast<size_t>(t) * hidden, forward->h, sizeof(int16_t) * hidden);
    }

    input_products(k, backward, x, frames, gates);
    for (int32_t t = frames - 1; t >= 0; --t) {
        cell_step(k, backward, gates + t * gate_stride);
        k->add_saturate(y + static_cast<size_t>(t) * hidden, backward->h, hidden);
    }
}

void cell_reset(recurrent_cell *cell) {
    const auto hidden = static_cast<size_t>(layer_hidden_size(cell->layer));
    std::memset(cell->h, 0, sizeof(int16_t) * hidden);
    std::memset(cell->c, 0, sizeof(int16_t) * hidden);
}

// Scales the output-layer vector e (Q10) to unit length.
void normalize_embedding(const int16_t *e, int32_t dim, float *out) {
    int64_t sum_squares = 0;
    for (int32_t k = 0; k < dim; ++k) sum_squares += int64_t{e[k]} * e[k];
    const float q = static_cast<float>(sum_squares) * 0x1p-20f;
    const float s = fast_rsqrt(q);
    for (int32_t k = 0; k < dim; ++k) out[k] = (static_cast<float>(e[k]) * 0x1p-10f) * s;
}

// Embeddings of `frames` frames starting at `features`, into `out` (frames x
// D); the recurrent state is zero before and after.
void window_pass(network_runtime *rt, const network_kernels *k, window_buffers *b,
                 const int16_t *features, int32_t frames, float *out) {
    const network_params *net = rt->network;
    const int16_t *x = features;
    for (int32_t l = 0; l < net->num_layers; ++l) {
        int16_t *y = b->layer_out[l & 1];
        layer_pass(k, rt->forward_cells[l], rt->backward_cells[l], x, frames, b->gates, y);
        x = y;
    }

    const dense_tensor *output = rt->output->tensor;
    for (int32_t t = 0; t < frames; ++t) {
        apply_dense(k, rt->output, x + static_cast<size_t>(t) * output->cols, b->projection);
        normalize_embedding(b->projection, output->rows,
                            out + static_cast<size_t>(t) * output->rows);
    }

    for (int32_t l = 0; l < net->num_layers; ++l) {
        cell_reset(rt->forward_cells[l]);
        cell_reset(rt->backward_cells[l]);
    }
}

int32_t widest_layer(const network_params *net) {
    int32_t widest = 0;
    for (int32_t l = 0; l < net->num_layers; ++l) {
        widest = std::max(widest, layer_hidden_size(net->forward_layers[l]));
        widest = std::max(widest, layer_hidden_size(net->backward_layers[l]));
    }
    return widest;
}

}  // namespace

zr_status_t network_embeddings(network_runtime *runtime, const int16_t *features, int32_t n,
                               float *embeddings) {
    if (n <= 0) return ZR_STATUS_SUCCESS;
    const network_params *net = runtime->network;
    const int32_t dim = runtime->output->tensor->rows;
    const int64_t window = net->window_frames;
    const int64_t context = net->context_frames;
    const auto feature_row = static_cast<size_t>(kFrameFeatures);
    const auto dim_size = static_cast<size_t>(dim);

    // No window is longer than the input, so a long window needs no more
    // memory than the input it covers.
    const auto longest = static_cast<int32_t>(std::min<int64_t>(window, n));
    const network_kernels *k = network_kernels_active();
    window_buffers b{};
    const zr_status_t status =
        buffers_create(static_cast<size_t>(longest), static_cast<size_t>(widest_layer(net)),
                       dim_size, packed_bytes(runtime, k), &b);
    if (status != ZR_STATUS_SUCCESS) return status;
    pack_weights(runtime, k, b.packed_weights);
    window_pass(runtime, k, &b, features, longest, embeddings);

    // Each later window starts 2 Nc frames before the end of the previous
    // one and replaces that window's last Nc frames with its own rows Nc on.
    int64_t t = longest;
    while (t < n) {
        const int64_t start = t - 2 * context;
        const int64_t end = std::min<int64_t>(n, start + window);
        const auto frames = static_cast<int32_t>(end - start);
        window_pass(runtime, k, &b, features + static_cast<size_t>(start) * feature_row, frames,
                    b.scratch);
        std::memcpy(embeddings + static_cast<size_t>(start + context) * dim_size,
                    b.scratch + static_cast<size_t>(context) * dim_size,
                    sizeof(float) * dim_size * static_cast<size_t>(frames - context));
        t = end;
    }

    for_each_wrapper(runtime, [](dense_wrapper *w) { w->packed = nullptr; });
    buffers_release(&b);
    return ZR_STATUS_SUCCESS;
}
