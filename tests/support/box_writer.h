// Writes ISO base media files box by box, for the structures no encoder
// makes: odd descriptors, rare table layouts, several tracks, hand-made
// fragments.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace boxw {

using bytes = std::vector<uint8_t>;

bytes u8(uint8_t v);
bytes u16(uint16_t v);
bytes u24(uint32_t v);
bytes u32(uint32_t v);
bytes u64(uint64_t v);
bytes fourcc(const std::string &type);
bytes join(std::initializer_list<bytes> parts);
bytes join(const std::vector<bytes> &parts);
bytes box(const std::string &type, std::initializer_list<bytes> parts);
bytes box(const std::string &type, const std::vector<bytes> &parts);
bytes full_box(const std::string &type, uint8_t version, uint32_t flags,
               std::initializer_list<bytes> parts);

// An "esds" with the given ES flags and decoder-specific information.
bytes esds(uint8_t es_flags, const bytes &specific_info);

struct track_desc {
    std::string handler = "soun";
    std::string entry = "mp4a";  // sample description type
    uint16_t channels = 1;
    uint32_t sample_rate = 16000;
    bool with_esds = true;
    uint8_t es_flags = 0;
    bytes specific_info = {0x14, 0x08};  // AAC-LC, 16000 Hz, mono
    uint8_t mdhd_version = 0;
    uint32_t timescale = 16000;
    uint64_t duration = 0;
    bool hdlr_after_minf = false;
    bool with_edts = false;
    uint8_t elst_version = 0;
    std::vector<int64_t> edit_media_times;
    // Coded samples, written to "mdat" in chunks of samples_per_chunk (the
    // last chunk may be shorter).
    std::vector<bytes> samples;
    uint32_t samples_per_chunk = 1;
    std::string size_box = "stsz";  // "stsz" or "stz2"
    uint8_t stz2_field_bits = 16;
    bool common_size = false;       // stsz with one size for all
    bool with_stsz = true, with_stsc = true, with_stco = true;
    bool with_minf = true;
    uint32_t track_id = 1;
};

struct fragment_desc {
    uint32_t sequence_number = 1;
    std::vector<bytes> samples;  // of the first track
    uint32_t sample_duration = 1024;
};

struct file_desc {
    std::string major_brand = "isom";
    std::vector<track_desc> tracks;
    // With fragments: the movie holds empty tables and an "mvex" with one
    // "trex" per track; the samples of the first track live in the fragments.
    std::vector<fragment_desc> fragments;
};

bytes build_file(const file_desc &desc);

}  // namespace boxw
