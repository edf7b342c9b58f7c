#include "audio/audio_file_decoder.h"
#include "common/alloc.h"
#include "common/error_store.h"
#include "diarization/diarize_call.h"
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
#if QUORVA_WITH_FILE_READERS
    int16_t *samples = nullptr;
    int32_t count = 0;
    const zr_status_t status = decode_audio_file(audio_path, &samples, &count);
    if (status != ZR_STATUS_SUCCESS) return status;
    // Its status and messages are the call's own.
    const zr_status_t processed = zr_quorva_process(object, samples, count, num_segments, segments);
    mem_free(samples);
    return processed;
#else
    // Built without the decoding libraries: no file can be read.
    error_stack_push(MSG_CODE_COMPONENT);
    return ZR_STATUS_INVALID_ARGUMENT;
#endif
}

extern "C" zr_status_t zr_quorva_process_file_with_options(zr_quorva_t *object,
                                                           const char *audio_path,
                                                           const zr_quorva_options_t *options,
                                                           zr_quorva_result_t **result) {
    error_stack_reset();
    if (object == nullptr) {
        error_stack_push(MSG_ARG_NULL, "object");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (audio_path == nullptr) {
        error_stack_push(MSG_ARG_NULL, "audio_path");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    if (result == nullptr) {
        error_stack_push(MSG_ARG_NULL, "result");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    // Refused before the file is read: a bad option costs no decoding.
    diarize_settings settings;
    zr_status_t status = resolve_options(options, &settings);
    if (status != ZR_STATUS_SUCCESS) return status;
    *result = nullptr;
#if QUORVA_WITH_FILE_READERS
    int16_t *samples = nullptr;
    int32_t count = 0;
    status = decode_audio_file(audio_path, &samples, &count);
    if (status != ZR_STATUS_SUCCESS) return status;
    status = diarize_to_result(object, samples, count, settings, result);
    mem_free(samples);
    return status;
#else
    error_stack_push(MSG_CODE_COMPONENT);
    return ZR_STATUS_INVALID_ARGUMENT;
#endif
}
