// The diarization of a call with options: the settings resolved from a
// caller's options record, and the work behind both entry points that take one.
#pragma once

#include <cstdint>

#include "diarization/clustering.h"
#include "zr_quorva.h"

inline constexpr int32_t kMaxSpeakerCount = 1000;
inline constexpr float kMaxMinDurationOff = 3600.0f;

struct diarize_settings {
    speaker_count_limits limits;
    float min_duration_off;  // seconds; 0 fills nothing
};

// The settings of `options` (NULL: the defaults). A refused value gives
// INVALID_ARGUMENT with one message naming the field.
zr_status_t resolve_options(const zr_quorva_options_t *options, diarize_settings *settings);

// zr_quorva_process_with_options after its pointer checks: the sample count,
// the engine's state, the stages, and the result block in *result.
zr_status_t diarize_to_result(zr_quorva_t *engine, const int16_t *pcm, int32_t num_samples,
                              const diarize_settings &settings, zr_quorva_result_t **result);
