// Fast inverse square root shared by the network's output normalisation and
// the clustering's centroid renormalisation. Evaluated left to right in
// float32; with -ffp-contract=off nothing is fused.
#pragma once

#include <cstdint>
#include <cstring>

inline float fast_rsqrt(float q) {
    uint32_t bits;
    std::memcpy(&bits, &q, sizeof bits);
    const uint32_t guess_bits = 0x5F1FFFF9u - (bits >> 1);
    float y0;
    std::memcpy(&y0, &guess_bits, sizeof y0);
    return (2.3892446f - (y0 * q) * y0) * 0.70395225f * y0;
}
