// A synthetic speech-like test signal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// Half-second bursts of harmonics at two pitches with pauses between them,
// over a little hiss; the same samples for the same seed.
std::vector<int16_t> speech_like(size_t count, uint32_t seed);
