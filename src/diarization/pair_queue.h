// Priority queue of cluster pairs for agglomerative merging: a binary
// min-heap on the distance, stored by value in one growable array whose root
// is slot 1 (children of slot i are 2i and 2i + 1; slot 0 is unused).
// Equal distances never swap, so ties keep the order the heap gives them.
#pragma once

#include <cstdint>

#include "zr_quorva.h"

// The clusters are found from their ids by the caller: without pointers an
// entry takes 20 bytes, and the queue holds of the order of m^2 of them.
struct pair_entry {
    float distance;
    int32_t a_id;
    float a_weight;  // a's weight when the entry was made
    int32_t b_id;
    float b_weight;  // b's weight when the entry was made
};

struct pair_queue {
    pair_entry *slots;  // capacity + 1
    int64_t count;
    int64_t capacity;
};

// An empty queue with room for `capacity` (at least 1) entries.
zr_status_t pair_queue_init(pair_queue *q, int64_t capacity);
// Adds an entry, doubling the capacity when the queue is full.
zr_status_t pair_queue_push(pair_queue *q, const pair_entry &entry);
// Takes the entry with the smallest distance; false when the queue is empty.
bool pair_queue_pop(pair_queue *q, pair_entry *out);
// Releases the storage; accepts a queue that was never initialised (zeroed).
void pair_queue_release(pair_queue *q);
