#include "support/audio_fixtures.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>

#include "support/model_writer.h"

namespace {

std::mutex fixtures_mutex;

// Removes every fixture file when the test binary exits.
struct fixture_store {
    std::map<std::string, std::string> paths;
    ~fixture_store() {
        for (const auto &entry : paths) std::remove(entry.second.c_str());
    }
};

fixture_store &store() {
    static fixture_store instance;
    return instance;
}

bool tool_present(const std::string &tool) {
    const std::string probe = "command -v " + tool + " >/dev/null 2>&1";
    return std::system(probe.c_str()) == 0;
}

void replace_all(std::string &text, const std::string &from, const std::string &to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

std::string fixture_path(const std::string &name, const std::string &suffix) {
    std::string safe = name;
    std::replace_if(safe.begin(), safe.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return temp_directory() + "/fixture_" + safe + suffix;
}

}  // namespace

std::string speech_source(int index) {
    namespace fs = std::filesystem;
    const fs::path root = fs::path(QUORVA_DATA_DIR) / "speakers" / "librispeech";
    std::error_code ec;
    if (!fs::is_directory(root, ec)) return "";
    std::vector<std::string> files;
    for (const auto &entry : fs::recursive_directory_iterator(root, ec))
        if (entry.path().extension() == ".flac") files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    if (index < 0 || static_cast<size_t>(index) >= files.size()) return "";
    return files[index];
}

std::string make_audio_fixture(const std::string &name, const std::string &tool,
                               const std::string &command, const std::string &suffix,
                               std::string *why) {
    std::lock_guard<std::mutex> lock(fixtures_mutex);
    auto found = store().paths.find(name);
    if (found != store().paths.end()) return found->second;
    const std::string in = speech_source(0);
    const std::string in2 = speech_source(1);
    if (in.empty() || in2.empty()) {
        *why = "no speech recordings under " QUORVA_DATA_DIR;
        return "";
    }
    if (!tool.empty() && !tool_present(tool)) {
        *why = tool + " is not installed";
        return "";
    }
    const std::string out = fixture_path(name, suffix);
    std::string line = command;
    replace_all(line, "{in2}", "'" + in2 + "'");
    replace_all(line, "{in}", "'" + in + "'");
    replace_all(line, "{out}", "'" + out + "'");
    line = "(" + line + ") >/dev/null 2>&1";
    if (std::system(line.c_str()) != 0) {
        *why = "fixture command failed: " + command;
        std::remove(out.c_str());
        return "";
    }
    store().paths[name] = out;
    return out;
}

std::vector<uint8_t> read_file_bytes(const std::string &path) {
    std::vector<uint8_t> bytes;
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) return bytes;
    uint8_t buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(f);
    return bytes;
}

std::string write_fixture_bytes(const std::string &name, const std::vector<uint8_t> &bytes) {
    const std::string path = fixture_path(name, ".bin");
    FILE *f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return "";
    if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    std::lock_guard<std::mutex> lock(fixtures_mutex);
    store().paths["bytes:" + name] = path;
    return path;
}

std::vector<int16_t> read_pcm16_wav(const std::string &path, int *channels) {
    const std::vector<uint8_t> bytes = read_file_bytes(path);
    std::vector<int16_t> samples;
    if (bytes.size() < 44) return samples;
    if (channels != nullptr) *channels = bytes[22] | (bytes[23] << 8);
    // Walk the chunks to "data".
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        const uint32_t size = bytes[at + 4] | (bytes[at + 5] << 8) | (bytes[at + 6] << 16) |
                              (uint32_t{bytes[at + 7]} << 24);
        if (std::equal(bytes.begin() + at, bytes.begin() + at + 4, "data")) {
            const size_t end = std::min(bytes.size(), at + 8 + size);
            for (size_t i = at + 8; i + 1 < end; i += 2)
                samples.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
            break;
        }
        at += 8 + size + (size & 1);
    }
    return samples;
}

namespace {
void put_le(std::vector<uint8_t> &b, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
}  // namespace

std::vector<uint8_t> pcm16_wav_bytes(const std::vector<int16_t> &interleaved, int channels,
                                     int rate) {
    const uint32_t data = static_cast<uint32_t>(interleaved.size() * 2);
    std::vector<uint8_t> b;
    const auto text = [&b](const char *t) { b.insert(b.end(), t, t + 4); };
    text("RIFF");
    put_le(b, 36 + data, 4);
    text("WAVE");
    text("fmt ");
    put_le(b, 16, 4);
    put_le(b, 1, 2);
    put_le(b, static_cast<uint32_t>(channels), 2);
    put_le(b, static_cast<uint32_t>(rate), 4);
    put_le(b, static_cast<uint32_t>(rate * channels * 2), 4);
    put_le(b, static_cast<uint32_t>(channels * 2), 2);
    put_le(b, 16, 2);
    text("data");
    put_le(b, data, 4);
    for (int16_t s : interleaved) put_le(b, static_cast<uint16_t>(s), 2);
    return b;
}

double snr_db(const std::vector<int16_t> &reference, const std::vector<int16_t> &test,
              int max_lag) {
    double best = -1e9;
    for (int lag = 0; lag <= max_lag; ++lag) {
        double signal = 0.0;
        double error = 0.0;
        for (size_t i = 0; i + lag < test.size() && i < reference.size(); ++i) {
            const double r = reference[i];
            const double d = static_cast<double>(test[i + lag]) - r;
            signal += r * r;
            error += d * d;
        }
        best = std::max(best, 10.0 * std::log10((signal + 1e-9) / (error + 1e-9)));
    }
    return best;
}
