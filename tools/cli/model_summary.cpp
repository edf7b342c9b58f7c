#include "cli/model_summary.h"

#include <cinttypes>
#include <cstdio>

namespace {

int64_t tensor_macs(const dense_tensor *t) { return int64_t{t->rows} * t->cols; }

direction_shape shape_of(const recurrent_layer *layer) {
    return {layer->input_weights->cols, layer_hidden_size(layer)};
}

void add_tensor(model_summary &s, const dense_tensor *t) {
    s.weights += tensor_macs(t);
    s.biases += t->rows;
}

std::string fixed(double v, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// 12345678 as "12.35 M".
std::string scaled(double v) {
    if (v >= 1e9) return fixed(v / 1e9, 2) + " G";
    if (v >= 1e6) return fixed(v / 1e6, 2) + " M";
    if (v >= 1e3) return fixed(v / 1e3, 2) + " k";
    return fixed(v, 0);
}

}  // namespace

model_summary summarize_model(const model_data &model) {
    const network_params &net = *model.network;
    const clustering_params &clu = *model.clustering;
    model_summary s;
    s.bands = net.feature_normalizer->count;
    s.other_parameters = 2 * int64_t{net.feature_normalizer->count} + clu.count;
    for (int32_t i = 0; i < net.num_layers; ++i) {
        const recurrent_layer *directions[2] = {net.forward_layers[i], net.backward_layers[i]};
        s.layers.push_back({shape_of(directions[0]), shape_of(directions[1])});
        for (const recurrent_layer *d : directions) {
            add_tensor(s, d->input_weights);
            add_tensor(s, d->recurrent_weights);
            s.macs_per_frame += tensor_macs(d->input_weights) + tensor_macs(d->recurrent_weights);
        }
    }
    add_tensor(s, net.output_layer);
    s.macs_per_frame += tensor_macs(net.output_layer);
    s.embedding_dim = net.output_layer->rows;
    s.output_inputs = net.output_layer->cols;

    s.window_frames = net.window_frames;
    s.context_frames = net.context_frames;
    const int64_t advance = int64_t{net.window_frames} - 2 * int64_t{net.context_frames};
    s.window_overlap = advance > 0 ? static_cast<double>(net.window_frames) / static_cast<double>(advance) : 0.0;
    s.macs_per_second = kFramesPerSecond * static_cast<double>(s.macs_per_frame) * s.window_overlap;

    s.merge_threshold = clu.merge_threshold;
    s.reassign_threshold = clu.reassign_threshold;
    s.assign_threshold = clu.assign_threshold;
    s.background_threshold = clu.background_threshold;
    s.background_count = clu.count;
    return s;
}

std::string format_model_summary(const std::string &path, const model_summary &s) {
    std::string out;
    char line[256];
    out += "model:            " + path + "\n";
    std::snprintf(line, sizeof line, "features:         %d bands, 2 rows per 32 ms frame\n", s.bands);
    out += line;
    std::snprintf(line, sizeof line, "recurrent layers: %zu, bidirectional\n", s.layers.size());
    out += line;
    for (size_t i = 0; i < s.layers.size(); ++i) {
        const layer_shape &l = s.layers[i];
        std::snprintf(line, sizeof line,
                      "  layer %zu:        forward %d -> %d, backward %d -> %d (gates 3 x %d)\n", i,
                      l.forward.inputs, l.forward.hidden, l.backward.inputs, l.backward.hidden,
                      l.forward.hidden);
        out += line;
    }
    std::snprintf(line, sizeof line, "output layer:     %d -> %d (embedding dimension)\n",
                  s.output_inputs, s.embedding_dim);
    out += line;
    std::snprintf(line, sizeof line,
                  "parameters:       %" PRId64 " (%" PRId64 " weights, %" PRId64 " biases, %" PRId64
                  " normaliser and background values)\n",
                  s.parameters(), s.weights, s.biases, s.other_parameters);
    out += line;
    std::snprintf(line, sizeof line, "window:           %d frames (%.3f s), context %d frames (%.3f s)\n",
                  s.window_frames, s.window_frames * 0.032, s.context_frames, s.context_frames * 0.032);
    out += line;
    std::snprintf(line, sizeof line,
                  "thresholds:       merge %.6g, reassign %.6g, assign %.6g, background %.6g\n",
                  static_cast<double>(s.merge_threshold), static_cast<double>(s.reassign_threshold),
                  static_cast<double>(s.assign_threshold), static_cast<double>(s.background_threshold));
    out += line;
    std::snprintf(line, sizeof line, "background:       %d values\n", s.background_count);
    out += line;
    std::snprintf(line, sizeof line, "MACs per frame:   %" PRId64 " (one window pass)\n", s.macs_per_frame);
    out += line;
    if (s.window_overlap > 0) {
        out += "MACs per second:  " + scaled(s.macs_per_second) + " (" + fixed(s.macs_per_second, 0) +
               "; 31.25 frames/s x " + fixed(s.window_overlap, 4) + " for window overlap)\n";
    } else {
        out += "MACs per second:  undefined (the window is not longer than twice the context)\n";
    }
    return out;
}
