// Acoustic front end state: links each 256-sample block of a call to the
// previous one. Idle (carry 0, history all zero) between calls.
#pragma once

#include <cstdint>

#include "model/model.h"
#include "zr_quorva.h"

inline constexpr int32_t kHopLength = 256;
inline constexpr int32_t kAnalysisSize = 512;

struct analysis_state {
    int32_t step;     // new samples per analysis window
    float *history;   // the kAnalysisSize - step pre-emphasised samples before the block
};

struct front_end_state {
    int32_t hop_length;
    int16_t carry;  // last input sample of the previous block
    analysis_state *analysis;
};

// Builds an idle front-end state. OUT_OF_MEMORY leaves nothing allocated.
zr_status_t front_end_create(front_end_state **out);
void front_end_release(front_end_state *state);

// Fills the 2n rows of 40 log band energies of `features` from the first
// 512 * n samples of `pcm`, and returns `state` to its idle values (also when
// the working buffers cannot be allocated: OUT_OF_MEMORY).
zr_status_t front_end_run(front_end_state *state, const int16_t *pcm, int32_t n,
                          int16_t *features);

// Rewrites every value of the `rows` x 40 matrix in place:
// ((f - mean[b]) * scale[b]) >> 10, saturated to int16.
void front_end_normalise(const normalizer_params *normalizer, int16_t *features, int32_t rows);
