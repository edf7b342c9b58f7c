#include "mp4/mp4_box.h"

zr_status_t mp4_read_box(byte_cursor *parent, mp4_box_header *header, byte_cursor *body) {
    const size_t start = parent->pos;
    uint32_t size32 = 0;
    *header = mp4_box_header{};
    if (!parent->u32(&size32) || !parent->bytes(header->type, 4)) {
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    header->type[4] = '\0';
    header->header_length = 8;
    uint64_t length = size32;
    if (size32 == 1) {
        if (!parent->u64(&length)) return ZR_STATUS_INVALID_ARGUMENT;
        header->header_length = 16;
    }
    // Length 0 ("to the end of the file") has no meaning inside another box.
    if (length < header->header_length || length > parent->size - start) {
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    header->length = length;
    parent->pos = start + header->header_length;
    if (!parent->sub(static_cast<size_t>(length - header->header_length), body)) {
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    return ZR_STATUS_SUCCESS;
}

zr_status_t mp4_read_full_box(byte_cursor *body, mp4_box_header *header) {
    uint8_t version = 0;
    uint32_t flags = 0;
    if (!body->u8(&version) || !body->u24(&flags)) return ZR_STATUS_INVALID_ARGUMENT;
    header->version = version;
    header->flags = flags;
    header->payload_offset = header->header_length + 4;
    return ZR_STATUS_SUCCESS;
}
