// Diarization error rate with the NIST md-eval conventions: speaker turns of
// one speaker are merged, the reference and hypothesis speakers are paired
// one to one so that their overlap is largest, overlapping speech counts once
// per speaker, a collar around every reference boundary is not scored, and
// only the scored regions count (the UEM, or else the span from the first to
// the last reference turn).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "scoring/rttm.h"

struct der_counts {
    time_us scored_speech = 0;  // reference speaker time in the scored regions
    time_us missed = 0;
    time_us false_alarm = 0;
    time_us confusion = 0;

    time_us errors() const { return missed + false_alarm + confusion; }
    // Percentage of the scored speech; 0 when nothing was scored and nothing
    // went wrong, infinity when errors exist without scored speech.
    double der_percent() const;
    der_counts &operator+=(const der_counts &other);
};

struct file_score {
    std::string uri;
    der_counts counts;
};

struct der_report {
    std::vector<file_score> files;  // every recording of the reference, in name order
    der_counts total;
    std::vector<std::string> hypothesis_only;  // recordings absent from the reference
};

struct der_options {
    time_us collar = 0;                 // on each side of a reference boundary
    std::optional<region_table> uem;    // scored regions; a recording absent from it scores nothing
};

// Scores one recording.
der_counts score_recording(const std::vector<speaker_turn> &reference,
                           const std::vector<speaker_turn> &hypothesis,
                           const std::vector<time_region> &scored_regions, time_us collar);

// Scores every recording of the reference.
der_report score_turns(const turn_table &reference, const turn_table &hypothesis,
                       const der_options &options);
