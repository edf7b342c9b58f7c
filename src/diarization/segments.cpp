#include "diarization/segments.h"

#include "common/identity.h"

namespace {

constexpr float kMillisecondsPerSecond = 1000.0f;

// Rounds a non-negative float to the nearest integer, halves away from zero,
// without the math library. Floats of 2^23 and above are already integers.
float round_half_away(float v) {
    if (!(v < 8388608.0f)) return v;
    const float whole = static_cast<float>(static_cast<int32_t>(v));
    return v - whole >= 0.5f ? whole + 1.0f : whole;
}

}  // namespace

float frame_time_seconds(int32_t k) {
    const float sample = static_cast<float>(k * kFrameSamples);
    return round_half_away(sample / static_cast<float>(kSampleRate) * kMillisecondsPerSecond) /
           kMillisecondsPerSecond;
}

int32_t count_segments(const int32_t *labels, int32_t n) {
    int32_t count = 0;
    for (int32_t k = 0; k < n; ++k) {
        if (labels[k] != 0 && (k == 0 || labels[k] != labels[k - 1])) ++count;
    }
    return count;
}

void fill_segments(const int32_t *labels, int32_t n, zr_quorva_segment_t *out) {
    int32_t k = 0;
    while (k < n) {
        const int32_t label = labels[k];
        int32_t last = k;
        while (last + 1 < n && labels[last + 1] == label) ++last;
        if (label != 0) {
            out->start_seconds = frame_time_seconds(k);
            out->end_seconds = frame_time_seconds(last);
            out->speaker_label = label;
            ++out;
        }
        k = last + 1;
    }
}
