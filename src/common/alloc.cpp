#include "common/alloc.h"

#include <cstdlib>

namespace {
thread_local int64_t t_fail_at = 0;
thread_local int64_t t_count = 0;
thread_local size_t t_largest = 0;

// Counts the allocation and tells whether the hook wants it to fail.
bool should_fail(size_t bytes) {
    ++t_count;
    if (bytes > t_largest) t_largest = bytes;
    if (t_fail_at != 0 && t_count == t_fail_at) {
        t_fail_at = 0;
        return true;
    }
    return false;
}
}  // namespace

void *mem_alloc(size_t size) {
    if (should_fail(size)) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}

void *mem_calloc(size_t count, size_t size) {
    const size_t bytes = size != 0 && count > SIZE_MAX / size ? SIZE_MAX : count * size;
    if (should_fail(bytes)) return nullptr;
    if (count == 0 || size == 0) return std::calloc(1, 1);
    return std::calloc(count, size);
}

void *mem_realloc(void *ptr, size_t size) {
    if (should_fail(size)) return nullptr;
    return std::realloc(ptr, size == 0 ? 1 : size);
}

void mem_free(void *ptr) { std::free(ptr); }

void alloc_fail_at(int64_t k) {
    t_fail_at = k;
    t_count = 0;
    t_largest = 0;
}

int64_t alloc_count() { return t_count; }

size_t alloc_largest() { return t_largest; }
