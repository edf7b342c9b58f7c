#include "diarization/cluster_split.h"

#include <algorithm>
#include <cstring>

#include "common/alloc.h"
#include "diarization/embedding_math.h"

namespace {

constexpr int32_t kTwoMeansRounds = 20;

// The pieces of one cluster and the working arrays of its split, in one
// allocation each; released by the destructor.
struct split_work {
    int32_t *frames = nullptr;   // the members in time order
    int32_t *first = nullptr;    // per piece: index of its first frame in `frames`
    int32_t *length = nullptr;   // per piece: frames
    int32_t *order = nullptr;    // pieces by contrast, strongest first
    float *sums = nullptr;       // per piece: the sum of its frames' embeddings
    float *directions = nullptr; // per piece: that sum at unit length
    float *score = nullptr;      // per piece: closeness to the first half minus the second
    float *halves = nullptr;     // two centroids
    int32_t pieces = 0;
    ~split_work() {
        mem_free(frames);
        mem_free(first);
        mem_free(length);
        mem_free(order);
        mem_free(sums);
        mem_free(directions);
        mem_free(score);
        mem_free(halves);
    }
};

float dot(const float *a, const float *b, int32_t dim) {
    float s = 0.0f;
    for (int32_t k = 0; k < dim; ++k) s = s + a[k] * b[k];
    return s;
}

bool unit_length(float *v, int32_t dim) {
    if (dot(v, v, dim) <= 0.0f) return false;
    renormalise(v, dim);
    return true;
}

zr_status_t build_pieces(const cluster *c, const float *embeddings, int32_t dim, split_work &w) {
    const size_t m = static_cast<size_t>(c->member_count);
    const size_t d = static_cast<size_t>(dim);
    w.frames = static_cast<int32_t *>(mem_alloc(sizeof(int32_t) * m));
    w.first = static_cast<int32_t *>(mem_alloc(sizeof(int32_t) * m));
    w.length = static_cast<int32_t *>(mem_alloc(sizeof(int32_t) * m));
    w.order = static_cast<int32_t *>(mem_alloc(sizeof(int32_t) * m));
    w.sums = static_cast<float *>(mem_calloc(m * d, sizeof(float)));
    w.directions = static_cast<float *>(mem_alloc(sizeof(float) * m * d));
    w.score = static_cast<float *>(mem_alloc(sizeof(float) * m));
    w.halves = static_cast<float *>(mem_alloc(sizeof(float) * 2 * d));
    if (w.frames == nullptr || w.first == nullptr || w.length == nullptr || w.order == nullptr ||
        w.sums == nullptr || w.directions == nullptr || w.score == nullptr || w.halves == nullptr)
        return ZR_STATUS_OUT_OF_MEMORY;
    std::memcpy(w.frames, c->members, sizeof(int32_t) * m);
    std::sort(w.frames, w.frames + m);
    for (int32_t i = 0; i < c->member_count; ++i) {
        const bool continues = i > 0 && w.frames[i] == w.frames[i - 1] + 1 &&
                               w.length[w.pieces - 1] < kSplitPieceFrames;
        if (!continues) {
            w.first[w.pieces] = i;
            w.length[w.pieces] = 0;
            ++w.pieces;
        }
        const int32_t p = w.pieces - 1;
        ++w.length[p];
        float *sum = w.sums + static_cast<size_t>(p) * d;
        const float *e = embeddings + static_cast<int64_t>(w.frames[i]) * dim;
        for (int32_t k = 0; k < dim; ++k) sum[k] = sum[k] + e[k];
    }
    for (int32_t p = 0; p < w.pieces; ++p) {
        float *v = w.directions + static_cast<size_t>(p) * d;
        std::memcpy(v, w.sums + static_cast<size_t>(p) * d, sizeof(float) * d);
        unit_length(v, dim);
    }
    return ZR_STATUS_SUCCESS;
}

int32_t farthest_piece(const split_work &w, const float *from, int32_t dim) {
    int32_t best = 0;
    float best_distance = -1.0f;
    for (int32_t p = 0; p < w.pieces; ++p) {
        const float dist = cosine_distance(from, w.directions + static_cast<size_t>(p) * dim, dim);
        if (dist > best_distance) {
            best_distance = dist;
            best = p;
        }
    }
    return best;
}

void score_pieces(split_work &w, int32_t dim) {
    const float *a = w.halves;
    const float *b = w.halves + dim;
    for (int32_t p = 0; p < w.pieces; ++p) {
        const float *v = w.directions + static_cast<size_t>(p) * dim;
        w.score[p] = dot(v, a, dim) - dot(v, b, dim);
    }
}

// Two-means over the pieces, weighted by their frames; leaves every piece's
// score for the final halves.
void two_means(const cluster *c, split_work &w, int32_t dim) {
    float *a = w.halves;
    float *b = w.halves + dim;
    const int32_t seed_a = farthest_piece(w, c->centroid, dim);
    const int32_t seed_b = farthest_piece(w, w.directions + static_cast<size_t>(seed_a) * dim, dim);
    std::memcpy(a, w.directions + static_cast<size_t>(seed_a) * dim, sizeof(float) * dim);
    std::memcpy(b, w.directions + static_cast<size_t>(seed_b) * dim, sizeof(float) * dim);
    score_pieces(w, dim);
    for (int32_t round = 0; round < kTwoMeansRounds; ++round) {
        std::fill(a, a + 2 * dim, 0.0f);
        for (int32_t p = 0; p < w.pieces; ++p) {
            float *half = w.score[p] >= 0.0f ? a : b;
            const float *sum = w.sums + static_cast<size_t>(p) * dim;
            for (int32_t k = 0; k < dim; ++k) half[k] = half[k] + sum[k];
        }
        // A half left empty keeps no direction: the contrast is that of the seeds.
        if (!unit_length(a, dim) || !unit_length(b, dim)) return;
        bool changed = false;
        for (int32_t p = 0; p < w.pieces; ++p) {
            const float *v = w.directions + static_cast<size_t>(p) * dim;
            const float s = dot(v, a, dim) - dot(v, b, dim);
            changed = changed || ((s >= 0.0f) != (w.score[p] >= 0.0f));
            w.score[p] = s;
        }
        if (!changed) return;
    }
}

// Pieces in order of score (first half first), and the number of them that
// go to the first half: the two-means cut, or the valid cut nearest to it.
// 0 when no cut leaves both halves at least `min_size` frames.
int32_t choose_cut(split_work &w, int32_t total, int32_t min_size) {
    for (int32_t p = 0; p < w.pieces; ++p) w.order[p] = p;
    // A total order (ties by time), so std::sort needs no buffer and the cut is reproducible.
    std::sort(w.order, w.order + w.pieces, [&w](int32_t x, int32_t y) {
        return w.score[x] > w.score[y] || (w.score[x] == w.score[y] && x < y);
    });
    int32_t natural = 0;
    while (natural < w.pieces && w.score[w.order[natural]] >= 0.0f) ++natural;
    int32_t best = 0;
    int32_t best_offset = 0;
    int32_t before = 0;
    for (int32_t cut = 1; cut < w.pieces; ++cut) {
        before += w.length[w.order[cut - 1]];
        if (before < min_size || total - before < min_size) continue;
        const int32_t offset = cut > natural ? cut - natural : natural - cut;
        if (best == 0 || offset < best_offset) {
            best = cut;
            best_offset = offset;
        }
    }
    return best;
}

// Writes the frames of pieces order[from..to) into `out` in time order and
// its centroid; `out` holds no members before.
zr_status_t fill_half(const split_work &w, int32_t from, int32_t to, int32_t dim, cluster *out) {
    float *centroid = w.halves;  // free once the cut is chosen
    std::fill(centroid, centroid + dim, 0.0f);
    for (int32_t i = from; i < to; ++i) {
        const int32_t p = w.order[i];
        const zr_status_t status = cluster_append_members(out, w.frames + w.first[p], w.length[p]);
        if (status != ZR_STATUS_SUCCESS) return status;
        const float *sum = w.sums + static_cast<size_t>(p) * dim;
        for (int32_t k = 0; k < dim; ++k) centroid[k] = centroid[k] + sum[k];
    }
    std::sort(out->members, out->members + out->member_count);
    if (unit_length(centroid, dim)) std::memcpy(out->centroid, centroid, sizeof(float) * dim);
    out->weight = static_cast<float>(out->member_count);
    return ZR_STATUS_SUCCESS;
}

// Splits `c` when it can; the new half is pushed at the head of `list`.
zr_status_t try_split(cluster_list *list, cluster *c, const float *embeddings, int32_t dim,
                      int32_t min_size, bool *split) {
    split_work w;
    zr_status_t status = build_pieces(c, embeddings, dim, w);
    if (status != ZR_STATUS_SUCCESS) return status;
    if (w.pieces < 2) return ZR_STATUS_SUCCESS;
    two_means(c, w, dim);
    const int32_t cut = choose_cut(w, c->member_count, min_size);
    if (cut == 0) return ZR_STATUS_SUCCESS;

    // The older cluster keeps the half that holds its earliest frame (piece
    // 0), so that labels still follow the order in which speakers appear.
    bool earliest_first = false;
    for (int32_t i = 0; i < cut; ++i) earliest_first = earliest_first || w.order[i] == 0;
    const int32_t kept_from = earliest_first ? 0 : cut;
    const int32_t kept_to = earliest_first ? cut : w.pieces;
    const int32_t moved_from = earliest_first ? cut : 0;
    const int32_t moved_to = earliest_first ? w.pieces : cut;

    cluster *second = nullptr;
    status = cluster_create(c->centroid, dim, 0.0f, list->head->id + 1, &second);
    if (status != ZR_STATUS_SUCCESS) return status;
    status = fill_half(w, moved_from, moved_to, dim, second);
    if (status != ZR_STATUS_SUCCESS) {
        cluster_release(second);
        return status;
    }
    // The kept half fits in c's own member array: nothing can fail from here.
    c->member_count = 0;
    status = fill_half(w, kept_from, kept_to, dim, c);
    if (status != ZR_STATUS_SUCCESS) return status;
    cluster_list_push_head(list, second);
    *split = true;
    return ZR_STATUS_SUCCESS;
}

}  // namespace

zr_status_t split_heaviest_cluster(cluster_list *list, const float *embeddings, int32_t dim,
                                   int32_t min_size, bool *split) {
    *split = false;
    const size_t count = static_cast<size_t>(list->count);
    auto **candidates = static_cast<cluster **>(mem_alloc(sizeof(cluster *) * std::max<size_t>(count, 1)));
    if (candidates == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    int32_t n = 0;
    for (cluster *c = list->head; c != list->tail; c = c->next) {
        if (c->weight >= 2.0f * static_cast<float>(min_size)) candidates[n++] = c;
    }
    std::sort(candidates, candidates + n, [](const cluster *x, const cluster *y) {
        return x->weight > y->weight || (x->weight == y->weight && x->id < y->id);
    });
    zr_status_t status = ZR_STATUS_SUCCESS;
    for (int32_t i = 0; i < n && !*split && status == ZR_STATUS_SUCCESS; ++i) {
        status = try_split(list, candidates[i], embeddings, dim, min_size, split);
    }
    mem_free(candidates);
    return status;
}
