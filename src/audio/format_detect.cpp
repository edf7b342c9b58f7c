#include "audio/format_detect.h"

#include <cstdio>
#include <cstring>

#include "common/alloc.h"

namespace {

bool bytes_equal(const uint8_t *at, const char *text) {
    return std::memcmp(at, text, std::strlen(text)) == 0;
}

uint32_t read_be32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

uint64_t read_be64(const uint8_t *p) {
    return (uint64_t{read_be32(p)} << 32) | read_be32(p + 4);
}

constexpr const char *kMp4Brands[] = {"3gp4", "3gp5", "3gp6", "iso2", "isom", "mp41", "mp42"};

bool is_mp4_brand(const uint8_t *brand) {
    for (const char *known : kMp4Brands)
        if (bytes_equal(brand, known)) return true;
    return false;
}

uint64_t box_header_length(uint32_t size32) { return size32 == 1 ? 16 : 8; }

}  // namespace

audio_format detect_signature(const uint8_t *b) {
    if (b[0] == 0x49 && b[1] == 0x44 && b[2] == 0x33) return AUDIO_FORMAT_MP3;  // ID3v2 tag
    if (b[0] == 0xFF && b[1] > 0xF2) return AUDIO_FORMAT_MP3;                 // frame sync
    if (bytes_equal(b, "fLaC")) return AUDIO_FORMAT_FLAC;
    if (bytes_equal(b, "RIFF")) return AUDIO_FORMAT_WAV;
    if (bytes_equal(b, "OggS")) {
        // The first packet starts at 28 on a page with a one-entry segment
        // table; Vorbis puts a packet-type byte before its name.
        if (bytes_equal(b + 28, "Opus")) return AUDIO_FORMAT_OGG_OPUS;
        if (bytes_equal(b + 29, "vorbis")) return AUDIO_FORMAT_OGG_VORBIS;
    }
    if (b[0] == 0x1A && b[1] == 0x45 && b[2] == 0xDF && b[3] == 0xA3 && bytes_equal(b + 24, "webm"))
        return AUDIO_FORMAT_WEBM;
    return AUDIO_FORMAT_UNKNOWN;
}

uint64_t ftyp_box_size(const uint8_t *bytes, size_t available) {
    if (available < 8 || !bytes_equal(bytes + 4, "ftyp")) return 0;
    const uint32_t size32 = read_be32(bytes);
    const uint64_t header = box_header_length(size32);
    if (available < header) return 0;
    const uint64_t size = size32 == 1 ? read_be64(bytes + 8) : size32;
    // Size 0 (box runs to the end of the file), no room for the major brand
    // and minor version, or too large to buffer: not an identifying box.
    if (size < header + 8 || size > kMaxFirstBoxBytes) return 0;
    return size;
}

bool ftyp_box_names_mp4_brand(const uint8_t *box, uint64_t box_size) {
    const uint64_t header = box_header_length(read_be32(box));
    if (box_size < header + 8) return false;  // re-checked: the file may have changed
    if (is_mp4_brand(box + header)) return true;
    const uint64_t brands = (box_size - header - 8) / 4;
    for (uint64_t i = 0; i < brands; ++i)
        if (is_mp4_brand(box + header + 8 + 4 * i)) return true;
    return false;
}

audio_format detect_audio_format(const uint8_t *bytes, size_t size) {
    if (size < kProbeBytes) return AUDIO_FORMAT_UNKNOWN;
    const audio_format format = detect_signature(bytes);
    if (format != AUDIO_FORMAT_UNKNOWN) return format;
    const uint64_t box_size = ftyp_box_size(bytes, size);
    if (box_size == 0 || box_size > size) return AUDIO_FORMAT_UNKNOWN;
    return ftyp_box_names_mp4_brand(bytes, box_size) ? AUDIO_FORMAT_MP4 : AUDIO_FORMAT_UNKNOWN;
}

zr_status_t detect_file_format(const char *path, audio_format *format) {
    *format = AUDIO_FORMAT_UNKNOWN;
    uint8_t probe[kProbeBytes];
    FILE *file = std::fopen(path, "rb");
    if (file == nullptr) return ZR_STATUS_IO_ERROR;
    const size_t got = std::fread(probe, 1, kProbeBytes, file);
    std::fclose(file);
    if (got < kProbeBytes) return ZR_STATUS_IO_ERROR;

    *format = detect_signature(probe);
    if (*format != AUDIO_FORMAT_UNKNOWN) return ZR_STATUS_SUCCESS;

    // ISO box test: the probe holds the largest box header, so the box size
    // is known before the box is read again from the file.
    const uint64_t box_size = ftyp_box_size(probe, kProbeBytes);
    if (box_size == 0) return ZR_STATUS_SUCCESS;
    auto *box = static_cast<uint8_t *>(mem_alloc(box_size));
    if (box == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    file = std::fopen(path, "rb");
    const size_t box_got = file == nullptr ? 0 : std::fread(box, 1, box_size, file);
    if (file != nullptr) std::fclose(file);
    if (box_got == box_size && ftyp_box_names_mp4_brand(box, box_size)) *format = AUDIO_FORMAT_MP4;
    mem_free(box);
    return ZR_STATUS_SUCCESS;
}
