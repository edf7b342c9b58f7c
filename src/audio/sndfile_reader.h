// The WAV and FLAC readers share one handle and one read pattern over
// libsndfile; they differ in the container they accept and in whether an empty
// recording opens.
#pragma once

#include <cstdint>

#include "zr_quorva.h"

struct sndfile_reader_rules {
    int container;     // libsndfile major format expected
    int alt_container; // a second accepted major format, or 0
    bool allow_empty;  // a recording of 0 frames opens
};

zr_status_t sndfile_reader_open(const char *path, const sndfile_reader_rules &rules,
                                void **handle);
void sndfile_reader_close(void *handle);
uint64_t sndfile_reader_num_frames(void *handle);
int32_t sndfile_reader_num_channels(void *handle);
int32_t sndfile_reader_sample_rate(void *handle);
zr_status_t sndfile_reader_read(void *handle, int32_t n, int16_t *dst);
