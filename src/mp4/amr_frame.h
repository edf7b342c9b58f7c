// AMR narrow-band storage format: a one-byte frame header whose bits 6..3
// give the frame type, then that type's speech bytes.
#pragma once

#include <cstdint>

inline constexpr int kAmrSamplesPerFrame = 160;
// Header byte plus the largest speech payload (12.2 kbit/s).
inline constexpr int kAmrMaxFrameBytes = 32;

inline constexpr uint8_t kAmrSpeechBytes[16] = {12, 13, 15, 17, 19, 20, 26, 31,
                                                5,  6,  5,  5,  0,  0,  0,  0};

inline int amr_frame_type(uint8_t header) { return (header >> 3) & 15; }
