// The speaker clustering on crafted embeddings, its pair queue, and the
// failure of each of its allocations.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "common/alloc.h"
#include "diarization/cluster_split.h"
#include "diarization/clustering.h"
#include "diarization/embedding_math.h"
#include "diarization/pair_queue.h"

namespace {

constexpr int32_t kDim = 4;
using vec = std::array<float, kDim>;

// A unit vector at `degrees` in the plane of the first two axes.
vec in_plane(double degrees) {
    const double r = degrees * 3.14159265358979323846 / 180.0;
    return {static_cast<float>(std::cos(r)), static_cast<float>(std::sin(r)), 0.0f, 0.0f};
}
constexpr vec kAxis0{1, 0, 0, 0};
constexpr vec kAxis1{0, 1, 0, 0};
constexpr vec kAxis2{0, 0, 1, 0};
constexpr vec kAxis3{0, 0, 0, 1};

struct scenario {
    std::vector<float> background{0, 0, 0, 1};
    float background_threshold = 0.1f;
    float assign_threshold = 0.2f;
    float merge_threshold = 0.3f;
    float reassign_threshold = 0.4f;
    std::vector<float> embeddings;

    void add(const vec &v, int frames) {
        for (int i = 0; i < frames; ++i) embeddings.insert(embeddings.end(), v.begin(), v.end());
    }
    int32_t frames() const { return static_cast<int32_t>(embeddings.size() / kDim); }

    speaker_count_limits limits{0, 0};
    bool count_met = true;

