#include "diarization/clusterer.h"

#include <cstring>

#include "common/alloc.h"

namespace {
constexpr int32_t kInitialMembers = 100;
}  // namespace

zr_status_t cluster_create(const float *centroid, int32_t dim, float weight, int32_t id,
                           cluster **out) {
    auto *c = static_cast<cluster *>(mem_calloc(1, sizeof(cluster)));
    if (c == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    c->centroid = static_cast<float *>(mem_alloc(sizeof(float) * static_cast<size_t>(dim)));
    c->members = static_cast<int32_t *>(mem_alloc(sizeof(int32_t) * kInitialMembers));
    if (c->centroid == nullptr || c->members == nullptr) {
        cluster_release(c);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    std::memcpy(c->centroid, centroid, sizeof(float) * static_cast<size_t>(dim));
    c->member_capacity = kInitialMembers;
    c->weight = weight;
    c->id = id;
    *out = c;
    return ZR_STATUS_SUCCESS;
}

zr_status_t cluster_append_members(cluster *c, const int32_t *frames, int32_t count) {
    const int64_t needed = int64_t{c->member_count} + count;
    if (needed > c->member_capacity) {
        // Members are frame indices, so `needed` never exceeds the frame count.
        const int64_t capacity = 2 * needed;
        if (capacity > INT32_MAX) return ZR_STATUS_OUT_OF_MEMORY;
        auto *grown = static_cast<int32_t *>(
            mem_realloc(c->members, sizeof(int32_t) * static_cast<size_t>(capacity)));
        if (grown == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
        c->members = grown;
        c->member_capacity = static_cast<int32_t>(capacity);
    }
    if (count > 0) {
        std::memcpy(c->members + c->member_count, frames,
                    sizeof(int32_t) * static_cast<size_t>(count));
    }
    c->member_count = static_cast<int32_t>(needed);
    return ZR_STATUS_SUCCESS;
}

void cluster_list_push_head(cluster_list *list, cluster *c) {
    c->previous = nullptr;
    c->next = list->head;
    if (list->head != nullptr) list->head->previous = c;
    list->head = c;
    if (list->tail == nullptr) list->tail = c;
    ++list->count;
}

void cluster_list_remove(cluster_list *list, cluster *c) {
    if (c->previous != nullptr) {
        c->previous->next = c->next;
    } else {
        list->head = c->next;
    }
    if (c->next != nullptr) {
        c->next->previous = c->previous;
    } else {
        list->tail = c->previous;
    }
    --list->count;
    cluster_release(c);
}

void cluster_release(cluster *c) {
    if (c == nullptr) return;
    mem_free(c->centroid);
    mem_free(c->members);
    mem_free(c);
}

void cluster_list_clear(cluster_list *list) {
    if (list == nullptr) return;
    cluster *c = list->head;
    while (c != nullptr) {
        cluster *next = c->next;
        cluster_release(c);
        c = next;
    }
    list->count = 0;
    list->head = nullptr;
    list->tail = nullptr;
}

zr_status_t clusterer_create(const clustering_params *params, clusterer_state **out) {
    auto *c = static_cast<clusterer_state *>(mem_calloc(1, sizeof(clusterer_state)));
    if (c == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    c->params = params;
    c->list = static_cast<cluster_list *>(mem_calloc(1, sizeof(cluster_list)));
    if (c->list == nullptr) {
        mem_free(c);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    *out = c;
    return ZR_STATUS_SUCCESS;
}

void clusterer_release(clusterer_state *c) {
    if (c == nullptr) return;
    cluster_list_clear(c->list);
    mem_free(c->list);
    mem_free(c);
}
