#include "common/error_store.h"

#include <pthread.h>

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "common/alloc.h"
#include "zr_quorva.h"

namespace {

// pthread_t is an opaque integer on the platforms we build for; it is kept
// as an integer so that the unlocked scans of the owner fields are atomic
// loads. No live thread has the identifier 0, which marks a free slot.
using thread_id = uintptr_t;
static_assert(sizeof(pthread_t) <= sizeof(thread_id), "pthread_t must fit an integer");

struct thread_slot {
    std::atomic<thread_id> owner;
    bool stale;
    int32_t count;
    char messages[kErrorDepth][kErrorMessageSize];
};

thread_slot g_slots[kErrorSlots];
pthread_mutex_t g_mutex = PTHREAD_MUTEX_INITIALIZER;
char **g_handout = nullptr;  // guarded by g_mutex

thread_id self_id() { return static_cast<thread_id>(pthread_self()); }

thread_slot *find_own_slot() {
    const thread_id me = self_id();
    for (thread_slot &slot : g_slots) {
        if (slot.owner.load(std::memory_order_acquire) == me) return &slot;
    }
    return nullptr;
}

// Builds a hand-out buffer: an 8-pointer array of zeroed 256-byte texts.
// Returns nullptr, with nothing left allocated, when memory runs out.
char **handout_create() {
    auto **array = static_cast<char **>(mem_calloc(kErrorDepth, sizeof(char *)));
    if (array == nullptr) return nullptr;
    for (int i = 0; i < kErrorDepth; ++i) {
        array[i] = static_cast<char *>(mem_calloc(kErrorMessageSize, 1));
        if (array[i] == nullptr) {
            for (int j = 0; j < i; ++j) mem_free(array[j]);
            mem_free(array);
            return nullptr;
        }
    }
    return array;
}

void slot_clear(thread_slot &slot) {
    slot.stale = false;
    slot.count = 0;
    std::memset(slot.messages, 0, sizeof slot.messages);
}

}  // namespace

void error_stack_reset() {
    pthread_mutex_lock(&g_mutex);
    if (g_handout == nullptr) g_handout = handout_create();
    pthread_mutex_unlock(&g_mutex);

    if (thread_slot *slot = find_own_slot()) slot->stale = true;
}

void error_stack_push(message_entry entry, ...) {
    thread_slot *slot = find_own_slot();
    if (slot == nullptr) {
        pthread_mutex_lock(&g_mutex);
        for (thread_slot &candidate : g_slots) {
            if (candidate.owner.load(std::memory_order_relaxed) == 0) {
                // A slot is emptied when released, so it starts clean.
                candidate.owner.store(self_id(), std::memory_order_release);
                slot = &candidate;
                break;
            }
        }
        pthread_mutex_unlock(&g_mutex);
        if (slot == nullptr) return;  // all slots owned by other threads
    }

    if (slot->stale) slot_clear(*slot);
    if (slot->count >= kErrorDepth) return;

    char *text = slot->messages[slot->count];
    if (entry.format != nullptr) {
        va_list args;
        va_start(args, entry);
        std::vsnprintf(text, kErrorMessageSize, entry.format, args);
        va_end(args);
    } else {
        std::snprintf(text, kErrorMessageSize, "Zirtek Error (code `%08X`)",
                      static_cast<unsigned>(entry.code));
    }
    ++slot->count;
}

extern "C" zr_status_t zr_get_error_stack(char ***messages, int32_t *depth) {
    // Both outputs are required; without them there is nowhere to deliver.
    if (messages == nullptr || depth == nullptr) {
        if (messages != nullptr) *messages = nullptr;
        if (depth != nullptr) *depth = 0;
        return ZR_STATUS_INVALID_ARGUMENT;
    }
    *messages = nullptr;
    *depth = 0;

    thread_slot *slot = find_own_slot();
    if (slot == nullptr) return ZR_STATUS_INVALID_STATE;

    pthread_mutex_lock(&g_mutex);
    // Checked under the lock: a concurrent collection may have failed to
    // create the next buffer.
    char **array = g_handout;
    if (array == nullptr) {
        pthread_mutex_unlock(&g_mutex);
        return ZR_STATUS_INVALID_STATE;
    }
    for (int i = 0; i < kErrorDepth; ++i) std::memset(array[i], 0, kErrorMessageSize);
    for (int i = 0; i < slot->count; ++i) {
        std::memcpy(array[i], slot->messages[i], kErrorMessageSize - 1);
        array[i][kErrorMessageSize - 1] = '\0';
    }
    *depth = slot->count;
    *messages = array;

    slot_clear(*slot);
    slot->owner.store(0, std::memory_order_release);

    g_handout = handout_create();
    const bool next_missing = g_handout == nullptr;
    pthread_mutex_unlock(&g_mutex);
    return next_missing ? ZR_STATUS_OUT_OF_MEMORY : ZR_STATUS_SUCCESS;
}

extern "C" void zr_free_error_stack(char **messages) {
    if (messages == nullptr) return;
    for (int i = 0; i < kErrorDepth; ++i) mem_free(messages[i]);
    mem_free(messages);
}
