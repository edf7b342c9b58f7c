// The WAV, FLAC and MP3 readers on files made by real encoders: encodings,
// rates, channel counts, down-mix and the statuses of a refused open.
// Built only with the file readers.
#if QUORVA_WITH_FILE_READERS
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "audio/audio_file_decoder.h"
#include "common/alloc.h"
#include "common/error_store.h"
#include "support/audio_fixtures.h"
#include "support/error_capture.h"

namespace {

const std::string kComponent = coded_message(300);

struct decoded {
    zr_status_t status = ZR_STATUS_SUCCESS;
    std::vector<int16_t> samples;
    std::vector<std::string> messages;
};

decoded decode(const std::string &path) {
    error_stack_reset();
    int16_t *samples = nullptr;
    int32_t count = 0;
    decoded out;
    out.status = decode_audio_file(path.c_str(), &samples, &count);
    if (samples != nullptr) out.samples.assign(samples, samples + count);
    mem_free(samples);
    out.messages = take_errors().messages;
    return out;
}

// The reader's own view of a file, opened through its operations.
struct opened {
    zr_status_t status = ZR_STATUS_SUCCESS;
    uint64_t frames = 0;
    int32_t channels = 0;
    int32_t rate = 0;
};

opened open_with(const audio_reader_ops &ops, const std::string &path) {
    void *handle = nullptr;
    opened out;
    out.status = ops.open(path.c_str(), &handle);
    if (out.status == ZR_STATUS_SUCCESS) {
        out.frames = ops.num_frames(handle);
        out.channels = ops.num_channels(handle);
        out.rate = ops.sample_rate(handle);
    }
    ops.close(handle);
    return out;
}

// Four seconds of speech at 16 kHz, mono, 16-bit: what the files encode.
#define REFERENCE_OR_SKIP(var)                                                             \
    AUDIO_FIXTURE_OR_SKIP(var##_path, "ref16", "sox", "sox {in} -b 16 {out} trim 0 4", ".wav"); \
    const std::vector<int16_t> var = read_pcm16_wav(var##_path);                           \
    ASSERT_EQ(var.size(), 64000u)

TEST(WavReader, LosslessPcmAt16kHz) {
    REFERENCE_OR_SKIP(ref);
    const decoded plain = decode(ref_path);
    ASSERT_EQ(plain.status, ZR_STATUS_SUCCESS) << ::testing::PrintToString(plain.messages);
    EXPECT_EQ(plain.samples, ref);
    const opened info = open_with(wav_reader_ops, ref_path);
    EXPECT_EQ(info.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(info.frames, 64000u);
    EXPECT_EQ(info.channels, 1);
    EXPECT_EQ(info.rate, 16000);

    // 24- and 32-bit containers of 16-bit samples give them back exactly; the
    // 24-bit one is written as WAVE_FORMAT_EXTENSIBLE.
    for (const char *bits : {"24", "32"}) {
        AUDIO_FIXTURE_OR_SKIP(wide, std::string("pcm") + bits, "sox",
                              std::string("sox {in} -b ") + bits + " {out} trim 0 4", ".wav");
        if (std::string(bits) == "24") {
            const std::vector<uint8_t> header = read_file_bytes(wide);
            ASSERT_GT(header.size(), 22u);
            EXPECT_EQ(header[20] | (header[21] << 8), 0xFFFE);
        }
        const decoded d = decode(wide);
        ASSERT_EQ(d.status, ZR_STATUS_SUCCESS) << bits;
        EXPECT_EQ(d.samples, ref) << bits;
    }
}

TEST(WavReader, LossyEncodings) {
    REFERENCE_OR_SKIP(ref);
    struct encoding {
        const char *name;
        const char *options;
        double min_snr;
        int max_error;  // 0: checked by SNR only
    };
    const encoding encodings[] = {
        {"u8", "-D -b 8 -e unsigned-integer", 15.0, 256},
        {"float", "-e floating-point -b 32", 80.0, 1},
        {"double", "-e floating-point -b 64", 80.0, 1},
        {"alaw", "-e a-law", 25.0, 0},
        {"ulaw", "-e u-law", 25.0, 0},
        {"ima", "-e ima-adpcm", 12.0, 0},
        {"msadpcm", "-e ms-adpcm", 12.0, 0},
    };
    for (const encoding &e : encodings) {
        AUDIO_FIXTURE_OR_SKIP(path, e.name, "sox",
                              std::string("sox {in} ") + e.options + " {out} trim 0 4", ".wav");
        const decoded d = decode(path);
        ASSERT_EQ(d.status, ZR_STATUS_SUCCESS) << e.name << ::testing::PrintToString(d.messages);
        // ADPCM pads its last block.
        EXPECT_GE(d.samples.size(), ref.size()) << e.name;
        EXPECT_LE(d.samples.size(), ref.size() + 2048) << e.name;
        EXPECT_GT(snr_db(ref, d.samples), e.min_snr) << e.name;
        if (e.max_error > 0) {
            int worst = 0;
            for (size_t i = 0; i < ref.size(); ++i) worst = std::max(worst, std::abs(d.samples[i] - ref[i]));
            EXPECT_LE(worst, e.max_error) << e.name;
        }
    }
}

TEST(WavReader, StereoDownMix) {
    AUDIO_FIXTURE_OR_SKIP(path, "stereo16", "sox", "sox -M {in} {in2} -b 16 {out} trim 0 4", ".wav");
    int channels = 0;
    const std::vector<int16_t> lr = read_pcm16_wav(path, &channels);
    ASSERT_EQ(channels, 2);
    const decoded d = decode(path);
    ASSERT_EQ(d.status, ZR_STATUS_SUCCESS);
    ASSERT_EQ(d.samples.size(), lr.size() / 2);
    for (size_t i = 0; i < d.samples.size(); ++i)
        ASSERT_EQ(d.samples[i], (lr[2 * i] + lr[2 * i + 1]) / 2) << i;

    // Truncation toward zero, and identical channels pass through.
    std::vector<int16_t> odd;
    for (int i = 0; i < 3000; ++i) odd.insert(odd.end(), {-3, 0});
    const decoded minus = decode(write_fixture_bytes("minus3", pcm16_wav_bytes(odd, 2, 16000)));
    ASSERT_EQ(minus.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(minus.samples, std::vector<int16_t>(3000, -1));
    std::vector<int16_t> same;
    for (int i = 0; i < 3000; ++i) same.insert(same.end(), {static_cast<int16_t>(i * 11 - 16000), static_cast<int16_t>(i * 11 - 16000)});
    const decoded twin = decode(write_fixture_bytes("twin", pcm16_wav_bytes(same, 2, 16000)));
    ASSERT_EQ(twin.status, ZR_STATUS_SUCCESS);
    for (size_t i = 0; i < twin.samples.size(); ++i) ASSERT_EQ(twin.samples[i], same[2 * i]);
    // Float stereo: each channel converted, then averaged.
    AUDIO_FIXTURE_OR_SKIP(fpath, "stereofloat", "sox", "sox -M {in} {in2} -e floating-point -b 32 {out} trim 0 4", ".wav");
    const decoded f = decode(fpath);
    ASSERT_EQ(f.status, ZR_STATUS_SUCCESS);
    ASSERT_EQ(f.samples.size(), d.samples.size());
    for (size_t i = 0; i < f.samples.size(); ++i) ASSERT_NEAR(f.samples[i], d.samples[i], 1) << i;
}

TEST(WavReader, RefusedAtOpen) {
    // Six channels, an empty data chunk, an encoding the decoder lacks.
    AUDIO_FIXTURE_OR_SKIP(six, "six", "sox", "sox {in} -c 6 {out} trim 0 1", ".wav");
    AUDIO_FIXTURE_OR_SKIP(empty, "empty", "sox", "sox -n -r 16000 -c 1 -b 16 {out} trim 0 0", ".wav");
    std::vector<uint8_t> odd = pcm16_wav_bytes(std::vector<int16_t>(4000, 5), 1, 16000);
    odd[20] = 0x34;  // format tag 0x1234
    odd[21] = 0x12;
    const std::string unknown = write_fixture_bytes("tag1234", odd);
    for (const std::string &path : {six, empty, unknown}) {
        EXPECT_EQ(open_with(wav_reader_ops, path).status, ZR_STATUS_INVALID_ARGUMENT) << path;
        const decoded d = decode(path);
        EXPECT_EQ(d.status, ZR_STATUS_INVALID_ARGUMENT) << path;
        EXPECT_EQ(d.messages, std::vector<std::string>{kComponent});
    }
    EXPECT_EQ(open_with(wav_reader_ops, "/nonexistent.wav").status, ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(open_with(flac_reader_ops, "/nonexistent.flac").status, ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(open_with(mp3_reader_ops, "/nonexistent.mp3").status, ZR_STATUS_IO_ERROR);
}

TEST(WavReader, SampleRates) {
    REFERENCE_OR_SKIP(ref);
    struct rate_case {
        int rate;
        int64_t length;  // floor((N - 1) / ratio) + 1, or 2N
        double min_snr;
    };
    for (const rate_case &c : {rate_case{8000, 64000, 5.0}, rate_case{22050, 64000, 10.0},
                               rate_case{44100, 64000, 10.0}, rate_case{48000, 64000, 10.0}}) {
        AUDIO_FIXTURE_OR_SKIP(path, "rate" + std::to_string(c.rate), "sox",
                              "sox {in} -b 16 -r " + std::to_string(c.rate) + " {out} trim 0 4", ".wav");
        const opened info = open_with(wav_reader_ops, path);
        ASSERT_EQ(info.rate, c.rate);
        const decoded d = decode(path);
        ASSERT_EQ(d.status, ZR_STATUS_SUCCESS) << c.rate;
        EXPECT_EQ(static_cast<int64_t>(d.samples.size()), c.length) << c.rate;
        // Up to 25 samples of filter delay at the output rate.
        EXPECT_GT(snr_db(ref, d.samples, 60), c.min_snr) << c.rate;
    }
    for (int rate : {11025, 12000}) {
        AUDIO_FIXTURE_OR_SKIP(path, "rate" + std::to_string(rate), "sox",
                              "sox {in} -b 16 -r " + std::to_string(rate) + " {out} trim 0 4", ".wav");
        const decoded d = decode(path);
        EXPECT_EQ(d.status, ZR_STATUS_INVALID_ARGUMENT) << rate;
        EXPECT_EQ(d.messages, std::vector<std::string>{kComponent});
    }
}

TEST(FlacReader, MonoStereoAndRates) {
    REFERENCE_OR_SKIP(ref);
    AUDIO_FIXTURE_OR_SKIP(mono, "flac16", "flac", "sox {in} -t wav - trim 0 4 | flac -s -f -o {out} -", ".flac");
    const decoded d = decode(mono);
    ASSERT_EQ(d.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(d.samples, ref);

    AUDIO_FIXTURE_OR_SKIP(wav, "stereo16", "sox", "sox -M {in} {in2} -b 16 {out} trim 0 4", ".wav");
    AUDIO_FIXTURE_OR_SKIP(stereo, "flacstereo", "flac", "flac -s -f -o {out} " + ("'" + wav + "'"), ".flac");
    const opened info = open_with(flac_reader_ops, stereo);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(decode(stereo).samples, decode(wav).samples);

    AUDIO_FIXTURE_OR_SKIP(fast, "flac44", "sox", "sox {in} -r 44100 {out} trim 0 4", ".flac");
    const decoded r = decode(fast);
    ASSERT_EQ(r.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(r.samples.size(), 64000u);

    // A stream header that leaves the length unknown counts as 0 frames.
    std::vector<uint8_t> unknown = read_file_bytes(mono);
    ASSERT_GT(unknown.size(), 26u);
    unknown[21] &= 0xF0;
    std::fill(unknown.begin() + 22, unknown.begin() + 26, 0);
    const std::string unknown_path = write_fixture_bytes("flacunknown", unknown);
    const opened zero = open_with(flac_reader_ops, unknown_path);
    EXPECT_EQ(zero.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(zero.frames, 0u);
    const decoded empty = decode(unknown_path);
    EXPECT_EQ(empty.status, ZR_STATUS_SUCCESS);
    EXPECT_TRUE(empty.samples.empty());

    AUDIO_FIXTURE_OR_SKIP(six, "flacsix", "sox", "sox {in} -c 6 {out} trim 0 1", ".flac");
    EXPECT_EQ(open_with(flac_reader_ops, six).status, ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(decode(six).messages, std::vector<std::string>{kComponent});
}

TEST(Mp3Reader, ExactLengthWithAndWithoutId3) {
    REFERENCE_OR_SKIP(ref);
    // 64 kbit/s leaves room in the first frame for the encoder's delay and
    // padding tag, which gapless decoding needs.
    AUDIO_FIXTURE_OR_SKIP(plain, "mp3", "lame", "lame --quiet -b 64 '" + ref_path + "' {out}", ".mp3");
    AUDIO_FIXTURE_OR_SKIP(tagged, "mp3id3", "lame",
                          "lame --quiet -b 64 --add-id3v2 --tt Speech '" + ref_path + "' {out}", ".mp3");
    const std::vector<uint8_t> head = read_file_bytes(plain);
    ASSERT_GT(head.size(), 2u);
    EXPECT_EQ(head[0], 0xFF);
    EXPECT_EQ(std::memcmp(read_file_bytes(tagged).data(), "ID3", 3), 0);

    // Gapless decoding: exactly the encoded samples, no encoder delay.
    const opened info = open_with(mp3_reader_ops, plain);
    ASSERT_EQ(info.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(info.frames, ref.size());
    EXPECT_EQ(info.rate, 16000);
    EXPECT_EQ(info.channels, 1);
    const decoded a = decode(plain);
    ASSERT_EQ(a.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(a.samples.size(), ref.size());
    EXPECT_GT(snr_db(ref, a.samples), 8.0);
    const decoded b = decode(tagged);
    ASSERT_EQ(b.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(b.samples, a.samples);

    // A file that holds the tag and no MPEG frame.
    const std::vector<uint8_t> bytes = read_file_bytes(tagged);
    const size_t tag = 10 + ((bytes[6] << 21) | (bytes[7] << 14) | (bytes[8] << 7) | bytes[9]);
    ASSERT_LT(tag, bytes.size());
    std::vector<uint8_t> only_tag(bytes.begin(), bytes.begin() + tag);
    only_tag.resize(std::max<size_t>(only_tag.size(), 64), 0);
    const decoded none = decode(write_fixture_bytes("id3only", only_tag));
    EXPECT_EQ(none.status, ZR_STATUS_IO_ERROR);
    EXPECT_EQ(none.messages, std::vector<std::string>{kComponent});
}

TEST(Mp3Reader, StereoAt44kHz) {
    AUDIO_FIXTURE_OR_SKIP(wav, "stereo44", "sox", "sox -M {in} {in2} -b 16 -r 44100 {out} trim 0 4", ".wav");
    AUDIO_FIXTURE_OR_SKIP(mp3, "mp3stereo44", "lame", "lame --quiet -m s '" + wav + "' {out}", ".mp3");
    const opened info = open_with(mp3_reader_ops, mp3);
    ASSERT_EQ(info.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(info.channels, 2);
    EXPECT_EQ(info.rate, 44100);
    EXPECT_EQ(info.frames, 176400u);
    const decoded d = decode(mp3);
    ASSERT_EQ(d.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(d.samples.size(), 64000u);
    EXPECT_GT(snr_db(decode(wav).samples, d.samples), 10.0);
}

}  // namespace

#endif  // QUORVA_WITH_FILE_READERS
