// Writes 16-bit PCM as a canonical RIFF WAVE file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The complete file bytes: a 44-byte header and little-endian samples.
std::vector<uint8_t> wav_file_bytes(const int16_t *samples, int32_t count, int32_t sample_rate,
                                    int channels);

// Writes the file; false with `error` on failure.
bool write_wav_file(const std::string &path, const int16_t *samples, int32_t count,
                    int32_t sample_rate, int channels, std::string &error);
