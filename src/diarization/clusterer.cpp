#include "diarization/clusterer.h"

#include "common/alloc.h"

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
