// The result block of a call with options: segments, and per speaker its
// time and mean embedding, in one allocation.
#pragma once

#include <cstdint>

#include "zr_quorva.h"

// `clustered` are the labels the clustering gave (the embeddings' owners),
// `labels` the final ones after gap filling (the segments' source); both n
// long, with speakers numbered 1..K without gaps. OUT_OF_MEMORY leaves
// nothing allocated.
zr_status_t build_speaker_result(const int32_t *clustered, const int32_t *labels, int32_t n,
                                 const float *embeddings, int32_t dim, bool count_met,
                                 double audio_seconds, zr_quorva_result_t **out);
