// The uniform audio reader: the file driver reaches every format through a
// handle and a fixed set of operations that the format fills in.
#pragma once

#include <cstdint>

#include "zr_quorva.h"

enum audio_format : uint32_t {
    AUDIO_FORMAT_UNKNOWN = 0,
    AUDIO_FORMAT_FLAC = 1,
    AUDIO_FORMAT_MP4 = 2,
    AUDIO_FORMAT_MP3 = 3,
    AUDIO_FORMAT_OGG_OPUS = 4,
    AUDIO_FORMAT_OGG_VORBIS = 5,
    AUDIO_FORMAT_WAV = 6,
    AUDIO_FORMAT_WEBM = 7,
};

struct resampler;

// The operations of one format. `open` stores its handle in *handle as soon
// as it exists; whether open succeeds or fails, the driver releases the
// handle with `close` exactly once, so open must not free what close frees.
// Readers push no messages: the driver reports on their behalf.
struct audio_reader_ops {
    zr_status_t (*open)(const char *path, void **handle);
    void (*close)(void *handle);  // accepts NULL and partly opened handles
    // Sample frames (samples per channel) in the whole recording, exact once
    // open has succeeded.
    uint64_t (*num_frames)(void *handle);
    int32_t (*num_channels)(void *handle);
    int32_t (*sample_rate)(void *handle);
    // Writes the next n mono frames to dst. SUCCESS when all n were written,
    // IO_ERROR when the recording cannot supply them all, another status when
    // a packet cannot be decoded.
    zr_status_t (*read)(void *handle, int32_t n, int16_t *dst);
};

struct audio_reader {
    uint32_t format;
    void *handle;
    audio_reader_ops ops;
    int16_t *chunk;            // 1024-sample transfer buffer while resampling
    struct resampler *resampler;  // present only while resampling
    int64_t remaining_output;  // output samples still expected
};

inline constexpr int32_t kReaderChunkFrames = 1024;

extern const audio_reader_ops wav_reader_ops;
extern const audio_reader_ops flac_reader_ops;
extern const audio_reader_ops mp3_reader_ops;
extern const audio_reader_ops ogg_opus_reader_ops;
extern const audio_reader_ops ogg_vorbis_reader_ops;
extern const audio_reader_ops webm_reader_ops;
extern const audio_reader_ops mp4_reader_ops;
