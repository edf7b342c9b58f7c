// Writes small WebM files element by element, for reader tests that need
// tracks, codec private data or sizes no encoder would produce.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

using byte_vector = std::vector<uint8_t>;

// One element: the ID's bytes as written in the file, an 8-byte size, the body.
byte_vector ebml_element(uint32_t id, const byte_vector &body);
byte_vector ebml_uint(uint32_t id, uint64_t value);
byte_vector ebml_float(uint32_t id, double value);
byte_vector ebml_string(uint32_t id, const std::string &value);
byte_vector concat(const std::vector<byte_vector> &parts);

// Packets in Xiph lacing, as a Vorbis track's codec private data holds them.
byte_vector xiph_lace(const std::vector<byte_vector> &packets);

struct webm_track_desc {
    uint64_t number = 1;
    uint64_t type = 2;  // 1 video, 2 audio
    std::string codec_id = "A_OPUS";
    std::optional<double> sampling_frequency = 48000.0;
    std::optional<uint64_t> channels = 1;
    std::optional<byte_vector> codec_private;
};

struct webm_block_desc {
    uint64_t track = 1;
    byte_vector data;
    std::vector<byte_vector> laced;  // when not empty: these frames in Xiph lacing instead
};

// EBML header with document type "webm", then a segment with the tracks and
// one cluster of simple blocks.
byte_vector make_webm(const std::vector<webm_track_desc> &tracks,
                      const std::vector<webm_block_desc> &blocks);
