#include <mpg123.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "audio/audio_reader.h"
#include "audio/downmix.h"
#include "common/alloc.h"

// MPEG audio through libmpg123: an exact counting pass at open (a full scan,
// gapless on, so encoder delay and padding are left out), then 16-bit reads.
namespace {

struct mp3_reader {
    mpg123_handle *decoder;
    int16_t *stereo_buffer;  // kReaderChunkFrames stereo frames; stereo only
    int64_t total_frames;
    int32_t channels;
    int32_t sample_rate;
};

// Needed once per process by libmpg123 releases before 1.27; harmless after.
bool library_ready() {
    static const bool ready = mpg123_init() == MPG123_OK;
    return ready;
}

// Decodes exactly `frames` frames of the open format into dst. Reports false
// when the stream ends or fails first, or changes format midway.
bool decode_frames(mp3_reader *r, int16_t *dst, int32_t frames) {
    const size_t frame_bytes = sizeof(int16_t) * static_cast<size_t>(r->channels);
    const size_t want = frame_bytes * static_cast<size_t>(frames);
    auto *out = reinterpret_cast<unsigned char *>(dst);
    size_t got = 0;
    int idle_calls = 0;
    while (got < want) {
        size_t done = 0;
        const int rc = mpg123_read(r->decoder, out + got, want - got, &done);
        got += done;
        if (rc == MPG123_NEW_FORMAT) {
            long rate = 0;
            int channels = 0;
            int encoding = 0;
            if (mpg123_getformat(r->decoder, &rate, &channels, &encoding) != MPG123_OK ||
                rate != r->sample_rate || channels != r->channels ||
                encoding != MPG123_ENC_SIGNED_16)
                return false;
        } else if (rc != MPG123_OK) {
            return rc == MPG123_DONE && got == want;  // the end, or a decoding error
        }
        // The decoder gives at least one sample per successful call; a run of
        // empty ones means it is stuck.
        idle_calls = done == 0 ? idle_calls + 1 : 0;
        if (idle_calls > 16) return false;
    }
    return true;
}

zr_status_t mp3_open(const char *path, void **handle) {
    auto *r = static_cast<mp3_reader *>(mem_calloc(1, sizeof(mp3_reader)));
    *handle = r;
    if (r == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    if (!library_ready()) return ZR_STATUS_IO_ERROR;
    int error = MPG123_OK;
    r->decoder = mpg123_new(nullptr, &error);
    if (r->decoder == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    mpg123_param(r->decoder, MPG123_ADD_FLAGS, MPG123_GAPLESS | MPG123_QUIET, 0.0);
    // 16-bit output at the stream's own rate and channel count, never converted.
    mpg123_format_none(r->decoder);
    const long *rates = nullptr;
    size_t rate_count = 0;
    mpg123_rates(&rates, &rate_count);
    for (size_t i = 0; i < rate_count; ++i)
        mpg123_format(r->decoder, rates[i], MPG123_MONO | MPG123_STEREO, MPG123_ENC_SIGNED_16);
    if (mpg123_open(r->decoder, path) != MPG123_OK) return ZR_STATUS_IO_ERROR;
    long rate = 0;
    int channels = 0;
    int encoding = 0;
    // Finds and decodes the first frame, past any ID3v2 tag.
    if (mpg123_getformat(r->decoder, &rate, &channels, &encoding) != MPG123_OK)
        return ZR_STATUS_IO_ERROR;
    if (channels != 1 && channels != 2) return ZR_STATUS_INVALID_ARGUMENT;
    if (rate <= 0 || encoding != MPG123_ENC_SIGNED_16) return ZR_STATUS_IO_ERROR;
    r->channels = channels;
    r->sample_rate = static_cast<int32_t>(rate);
    // Counting pass: a full scan, then back to the first sample.
    if (mpg123_scan(r->decoder) != MPG123_OK) return ZR_STATUS_INVALID_ARGUMENT;
    const off_t length = mpg123_length(r->decoder);
    if (length <= 0) return ZR_STATUS_INVALID_ARGUMENT;
    if (mpg123_seek(r->decoder, 0, SEEK_SET) != 0) return ZR_STATUS_INVALID_ARGUMENT;
    r->total_frames = static_cast<int64_t>(length);
    if (channels == 2) {
        r->stereo_buffer =
            static_cast<int16_t *>(mem_alloc(sizeof(int16_t) * 2 * kReaderChunkFrames));
        if (r->stereo_buffer == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    }
    return ZR_STATUS_SUCCESS;
}

void mp3_close(void *handle) {
    auto *r = static_cast<mp3_reader *>(handle);
    if (r == nullptr) return;
    if (r->decoder != nullptr) mpg123_delete(r->decoder);  // closes the file too
    mem_free(r->stereo_buffer);
    mem_free(r);
}

uint64_t mp3_num_frames(void *handle) {
    return static_cast<uint64_t>(static_cast<mp3_reader *>(handle)->total_frames);
}

int32_t mp3_num_channels(void *handle) { return static_cast<mp3_reader *>(handle)->channels; }

int32_t mp3_sample_rate(void *handle) { return static_cast<mp3_reader *>(handle)->sample_rate; }

zr_status_t mp3_read(void *handle, int32_t n, int16_t *dst) {
    auto *r = static_cast<mp3_reader *>(handle);
    if (n <= 0) return ZR_STATUS_SUCCESS;
    if (r->channels == 1) return decode_frames(r, dst, n) ? ZR_STATUS_SUCCESS : ZR_STATUS_IO_ERROR;
    while (n > 0) {
        const int32_t piece = std::min(kReaderChunkFrames, n);
        if (!decode_frames(r, r->stereo_buffer, piece)) return ZR_STATUS_IO_ERROR;
        downmix_frames_int16(r->stereo_buffer, piece, 2, dst);
        dst += piece;
        n -= piece;
    }
    return ZR_STATUS_SUCCESS;
}

}  // namespace

const audio_reader_ops mp3_reader_ops = {mp3_open,         mp3_close,       mp3_num_frames,
                                         mp3_num_channels, mp3_sample_rate, mp3_read};
