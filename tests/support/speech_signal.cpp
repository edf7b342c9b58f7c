#include "support/speech_signal.h"

#include <algorithm>
#include <cmath>
#include <random>

std::vector<int16_t> speech_like(size_t count, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> hiss(0.0f, 200.0f);
    std::vector<int16_t> out(count);
    for (size_t i = 0; i < count; ++i) {
        const size_t burst = i / 8000;
        const float pitch = burst % 2 ? 140.0f : 220.0f;
        float v = hiss(rng);
        if (burst % 3 != 2) {
            for (int h = 1; h <= 5; ++h) {
                v += 3000.0f / static_cast<float>(h) *
                     std::sin(6.2831853f * pitch * static_cast<float>(h) * static_cast<float>(i) /
                              16000.0f);
            }
        }
        out[i] = static_cast<int16_t>(std::max(-32768.0f, std::min(32767.0f, v)));
    }
    return out;
}

