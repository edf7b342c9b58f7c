// The five passes of the speaker clustering: online assignment, absorption
// of tiny clusters, agglomerative merging through a pair queue, re-assignment
// of clusters below the minimum size, and numbering.
#include "diarization/clustering.h"

#include "common/alloc.h"
#include "diarization/cluster_split.h"
#include "diarization/embedding_math.h"
#include "diarization/pair_queue.h"

namespace {

struct clustering_call {
    cluster_list *list;
    const clustering_params *params;
    int32_t dim;
    speaker_count_limits limits;
    float min_size;  // the minimum speaker size of this call, in frames
};

// A speaker cluster that the re-assignment pass will keep.
bool is_full_speaker(const clustering_call &call, int32_t id, float weight) {
    return id != 0 && weight >= call.min_size;
}

cluster *background_of(const clustering_call &call) { return call.list->tail; }

// Pass 1: frames in time order join the background, the current cluster, or
// start a new one.
zr_status_t assign_online(const clustering_call &call, const float *embeddings, int32_t n) {
    const clustering_params *p = call.params;
    const int32_t dim = call.dim;

    // The loader refuses a model whose background embedding is not `dim` long.
    cluster *background = nullptr;
    zr_status_t status = cluster_create(p->background_embedding, dim, 1.0f, 0, &background);
    if (status != ZR_STATUS_SUCCESS) return status;
    cluster_list_push_head(call.list, background);

    cluster *current = background;
    for (int32_t j = 0; j < n; ++j) {
        const float *e = embeddings + static_cast<int64_t>(j) * dim;
        if (cosine_distance(background->centroid, e, dim) < p->background_threshold) {
            background->weight = background->weight + 1.0f;
            status = cluster_append_members(background, &j, 1);
        } else if (cosine_distance(current->centroid, e, dim) < p->assign_threshold) {
            const float w = current->weight;
            for (int32_t i = 0; i < dim; ++i) {
                current->centroid[i] = (current->centroid[i] * w + e[i]) / (w + 1.0f);
            }
            renormalise(current->centroid, dim);
            current->weight = w + 1.0f;
            status = cluster_append_members(current, &j, 1);
        } else {
            cluster *created = nullptr;
            status = cluster_create(e, dim, 1.0f, call.list->count, &created);
            if (status != ZR_STATUS_SUCCESS) return status;
            cluster_list_push_head(call.list, created);
            current = created;
            status = cluster_append_members(created, &j, 1);
        }
        if (status != ZR_STATUS_SUCCESS) return status;
    }
    return ZR_STATUS_SUCCESS;
}

// Pass 2: clusters of fewer than 15 frames go to the background.
zr_status_t absorb_tiny(const clustering_call &call) {
    cluster *background = background_of(call);
    cluster *c = call.list->head;
    while (c != background) {
        cluster *next = c->next;
        if (c->weight < kTinyClusterWeight) {
            const zr_status_t status = cluster_absorb(background, c);
            if (status != ZR_STATUS_SUCCESS) return status;
            cluster_list_remove(call.list, c);
        }
        c = next;
    }
    return ZR_STATUS_SUCCESS;
}

pair_entry make_entry(const cluster *a, const cluster *b, int32_t dim) {
    return pair_entry{cosine_distance(a->centroid, b->centroid, dim), a->id, a->weight, b->id,
                      b->weight};
}

// Pass 3 once the queue and the id table exist: by_id[id] is the cluster with
// that id, or nullptr once it has been merged away.
zr_status_t merge_closest_pairs(const clustering_call &call, pair_queue *queue, cluster **by_id) {
    const int32_t dim = call.dim;
    for (cluster *a = call.list->head; a != nullptr; a = a->next) {
        for (cluster *b = a->next; b != nullptr; b = b->next) {
            const zr_status_t status = pair_queue_push(queue, make_entry(a, b, dim));
            if (status != ZR_STATUS_SUCCESS) return status;
        }
    }
    // Clusters of the minimum speaker size, kept up to date over the merges
    // for the count limits.
    int32_t full = 0;
    for (cluster *c = call.list->head; c != nullptr; c = c->next) {
        if (is_full_speaker(call, c->id, c->weight)) ++full;
    }
    const int32_t most = call.limits.max_speakers;
    const int32_t fewest = call.limits.min_speakers;
    pair_entry entry;
    while (pair_queue_pop(queue, &entry)) {
        cluster *a = by_id[entry.a_id];
        cluster *b = by_id[entry.b_id];
        if (a == nullptr || b == nullptr) continue;
        // Either side grew by a merge since the entry was made.
        if (a->weight != entry.a_weight || b->weight != entry.b_weight) continue;
        const bool full_a = is_full_speaker(call, a->id, a->weight);
        const bool full_b = is_full_speaker(call, b->id, b->weight);
        if (entry.distance > call.params->merge_threshold) {
            if (most == 0 || full <= most) break;
            // Past the threshold only two speakers are joined, to meet the count.
            if (!full_a || !full_b) continue;
        }
        const int32_t after =
            full - full_a - full_b +
            is_full_speaker(call, a->id < b->id ? a->id : b->id, a->weight + b->weight);
        if (fewest > 0 && after < fewest && after < full) continue;
        full = after;

        cluster *keeper = a->id < b->id ? a : b;
        cluster *other = keeper == a ? b : a;
        zr_status_t status = cluster_merge(keeper, other, dim);
        if (status != ZR_STATUS_SUCCESS) return status;
        by_id[other->id] = nullptr;
        cluster_list_remove(call.list, other);

        for (cluster *x = call.list->head; x != nullptr; x = x->next) {
            if (x->id == keeper->id) continue;
            status = pair_queue_push(queue, make_entry(keeper, x, dim));
            if (status != ZR_STATUS_SUCCESS) return status;
        }
        if (call.list->count == 1) break;
    }
    return ZR_STATUS_SUCCESS;
}

// Pass 3: agglomerative merging of the closest pairs, the background included.
zr_status_t merge_agglomerative(const clustering_call &call) {
    const int64_t m = call.list->count;
    if (m <= 1) return ZR_STATUS_SUCCESS;
    pair_queue queue{};
    zr_status_t status = pair_queue_init(&queue, m * (m - 1));
    if (status != ZR_STATUS_SUCCESS) return status;
    // Ids grow towards the head, so the head's id bounds every id in the queue.
    // The table answers both "was it merged away?" and "which cluster is it?"
    // in constant time, where a list of removed ids would be scanned for every
    // entry taken from the queue.
    const size_t ids = static_cast<size_t>(call.list->head->id) + 1;
    auto *by_id = static_cast<cluster **>(mem_calloc(ids, sizeof(cluster *)));
    if (by_id == nullptr) {
        pair_queue_release(&queue);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    for (cluster *c = call.list->head; c != nullptr; c = c->next) by_id[c->id] = c;
    status = merge_closest_pairs(call, &queue, by_id);
    mem_free(by_id);
    pair_queue_release(&queue);
    return status;
}

// Pass 4: clusters below the minimum size join the nearest speaker cluster
// when it is close enough, else the background.
zr_status_t reassign_small(const clustering_call &call) {
    const float min_size = call.min_size;
    cluster *background = background_of(call);
    cluster *c = call.list->head;
    while (c != background) {
        cluster *next = c->next;
        if (c->weight < min_size) {
            cluster *nearest = nullptr;
            float nearest_distance = 0.0f;
            for (cluster *x = call.list->head; x != background; x = x->next) {
                if (x->id == c->id) continue;
                const float d = cosine_distance(c->centroid, x->centroid, call.dim);
                if (nearest == nullptr || d < nearest_distance) {
                    nearest = x;
                    nearest_distance = d;
                }
            }
            const zr_status_t status =
                nearest != nullptr && nearest_distance < call.params->reassign_threshold
                    ? cluster_merge(nearest, c, call.dim)
                    : cluster_absorb(background, c);
            if (status != ZR_STATUS_SUCCESS) return status;
            cluster_list_remove(call.list, c);
        }
        c = next;
    }
    return ZR_STATUS_SUCCESS;
}

// The nearest two speaker clusters (not the background), or false when
// there are fewer than two.
bool nearest_speaker_pair(const clustering_call &call, cluster **first, cluster **second) {
    const cluster *background = background_of(call);
    float best = 0.0f;
    bool found = false;
    for (cluster *a = call.list->head; a != background; a = a->next) {
        for (cluster *b = a->next; b != background; b = b->next) {
            const float d = cosine_distance(a->centroid, b->centroid, call.dim);
            if (!found || d < best) {
                best = d;
                *first = a;
                *second = b;
                found = true;
            }
        }
    }
    return found;
}

// Holds the speaker clusters left by re-assignment to the limits: the nearest
// pairs merge down to max_speakers, the heaviest split up to min_speakers.
zr_status_t meet_count_limits(const clustering_call &call, const float *embeddings,
                              bool *count_met) {
    *count_met = true;
    const int32_t most = call.limits.max_speakers;
    const int32_t fewest = call.limits.min_speakers;
    while (most > 0 && call.list->count - 1 > most) {
        cluster *a = nullptr;
        cluster *b = nullptr;
        if (!nearest_speaker_pair(call, &a, &b)) break;
        cluster *keeper = a->id < b->id ? a : b;
        cluster *other = keeper == a ? b : a;
        const zr_status_t status = cluster_merge(keeper, other, call.dim);
        if (status != ZR_STATUS_SUCCESS) return status;
        cluster_list_remove(call.list, other);
    }
    while (fewest > 0 && call.list->count - 1 < fewest) {
        bool split = false;
        const zr_status_t status = split_heaviest_cluster(call.list, embeddings, call.dim,
                                                          static_cast<int32_t>(call.min_size), &split);
        if (status != ZR_STATUS_SUCCESS) return status;
        if (!split) {
            *count_met = false;
            break;
        }
    }
    return ZR_STATUS_SUCCESS;
}

// Pass 5: numbers the clusters from the oldest (the background, 0) on.
void write_labels(const clustering_call &call, int32_t *labels) {
    int32_t label = 0;
    for (const cluster *c = call.list->tail; c != nullptr; c = c->previous, ++label) {
        for (int32_t i = 0; i < c->member_count; ++i) labels[c->members[i]] = label;
    }
}

}  // namespace

int32_t min_cluster_size(int32_t n) {
    if (n < 80) return 20;
    if (n > 2000) return 60;
    return 20 + (n - 80) / 48;
}

zr_status_t cluster_merge(cluster *keeper, const cluster *other, int32_t dim) {
    const float wk = keeper->weight;
    const float wo = other->weight;
    const zr_status_t status = cluster_append_members(keeper, other->members, other->member_count);
    if (status != ZR_STATUS_SUCCESS) return status;
    for (int32_t i = 0; i < dim; ++i) {
        keeper->centroid[i] = (wk * keeper->centroid[i] + wo * other->centroid[i]) / (wk + wo);
    }
    renormalise(keeper->centroid, dim);
    keeper->weight = wk + wo;
    return ZR_STATUS_SUCCESS;
}

zr_status_t cluster_absorb(cluster *background, const cluster *c) {
    const zr_status_t status = cluster_append_members(background, c->members, c->member_count);
    if (status != ZR_STATUS_SUCCESS) return status;
    background->weight = background->weight + c->weight;
    return ZR_STATUS_SUCCESS;
}

zr_status_t cluster_frames(clusterer_state *state, const float *embeddings, int32_t n,
                           int32_t dim, int32_t *labels) {
    bool met = true;
    return cluster_frames_within(state, embeddings, n, dim, speaker_count_limits{0, 0}, labels,
                                 &met);
}

zr_status_t cluster_frames_within(clusterer_state *state, const float *embeddings, int32_t n,
                                  int32_t dim, speaker_count_limits limits, int32_t *labels,
                                  bool *count_met) {
    const clustering_call call{state->list, state->params, dim, limits,
                               static_cast<float>(min_cluster_size(n))};
    *count_met = true;
    zr_status_t status = assign_online(call, embeddings, n);
    if (status == ZR_STATUS_SUCCESS) status = absorb_tiny(call);
    if (status == ZR_STATUS_SUCCESS) status = merge_agglomerative(call);
    if (status == ZR_STATUS_SUCCESS) status = reassign_small(call);
    if (status == ZR_STATUS_SUCCESS) status = meet_count_limits(call, embeddings, count_met);
    if (status == ZR_STATUS_SUCCESS) write_labels(call, labels);
    cluster_list_clear(call.list);
    return status;
}
