#include "audio/decode_file.h"

#include "common/error_store.h"

// Placeholder until the file driver lands: it will share its reading and
// resampling loop with zr_quorva_process_file.
zr_status_t decode_file_to_pcm(const char *path, int16_t **pcm, int32_t *num_samples) {
    error_stack_reset();
    if (path == nullptr || pcm == nullptr || num_samples == nullptr) {
        error_stack_push(MSG_ARG_NULL, path == nullptr ? "audio_path" : pcm == nullptr ? "pcm" : "num_samples");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    error_stack_push(MSG_CODE_COMPONENT);
    return ZR_STATUS_RUNTIME_ERROR;
}
