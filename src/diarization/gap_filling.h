// Filling short pauses inside one speaker's speech.
#pragma once

#include <cstdint>

#include "common/identity.h"
#include "diarization/segments.h"

// Duration of one frame step, seconds.
inline constexpr double kFrameStepSeconds = static_cast<double>(kFrameSamples) / kSampleRate;

// Gives every background run of labels[0..n) that lies between two runs of
// the same speaker and lasts less than `min_duration_off` seconds (frames x
// 32 ms) to that speaker.
void fill_short_gaps(int32_t *labels, int32_t n, float min_duration_off);
