// The speaker embedding network: feature frames in, unit-length embeddings out.
#pragma once

#include <cstdint>

#include "diarization/network_runtime.h"

// Fills `embeddings` (n rows of D float32, D = rows of the output layer) for
// the n frames of `features` (n rows of 80 int16), window by window. The
// recurrent state is all zero before and after. SUCCESS or OUT_OF_MEMORY.
zr_status_t network_embeddings(network_runtime *runtime, const int16_t *features, int32_t n,
                               float *embeddings);
