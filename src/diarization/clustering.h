// Speaker clustering: every frame's embedding to a label, 0 for background
// and 1..K for the speakers of the call, numbered in order of creation.
#pragma once

#include <cstdint>

#include "diarization/clusterer.h"

// A cluster lighter than this after online assignment is noise.
inline constexpr float kTinyClusterWeight = 15.0f;

// Bounds on the number of speakers a caller knows; 0 is "not given".
struct speaker_count_limits {
    int32_t min_speakers;
    int32_t max_speakers;
};

// Writes the label of each of the n frames of `embeddings` (n x dim). The
// cluster list is empty before and after, also on OUT_OF_MEMORY.
zr_status_t cluster_frames(clusterer_state *state, const float *embeddings, int32_t n,
                           int32_t dim, int32_t *labels);

// The same clustering held to `limits`: merging goes on past the merge
// threshold while there are more than max_speakers clusters of the minimum
// size, and stops short of joining two of them (or one with the background)
// when that would leave fewer than min_speakers; then the nearest speakers
// are merged down to max_speakers, and the heaviest are split until there are
// min_speakers. *count_met is false when no cluster could be split far enough.
// With no limits the labels are those of cluster_frames.
zr_status_t cluster_frames_within(clusterer_state *state, const float *embeddings, int32_t n,
                                  int32_t dim, speaker_count_limits limits, int32_t *labels,
                                  bool *count_met);

// The minimum size of a speaker cluster in a call of n frames.
int32_t min_cluster_size(int32_t n);

// Merges `other` into `keeper`: weighted mean of the centroids, renormalised,
// members appended, weights added. The caller removes `other`.
zr_status_t cluster_merge(cluster *keeper, const cluster *other, int32_t dim);

// Moves a cluster's members and weight into the background, whose centroid
// stays. The caller removes the cluster.
zr_status_t cluster_absorb(cluster *background, const cluster *c);
