// Vector arithmetic of the clustering on unit-length embeddings. Every sum is
// a plain sequential float32 loop in index order, so results do not depend on
// the vector width of the machine.
#pragma once

#include <cstdint>

#include "diarization/fast_rsqrt.h"

// (1 - a.b) * 0.5: 0 for equal directions, 1 for opposite ones.
inline float cosine_distance(const float *a, const float *b, int32_t dim) {
    float dot = 0.0f;
    for (int32_t k = 0; k < dim; ++k) dot = dot + a[k] * b[k];
    return (1.0f - dot) * 0.5f;
}

// Scales v to unit length with the shared fast inverse square root.
inline void renormalise(float *v, int32_t dim) {
    float norm = 0.0f;
    for (int32_t k = 0; k < dim; ++k) norm = norm + v[k] * v[k];
    const float scale = fast_rsqrt(norm);
    for (int32_t k = 0; k < dim; ++k) v[k] = v[k] * scale;
}
