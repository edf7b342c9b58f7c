// Sample-rate conversion of a mono 16-bit stream, block by block: reduction by
// any factor of 1 or more (windowed-sinc low-pass, then linear interpolation)
// and doubling (zero-stuffing, then the same low-pass).
#pragma once

#include <cstdint>

#include "zr_quorva.h"

inline constexpr int32_t kResamplerHalfLength = 50;
inline constexpr int32_t kResamplerTaps = 2 * kResamplerHalfLength + 1;
inline constexpr int32_t kResamplerHistory = 2 * kResamplerHalfLength;
// Working area of one block: the history, the pending samples and new input.
inline constexpr int32_t kResamplerBlock = 2048;
// Above this input rate a block could yield no output and the loop stall.
inline constexpr int32_t kResamplerMaxInputRate = 384000;

struct resampler_state {
    int32_t half_length;
    float ratio;
    float *coefficients;  // kResamplerTaps values
    int32_t pending;      // filtered samples not yet consumed (reduction)
    int64_t last_index;   // absolute index of the last upper interpolation point
    int64_t output_position;
    int64_t consumed;     // filtered samples dropped from the front so far
    int16_t *filtered;
    int16_t *input;       // the first kResamplerHistory entries are the history
    int16_t previous_sample;
    int32_t filtered_size;
    int32_t input_size;
};

struct resampler {
    int32_t output_rate;
    int32_t input_rate;
    resampler_state *state;
    int32_t (*process)(resampler_state *state, const int16_t *src, int32_t count, int16_t *dst);
    void (*reset)(resampler_state *state);
    void (*destroy)(resampler_state *state);
    // Further input samples the next process calls need to yield that many
    // outputs. 64-bit: a long recording overflows 32 bits.
    int64_t (*input_needed)(resampler_state *state, int64_t output_count);
    // Output samples that that many input samples yield in total.
    int64_t (*output_length)(resampler_state *state, int64_t input_count);
};

// Reduction (ratio >= 1) or doubling (ratio exactly 0.5); any other ratio, a
// non-positive rate or an input rate above kResamplerMaxInputRate is
// INVALID_ARGUMENT. On failure *out is NULL and nothing is left allocated.
zr_status_t resampler_create(int32_t input_rate, int32_t output_rate, resampler **out);
// Destroys the state and the record; accepts NULL.
void resampler_delete(resampler *r);

// The most outputs one process call on count inputs can return, for sizing
// the caller's destination.
int64_t resampler_max_output(const resampler *r, int32_t count);

// Windowed-sinc low-pass of kResamplerTaps taps for the given ratio.
void design_lowpass(float *h, float ratio);
// The filter at input position i (i >= kResamplerHistory), saturated to int16.
int16_t fir_filter_at(const int16_t *input, int32_t i, const float *h);
