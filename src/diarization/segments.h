// Per-frame speaker labels to the segments handed to the host.
#pragma once

#include <cstdint>

#include "zr_quorva.h"

inline constexpr int32_t kFrameSamples = 512;

// Start time of frame k in seconds, rounded to a whole millisecond in float32.
float frame_time_seconds(int32_t k);

// The number of maximal runs of equal non-zero labels in labels[0..n-1].
int32_t count_segments(const int32_t *labels, int32_t n);

// Writes one record per run, in order of time; `out` holds count_segments().
void fill_segments(const int32_t *labels, int32_t n, zr_quorva_segment_t *out);