    // Runs the clustering; the list must be empty afterwards.
    zr_status_t run(std::vector<int32_t> *labels) {
        clustering_params params{background.data(), static_cast<int32_t>(background.size()),
                                 merge_threshold,   reassign_threshold,
                                 assign_threshold,  background_threshold};
        clusterer_state *state = nullptr;
        EXPECT_EQ(clusterer_create(&params, &state), ZR_STATUS_SUCCESS);
        labels->assign(static_cast<size_t>(frames()), 0);
        const bool limited = limits.min_speakers > 0 || limits.max_speakers > 0;
        const zr_status_t status =
            limited ? cluster_frames_within(state, embeddings.data(), frames(), kDim, limits,
                                            labels->data(), &count_met)
                    : cluster_frames(state, embeddings.data(), frames(), kDim, labels->data());
        EXPECT_EQ(state->list->count, 0);
        EXPECT_EQ(state->list->head, nullptr);
        EXPECT_EQ(state->list->tail, nullptr);
        clusterer_release(state);
        return status;
    }
    std::vector<int32_t> labels() {
        std::vector<int32_t> out;
        EXPECT_EQ(run(&out), ZR_STATUS_SUCCESS);
        return out;
    }
};

// Labels as runs: {label, frames}, ...
std::vector<int32_t> runs(std::initializer_list<std::pair<int32_t, int>> parts) {
    std::vector<int32_t> out;
    for (auto [label, count] : parts) out.insert(out.end(), static_cast<size_t>(count), label);
    return out;
}

TEST(Clustering, MinimumClusterSize) {
    EXPECT_EQ(min_cluster_size(1), 20);
    EXPECT_EQ(min_cluster_size(79), 20);
    EXPECT_EQ(min_cluster_size(80), 20);
    EXPECT_EQ(min_cluster_size(127), 20);
    EXPECT_EQ(min_cluster_size(128), 21);
    EXPECT_EQ(min_cluster_size(2000), 60);
    EXPECT_EQ(min_cluster_size(2001), 60);
    EXPECT_EQ(min_cluster_size(INT32_MAX), 60);
}

TEST(Clustering, CosineDistanceAndRenormalisation) {
    EXPECT_EQ(cosine_distance(kAxis0.data(), kAxis0.data(), kDim), 0.0f);
    EXPECT_EQ(cosine_distance(kAxis0.data(), kAxis1.data(), kDim), 0.5f);
    const vec minus{-1, 0, 0, 0};
    EXPECT_EQ(cosine_distance(kAxis0.data(), minus.data(), kDim), 1.0f);
    vec v{3, 0, 4, 0};
    renormalise(v.data(), kDim);
    EXPECT_NEAR(v[0], 0.6f, 0.6f * 0.00065f);
    EXPECT_NEAR(v[2], 0.8f, 0.8f * 0.00065f);
    vec zero{0, 0, 0, 0};
    renormalise(zero.data(), kDim);  // stays zero, no NaN
    for (float c : zero) EXPECT_EQ(c, 0.0f);
}

TEST(Clustering, TwoSpeakersKeepTheirOrderOfCreation) {
    scenario s;
    s.add(kAxis1, 30);
    s.add(kAxis3, 10);  // background
    s.add(kAxis0, 30);
    s.add(kAxis1, 20);  // a third cluster (the current one is the second),
                        // merged into the first by the agglomerative pass
    EXPECT_EQ(s.labels(), runs({{1, 30}, {0, 10}, {2, 30}, {1, 20}}));
}

TEST(Clustering, TinyClustersGoToTheBackground) {
    scenario s;
    for (int i = 0; i < 6; ++i) s.add(i % 2 ? kAxis0 : kAxis1, 14);
    EXPECT_EQ(s.labels(), std::vector<int32_t>(static_cast<size_t>(s.frames()), 0));

    // A cluster of exactly 15 frames survives the absorption; below the
    // minimum size of 20 it is then re-assigned to the nearest speaker.
    scenario t;
    t.add(kAxis0, 20);
    t.add(kAxis1, 15);
    t.merge_threshold = 0.4f;
    t.reassign_threshold = 0.6f;
    EXPECT_EQ(t.labels(), runs({{1, 35}}));
    t.embeddings.resize(t.embeddings.size() - kDim);  // 14 frames: absorbed
    EXPECT_EQ(t.labels(), runs({{1, 20}, {0, 14}}));
}

TEST(Clustering, ThresholdsAreStrictExceptForMerging) {
    // A frame exactly at the background threshold is not background.
    const vec v = in_plane(60);  // its own cluster, 20 frames
    scenario s;
    s.background.assign(kAxis0.begin(), kAxis0.end());
    s.add(v, 20);
    s.add(kAxis2, 20);  // keeps the current cluster away from the background
    s.background_threshold = cosine_distance(kAxis0.data(), v.data(), kDim);
    s.assign_threshold = 0.05f;
    s.merge_threshold = 0.0f;
    EXPECT_EQ(s.labels(), runs({{1, 20}, {2, 20}}));
    s.background_threshold = std::nextafter(s.background_threshold, 1.0f);
    EXPECT_EQ(s.labels(), runs({{0, 20}, {1, 20}}));

    // Orthogonal clusters are exactly 0.5 apart, whatever the scale of their
    // renormalised centroids: a pair at the merge threshold is merged.
    scenario m;
    m.add(kAxis0, 20);
    m.add(kAxis1, 20);
    m.merge_threshold = 0.5f;
    m.reassign_threshold = 0.0f;
    // The background (axis 3) is also 0.5 from both and has id 0; the first
    // pair popped decides, and everything ends in one cluster.
    const std::vector<int32_t> merged = m.labels();
    EXPECT_EQ(merged, std::vector<int32_t>(40, 0));
    m.merge_threshold = std::nextafter(0.5f, 0.0f);
    EXPECT_EQ(m.labels(), runs({{1, 20}, {2, 20}}));
}

TEST(Clustering, AssignThresholdIsStrict) {
    // The second run of frames is exactly at the assign threshold from the
    // first cluster, whose centroid is still the first frame itself.
    const vec a = in_plane(0);
    const vec b = in_plane(10);
    scenario s;
    s.background.assign(kAxis3.begin(), kAxis3.end());
    s.add(a, 1);
    s.add(b, 20);
    s.merge_threshold = 0.0f;
    s.reassign_threshold = 0.0f;
    s.assign_threshold = cosine_distance(a.data(), b.data(), kDim);
    // b starts its own cluster; the single frame of a is absorbed.
    EXPECT_EQ(s.labels(), runs({{0, 1}, {1, 20}}));
    s.assign_threshold = std::nextafter(s.assign_threshold, 1.0f);
    EXPECT_EQ(s.labels(), runs({{1, 21}}));
}

TEST(Clustering, EarlyFramesCanMoveTheBackground) {
    // Frame 0 lies between the background and assign thresholds of the
    // background before any cluster exists, so the background's centroid moves
    // towards it; later frames like it then fall in the background, though
    // they are 0.15 from the stored embedding and 0.5 from the current cluster.
    const vec v{0.0f, std::sqrt(0.51f), 0.0f, 0.7f};  // 0.15 from axis 3
    scenario s;
    s.add(v, 1);
    s.add(kAxis0, 20);
    s.add(v, 20);
    EXPECT_EQ(s.labels(), runs({{0, 1}, {1, 20}, {0, 20}}));
}

TEST(Clustering, MergedClusterKeepsTheSmallerIdAndLabelsCloseTheGap) {
    // Clusters 1 (axis 0), 2 (axis 1) and 3 (60 degrees from axis 0 towards
    // axis 2, 0.25 from cluster 1): 3 merges into 1, and 2 becomes label 2.
    scenario s;
    s.add(kAxis0, 20);
    s.add(kAxis1, 20);
    s.add(vec{0.5f, 0.0f, std::sqrt(0.75f), 0.0f}, 20);
    EXPECT_EQ(s.labels(), runs({{1, 20}, {2, 20}, {1, 20}}));
}

TEST(Clustering, EntriesOfRemovedClustersAreDiscarded) {
    // Clusters at 0, 36.87 and 82.44 degrees: 1 and 2 are 0.1 apart, 2 and 3
    // 0.15. After 2 merges into 1 the entry (2, 3) is still queued below the
    // threshold; it must be dropped, and the merged centroid (at about 18
    // degrees) is 0.28 from 3, too far.
    scenario s;
    s.background.assign(kAxis3.begin(), kAxis3.end());
    s.background_threshold = 0.01f;
    s.assign_threshold = 0.05f;
    s.merge_threshold = 0.2f;
    s.reassign_threshold = 0.0f;
    s.add(in_plane(0), 20);
    s.add(in_plane(36.8699), 20);
    s.add(in_plane(82.4366), 20);
    EXPECT_EQ(s.labels(), runs({{1, 40}, {2, 20}}));
}

TEST(Clustering, EntriesOfGrownClustersAreDiscarded) {
    // Clusters at 0, 40.54 and 77.41 degrees: 2 and 3 are 0.1 apart, 1 and 2
    // 0.12. 3 merges into 2, whose weight then differs from the entry (1, 2);
    // that entry is dropped, and the grown 2 (at about 59 degrees) is 0.24
    // from 1, beyond the threshold of 0.15.
    scenario s;
    s.background.assign(kAxis3.begin(), kAxis3.end());
    s.background_threshold = 0.01f;
    s.assign_threshold = 0.05f;
    s.merge_threshold = 0.15f;
    s.reassign_threshold = 0.0f;
    s.add(in_plane(0), 20);
    s.add(in_plane(40.5358), 20);
    s.add(in_plane(77.4058), 20);
    EXPECT_EQ(s.labels(), runs({{1, 20}, {2, 40}}));
}

TEST(Clustering, SmallClustersJoinTheNearestSpeakerOnlyWhenStrictlyClose) {
    // n = 200: minimum size 22. Cluster 2 holds 16 frames, 0.5 from cluster 1.
    scenario s;
    s.add(kAxis0, 100);
    s.add(kAxis1, 16);
    s.add(kAxis3, 84);
    s.merge_threshold = 0.4f;
    s.reassign_threshold = 0.5f;
    EXPECT_EQ(s.labels(), runs({{1, 100}, {0, 100}}));
    s.reassign_threshold = std::nextafter(0.5f, 1.0f);
    EXPECT_EQ(s.labels(), runs({{1, 116}, {0, 84}}));

    // With no other speaker cluster, the background takes it at any threshold.
    scenario alone;
    alone.add(kAxis1, 16);
    alone.add(kAxis3, 184);
    alone.reassign_threshold = 2.0f;
    EXPECT_EQ(alone.labels(), std::vector<int32_t>(200, 0));
}

// Fails each allocation of the scenario's clustering in turn: each gives
// OUT_OF_MEMORY with the list emptied (checked by run), and a last run the
// labels of the first. Returns the number of allocations.
int64_t expect_every_allocation_failure_is_clean(scenario &s) {
    std::vector<int32_t> want;
    alloc_fail_at(0);
    EXPECT_EQ(s.run(&want), ZR_STATUS_SUCCESS);
    const int64_t total = alloc_count() - 2;  // less the clusterer's own two
    for (int64_t k = 1; k <= total; ++k) {
        std::vector<int32_t> labels;
        // Skip the two allocations of clusterer_create inside run().
        alloc_fail_at(k + 2);
        EXPECT_EQ(s.run(&labels), ZR_STATUS_OUT_OF_MEMORY) << "allocation " << k;
        alloc_fail_at(0);
    }
    std::vector<int32_t> again;
    EXPECT_EQ(s.run(&again), ZR_STATUS_SUCCESS);
    EXPECT_EQ(again, want);
    return total;
}

TEST(Clustering, EveryAllocationFailureIsCleanAndEmptiesTheList) {
    // Enough frames to grow member arrays, several clusters and merges.
    scenario s;
    std::mt19937 rng(5);
    const vec sources[] = {kAxis0, kAxis1, in_plane(20), kAxis2, kAxis3};
    for (int i = 0; i < 30; ++i) s.add(sources[rng() % 5], 10 + static_cast<int>(rng() % 40));
    s.merge_threshold = 0.2f;
    s.reassign_threshold = 0.6f;
    EXPECT_GT(expect_every_allocation_failure_is_clean(s), 20);
}

// Count limits. Three speakers: A and B 70 degrees apart (distance 0.33,
// above the merge threshold of 0.3), C on its own axis (0.5 from both).
scenario three_speakers() {
    scenario s;
    s.add(in_plane(0), 100);
    s.add(in_plane(70), 100);
    s.add(kAxis2, 100);
    s.add(in_plane(0), 100);
    return s;
}

TEST(ClusteringLimits, MaxSpeakersMergesTheNearestSpeakersPastTheThreshold) {
    scenario s = three_speakers();
    EXPECT_EQ(s.labels(), runs({{1, 100}, {2, 100}, {3, 100}, {1, 100}}));
    s.limits = {0, 2};
    EXPECT_EQ(s.labels(), runs({{1, 200}, {2, 100}, {1, 100}}));
    EXPECT_TRUE(s.count_met);
    s.limits = {0, 1};
    EXPECT_EQ(s.labels(), runs({{1, 400}}));
    s.limits = {0, 3};  // already met: the unlimited result
    EXPECT_EQ(s.labels(), runs({{1, 100}, {2, 100}, {3, 100}, {1, 100}}));
}

TEST(ClusteringLimits, MinSpeakersStopsTheMergingThatWouldGoBelowIt) {
    // 40 degrees apart (0.117): separate online (assign 0.05), merged after.
    scenario s;
    s.assign_threshold = 0.05f;
    s.add(in_plane(0), 120);
    s.add(in_plane(40), 120);
    s.add(in_plane(0), 60);
    EXPECT_EQ(s.labels(), runs({{1, 300}}));
    s.limits = {2, 0};
    EXPECT_EQ(s.labels(), runs({{1, 120}, {2, 120}, {1, 60}}));
    EXPECT_TRUE(s.count_met);
}

// One voice drifting from 0 to 36 degrees: the online pass keeps it in one
// cluster, so a second speaker can only come from a split.
scenario drifting(int frames) {
    scenario s;
    for (int i = 0; i < frames; ++i) s.add(in_plane(36.0 * i / frames), 1);
    return s;
}

TEST(ClusteringLimits, MinSpeakersSplitsAlongTime) {
    scenario s = drifting(400);
    EXPECT_EQ(s.labels(), runs({{1, 400}}));
    s.limits = {2, 2};
    const std::vector<int32_t> two = s.labels();
    EXPECT_TRUE(s.count_met);
    // Whole pieces of 32 frames move: the cut is a piece boundary near the middle.
    int32_t cut = 0;
    while (cut < 400 && two[cut] == two[0]) ++cut;
    EXPECT_EQ(cut % kSplitPieceFrames, 0);
    EXPECT_NEAR(cut, 200, 32);
    EXPECT_EQ(two, runs({{1, cut}, {2, 400 - cut}}));
    s.limits = {4, 0};
    std::vector<int32_t> four = s.labels();
    EXPECT_TRUE(s.count_met);
    std::sort(four.begin(), four.end());
    EXPECT_EQ(std::unique(four.begin(), four.end()) - four.begin(), 4);
}

TEST(ClusteringLimits, TooLittleSpeechForTheCountIsReported) {
    // 70 frames (minimum size 20) split once, into 32 + 38 frames; neither
    // half reaches the 40 frames a further split needs.
    scenario s = drifting(70);
    s.limits = {2, 0};
    std::vector<int32_t> labels = s.labels();
    EXPECT_TRUE(s.count_met);
    s.limits = {5, 5};
    labels = s.labels();
    EXPECT_FALSE(s.count_met);
    std::sort(labels.begin(), labels.end());
    EXPECT_LT(std::unique(labels.begin(), labels.end()) - labels.begin(), 5);
    // Nothing but background: no speaker at all, and the count not met.
    scenario quiet;
    quiet.add(kAxis3, 200);
    quiet.limits = {1, 1};
    EXPECT_EQ(quiet.labels(), std::vector<int32_t>(200, 0));
    EXPECT_FALSE(quiet.count_met);
}

TEST(ClusteringLimits, EveryAllocationFailureOfMergingAndSplittingIsClean) {
    for (speaker_count_limits limits : {speaker_count_limits{0, 1}, speaker_count_limits{3, 3}}) {
        scenario s = limits.max_speakers == 1 ? three_speakers() : drifting(600);
        s.limits = limits;
        EXPECT_GT(expect_every_allocation_failure_is_clean(s), 5);
        EXPECT_TRUE(s.count_met);
    }
}

pair_entry entry(float distance, int32_t id) {
    return pair_entry{distance, id, 1.0f, id + 100, 1.0f};
}

std::vector<int32_t> drain(pair_queue *q) {
    std::vector<int32_t> ids;
    pair_entry e;
    while (pair_queue_pop(q, &e)) ids.push_back(e.a_id);
    return ids;
}

TEST(PairQueue, PopsInDistanceOrderAndGrowsByDoubling) {
    pair_queue q{};
    ASSERT_EQ(pair_queue_init(&q, 1), ZR_STATUS_SUCCESS);
    std::mt19937 rng(1);
    std::vector<float> distances;
    for (int i = 0; i < 1000; ++i) {
        const float d = static_cast<float>(rng() % 997) / 997.0f;
        distances.push_back(d);
        ASSERT_EQ(pair_queue_push(&q, entry(d, i)), ZR_STATUS_SUCCESS);
    }
    EXPECT_EQ(q.capacity, 1024);
    EXPECT_EQ(q.count, 1000);
    float previous = -1.0f;
    pair_entry e;
    while (pair_queue_pop(&q, &e)) {
        ASSERT_GE(e.distance, previous);
        ASSERT_EQ(e.distance, distances[static_cast<size_t>(e.a_id)]);
        ASSERT_EQ(e.b_id, e.a_id + 100);
        previous = e.distance;
    }
    EXPECT_EQ(q.count, 0);
    EXPECT_FALSE(pair_queue_pop(&q, &e));
    pair_queue_release(&q);
}

TEST(PairQueue, EqualDistancesNeverSwap) {
    pair_queue q{};
    ASSERT_EQ(pair_queue_init(&q, 8), ZR_STATUS_SUCCESS);
    // Heap [1, 2, 3]; popping 1 moves 3 to the root, where its equal children
    // leave it: 1, 3, 2.
    for (int32_t id = 1; id <= 3; ++id)
        ASSERT_EQ(pair_queue_push(&q, entry(0.5f, id)), ZR_STATUS_SUCCESS);
    EXPECT_EQ(drain(&q), (std::vector<int32_t>{1, 3, 2}));
    // A strictly smaller entry rises; an equal one stops below its parent.
    for (auto [d, id] : {std::pair{0.5f, 1}, {0.5f, 2}, {0.25f, 3}, {0.25f, 4}, {0.5f, 5}}) {
        ASSERT_EQ(pair_queue_push(&q, entry(d, id)), ZR_STATUS_SUCCESS);
    }
    // Slots after the pushes: [3, 4, 1, 2, 5]; after popping 3 and 4 the
    // equal 2, 5, 1 stay where the moves put them.
    EXPECT_EQ(drain(&q), (std::vector<int32_t>{3, 4, 2, 1, 5}));
    pair_queue_release(&q);
}

TEST(PairQueue, FailedGrowthKeepsTheQueue) {
    pair_queue q{};
    ASSERT_EQ(pair_queue_init(&q, 2), ZR_STATUS_SUCCESS);
    ASSERT_EQ(pair_queue_push(&q, entry(0.3f, 1)), ZR_STATUS_SUCCESS);
    ASSERT_EQ(pair_queue_push(&q, entry(0.1f, 2)), ZR_STATUS_SUCCESS);
    alloc_fail_at(1);
    EXPECT_EQ(pair_queue_push(&q, entry(0.2f, 3)), ZR_STATUS_OUT_OF_MEMORY);
    alloc_fail_at(0);
    EXPECT_EQ(q.capacity, 2);
    EXPECT_EQ(drain(&q), (std::vector<int32_t>{2, 1}));
    pair_queue_release(&q);
    pair_queue_release(&q);  // releasing twice is harmless
}

}  // namespace
