// Box headers read from memory, and the small array helpers the box walk
// shares with the sample table.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#include "common/alloc.h"
#include "mp4/byte_cursor.h"
#include "mp4/mp4_file.h"

#define MP4_TRY(expr)                                     \
    do {                                                  \
        const zr_status_t status_ = (expr);               \
        if (status_ != ZR_STATUS_SUCCESS) return status_; \
    } while (0)

// Reads the header of the box at the parent's position and hands out its
// contents (the bytes after the 8- or 16-byte header) as `body`; the parent
// moves past the whole box. A length of 0, shorter than the header, or
// reaching past the parent is INVALID_ARGUMENT.
zr_status_t mp4_read_box(byte_cursor *parent, mp4_box_header *header, byte_cursor *body);

// Reads the version and flags that open a full box's body.
zr_status_t mp4_read_full_box(byte_cursor *body, mp4_box_header *header);

inline bool mp4_type_is(const mp4_box_header &h, const char *type) {
    return std::memcmp(h.type, type, 4) == 0;
}

// Appends one zero-filled element, doubling the capacity whenever the count
// reaches a power of two; *slot points at the new element.
template <typename T>
zr_status_t mp4_append(T **items, uint32_t *count, T **slot) {
    static_assert(std::is_trivially_copyable_v<T>);
    const uint32_t n = *count;
    if (n == UINT32_MAX / 2) return ZR_STATUS_INVALID_ARGUMENT;
    if (n == 0 || (n & (n - 1)) == 0) {
        const size_t capacity = n == 0 ? 1 : size_t{n} * 2;
        T *grown = static_cast<T *>(mem_realloc(*items, capacity * sizeof(T)));
        if (grown == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
        *items = grown;
    }
    std::memset(&(*items)[n], 0, sizeof(T));
    *slot = &(*items)[n];
    *count = n + 1;
    return ZR_STATUS_SUCCESS;
}

// An array of `count` entries read from the cursor, each `entry_bytes` long in
// the file: refused unless the cursor holds them all, so the allocation never
// outgrows the box that declares it.
template <typename T>
zr_status_t mp4_alloc_entries(const byte_cursor &c, uint64_t count, uint64_t entry_bytes,
                              T **out) {
    if (entry_bytes != 0 && count > c.left() / entry_bytes) return ZR_STATUS_INVALID_ARGUMENT;
    *out = static_cast<T *>(mem_calloc(count == 0 ? 1 : count, sizeof(T)));
    return *out == nullptr ? ZR_STATUS_OUT_OF_MEMORY : ZR_STATUS_SUCCESS;
}
