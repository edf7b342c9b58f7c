#include "audio/audio_file_decoder.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "audio/format_detect.h"
#include "audio/resampler.h"
#include "common/alloc.h"
#include "common/error_store.h"

namespace {

// A recording that ends early by at most this many output samples is taken
// as complete, its tail left silent.
constexpr int64_t kEndOfFileTolerance = 1024;
// Beyond this many frames no supported ratio gives an output that fits.
constexpr uint64_t kMaxInputFrames = uint64_t{1} << 40;

void release_reader(audio_reader *reader) {
    if (reader == nullptr) return;
    if (reader->ops.close != nullptr) reader->ops.close(reader->handle);
    resampler_delete(reader->resampler);
    mem_free(reader->chunk);
    mem_free(reader);
}

zr_status_t fail_component(audio_reader *reader, zr_status_t status) {
    error_stack_push(MSG_CODE_COMPONENT);
    release_reader(reader);
    return status;
}

// Resamples the whole recording into out[0..total). Output never goes past
// total: a block may yield more than the samples still missing, so it is
// resampled into `staged` and only what fits is kept.
zr_status_t fill_resampled(audio_reader *reader, int16_t *staged, int16_t *out, int64_t total) {
    resampler *rs = reader->resampler;
    int64_t left = total;
    int16_t *write = out;
    while (left > 0) {
        const int64_t need = rs->input_needed(rs->state, left);
        if (need <= 0) return ZR_STATUS_IO_ERROR;  // never a count to pass on
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(need, kReaderChunkFrames));
        const zr_status_t status = reader->ops.read(reader->handle, n, reader->chunk);
        if (status == ZR_STATUS_IO_ERROR && reader->remaining_output <= kEndOfFileTolerance)
            return ZR_STATUS_SUCCESS;
        if (status != ZR_STATUS_SUCCESS) return ZR_STATUS_IO_ERROR;
        const int32_t produced = rs->process(rs->state, reader->chunk, n, staged);
        const int64_t kept = std::min<int64_t>(produced, left);
        std::memcpy(write, staged, static_cast<size_t>(kept) * sizeof(int16_t));
        write += kept;
        left -= kept;
        reader->remaining_output -= kept;
    }
    return ZR_STATUS_SUCCESS;
}

}  // namespace

const audio_reader_ops *reader_ops_for(audio_format format) {
    switch (format) {
        case AUDIO_FORMAT_FLAC: return &flac_reader_ops;
        case AUDIO_FORMAT_MP4: return &mp4_reader_ops;
        case AUDIO_FORMAT_MP3: return &mp3_reader_ops;
        case AUDIO_FORMAT_OGG_OPUS: return &ogg_opus_reader_ops;
        case AUDIO_FORMAT_OGG_VORBIS: return &ogg_vorbis_reader_ops;
        case AUDIO_FORMAT_WAV: return &wav_reader_ops;
        case AUDIO_FORMAT_WEBM: return &webm_reader_ops;
        case AUDIO_FORMAT_UNKNOWN: break;
    }
    return nullptr;
}

zr_status_t decode_audio_file(const char *path, int16_t **samples, int32_t *count) {
    auto *reader = static_cast<audio_reader *>(mem_calloc(1, sizeof(audio_reader)));
    if (reader == nullptr) return fail_component(nullptr, ZR_STATUS_OUT_OF_MEMORY);

    audio_format format = AUDIO_FORMAT_UNKNOWN;
    zr_status_t status = detect_file_format(path, &format);
    if (status != ZR_STATUS_SUCCESS) return fail_component(reader, status);
    const audio_reader_ops *ops = reader_ops_for(format);
    if (ops == nullptr) return fail_component(reader, ZR_STATUS_INVALID_ARGUMENT);
    reader->format = format;
    // Installed before open, so that a failed open is undone through close.
    reader->ops = *ops;
    status = reader->ops.open(path, &reader->handle);
    if (status != ZR_STATUS_SUCCESS) return fail_component(reader, status);

    return convert_recording(reader, samples, count);
}

zr_status_t convert_recording(audio_reader *reader, int16_t **samples, int32_t *count) {
    zr_status_t status = ZR_STATUS_SUCCESS;
    const int32_t input_rate = reader->ops.sample_rate(reader->handle);
    const uint64_t frames = reader->ops.num_frames(reader->handle);
    int64_t total = -1;  // stays negative for a recording too long to hold
    int16_t *staged = nullptr;
    if (input_rate == zr_sample_rate()) {
        if (frames <= static_cast<uint64_t>(INT32_MAX)) total = static_cast<int64_t>(frames);
    } else {
        status = resampler_create(input_rate, zr_sample_rate(), &reader->resampler);
        if (status != ZR_STATUS_SUCCESS) return fail_component(reader, status);
        reader->chunk = static_cast<int16_t *>(mem_alloc(sizeof(int16_t) * kReaderChunkFrames));
        if (reader->chunk == nullptr) return fail_component(reader, ZR_STATUS_OUT_OF_MEMORY);
        const int64_t staged_size = resampler_max_output(reader->resampler, kReaderChunkFrames);
        staged = static_cast<int16_t *>(mem_alloc(sizeof(int16_t) * staged_size));
        if (staged == nullptr) return fail_component(reader, ZR_STATUS_OUT_OF_MEMORY);
        if (frames <= kMaxInputFrames) {
            total = reader->resampler->output_length(reader->resampler->state,
                                                     static_cast<int64_t>(frames));
        }
    }
    reader->remaining_output = total;

    // The output is handed on with a 32-bit length: a longer recording is
    // refused rather than diarized only in part.
    int16_t *out = nullptr;
    if (total >= 0 && total <= INT32_MAX)
        out = static_cast<int16_t *>(mem_calloc(std::max<int64_t>(total, 1), sizeof(int16_t)));
    if (out == nullptr) {
        mem_free(staged);
        release_reader(reader);
        error_stack_push(MSG_OUT_OF_MEMORY);
        return ZR_STATUS_OUT_OF_MEMORY;
    }

    if (reader->resampler == nullptr) {
        status = reader->ops.read(reader->handle, static_cast<int32_t>(total), out);
    } else {
        status = fill_resampled(reader, staged, out, total);
    }
    mem_free(staged);
    release_reader(reader);
    if (status != ZR_STATUS_SUCCESS) {
        mem_free(out);
        error_stack_push(MSG_FILE_READ);
        return ZR_STATUS_IO_ERROR;
    }
    *samples = out;
    *count = static_cast<int32_t>(total);
    return ZR_STATUS_SUCCESS;
}
