#include <cstdio>
#include <cstring>

#include "common/alloc.h"
#include "common/error_store.h"
#include "common/identity.h"
#include "model/model.h"
#include "model/model_shapes.h"

namespace {

constexpr char kMagic[] = "quorva";
constexpr int kMagicSize = 6;
constexpr int kVersionSize = 5;
constexpr char kFileKind[] = "Quorva model (.zr)";

// The smallest encoding of one recurrent layer (both directions, two tensors
// each of cols, rows, one bias byte and one weight).
constexpr int64_t kMinLayerBytes = 2 * 2 * (4 + 4 + 1 + 1);

// Sequential little-endian reader that knows how many bytes the file still
// holds, so that a count larger than the rest of the file is a short read
// found before anything is allocated for it.
struct model_reader {
    FILE *file;
    int64_t remaining;
};

bool fits(const model_reader &r, int64_t bytes) { return bytes >= 0 && bytes <= r.remaining; }

bool read_bytes(model_reader &r, void *dst, int64_t bytes) {
    if (!fits(r, bytes)) return false;
    if (bytes == 0) return true;
    const size_t got = std::fread(dst, 1, static_cast<size_t>(bytes), r.file);
    r.remaining -= static_cast<int64_t>(got);
    return got == static_cast<size_t>(bytes);
}

bool read_i32(model_reader &r, int32_t *out) {
    unsigned char b[4];
    if (!read_bytes(r, b, 4)) return false;
    *out = static_cast<int32_t>(static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                                (static_cast<uint32_t>(b[2]) << 16) |
                                (static_cast<uint32_t>(b[3]) << 24));
    return true;
}

bool read_f32(model_reader &r, float *out) {
    int32_t bits;
    if (!read_i32(r, &bits)) return false;
    std::memcpy(out, &bits, sizeof *out);
    return true;
}

// Reads `count` little-endian int16 values into `dst`.
bool read_i16_array(model_reader &r, int16_t *dst, int32_t count) {
    if (!read_bytes(r, dst, int64_t{count} * 2)) return false;
    auto *bytes = reinterpret_cast<unsigned char *>(dst);
    for (int32_t i = 0; i < count; ++i) {
        dst[i] = static_cast<int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    }
    return true;
}

bool read_f32_array(model_reader &r, float *dst, int32_t count) {
    for (int32_t i = 0; i < count; ++i) {
        if (!read_f32(r, &dst[i])) return false;
    }
    return true;
}

void tensor_release(dense_tensor *t) {
    if (t == nullptr) return;
    mem_free(t->weights);
    mem_free(t->bias);
    mem_free(t);
}

zr_status_t tensor_read(model_reader &r, dense_tensor **out) {
    auto *t = static_cast<dense_tensor *>(mem_calloc(1, sizeof(dense_tensor)));
    if (t == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    zr_status_t status = ZR_STATUS_SUCCESS;
    int64_t weight_count = 0;
    if (!read_i32(r, &t->cols)) {
        status = ZR_STATUS_IO_ERROR;
    } else if (t->cols < 1) {
        status = ZR_STATUS_INVALID_ARGUMENT;
    } else if (!read_i32(r, &t->rows)) {
        status = ZR_STATUS_IO_ERROR;
    } else if (t->rows < 1) {
        status = ZR_STATUS_INVALID_ARGUMENT;
    } else if ((weight_count = int64_t{t->rows} * t->cols) > INT32_MAX) {
        status = ZR_STATUS_INVALID_ARGUMENT;  // outside the format
    } else if (!fits(r, t->rows)) {
        status = ZR_STATUS_IO_ERROR;
    } else if ((t->bias = static_cast<int8_t *>(mem_alloc(static_cast<size_t>(t->rows)))) ==
               nullptr) {
        status = ZR_STATUS_OUT_OF_MEMORY;
    } else if (!read_bytes(r, t->bias, t->rows)) {
        status = ZR_STATUS_IO_ERROR;
    } else if (!fits(r, weight_count)) {
        status = ZR_STATUS_IO_ERROR;
    } else if ((t->weights = static_cast<int8_t *>(mem_alloc(static_cast<size_t>(weight_count)))) ==
               nullptr) {
        status = ZR_STATUS_OUT_OF_MEMORY;
    } else if (!read_bytes(r, t->weights, weight_count)) {
        status = ZR_STATUS_IO_ERROR;
    }
    if (status != ZR_STATUS_SUCCESS) {
        tensor_release(t);
        return status;
    }
    *out = t;
    return ZR_STATUS_SUCCESS;
}

void layer_release(recurrent_layer *layer) {
    if (layer == nullptr) return;
    tensor_release(layer->input_weights);
    tensor_release(layer->recurrent_weights);
    mem_free(layer);
}

void layers_release(recurrent_layer **layers, int32_t count) {
    if (layers == nullptr) return;
    for (int32_t i = 0; i < count; ++i) layer_release(layers[i]);
    mem_free(layers);
}

zr_status_t layers_read(model_reader &r, int32_t count, recurrent_layer ***out) {
    auto **layers = static_cast<recurrent_layer **>(mem_calloc(count, sizeof(recurrent_layer *)));
    if (layers == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    *out = layers;  // the caller's model owns the slots from here on
    for (int32_t i = 0; i < count; ++i) {
        auto *layer = static_cast<recurrent_layer *>(mem_calloc(1, sizeof(recurrent_layer)));
        if (layer == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
        layers[i] = layer;
        zr_status_t status = tensor_read(r, &layer->input_weights);
        if (status != ZR_STATUS_SUCCESS) return status;
        status = tensor_read(r, &layer->recurrent_weights);
        if (status != ZR_STATUS_SUCCESS) return status;
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t normalizer_read(model_reader &r, normalizer_params **out) {
    auto *norm = static_cast<normalizer_params *>(mem_calloc(1, sizeof(normalizer_params)));
    if (norm == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    zr_status_t status = ZR_STATUS_SUCCESS;
    if (!read_i32(r, &norm->count)) {
        status = ZR_STATUS_IO_ERROR;
    } else if (norm->count < 1) {
        status = ZR_STATUS_INVALID_ARGUMENT;
    } else if (!fits(r, int64_t{norm->count} * 2)) {
        status = ZR_STATUS_IO_ERROR;
    } else if ((norm->feature_mean = static_cast<int16_t *>(
                    mem_alloc(sizeof(int16_t) * static_cast<size_t>(norm->count)))) == nullptr) {
        status = ZR_STATUS_OUT_OF_MEMORY;
    } else if (!read_i16_array(r, norm->feature_mean, norm->count)) {
        status = ZR_STATUS_IO_ERROR;
    } else if (!fits(r, int64_t{norm->count} * 2)) {
        status = ZR_STATUS_IO_ERROR;
    } else if ((norm->feature_scale = static_cast<int16_t *>(
                    mem_alloc(sizeof(int16_t) * static_cast<size_t>(norm->count)))) == nullptr) {
        status = ZR_STATUS_OUT_OF_MEMORY;
    } else if (!read_i16_array(r, norm->feature_scale, norm->count)) {
        status = ZR_STATUS_IO_ERROR;
    }
    if (status != ZR_STATUS_SUCCESS) {
        mem_free(norm->feature_mean);
        mem_free(norm->feature_scale);
        mem_free(norm);
        return status;
    }
    *out = norm;
    return ZR_STATUS_SUCCESS;
}

zr_status_t network_read(model_reader &r, network_params *net) {
    zr_status_t status = normalizer_read(r, &net->feature_normalizer);
    if (status != ZR_STATUS_SUCCESS) return status;

    int32_t num_layers = 0;
    if (!read_i32(r, &num_layers)) return ZR_STATUS_IO_ERROR;
    if (num_layers < 1) return ZR_STATUS_INVALID_ARGUMENT;
    if (!fits(r, num_layers * kMinLayerBytes)) return ZR_STATUS_IO_ERROR;
    net->num_layers = num_layers;

    status = layers_read(r, num_layers, &net->forward_layers);
    if (status != ZR_STATUS_SUCCESS) return status;
    status = layers_read(r, num_layers, &net->backward_layers);
    if (status != ZR_STATUS_SUCCESS) return status;
    status = tensor_read(r, &net->output_layer);
    if (status != ZR_STATUS_SUCCESS) return status;

    if (!read_i32(r, &net->window_frames)) return ZR_STATUS_IO_ERROR;
    if (net->window_frames < 1) return ZR_STATUS_INVALID_ARGUMENT;
    if (!read_i32(r, &net->context_frames)) return ZR_STATUS_IO_ERROR;
    if (net->context_frames < 1 || net->context_frames > net->window_frames) {
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t clustering_read(model_reader &r, clustering_params *c) {
    if (!read_f32(r, &c->merge_threshold) || !read_f32(r, &c->reassign_threshold) ||
        !read_f32(r, &c->assign_threshold) || !read_f32(r, &c->background_threshold)) {
        return ZR_STATUS_IO_ERROR;
    }
    int32_t count = 0;
    if (!read_i32(r, &count)) return ZR_STATUS_IO_ERROR;
    // A negative count cannot be allocated; it fails as an allocation would.
    if (count < 0) return ZR_STATUS_OUT_OF_MEMORY;
    if (!fits(r, int64_t{count} * 4)) return ZR_STATUS_IO_ERROR;
    c->background_embedding = static_cast<float *>(mem_calloc(static_cast<size_t>(count), sizeof(float)));
    if (c->background_embedding == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    c->count = count;
    if (!read_f32_array(r, c->background_embedding, count)) return ZR_STATUS_IO_ERROR;
    return ZR_STATUS_SUCCESS;
}

// Loads everything after the version. The records are attached to `m` as
// they are allocated so that model_release can free any partial state.
zr_status_t model_read_body(model_reader &r, model_data *m) {
    auto *net = static_cast<network_params *>(mem_calloc(1, sizeof(network_params)));
    if (net == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    m->network = net;
    zr_status_t status = network_read(r, net);
    if (status != ZR_STATUS_SUCCESS) return status;

    auto *clustering = static_cast<clustering_params *>(mem_calloc(1, sizeof(clustering_params)));
    if (clustering == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    m->clustering = clustering;
    status = clustering_read(r, clustering);
    if (status != ZR_STATUS_SUCCESS) return status;

    return model_check_shapes(m) ? ZR_STATUS_SUCCESS : ZR_STATUS_INVALID_ARGUMENT;
}

int64_t file_size(FILE *file) {
    if (std::fseek(file, 0, SEEK_END) != 0) return INT64_MAX;
    const long size = std::ftell(file);
    if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) return INT64_MAX;
    return size;
}

zr_status_t model_read_file(model_reader &r, model_data **model_out) {
    char magic[kMagicSize];
    if (!read_bytes(r, magic, kMagicSize)) return ZR_STATUS_IO_ERROR;
    if (std::memcmp(magic, kMagic, kMagicSize) != 0) {
        error_stack_push(MSG_FILE_FORMAT, kFileKind);
        return ZR_STATUS_INVALID_ARGUMENT;
    }

    char version[kVersionSize + 1] = {};  // terminated before it reaches a message
    if (!read_bytes(r, version, kVersionSize)) {
        error_stack_push(MSG_FILE_READ);
        return ZR_STATUS_IO_ERROR;
    }
    if (std::memcmp(version, kLibraryVersion, kVersionSize) != 0) {
        error_stack_push(MSG_FILE_VERSION, kFileKind, version, kLibraryVersion);
        return ZR_STATUS_INVALID_ARGUMENT;
    }

    auto *m = static_cast<model_data *>(mem_calloc(1, sizeof(model_data)));
    if (m == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    const zr_status_t status = model_read_body(r, m);
    if (status != ZR_STATUS_SUCCESS) {
        model_release(m);
        return status;
    }
    *model_out = m;
    return ZR_STATUS_SUCCESS;
}

}  // namespace

zr_status_t model_load(const char *path, model_data **model_out, bool *file_opened) {
    *file_opened = false;
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        error_stack_push(MSG_FILE_OPEN, path);
        return ZR_STATUS_IO_ERROR;
    }
    *file_opened = true;
    model_reader reader{file, file_size(file)};
    const zr_status_t status = model_read_file(reader, model_out);
    std::fclose(file);
    return status;
}

void model_release(model_data *m) {
    if (m == nullptr) return;
    if (network_params *net = m->network) {
        tensor_release(net->output_layer);
        if (net->feature_normalizer != nullptr) {
            mem_free(net->feature_normalizer->feature_mean);
            mem_free(net->feature_normalizer->feature_scale);
            mem_free(net->feature_normalizer);
        }
        layers_release(net->backward_layers, net->num_layers);
        layers_release(net->forward_layers, net->num_layers);
        mem_free(net);
    }
    if (clustering_params *c = m->clustering) {
        mem_free(c->background_embedding);
        mem_free(c);
    }
    mem_free(m);
}
