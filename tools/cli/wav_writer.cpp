#include "cli/wav_writer.h"

#include <cstdio>

namespace {

void put_u32(std::vector<uint8_t> &out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_u16(std::vector<uint8_t> &out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void put_tag(std::vector<uint8_t> &out, const char *tag) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(tag[i]));
}

}  // namespace

std::vector<uint8_t> wav_file_bytes(const int16_t *samples, int32_t count, int32_t sample_rate,
                                    int channels) {
    // count is a signed 32-bit sample count, so the data size fits in 32 bits.
    const uint32_t data_bytes = static_cast<uint32_t>(count < 0 ? 0 : count) * 2u;
    std::vector<uint8_t> out;
    out.reserve(44 + data_bytes);
    put_tag(out, "RIFF");
    put_u32(out, 36 + data_bytes);
    put_tag(out, "WAVE");
    put_tag(out, "fmt ");
    put_u32(out, 16);
    put_u16(out, 1);  // integer PCM
    put_u16(out, static_cast<uint16_t>(channels));
    put_u32(out, static_cast<uint32_t>(sample_rate));
    put_u32(out, static_cast<uint32_t>(sample_rate) * static_cast<uint32_t>(channels) * 2u);
    put_u16(out, static_cast<uint16_t>(channels * 2));
    put_u16(out, 16);
    put_tag(out, "data");
    put_u32(out, data_bytes);
    for (int32_t i = 0; i < count; ++i) put_u16(out, static_cast<uint16_t>(samples[i]));
    return out;
}

bool write_wav_file(const std::string &path, const int16_t *samples, int32_t count,
                    int32_t sample_rate, int channels, std::string &error) {
    const std::vector<uint8_t> bytes = wav_file_bytes(samples, count, sample_rate, channels);
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        error = "cannot create " + path;
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const bool closed = std::fclose(f) == 0;
    if (!written || !closed) {
        error = "cannot write " + path;
        std::remove(path.c_str());
        return false;
    }
    return true;
}
