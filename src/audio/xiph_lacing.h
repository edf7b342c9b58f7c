// Splits a Vorbis codec private block (the three header packets in Xiph
// lacing) into its packets, checking every size against the block.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zr_quorva.h"

inline constexpr int kXiphHeaderPackets = 3;

struct xiph_packets {
    const uint8_t *data[kXiphHeaderPackets];
    size_t size[kXiphHeaderPackets];
};

// The block starts with the packet count minus one, then the laced sizes of
// all packets but the last, which takes the rest. INVALID_STATE when the
// block is empty, holds more than three packets or its sizes do not fit it;
// INVALID_ARGUMENT when it holds fewer than three.
zr_status_t xiph_split_headers(const uint8_t *block, size_t length, xiph_packets *out);
