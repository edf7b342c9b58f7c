#include "common/alloc.h"
#include "common/error_store.h"
#include "model/engine.h"

namespace {
constexpr int32_t kFrameSamples = 512;
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
    // The pipeline stages are not built yet.
    error_stack_push(MSG_CODE_FAILED);
    return ZR_STATUS_RUNTIME_ERROR;
}

extern "C" void zr_quorva_segments_delete(zr_quorva_segment_t *segments) { mem_free(segments); }
