// A bounded big-endian reader over bytes already in memory. Every read checks
// the bytes left, so a length or count taken from a file can never move a read
// past the end of the box that holds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct byte_cursor {
    const uint8_t *data = nullptr;
    size_t size = 0;
    size_t pos = 0;

    size_t left() const { return size - pos; }

    bool skip(size_t n) {
        if (n > left()) return false;
        pos += n;
        return true;
    }
    bool u8(uint8_t *v) {
        if (left() < 1) return false;
        *v = data[pos++];
        return true;
    }
    bool u16(uint16_t *v) {
        if (left() < 2) return false;
        *v = static_cast<uint16_t>((data[pos] << 8) | data[pos + 1]);
        pos += 2;
        return true;
    }
    bool u24(uint32_t *v) {
        if (left() < 3) return false;
        *v = (uint32_t{data[pos]} << 16) | (uint32_t{data[pos + 1]} << 8) | data[pos + 2];
        pos += 3;
        return true;
    }
    bool u32(uint32_t *v) {
        if (left() < 4) return false;
        *v = (uint32_t{data[pos]} << 24) | (uint32_t{data[pos + 1]} << 16) |
             (uint32_t{data[pos + 2]} << 8) | data[pos + 3];
        pos += 4;
        return true;
    }
    bool u64(uint64_t *v) {
        uint32_t hi = 0, lo = 0;
        if (left() < 8) return false;
        u32(&hi);
        u32(&lo);
        *v = (uint64_t{hi} << 32) | lo;
        return true;
    }
    bool bytes(void *dst, size_t n) {
        if (n > left()) return false;
        if (n != 0) std::memcpy(dst, data + pos, n);
        pos += n;
        return true;
    }
    // The next n bytes as a cursor of their own; this cursor moves past them.
    bool sub(size_t n, byte_cursor *out) {
        if (n > left()) return false;
        *out = byte_cursor{data + pos, n, 0};
        pos += n;
        return true;
    }
};
