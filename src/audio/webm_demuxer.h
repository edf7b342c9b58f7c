// Pulls the frames of one audio track out of a WebM file, one at a time, on
// top of libwebm's push parser. The parser runs over the open file through a
// bounded input; every element it would keep in memory is checked against
// the file's size first, and nothing it throws leaves this layer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "zr_quorva.h"

enum webm_codec : int32_t {
    WEBM_CODEC_NONE = 0,
    WEBM_CODEC_VORBIS = 1,
    WEBM_CODEC_OPUS = 2,
};

// The first audio track in Vorbis or Opus, as its track entry describes it.
struct webm_audio_track {
    uint64_t number;
    webm_codec codec;
    double sampling_frequency;  // 8000 when the file gives none
    uint64_t channels;          // 1 when the file gives none
    uint8_t *codec_private;     // owned by the demuxer; NULL when absent
    size_t codec_private_size;
};

struct webm_demuxer;

// Creates the demuxer over an open file (which stays the caller's) and
// parses everything before the first cluster. *out holds the demuxer as soon
// as it exists. OUT_OF_MEMORY, or INVALID_ARGUMENT when the file's structure
// is refused before any cluster.
zr_status_t webm_demuxer_open(FILE *file, webm_demuxer **out);
void webm_demuxer_close(webm_demuxer *demuxer);  // accepts NULL

// The selected track, or NULL when the file has none.
const webm_audio_track *webm_demuxer_track(const webm_demuxer *demuxer);

// The next frame of the selected track: SUCCESS with its bytes (valid until
// the next call), STOP_ITERATION at the end of the stream or at data that
// cannot be parsed, OUT_OF_MEMORY when a buffer cannot be had.
zr_status_t webm_demuxer_next_frame(webm_demuxer *demuxer, const uint8_t **data, size_t *size);

// Starts a fresh parse from the start of the file; the selected track stays.
// OUT_OF_MEMORY, or IO_ERROR when the file cannot seek.
zr_status_t webm_demuxer_rewind(webm_demuxer *demuxer);
