// The output formats of `quorva diarize`: RTTM, JSON and a text table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "zr_quorva.h"

// One speaker of a file: its label, its time and its mean embedding.
struct speaker_summary {
    int32_t label = 0;
    float seconds = 0.0f;
    std::vector<float> embedding;
};

// The diarization of one input file as the tool reports it.
struct file_diarization {
    std::string path;
    zr_status_t status = ZR_STATUS_SUCCESS;
    std::vector<zr_quorva_segment_t> segments;
    std::vector<speaker_summary> speakers;
    bool speaker_count_met = true;
};

// Recording name: the file name without directory and extension.
std::string recording_uri(const std::string &path);

// A segment's span in whole milliseconds. Segment times are frame start
// times, so the span reaches 32 ms past the end time to cover the last frame.
struct segment_span {
    int64_t onset_ms;
    int64_t duration_ms;
    int32_t speaker;
};
segment_span span_of(const zr_quorva_segment_t &segment);

// Distinct speaker labels among the segments.
int count_speakers(const std::vector<zr_quorva_segment_t> &segments);

// One SPEAKER line per segment of every successful file.
std::string format_rttm(const std::vector<file_diarization> &files);
// {"files": [{"path", "uri", "status", "num_speakers", "speaker_count_met",
//   "segments": [...], "speakers": [{"label", "speaker", "seconds", "embedding"}]}]}
std::string format_json(const std::vector<file_diarization> &files);
// A readable table per file.
std::string format_text(const std::vector<file_diarization> &files);
