// Fixed-point logarithm of a band energy: 1024 units per decade (308 per
// octave) relative to 2^30, from integer normalisation and a 513-entry table.
#pragma once

#include <cstdint>

inline constexpr int16_t kLogOfZero = -32768;

// The log value of a band sum s >= 0: 0 for s >= 2^30, kLogOfZero when
// s * 2^33 truncates to zero, else a value from -19405 to 0.
int16_t log_energy(float s);
