#include "common/alloc.h"
#include "diarization/front_end.h"

zr_status_t front_end_create(front_end_state **out) {
    auto *state = static_cast<front_end_state *>(mem_calloc(1, sizeof(front_end_state)));
    if (state == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    state->hop_length = kHopLength;
    state->carry = 0;
    state->analysis = static_cast<analysis_state *>(mem_calloc(1, sizeof(analysis_state)));
    if (state->analysis == nullptr) {
        front_end_release(state);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    state->analysis->step = kHopLength;
    state->analysis->history =
        static_cast<float *>(mem_calloc(kAnalysisSize - kHopLength, sizeof(float)));
    if (state->analysis->history == nullptr) {
        front_end_release(state);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    *out = state;
    return ZR_STATUS_SUCCESS;
}

void front_end_release(front_end_state *state) {
    if (state == nullptr) return;
    if (state->analysis != nullptr) {
        mem_free(state->analysis->history);
        mem_free(state->analysis);
    }
    mem_free(state);
}
