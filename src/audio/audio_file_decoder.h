// Turns an audio file into the whole recording as mono 16-bit samples at the
// engine's rate: detection, the format's reader and, when the rates differ,
// the resampler.
#pragma once

#include <cstdint>

#include "audio/audio_reader.h"

// The operations of a recognised format; NULL for AUDIO_FORMAT_UNKNOWN.
const audio_reader_ops *reader_ops_for(audio_format format);

// On success *samples (released with mem_free) holds *count samples. On
// failure nothing is left allocated, the outputs are untouched and the
// messages of the file driver are on the error stack.
zr_status_t decode_audio_file(const char *path, int16_t **samples, int32_t *count);

// Steps after a successful open: the rate decision, the output buffer and the
// read (and resample) loop. Takes the reader and releases it in every case,
// through its close operation.
zr_status_t convert_recording(audio_reader *reader, int16_t **samples, int32_t *count);
