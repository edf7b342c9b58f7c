#include "common/error_store.h"
#include "model/engine.h"

extern "C" zr_status_t zr_quorva_process_file(zr_quorva_t *object, const char *audio_path,
                                              int32_t *num_segments,
                                              zr_quorva_segment_t **segments) {
    error_stack_reset();
    if (object == nullptr) {
        error_stack_push(MSG_ARG_NULL, "object");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (audio_path == nullptr) {
        error_stack_push(MSG_ARG_NULL, "audio_path");
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
    // Audio file decoding is not built yet.
    error_stack_push(MSG_CODE_COMPONENT);
    return ZR_STATUS_RUNTIME_ERROR;
}
