#include "audio/sndfile_reader.h"

#include <sndfile.h>

#include <algorithm>

#include "audio/audio_reader.h"
#include "audio/downmix.h"
#include "common/alloc.h"

namespace {

struct sndfile_reader {
    SNDFILE *file;
    int16_t *stereo_buffer;  // kReaderChunkFrames stereo frames; stereo only
    float *float_buffer;     // kReaderChunkFrames frames; float encodings only
    int64_t total_frames;
    int32_t channels;
    int32_t sample_rate;
};

bool is_float_encoding(int format) {
    const int subtype = format & SF_FORMAT_SUBMASK;
    return subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
}

// Float data read through the 16-bit call comes out unscaled (nearly all
// zeros), so it is read as float and converted here.
zr_status_t read_float(sndfile_reader *r, int32_t n, int16_t *dst) {
    while (n > 0) {
        const int32_t piece = std::min(kReaderChunkFrames, n);
        if (sf_readf_float(r->file, r->float_buffer, piece) != piece) return ZR_STATUS_IO_ERROR;
        if (r->channels == 1) {
            for (int32_t i = 0; i < piece; ++i) dst[i] = float_to_int16(r->float_buffer[i]);
        } else {
            for (int32_t i = 0; i < piece; ++i)
                dst[i] = downmix_int16(float_to_int16(r->float_buffer[2 * i]),
                                       float_to_int16(r->float_buffer[2 * i + 1]));
        }
        dst += piece;
        n -= piece;
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t read_stereo(sndfile_reader *r, int32_t n, int16_t *dst) {
    while (n > 0) {
        const int32_t piece = std::min(kReaderChunkFrames, n);
        if (sf_readf_short(r->file, r->stereo_buffer, piece) != piece) return ZR_STATUS_IO_ERROR;
        downmix_frames_int16(r->stereo_buffer, piece, 2, dst);
        dst += piece;
        n -= piece;
    }
    return ZR_STATUS_SUCCESS;
}

}  // namespace

zr_status_t sndfile_reader_open(const char *path, const sndfile_reader_rules &rules,
                                void **handle) {
    auto *r = static_cast<sndfile_reader *>(mem_calloc(1, sizeof(sndfile_reader)));
    *handle = r;
    if (r == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    SF_INFO info{};
    r->file = sf_open(path, SFM_READ, &info);
    // Unreadable file, damaged header or an encoding libsndfile cannot decode.
    if (r->file == nullptr) return ZR_STATUS_INVALID_ARGUMENT;
    const int container = info.format & SF_FORMAT_TYPEMASK;
    if (container != rules.container && (rules.alt_container == 0 || container != rules.alt_container))
        return ZR_STATUS_INVALID_ARGUMENT;
    if (info.channels != 1 && info.channels != 2) return ZR_STATUS_INVALID_ARGUMENT;
    if (info.samplerate <= 0 || info.frames < 0) return ZR_STATUS_INVALID_ARGUMENT;
    // A FLAC stream whose header leaves the length unknown (0 in STREAMINFO)
    // is reported as the largest count: take it as the 0 the header says.
    if (info.frames == SF_COUNT_MAX) info.frames = 0;
    if (info.frames == 0 && !rules.allow_empty) return ZR_STATUS_INVALID_ARGUMENT;
    r->channels = info.channels;
    r->sample_rate = info.samplerate;
    r->total_frames = info.frames;
    if (is_float_encoding(info.format)) {
        // Values are passed as they are stored: the conversion rule scales them.
        sf_command(r->file, SFC_SET_NORM_FLOAT, nullptr, SF_TRUE);
        r->float_buffer = static_cast<float *>(
            mem_alloc(sizeof(float) * static_cast<size_t>(kReaderChunkFrames) * r->channels));
        if (r->float_buffer == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    } else if (r->channels == 2) {
        r->stereo_buffer =
            static_cast<int16_t *>(mem_alloc(sizeof(int16_t) * 2 * kReaderChunkFrames));
        if (r->stereo_buffer == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    }
    return ZR_STATUS_SUCCESS;
}

void sndfile_reader_close(void *handle) {
    auto *r = static_cast<sndfile_reader *>(handle);
    if (r == nullptr) return;
    if (r->file != nullptr) sf_close(r->file);
    mem_free(r->stereo_buffer);
    mem_free(r->float_buffer);
    mem_free(r);
}

uint64_t sndfile_reader_num_frames(void *handle) {
    return static_cast<uint64_t>(static_cast<sndfile_reader *>(handle)->total_frames);
}

int32_t sndfile_reader_num_channels(void *handle) {
    return static_cast<sndfile_reader *>(handle)->channels;
}

int32_t sndfile_reader_sample_rate(void *handle) {
    return static_cast<sndfile_reader *>(handle)->sample_rate;
}

zr_status_t sndfile_reader_read(void *handle, int32_t n, int16_t *dst) {
    auto *r = static_cast<sndfile_reader *>(handle);
    if (n <= 0) return ZR_STATUS_SUCCESS;
    if (r->float_buffer != nullptr) return read_float(r, n, dst);
    if (r->channels == 2) return read_stereo(r, n, dst);
    return sf_readf_short(r->file, dst, n) == n ? ZR_STATUS_SUCCESS : ZR_STATUS_IO_ERROR;
}
