#include "diarization/pair_queue.h"

#include <cstddef>
#include <cstdint>
#include <utility>

#include "common/alloc.h"

namespace {

// Slot storage for `capacity` entries, or nullptr when the size is not
// representable.
pair_entry *resize_slots(pair_entry *slots, int64_t capacity) {
    const uint64_t count = static_cast<uint64_t>(capacity) + 1;
    if (capacity < 1 || count > SIZE_MAX / sizeof(pair_entry)) return nullptr;
    return static_cast<pair_entry *>(mem_realloc(slots, count * sizeof(pair_entry)));
}

}  // namespace

zr_status_t pair_queue_init(pair_queue *q, int64_t capacity) {
    q->count = 0;
    q->capacity = 0;
    q->slots = resize_slots(nullptr, capacity);
    if (q->slots == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    q->capacity = capacity;
    return ZR_STATUS_SUCCESS;
}

zr_status_t pair_queue_push(pair_queue *q, const pair_entry &entry) {
    if (q->count == q->capacity) {
        if (q->capacity > INT64_MAX / 2) return ZR_STATUS_OUT_OF_MEMORY;
        pair_entry *grown = resize_slots(q->slots, 2 * q->capacity);
        if (grown == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
        q->slots = grown;
        q->capacity *= 2;
    }
    pair_entry *s = q->slots;
    int64_t i = ++q->count;
    s[i] = entry;
    while (i > 1 && s[i].distance < s[i / 2].distance) {
        std::swap(s[i], s[i / 2]);
        i /= 2;
    }
    return ZR_STATUS_SUCCESS;
}

bool pair_queue_pop(pair_queue *q, pair_entry *out) {
    if (q->count == 0) return false;
    pair_entry *s = q->slots;
    *out = s[1];
    s[1] = s[q->count];
    s[q->count] = pair_entry{};
    --q->count;
    int64_t i = 1;
    while (q->count > 1) {
        const int64_t l = 2 * i;
        const int64_t r = l + 1;
        const bool has_l = l <= q->count;
        const bool has_r = r <= q->count;
        int64_t target = 0;
        if (has_l && s[l].distance < s[i].distance) {
            target = has_r && s[r].distance < s[l].distance ? r : l;
        } else if (has_r && s[r].distance < s[i].distance) {
            target = r;
        }
        if (target == 0) break;
        std::swap(s[i], s[target]);
        i = target;
    }
    return true;
}

void pair_queue_release(pair_queue *q) {
    mem_free(q->slots);
    q->slots = nullptr;
    q->count = 0;
    q->capacity = 0;
}
