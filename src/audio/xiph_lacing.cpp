#include "audio/xiph_lacing.h"

zr_status_t xiph_split_headers(const uint8_t *block, size_t length, xiph_packets *out) {
    if (block == nullptr || length == 0) return ZR_STATUS_INVALID_STATE;
    const int packets = block[0] + 1;
    if (packets > kXiphHeaderPackets) return ZR_STATUS_INVALID_STATE;
    if (packets < kXiphHeaderPackets) return ZR_STATUS_INVALID_ARGUMENT;
    size_t pos = 1;
    size_t sizes[kXiphHeaderPackets - 1];
    size_t laced_total = 0;
    for (size_t &size : sizes) {
        // Each size is a run of 255s closed by a smaller byte. The sizes
        // together can never exceed the block, which bounds the run.
        size = 0;
        for (;;) {
            if (pos >= length) return ZR_STATUS_INVALID_STATE;
            const uint8_t byte = block[pos++];
            size += byte;
            if (size > length) return ZR_STATUS_INVALID_STATE;
            if (byte < 255) break;
        }
        laced_total += size;
        if (laced_total > length - pos) return ZR_STATUS_INVALID_STATE;
    }
    const uint8_t *data = block + pos;
    for (int i = 0; i < kXiphHeaderPackets - 1; ++i) {
        out->data[i] = data;
        out->size[i] = sizes[i];
        data += sizes[i];
    }
    out->data[kXiphHeaderPackets - 1] = data;
    out->size[kXiphHeaderPackets - 1] = length - pos - laced_total;
    return ZR_STATUS_SUCCESS;
}
