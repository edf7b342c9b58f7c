#include "diarization/gap_filling.h"

void fill_short_gaps(int32_t *labels, int32_t n, float min_duration_off) {
    if (!(min_duration_off > 0.0f)) return;
    int32_t k = 0;
    while (k < n) {
        if (labels[k] != 0) {
            ++k;
            continue;
        }
        int32_t end = k;
        while (end < n && labels[end] == 0) ++end;
        const bool inside = k > 0 && end < n && labels[k - 1] == labels[end];
        // Compared as the float the caller wrote, so that a limit of exactly
        // three frames (0.096) does not fill a three-frame gap.
        const float gap = static_cast<float>(static_cast<double>(end - k) * kFrameStepSeconds);
        if (inside && gap < min_duration_off) {
            for (int32_t i = k; i < end; ++i) labels[i] = labels[k - 1];
        }
        k = end;
    }
}
