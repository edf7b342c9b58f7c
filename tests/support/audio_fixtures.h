// Audio files for tests, made at test time by real encoders from a short
// speech recording of the shared data, so that no test depends on a
// checked-in audio file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The speech recordings fixtures are made from (16 kHz mono FLAC), or "" when
// the shared data is absent.
std::string speech_source(int index = 0);

// Runs `command` through the shell with "{in}" and "{in2}" replaced by two
// speech recordings and "{out}" by a fresh temporary path ending in `suffix`,
// and returns that path. The result is cached by `name` for the whole run.
// Returns "" and sets *why when `tool` or the data is absent or the command
// fails.
std::string make_audio_fixture(const std::string &name, const std::string &tool,
                               const std::string &command, const std::string &suffix,
                               std::string *why);

// The whole contents of a file, and a file written from bytes (in the same
// temporary directory, removed at exit).
std::vector<uint8_t> read_file_bytes(const std::string &path);
std::string write_fixture_bytes(const std::string &name, const std::vector<uint8_t> &bytes);

// The samples of a 16-bit PCM WAV file of the canonical 44-byte layout that
// sox writes, interleaved.
std::vector<int16_t> read_pcm16_wav(const std::string &path, int *channels = nullptr);

// Makes `var` the path of the fixture, or skips the test saying why.
#define AUDIO_FIXTURE_OR_SKIP(var, name, tool, command, suffix)                       \
    std::string var;                                                                 \
    do {                                                                             \
        std::string why_;                                                            \
        var = make_audio_fixture(name, tool, command, suffix, &why_);                \
        if (var.empty()) GTEST_SKIP() << why_;                                       \
    } while (0)

// A canonical 16-bit PCM WAV file holding interleaved samples.
std::vector<uint8_t> pcm16_wav_bytes(const std::vector<int16_t> &interleaved, int channels,
                                     int rate);

// Signal-to-error ratio in dB of `test` against `reference` over their common
// length, after shifting `test` by the lag in [0, max_lag] that suits best.
double snr_db(const std::vector<int16_t> &reference, const std::vector<int16_t> &test,
              int max_lag = 0);
