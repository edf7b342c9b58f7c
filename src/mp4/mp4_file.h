// The records the box walk builds from "moov" and "moof": only what track
// choice, the sample table and the decoders need. Arrays are sized from the
// counts in the file only after those counts have been checked against the
// bytes of the box that holds them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "zr_quorva.h"

struct mp4_box_header {
    uint64_t length;       // header included
    char type[5];          // four characters and a NUL
    uint32_t header_length;  // 8, or 16 with a 64-bit length
    uint8_t version;       // full boxes only
    uint32_t flags;        // full boxes only
    uint32_t payload_offset;  // full boxes only: header length + 4
};

struct mp4_edit {
    uint64_t segment_duration;
    int64_t media_time;
    int16_t media_rate_integer;
    int16_t media_rate_fraction;
};

struct mp4_media_header {
    uint64_t creation_time;
    uint64_t modification_time;
    uint32_t timescale;
    uint64_t duration;
    uint16_t language;
    uint16_t pre_defined;
};

struct mp4_handler {
    uint32_t pre_defined;
    char handler_type[5];
    char *name;  // owned, NUL-terminated
};

struct mp4_es_descriptor {
    uint16_t es_id;
    uint8_t flags;
    uint16_t depends_on_es_id;
    uint16_t ocr_es_id;
    uint8_t object_type;
    uint8_t stream_type;
    uint32_t buffer_size;
    uint32_t max_bitrate;
    uint32_t avg_bitrate;
    uint8_t *specific_info;  // owned; the AudioSpecificConfig for AAC
    uint32_t specific_info_length;
};

struct mp4_sample_description {
    char type[5];  // "mp4a", "samr", or anything else
    uint16_t data_reference_index;
    uint16_t channel_count;
    uint16_t sample_size;
    uint32_t sample_rate;  // integer part of the 16.16 value
    bool has_esds;
    mp4_es_descriptor esds;
};

struct mp4_sample_table_boxes {
    mp4_sample_description *descriptions;
    uint32_t description_count;
    bool has_stsd;

    bool has_stsc;
    uint32_t stsc_count;
    uint32_t *first_chunk;
    uint32_t *samples_per_chunk;
    uint32_t *description_index;

    bool has_sizes;
    uint32_t common_size;  // "stsz" only; 0 when sizes are listed
    uint32_t sample_count;
    uint32_t *sample_sizes;  // absent when common_size applies

    bool has_offsets;
    uint32_t chunk_count;
    uint64_t *chunk_offsets;
};

struct mp4_media {
    bool has_mdhd;
    mp4_media_header mdhd;
    bool has_hdlr;
    mp4_handler hdlr;
    bool has_minf;
    bool has_stbl;
    mp4_sample_table_boxes stbl;
};

struct mp4_trak {
    mp4_box_header header;
    bool has_edit_list;
    mp4_edit *edits;
    uint32_t edit_count;
    // Allocated only when "mdia" occurs, so that a movie of many empty
    // tracks stays cheap.
    mp4_media *media;
};

struct mp4_trex {
    uint32_t track_id;
    uint32_t default_description_index;
    uint32_t default_sample_duration;
    uint32_t default_sample_size;
    uint32_t default_sample_flags;
};

struct mp4_movie {
    mp4_box_header header;
    mp4_trak *tracks;
    uint32_t track_count;
    bool has_mvex;
    mp4_trex *trex;
    uint32_t trex_count;
};

struct mp4_tfhd {
    bool base_data_offset_present;
    bool description_index_present;
    bool default_duration_present;
    bool default_size_present;
    bool default_flags_present;
    bool duration_is_empty;
    uint32_t track_id;
    uint64_t base_data_offset;
    uint32_t description_index;
    uint32_t default_sample_duration;
    uint32_t default_sample_size;
    uint32_t default_sample_flags;
};

// Per-sample arrays exist only when their flag is set; an absent one reads as
// zero. This keeps a run that declares many samples but stores none of their
// fields from costing memory.
struct mp4_trun {
    bool data_offset_present;
    bool first_sample_flags_present;
    bool duration_present;
    bool size_present;
    bool flags_present;
    bool composition_offset_present;
    uint32_t sample_count;
    int32_t data_offset;
    uint32_t first_sample_flags;
    uint32_t *durations;
    uint32_t *sizes;
    uint32_t *sample_flags;
    uint32_t *composition_offsets;
};

struct mp4_traf {
    bool has_tfhd;
    mp4_tfhd tfhd;
    mp4_trun *runs;
    uint32_t run_count;
};

struct mp4_fragment {
    uint64_t position;  // first byte of the "moof" box
    uint32_t sequence_number;
    mp4_traf *trafs;
    uint32_t traf_count;
};

struct mp4_file {
    mp4_movie *movie;  // at most one
    mp4_fragment *fragments;
    uint32_t fragment_count;
    uint64_t file_size;
};

// Largest "moov" or "moof" read into memory.
inline constexpr uint64_t kMp4MaxBufferedBox = 64u << 20;

// Walks the boxes of `file` (positioned at offset 0). On success *out holds
// the records, to be released with mp4_file_release.
zr_status_t mp4_parse(FILE *file, mp4_file **out);

// Parses the bytes of one "mdia" box, header included, into *media (which
// the caller has zero-filled); on failure *media may be partly filled and is
// released with mp4_media_release.
zr_status_t mp4_parse_media(const uint8_t *box, size_t length, mp4_media *media);

void mp4_media_release(mp4_media *media);
void mp4_file_release(mp4_file *file);
