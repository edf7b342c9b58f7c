// Down-mix and sample conversion rules shared by every reader.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

// Stereo to mono for 16-bit decoders: the mean, truncated toward zero.
inline int16_t downmix_int16(int16_t left, int16_t right) {
    return static_cast<int16_t>((int32_t{left} + int32_t{right}) / 2);
}

// Interleaved 16-bit frames of one or two channels to mono: stereo by the
// integer rule, mono copied. `in` and `out` must not overlap.
inline void downmix_frames_int16(const int16_t *in, int32_t frames, int32_t channels, int16_t *out) {
    if (channels == 2) {
        for (int32_t i = 0; i < frames; ++i) out[i] = downmix_int16(in[2 * i], in[2 * i + 1]);
    } else if (frames > 0) {
        std::memcpy(out, in, sizeof(int16_t) * static_cast<size_t>(frames));
    }
}

// Stereo to mono for float decoders, before conversion to 16 bits.
inline float downmix_float(float left, float right) { return (left + right) * 0.5f; }

// Float sample to int16: v x 32767, rounded half away from zero, saturated.
// NaN becomes 0.
inline int16_t float_to_int16(float v) {
    const float scaled = v * 32767.0f;
    if (!(scaled == scaled)) return 0;
    if (scaled >= 32767.0f) return 32767;
    if (scaled <= -32768.0f) return -32768;
    return static_cast<int16_t>(std::lround(scaled));
}
