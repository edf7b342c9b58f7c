#include "audio/decode_file.h"

#include "audio/audio_file_decoder.h"
#include "common/error_store.h"

zr_status_t decode_file_to_pcm(const char *path, int16_t **pcm, int32_t *num_samples) {
    error_stack_reset();
    if (path == nullptr || pcm == nullptr || num_samples == nullptr) {
        error_stack_push(MSG_ARG_NULL, path == nullptr ? "audio_path" : pcm == nullptr ? "pcm" : "num_samples");
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    return decode_audio_file(path, pcm, num_samples);
}
