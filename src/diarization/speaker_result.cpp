#include "diarization/speaker_result.h"

#include <cmath>

#include "common/alloc.h"
#include "diarization/gap_filling.h"
#include "diarization/segments.h"

namespace {

int32_t highest_label(const int32_t *labels, int32_t n) {
    int32_t top = 0;
    for (int32_t k = 0; k < n; ++k) top = labels[k] > top ? labels[k] : top;
    return top;
}

}  // namespace

zr_status_t build_speaker_result(const int32_t *clustered, const int32_t *labels, int32_t n,
                                 const float *embeddings, int32_t dim, bool count_met,
                                 double audio_seconds, zr_quorva_result_t **out) {
    const int32_t segments = count_segments(labels, n);
    const int32_t speakers = highest_label(labels, n);
    // Laid out by decreasing alignment: record, speakers, segments, embeddings.
    const size_t speakers_at = sizeof(zr_quorva_result_t);
    const size_t segments_at = speakers_at + sizeof(zr_quorva_speaker_t) * static_cast<size_t>(speakers);
    const size_t embeddings_at = segments_at + sizeof(zr_quorva_segment_t) * static_cast<size_t>(segments);
    const size_t total =
        embeddings_at + sizeof(float) * static_cast<size_t>(speakers) * static_cast<size_t>(dim);
    auto *block = static_cast<unsigned char *>(mem_calloc(1, total));
    // Per speaker the sum of its frames' embeddings, in double and frame order.
    const size_t sum_count = static_cast<size_t>(speakers) * static_cast<size_t>(dim);
    auto *sum = static_cast<double *>(mem_calloc(sum_count > 0 ? sum_count : 1, sizeof(double)));
    if (block == nullptr || sum == nullptr) {
        mem_free(block);
        mem_free(sum);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    auto *result = reinterpret_cast<zr_quorva_result_t *>(block);
    result->struct_size = sizeof(zr_quorva_result_t);
    result->num_segments = segments;
    result->segments = reinterpret_cast<zr_quorva_segment_t *>(block + segments_at);
    result->num_speakers = speakers;
    result->speakers = reinterpret_cast<zr_quorva_speaker_t *>(block + speakers_at);
    result->embedding_dimension = dim;
    result->speaker_count_met = count_met ? 1 : 0;
    result->audio_seconds = audio_seconds;
    fill_segments(labels, n, result->segments);

    for (int32_t k = 0; k < n; ++k) {
        const int32_t s = clustered[k];
        if (s <= 0 || s > speakers) continue;
        double *acc = sum + static_cast<size_t>(s - 1) * static_cast<size_t>(dim);
        const float *e = embeddings + static_cast<int64_t>(k) * dim;
        for (int32_t i = 0; i < dim; ++i) acc[i] += static_cast<double>(e[i]);
    }
    for (int32_t k = 0; k < n; ++k) {
        if (labels[k] > 0) result->speakers[labels[k] - 1].seconds += 1.0f;  // frames, for now
    }
    auto *vectors = reinterpret_cast<float *>(block + embeddings_at);
    for (int32_t s = 1; s <= speakers; ++s) {
        zr_quorva_speaker_t &speaker = result->speakers[s - 1];
        const double *acc = sum + static_cast<size_t>(s - 1) * static_cast<size_t>(dim);
        float *embedding = vectors + static_cast<size_t>(s - 1) * static_cast<size_t>(dim);
        double norm = 0.0;
        for (int32_t i = 0; i < dim; ++i) norm += acc[i] * acc[i];
        const double scale = norm > 0.0 ? 1.0 / std::sqrt(norm) : 0.0;
        for (int32_t i = 0; i < dim; ++i) embedding[i] = static_cast<float>(acc[i] * scale);
        speaker.speaker_label = s;
        speaker.seconds = static_cast<float>(static_cast<double>(speaker.seconds) * kFrameStepSeconds);
        speaker.embedding = embedding;
    }
    mem_free(sum);
    *out = result;
    return ZR_STATUS_SUCCESS;
}
