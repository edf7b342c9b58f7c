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
