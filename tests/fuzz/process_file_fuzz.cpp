// Whole files through format detection, every reader, resampling and the
// pipeline, on a small fixed model.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.h"
#include "zr_quorva.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();  // container warnings would flood the fuzzer's output
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = fuzz_write_input(data, size);
    int32_t num_segments = -1;
    zr_quorva_segment_t *segments = nullptr;
    const zr_status_t status =
        zr_quorva_process_file(fuzz_small_engine(), path, &num_segments, &segments);
    if (status == ZR_STATUS_SUCCESS) {
        if (segments == nullptr || num_segments < 0) std::abort();
        for (int32_t i = 0; i < num_segments; ++i) {
            if (segments[i].speaker_label < 1 || segments[i].end_seconds < segments[i].start_seconds) {
                std::abort();
            }
        }
    } else if (segments != nullptr) {
        std::abort();  // a failed call hands out nothing
    }
    zr_quorva_segments_delete(segments);
    fuzz_collect_errors(status);
    return 0;
}
