// Decodes an audio file to exactly the samples the engine diarizes when given
// its path: the same format detection, reader, down-mix and resampler as
// zr_quorva_process_file, stopping before the pipeline. Used by tools that
// let a user inspect that audio.
#pragma once

#include <cstdint>

#include "zr_quorva.h"

// On SUCCESS *pcm holds *num_samples mono 16-bit samples at 16000 Hz,
// allocated with mem_alloc (release with mem_free); on failure the outputs
// are untouched and the calling thread's error stack says why, with the
// status and messages zr_quorva_process_file would give for the same file.
zr_status_t decode_file_to_pcm(const char *path, int16_t **pcm, int32_t *num_samples);
