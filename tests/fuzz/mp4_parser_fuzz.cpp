// The MP4 box walk on its own: boxes, track choice and the sample table,
// without decoding, so the fuzzer spends its time on the container.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "mp4/mp4_file.h"
#include "mp4/mp4_track.h"
#include "zr_quorva.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    zr_log_disable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0) return 0;  // fmemopen refuses an empty buffer
    FILE *file = fmemopen(const_cast<uint8_t *>(data), size, "rb");
    if (file == nullptr) std::abort();
    mp4_file *parsed = nullptr;
    mp4_track_info info{};
    info.track_index = -1;
    mp4_sample_table table{};
    zr_status_t status = mp4_parse(file, &parsed);
    if (status == ZR_STATUS_SUCCESS) status = mp4_select_track(parsed, &info);
    if (status == ZR_STATUS_SUCCESS) status = mp4_build_sample_table(parsed, &info, &table);
    if (status == ZR_STATUS_SUCCESS) {
        // Every listed sample lies inside the file.
        for (int32_t i = 0; i < table.count; ++i) {
            const mp4_sample_entry &e = table.entries[i];
            if (e.position > size || e.length > size - e.position) std::abort();
        }
        mp4_check_duration(&info, 0);
    }
    mp4_sample_table_release(&table);
    mp4_track_info_release(&info);
    mp4_file_release(parsed);
    std::fclose(file);
    return 0;
}
