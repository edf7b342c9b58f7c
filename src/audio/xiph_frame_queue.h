// The delivery side shared by the Ogg and WebM readers: mono frames of one
// decoded packet wait in a buffer, and a read copies them out, asking its
// reader to decode the next packet whenever the buffer runs dry.
#pragma once

#include <cstdint>
#include <cstring>

#include "zr_quorva.h"

struct xiph_frame_queue {
    int16_t *buffer;           // the mono frames of the packet being delivered
    int32_t position;          // next frame to hand out
    int32_t count;             // frames left in the buffer
    int64_t total_frames;      // frames counted at open
    int64_t delivered;         // frames handed out so far
};

// Writes the next n frames to dst. `refill(reader)` decodes the next packet
// into the buffer and sets position and count, or returns the status that
// ends the read. A read of more frames than the count left is IO_ERROR at
// once, so that `delivered` never passes `total_frames`.
template <typename Reader>
zr_status_t xiph_queue_read(xiph_frame_queue *q, int32_t n, int16_t *dst, Reader *reader,
                            zr_status_t (*refill)(Reader *)) {
    if (n < 0 || (dst == nullptr && n > 0)) return ZR_STATUS_INVALID_ARGUMENT;
    if (q->total_frames - q->delivered < n) return ZR_STATUS_IO_ERROR;
    int32_t wanted = n;
    while (wanted > q->count) {
        if (q->count > 0) std::memcpy(dst, q->buffer + q->position, sizeof(int16_t) * q->count);
        dst += q->count;
        wanted -= q->count;
        q->delivered += q->count;
        q->position = 0;
        q->count = 0;
        const zr_status_t status = refill(reader);
        if (status != ZR_STATUS_SUCCESS) return status;
    }
    if (wanted > 0) std::memcpy(dst, q->buffer + q->position, sizeof(int16_t) * wanted);
    q->position += wanted;
    q->count -= wanted;
    q->delivered += wanted;
    return ZR_STATUS_SUCCESS;
}
