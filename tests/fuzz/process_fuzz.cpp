// Raw PCM straight into the pipeline on a small fixed model: any buffer of at
// least one frame must succeed with well-formed segments.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz_support.h"
#include "zr_quorva.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Copied so the samples are aligned and the buffer ends exactly where the
    // count says (ASan then catches any read past it).
    const size_t count = size / 2;
    std::vector<int16_t> pcm(count);
    if (count != 0) std::memcpy(pcm.data(), data, count * 2);
    int32_t num_segments = -1;
    zr_quorva_segment_t *segments = nullptr;
    const zr_status_t status = zr_quorva_process(fuzz_small_engine(), pcm.data(),
                                                 static_cast<int32_t>(count), &num_segments,
                                                 &segments);
    if (count < 512) {
        if (status != ZR_STATUS_INVALID_ARGUMENT || segments != nullptr) std::abort();
    } else {
        if (status != ZR_STATUS_SUCCESS || segments == nullptr || num_segments < 0) std::abort();
        const int32_t frames = static_cast<int32_t>(count / 512);
        const float last = static_cast<float>(frames - 1) * 0.032f + 0.001f;
        for (int32_t i = 0; i < num_segments; ++i) {
            const zr_quorva_segment_t &s = segments[i];
            if (s.speaker_label < 1 || s.start_seconds < 0.0f || s.end_seconds < s.start_seconds ||
                s.end_seconds > last) {
                std::abort();
            }
            if (i > 0 && s.start_seconds <= segments[i - 1].end_seconds) std::abort();
        }
    }
    zr_quorva_segments_delete(segments);
    fuzz_collect_errors(status);
    return 0;
}
