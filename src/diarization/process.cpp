// zr_quorva_process and zr_quorva_process_with_options: PCM in, segments
// out, through the front end, the embedding network and the clustering.
// Every working buffer lives for one call; the engine's working objects are
// idle before and after.
#include <cstring>

#include "common/alloc.h"
#include "common/error_store.h"
#include "common/identity.h"
#include "diarization/clustering.h"
#include "diarization/diarize_call.h"
#include "diarization/embedding_network.h"
#include "diarization/gap_filling.h"
#include "diarization/segments.h"
#include "diarization/speaker_result.h"
#include "model/engine.h"

namespace {

struct call_buffers {
    int16_t *features = nullptr;  // 2n rows of 40
    int32_t *labels = nullptr;    // n
    float *embeddings = nullptr;  // n rows of D
    int32_t *clustered = nullptr; // n: the labels before gap filling
    ~call_buffers() {
        mem_free(features);
        mem_free(labels);
        mem_free(embeddings);
        mem_free(clustered);
    }
};

// Runs the stages over n frames, leaving the labels and embeddings in `buf`;
// pushes the messages of whichever fails.
zr_status_t run_stages(zr_quorva_t *engine, const int16_t *pcm, int32_t n,
                       speaker_count_limits limits, call_buffers &buf, bool *count_met) {
    const network_params *network = engine->model->network;
    const int32_t dim = network->output_layer->rows;

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

    status = cluster_frames_within(engine->clusterer, buf.embeddings, n, dim, limits, buf.labels,
                                   count_met);
    if (status != ZR_STATUS_SUCCESS) {
        error_stack_push(MSG_CODE_FAILED);
        error_stack_push(MSG_CODE_FAILED);
        return status;
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t diarize(zr_quorva_t *engine, const int16_t *pcm, int32_t n, int32_t *num_segments,
                    zr_quorva_segment_t **segments) {
    call_buffers buf;
    bool met = true;
    zr_status_t status = run_stages(engine, pcm, n, speaker_count_limits{0, 0}, buf, &met);
    if (status != ZR_STATUS_SUCCESS) return status;

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

// Frames of a buffer of num_samples samples (at least one frame's worth).
int32_t frame_count(int32_t num_samples) { return ((num_samples - kFrameSamples) >> 9) + 1; }

}  // namespace

zr_status_t diarize_to_result(zr_quorva_t *engine, const int16_t *pcm, int32_t num_samples,
                              const diarize_settings &settings, zr_quorva_result_t **result) {
    if (num_samples < kFrameSamples) {
        error_stack_push(MSG_ARG_BELOW_MIN, "num_samples", num_samples, kFrameSamples);
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (engine->front_end == nullptr) {
        error_stack_push(MSG_CODE_STATE);
        return ZR_STATUS_INVALID_STATE;
    }
    const int32_t n = frame_count(num_samples);
    call_buffers buf;
    bool met = true;
    zr_status_t status = run_stages(engine, pcm, n, settings.limits, buf, &met);
    if (status != ZR_STATUS_SUCCESS) return status;
    // The embeddings belong to the clustering's labels; gap filling only
    // lengthens segments.
    const int32_t *clustered = buf.labels;
    if (settings.min_duration_off > 0.0f) {
        buf.clustered = static_cast<int32_t *>(mem_alloc(sizeof(int32_t) * static_cast<size_t>(n)));
        if (buf.clustered == nullptr) {
            error_stack_push(MSG_OUT_OF_MEMORY);
            error_stack_push(MSG_CODE_FAILED);
            return ZR_STATUS_OUT_OF_MEMORY;
        }
        std::memcpy(buf.clustered, buf.labels, sizeof(int32_t) * static_cast<size_t>(n));
        clustered = buf.clustered;
        fill_short_gaps(buf.labels, n, settings.min_duration_off);
    }
    status = build_speaker_result(clustered, buf.labels, n, buf.embeddings,
                                  engine->model->network->output_layer->rows, met,
                                  static_cast<double>(num_samples) / kSampleRate, result);
    if (status != ZR_STATUS_SUCCESS) {
        error_stack_push(MSG_OUT_OF_MEMORY);
        error_stack_push(MSG_CODE_FAILED);
    }
    return status;
}

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
    return diarize(object, pcm, frame_count(num_samples), num_segments, segments);
}

extern "C" void zr_quorva_segments_delete(zr_quorva_segment_t *segments) { mem_free(segments); }

extern "C" zr_status_t zr_quorva_process_with_options(zr_quorva_t *object, const int16_t *pcm,
                                                      int32_t num_samples,
                                                      const zr_quorva_options_t *options,
                                                      zr_quorva_result_t **result) {
    error_stack_reset();
    if (object == nullptr) {
        error_stack_push(MSG_ARG_NULL, "object");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (pcm == nullptr) {
        error_stack_push(MSG_ARG_NULL, "pcm");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (result == nullptr) {
        error_stack_push(MSG_ARG_NULL, "result");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    diarize_settings settings;
    const zr_status_t status = resolve_options(options, &settings);
    if (status != ZR_STATUS_SUCCESS) return status;
    *result = nullptr;
    return diarize_to_result(object, pcm, num_samples, settings, result);
}

extern "C" void zr_quorva_result_delete(zr_quorva_result_t *result) { mem_free(result); }
