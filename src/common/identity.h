// Library identity constants shared with the model loader and the pipeline.
#pragma once

#include <cstdint>

inline constexpr char kLibraryVersion[] = "1.0.0";
inline constexpr int32_t kSampleRate = 16000;
