// Choice of the audio track and its flat sample table, with the edit-list
// rule and the two timing warnings.
#pragma once

#include <cstdint>

#include "mp4/mp4_file.h"

enum mp4_codec : int32_t {
    MP4_CODEC_NONE = 0,
    MP4_CODEC_AAC = 1,
    MP4_CODEC_AMR_NB = 2,
};

struct mp4_track_info {
    int32_t track_index;  // -1 while none is chosen
    int32_t codec;
    int32_t channels;
    int32_t sample_rate;
    uint64_t media_duration;  // timescale units
    int32_t timescale;
    uint8_t *decoder_config;  // owned; AAC only
    int32_t decoder_config_length;
};

struct mp4_sample_entry {
    uint64_t position;
    uint32_t length;
};

struct mp4_sample_table {
    mp4_sample_entry *entries;  // owned
    int32_t count;
    int32_t capacity;  // entries allocated; grows geometrically across runs
};

inline constexpr const char *kMp4EditsWarning =
    "\x1b[33m [WARN] Supplied audio file contains edits which may result in inaccurate timing "
    "info\x1b[0m\n";
inline constexpr const char *kMp4DurationWarning =
    "\x1b[33m [WARN] Supplied audio file has a media duration discrepancy which may result in "
    "inaccurate timing info\x1b[0m\n";

// Picks the first "soun" track with an "mp4a" or "samr" description.
// INVALID_ARGUMENT when none qualifies, or when the chosen AAC description
// has no "esds".
zr_status_t mp4_select_track(const mp4_file *file, mp4_track_info *info);

// Lists every coded sample of the chosen track (movie tables, then fragments)
// with its file position and length. Every sample must lie inside the file.
zr_status_t mp4_build_sample_table(const mp4_file *file, mp4_track_info *info,
                                   mp4_sample_table *table);

// Prints the discrepancy warning when the media duration and the decoded
// frame count disagree in whole seconds.
void mp4_check_duration(const mp4_track_info *info, uint64_t total_frames);

void mp4_track_info_release(mp4_track_info *info);
void mp4_sample_table_release(mp4_sample_table *table);
