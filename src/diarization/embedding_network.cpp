#include "diarization/embedding_network.h"

#include <cstring>

// Placeholder until the network lands: every embedding is zero.
zr_status_t network_embeddings(network_runtime *runtime, const int16_t *, int32_t n,
                               float *embeddings) {
    const int32_t dim = runtime->network->output_layer->rows;
    std::memset(embeddings, 0, sizeof(float) * static_cast<size_t>(n) * static_cast<size_t>(dim));
    return ZR_STATUS_SUCCESS;
}
