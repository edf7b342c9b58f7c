// zr_quorva_process: PCM in, segments out, through the front end, the
// embedding network and the clustering. Every working buffer lives for one
// call; the engine's working objects are idle before and after.
#include <cstring>

#include "common/alloc.h"
#include "common/error_store.h"
#include "diarization/clustering.h"
#include "diarization/embedding_network.h"
#include "diarization/segments.h"
#include "model/engine.h"

namespace {

struct call_buffers {
    int16_t *features = nullptr;  // 2n rows of 40
    int32_t *labels = nullptr;    // n
    float *embeddings = nullptr;  // n rows of D
    ~call_buffers() {
        mem_free(features);
        mem_free(labels);
        mem_free(embeddings);
    }
};

// Runs the stages over n frames; pushes the messages of whichever fails.
zr_status_t diarize(zr_quorva_t *engine, const int16_t *pcm, int32_t n, int32_t *num_segments,
                    zr_quorva_segment_t **segments) {
    const network_params *network = engine->model->network;
    const int32_t dim = network->output_layer->rows;
    call_buffers buf;

    buf.features = static_cast<int16_t *>(
        mem_alloc(sizeof(int16_t) * static_cast<size_t>(kFrameFeatures) * static_cast<size_t>(n)));
    if (buf.features == nullptr) {
        error_stack_push(MSG_OUT_OF_MEMORY);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    zr_status_t status = front_end_run(engine->front_end, pcm, n, buf.features);
    if (status != ZR_STATUS_SUCCESS) {
        error_stack_push(MSG_CODE_FAILED);
        return status;
    }
    front_end_normalise(network->feature_normalizer, buf.features, 2 * n);

    buf.labels = static_cast<int32_t *>(mem_calloc(static_cast<size_t>(n), sizeof(int32_t)));
    if (buf.labels == nullptr) {
        error_stack_push(MSG_OUT_OF_MEMORY);
        return ZR_STATUS_OUT_OF_MEMORY;
    }

    buf.embeddings = static_cast<float *>(
        mem_alloc(sizeof(float) * static_cast<size_t>(n) * static_cast<size_t>(dim)));
    if (buf.embeddings == nullptr) {
        error_stack_push(MSG_OUT_OF_MEMORY);
        error_stack_push(MSG_CODE_FAILED);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    status = network_embeddings(engine->runtime, buf.features, n, buf.embeddings);
    if (status != ZR_STATUS_SUCCESS) {
        error_stack_push(MSG_CODE_FAILED);
        error_stack_push(MSG_CODE_FAILED);
        return status;
    }
    // The features are spent: the clustering's pair table can take their room.
    mem_free(buf.features);
    buf.features = nullptr;

    status = cluster_frames(engine->clusterer, buf.embeddings, n, dim, buf.labels);
    if (status != ZR_STATUS_SUCCESS) {
        error_stack_push(MSG_CODE_FAILED);
        error_stack_push(MSG_CODE_FAILED);
        return status;
    }

    const int32_t count = count_segments(buf.labels, n);
    *num_segments = count;
    auto *out = static_cast<zr_quorva_segment_t *>(
        mem_calloc(static_cast<size_t>(count), sizeof(zr_quorva_segment_t)));
    if (out == nullptr) {
        error_stack_push(MSG_OUT_OF_MEMORY);
        error_stack_push(MSG_CODE_FAILED);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    fill_segments(buf.labels, n, out);
    *segments = out;
    return ZR_STATUS_SUCCESS;
}

}  // namespace

extern "C" zr_status_t zr_quorva_process(zr_quorva_t *object, const int16_t *pcm,
                                         int32_t num_samples, int32_t *num_segments,
                                         zr_quorva_segment_t **segments) {
    error_stack_reset();
    if (object == nullptr) {
        error_stack_push(MSG_ARG_NULL, "object");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (pcm == nullptr) {
        error_stack_push(MSG_ARG_NULL, "pcm");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (num_samples < kFrameSamples) {
        error_stack_push(MSG_ARG_BELOW_MIN, "num_samples", num_samples, kFrameSamples);
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (num_segments == nullptr) {
        error_stack_push(MSG_ARG_NULL, "num_segments");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (segments == nullptr) {
        error_stack_push(MSG_ARG_NULL, "segments");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (object->front_end == nullptr) {
        error_stack_push(MSG_CODE_STATE);
        return ZR_STATUS_INVALID_STATE;
    }
    *num_segments = 0;
    *segments = nullptr;
    const int32_t frames = ((num_samples - kFrameSamples) >> 9) + 1;
    return diarize(object, pcm, frames, num_segments, segments);
}

extern "C" void zr_quorva_segments_delete(zr_quorva_segment_t *segments) { mem_free(segments); }
