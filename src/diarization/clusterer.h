// Per-engine clustering state: the list of clusters of the call in progress,
// empty between calls.
#pragma once

#include <cstdint>

#include "model/model.h"

struct cluster {
    float *centroid;  // D values
    float weight;     // frames counted into the cluster
    int32_t id;       // 0 for the background; creation order otherwise
    int32_t *members; // frame indices in the order they were added
    int32_t member_count;
    int32_t member_capacity;
    cluster *next;      // towards the tail (older clusters)
    cluster *previous;  // towards the head (newer clusters)
};

// Newest cluster at the head; the tail is always the background.
struct cluster_list {
    int32_t count;
    cluster *head;
    cluster *tail;
};

struct clusterer_state {
    const clustering_params *params;  // not owned
    cluster_list *list;
};

zr_status_t clusterer_create(const clustering_params *params, clusterer_state **out);
void clusterer_release(clusterer_state *c);

void cluster_release(cluster *c);
// Releases every cluster on the list and leaves it empty.
void cluster_list_clear(cluster_list *list);

// Builds a cluster holding a copy of `centroid` (dim values), the given weight
// and id, and room for 100 members; OUT_OF_MEMORY leaves nothing allocated.
zr_status_t cluster_create(const float *centroid, int32_t dim, float weight, int32_t id,
                           cluster **out);
// Appends frame indices, growing the array to twice the needed size when full.
zr_status_t cluster_append_members(cluster *c, const int32_t *frames, int32_t count);

// Inserts a cluster at the head of the list (it becomes the newest).
void cluster_list_push_head(cluster_list *list, cluster *c);
// Unlinks a cluster, keeping the order of the others, and releases it.
void cluster_list_remove(cluster_list *list, cluster *c);
