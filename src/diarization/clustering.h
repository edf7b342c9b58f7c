// Speaker clustering: every frame's embedding to a label, 0 for background
// and 1..K for the speakers of the call, numbered in order of creation.
#pragma once

#include <cstdint>

#include "diarization/clusterer.h"

// A cluster lighter than this after online assignment is noise.
inline constexpr float kTinyClusterWeight = 15.0f;

// Writes the label of each of the n frames of `embeddings` (n x dim). The
// cluster list is empty before and after, also on OUT_OF_MEMORY.
zr_status_t cluster_frames(clusterer_state *state, const float *embeddings, int32_t n,
                           int32_t dim, int32_t *labels);

// The minimum size of a speaker cluster in a call of n frames.
int32_t min_cluster_size(int32_t n);

// Merges `other` into `keeper`: weighted mean of the centroids, renormalised,
// members appended, weights added. The caller removes `other`.
zr_status_t cluster_merge(cluster *keeper, const cluster *other, int32_t dim);

// Moves a cluster's members and weight into the background, whose centroid
// stays. The caller removes the cluster.
zr_status_t cluster_absorb(cluster *background, const cluster *c);
