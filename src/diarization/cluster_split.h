// Splitting one speaker cluster in two, for a caller who says there are more
// speakers than the clustering found.
#pragma once

#include <cstdint>

#include "diarization/clusterer.h"

// Stretches of consecutive frames are cut into pieces of at most this many
// frames (about a second); a split moves whole pieces, so that it follows
// turns of speech rather than frame-by-frame noise.
inline constexpr int32_t kSplitPieceFrames = 32;

// Splits the heaviest speaker cluster that can be split (trying the next
// heaviest when one cannot) into two halves of at least `min_size` frames:
// two-means over its pieces, seeded by the piece farthest from the centroid
// and the piece farthest from that one, the cut moved along the pieces'
// contrast when a half comes out too small. The cluster keeps the half with
// its earliest frame and the other half becomes a new cluster at the head of
// the list; both centroids become the unit mean of their frames.
// *split is false, and the list untouched, when no cluster can be split.
zr_status_t split_heaviest_cluster(cluster_list *list, const float *embeddings, int32_t dim,
                                   int32_t min_size, bool *split);
