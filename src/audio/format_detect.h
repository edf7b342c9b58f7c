// Recognises an audio file's format from its first bytes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/audio_reader.h"

// Bytes read from the start of a file before anything else is decided.
inline constexpr size_t kProbeBytes = 35;
// The ISO box test reads at most this much of the first box.
inline constexpr uint64_t kMaxFirstBoxBytes = 1u << 20;

// The signature tests, in order, on the kProbeBytes first bytes of a file.
// AUDIO_FORMAT_UNKNOWN when none holds (the ISO box test is not made here).
audio_format detect_signature(const uint8_t *probe);

// Size in bytes of the first box when the bytes open an "ftyp" box whose size
// is usable (at least header + 8 for the major brand and minor version, at
// most kMaxFirstBoxBytes); 0 otherwise.
uint64_t ftyp_box_size(const uint8_t *bytes, size_t available);

// The ISO brand test on a whole first box (header included).
bool ftyp_box_names_mp4_brand(const uint8_t *box, uint64_t box_size);

// Every test of detection on the leading bytes of a file (the first box
// included if it is to be recognised). Fewer than kProbeBytes bytes are
// AUDIO_FORMAT_UNKNOWN.
audio_format detect_audio_format(const uint8_t *bytes, size_t size);

// Detection on a file: the probe, then the ISO box test when needed. IO_ERROR
// when the file cannot be opened or is shorter than kProbeBytes,
// OUT_OF_MEMORY when the first box cannot be buffered; otherwise SUCCESS with
// *format set, AUDIO_FORMAT_UNKNOWN included.
zr_status_t detect_file_format(const char *path, audio_format *format);
