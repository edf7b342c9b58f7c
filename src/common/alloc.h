// The one allocator every part of the library goes through. It is the system
// allocator underneath (so zr_free and free() release what it hands out), with
// a per-thread hook that makes a chosen allocation fail, for tests that walk
// every failure path of a call.
#pragma once

#include <cstddef>
#include <cstdint>

void *mem_alloc(size_t size);
void *mem_calloc(size_t count, size_t size);
void *mem_realloc(void *ptr, size_t size);
void mem_free(void *ptr);

// Test hook. After alloc_fail_at(k) with k >= 1, the k-th allocation made on
// this thread from now on returns NULL (once); k = 0 disarms the hook.
// alloc_count() is the number of allocations made on this thread since the
// last alloc_fail_at call.
void alloc_fail_at(int64_t k);
int64_t alloc_count();
// The largest single request made on this thread since alloc_fail_at.
size_t alloc_largest();
