// Model files as the engine receives them: every input is loaded through the
// public entry point, and whatever loads must also release cleanly.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "fuzz_support.h"
#include "zr_quorva.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *path = fuzz_write_input(data, size);
    zr_quorva_t *engine = nullptr;
    const zr_status_t status = zr_quorva_init(path, &engine);
    if ((status == ZR_STATUS_SUCCESS) != (engine != nullptr)) std::abort();
    fuzz_collect_errors(status);
    if (engine != nullptr) {
        // A loaded model must run: one second of a tone through the pipeline.
        static int16_t pcm[16000];
        for (int i = 0; i < 16000; ++i) pcm[i] = static_cast<int16_t>((i * 37) % 2001 - 1000);
        int32_t count = -1;
        zr_quorva_segment_t *segments = nullptr;
        const zr_status_t run = zr_quorva_process(engine, pcm, 16000, &count, &segments);
        if (run != ZR_STATUS_SUCCESS || segments == nullptr || count < 0) std::abort();
        zr_quorva_segments_delete(segments);
        fuzz_collect_errors(run);
        zr_quorva_delete(engine);
    }
    return 0;
}
