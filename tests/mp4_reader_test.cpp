// The MP4/3GP reader end to end, on files made by real encoders and on
// hand-built ones: frame counts, delivery, refusals, damaged files and
// allocation failures.
#include <gtest/gtest.h>
#include <opencore-amrnb/interf_dec.h>
#ifdef QUORVA_WITH_AAC
#include <neaacdec.h>
#endif

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>

#include "audio/audio_reader.h"
#include "common/alloc.h"
#include "mp4/mp4_track.h"
#include "support/box_writer.h"
#include "support/model_writer.h"
#include "support/mp4_fixtures.h"

using namespace boxw;

namespace {

const audio_reader_ops &ops = mp4_reader_ops;

// An open reader, closed when it goes out of scope.
struct reader {
    void *handle = nullptr;
    zr_status_t status;
    std::string output;  // what the open printed

    explicit reader(const std::string &path) {
        testing::internal::CaptureStdout();
        status = ops.open(path.c_str(), &handle);
        std::fflush(stdout);
        output = testing::internal::GetCapturedStdout();
    }
    ~reader() { ops.close(handle); }
    uint64_t frames() const { return ops.num_frames(handle); }

    // Reads everything in pieces of `piece` frames.
    std::vector<int16_t> read_all(int32_t piece) {
        std::vector<int16_t> pcm(frames());
        for (size_t at = 0; at < pcm.size();) {
            const int32_t n = int32_t(std::min<size_t>(piece, pcm.size() - at));
            EXPECT_EQ(ops.read(handle, n, pcm.data() + at), ZR_STATUS_SUCCESS) << at;
            at += size_t(n);
        }
        return pcm;
    }
};

std::vector<uint8_t> file_bytes(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

#define NEED(fixture)                                                            \
    do {                                                                         \
        if ((fixture).path.empty()) GTEST_SKIP() << (fixture).skip_reason;       \
    } while (0)

const std::string kDurationWarning =
    "\x1b[33m [WARN] Supplied audio file has a media duration discrepancy which may result in "
    "inaccurate timing info\x1b[0m\n";

#ifdef QUORVA_WITH_AAC
// The track's PCM decoded independently of the reader, straight from the
// sample table with a fresh decoder and the stereo mean taken here: what the
// reader must deliver.
std::vector<int16_t> reference_decode(const std::string &path) {
    std::vector<int16_t> out;
    FILE *f = std::fopen(path.c_str(), "rb");
    mp4_file *parsed = nullptr;
    mp4_track_info info{-1, 0, 0, 0, 0, 0, nullptr, 0};
    mp4_sample_table table{};
    EXPECT_EQ(mp4_parse(f, &parsed), ZR_STATUS_SUCCESS);
    EXPECT_EQ(mp4_select_track(parsed, &info), ZR_STATUS_SUCCESS);
    zr_log_disable();
    EXPECT_EQ(mp4_build_sample_table(parsed, &info, &table), ZR_STATUS_SUCCESS);
    zr_log_enable();
    mp4_file_release(parsed);
    NeAACDecHandle decoder = NeAACDecOpen();
    NeAACDecConfigurationPtr settings = NeAACDecGetCurrentConfiguration(decoder);
    settings->outputFormat = FAAD_FMT_16BIT;
    NeAACDecSetConfiguration(decoder, settings);
    unsigned long rate = 0;
    unsigned char channels = 0;
    EXPECT_EQ(NeAACDecInit2(decoder, info.decoder_config, info.decoder_config_length, &rate, &channels), 0);
    std::vector<uint8_t> unit;
    for (int32_t i = 0; i < table.count; ++i) {
        unit.resize(table.entries[i].length);
        fseeko(f, off_t(table.entries[i].position), SEEK_SET);
        EXPECT_EQ(std::fread(unit.data(), 1, unit.size(), f), unit.size());
        NeAACDecFrameInfo frame{};
        const auto *pcm = static_cast<const int16_t *>(
            NeAACDecDecode(decoder, &frame, unit.data(), unit.size()));
        EXPECT_EQ(frame.error, 0);
        for (unsigned long k = 0; pcm != nullptr && k < frame.samples; k += frame.channels) {
            out.push_back(frame.channels == 1 ? pcm[k] : int16_t((int32_t(pcm[k]) + pcm[k + 1]) / 2));
        }
    }
    NeAACDecClose(decoder);
    mp4_track_info_release(&info);
    mp4_sample_table_release(&table);
    std::fclose(f);
    return out;
}

int32_t table_count(const std::string &path) {
    FILE *f = std::fopen(path.c_str(), "rb");
    mp4_file *parsed = nullptr;
    mp4_track_info info{-1, 0, 0, 0, 0, 0, nullptr, 0};
    mp4_sample_table table{};
    zr_log_disable();
    EXPECT_EQ(mp4_parse(f, &parsed), ZR_STATUS_SUCCESS);
    EXPECT_EQ(mp4_select_track(parsed, &info), ZR_STATUS_SUCCESS);
    EXPECT_EQ(mp4_build_sample_table(parsed, &info, &table), ZR_STATUS_SUCCESS);
    zr_log_enable();
    const int32_t n = table.count;
    mp4_file_release(parsed);
    mp4_track_info_release(&info);
    mp4_sample_table_release(&table);
    std::fclose(f);
    return n;
}


TEST(Mp4Reader, AacMonoAt16kHz) {
    const fixture_file fx = make_aac_fixture({});
    NEED(fx);
    reader r(fx.path);
    ASSERT_EQ(r.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(ops.sample_rate(r.handle), 16000);
    // The description's count, which this muxer always writes as 2.
    EXPECT_EQ(ops.num_channels(r.handle), 2);
    // Every access unit but the decoder's start-up one gives 1024 frames.
    EXPECT_EQ(r.frames(), 1024u * uint64_t(table_count(fx.path) - 1));
    EXPECT_NEAR(double(r.frames()), 2.0 * 16000, 2048 + 1024);
    EXPECT_EQ(r.output.find(kDurationWarning), std::string::npos);

    std::vector<int16_t> pcm(r.frames() + 1, 77);
    ASSERT_EQ(ops.read(r.handle, int32_t(r.frames()), pcm.data()), ZR_STATUS_SUCCESS);
    EXPECT_EQ(pcm.back(), 77);
    // Nothing left: one frame more fails without writing.
    EXPECT_EQ(ops.read(r.handle, 1, pcm.data() + r.frames()), ZR_STATUS_IO_ERROR);
    EXPECT_EQ(pcm.back(), 77);
    EXPECT_EQ(ops.read(r.handle, 0, nullptr), ZR_STATUS_SUCCESS);
    int64_t energy = 0;
    for (int16_t s : pcm) energy += int64_t(s) * s;
    EXPECT_GT(energy, 0);
}

TEST(Mp4Reader, AacDeliversAFreshDecodeInOrder) {
    for (int channels : {1, 2}) {
        const fixture_file fx = make_aac_fixture({.sample_rate = 22050, .channels = channels});
        NEED(fx);
        const std::vector<int16_t> expected = reference_decode(fx.path);
        // Uneven pieces cross frame boundaries in every way.
        for (int32_t piece : {int32_t(expected.size()), 1000, 1, 4097}) {
            reader r(fx.path);
            ASSERT_EQ(r.status, ZR_STATUS_SUCCESS);
            ASSERT_EQ(r.frames(), expected.size());
            EXPECT_EQ(r.read_all(piece), expected) << channels << " channels, pieces of " << piece;
        }
    }
}

TEST(Mp4Reader, AacRatesChannelsAndLayouts) {
    for (const aac_fixture_options &o :
         {aac_fixture_options{.sample_rate = 8000},
          aac_fixture_options{.sample_rate = 44100, .channels = 2, .layout = moov_place::at_end},
          aac_fixture_options{.sample_rate = 48000, .channels = 2, .layout = moov_place::fragmented,
                              .extension = "mp4"},
          aac_fixture_options{.sample_rate = 16000, .layout = moov_place::fragmented,
                              .extension = "mp4"}}) {
        const fixture_file fx = make_aac_fixture(o);
        NEED(fx);
        reader r(fx.path);
        ASSERT_EQ(r.status, ZR_STATUS_SUCCESS) << fx.path;
        EXPECT_EQ(ops.sample_rate(r.handle), o.sample_rate);
        EXPECT_EQ(ops.num_channels(r.handle), 2);
        EXPECT_EQ(r.frames() % 1024, 0u);
        EXPECT_NEAR(double(r.frames()), o.seconds * o.sample_rate, 3 * 1024) << fx.path;
        EXPECT_EQ(r.read_all(1024).size(), r.frames());
    }
}

TEST(Mp4Reader, LayoutDoesNotChangeTheAudio) {
    const fixture_file front = make_aac_fixture({});
    const fixture_file back = make_aac_fixture({.layout = moov_place::at_end});
    const fixture_file fragmented =
        make_aac_fixture({.layout = moov_place::fragmented, .extension = "mp4"});
    NEED(front);
    NEED(back);
    NEED(fragmented);
    reader a(front.path), b(back.path), c(fragmented.path);
    ASSERT_EQ(a.status, ZR_STATUS_SUCCESS);
    ASSERT_EQ(b.status, ZR_STATUS_SUCCESS);
    ASSERT_EQ(c.status, ZR_STATUS_SUCCESS);
    const std::vector<int16_t> pcm = a.read_all(1 << 20);
    EXPECT_EQ(b.read_all(1 << 20), pcm);
    EXPECT_EQ(c.read_all(1 << 20), pcm);
}

TEST(Mp4Reader, MoreThanTwoChannelsAreRefused) {
    const fixture_file fx = make_aac_fixture({.sample_rate = 48000, .channels = 6, .seconds = 0.5});
    NEED(fx);
    reader r(fx.path);
    EXPECT_EQ(r.status, ZR_STATUS_INVALID_ARGUMENT);
}

TEST(Mp4Reader, AacConfigurationMissingOrRefused) {
    for (const bytes &config : {bytes{}, bytes{0x00, 0x00}, bytes{0xFF}}) {
        file_desc desc;
        track_desc t;
        t.specific_info = config;
        for (int i = 0; i < 3; ++i) t.samples.push_back(bytes(20, uint8_t(i)));
        desc.tracks = {t};
        temp_file file(build_file(desc), ".m4a");
        reader r(file.path());
        EXPECT_EQ(r.status, ZR_STATUS_INVALID_ARGUMENT) << config.size();
    }
}

#else

TEST(Mp4Reader, AacTracksAreRefusedWithoutAacSupport) {
    file_desc desc;
    track_desc t;
    for (int i = 0; i < 3; ++i) t.samples.push_back(bytes(20, uint8_t(i)));
    desc.tracks = {t};
    temp_file file(build_file(desc), ".m4a");
    reader r(file.path());
    EXPECT_EQ(r.status, ZR_STATUS_INVALID_ARGUMENT);
}

#endif  // QUORVA_WITH_AAC

// Frames of an AMR storage-format file ("#!AMR\n" then frames), counted by
// their headers.
uint64_t amr_stream_frames(const std::string &path) {
    static const int speech[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 6, 5, 5, 0, 0, 0, 0};
    const std::vector<uint8_t> data = file_bytes(path);
    uint64_t frames = 0;
    size_t at = 6;
    while (at < data.size()) {
        const size_t next = at + 1 + size_t(speech[(data[at] >> 3) & 15]);
        if (next > data.size()) break;
        at = next;
        ++frames;
    }
    return frames;
}

// The storage-format stream decoded frame by frame, for comparison.
std::vector<int16_t> amr_stream_decode(const std::string &path) {
    static const int speech[16] = {12, 13, 15, 17, 19, 20, 26, 31, 5, 6, 5, 5, 0, 0, 0, 0};
    const std::vector<uint8_t> data = file_bytes(path);
    std::vector<int16_t> out;
    void *decoder = Decoder_Interface_init();
    short pcm[160];
    for (size_t at = 6; at < data.size();) {
        const size_t next = at + 1 + size_t(speech[(data[at] >> 3) & 15]);
        if (next > data.size()) break;
        uint8_t frame[32] = {};
        std::memcpy(frame, &data[at], next - at);
        Decoder_Interface_Decode(decoder, frame, pcm, 0);
        out.insert(out.end(), pcm, pcm + 160);
        at = next;
    }
    Decoder_Interface_exit(decoder);
    return out;
}

TEST(Mp4Reader, AmrFramesAreCountedExactlyAtEveryRate) {
    for (int mode : {7, 0, 4}) {
        const fixture_file fx = make_amr_fixture(mode);
        NEED(fx);
        reader r(fx.path);
        ASSERT_EQ(r.status, ZR_STATUS_SUCCESS) << mode;
        EXPECT_EQ(ops.sample_rate(r.handle), 8000);
        EXPECT_EQ(ops.num_channels(r.handle), 1);
        const uint64_t frames = amr_stream_frames(fx.raw_stream);
        EXPECT_GT(frames, 100u);
        EXPECT_EQ(r.frames(), 160 * frames) << mode;
        // Counted exactly, the length agrees with the movie's duration.
        EXPECT_EQ(r.output.find(kDurationWarning), std::string::npos) << mode;
        const std::vector<int16_t> pcm = r.read_all(1000);
        EXPECT_EQ(pcm, amr_stream_decode(fx.raw_stream)) << mode;
        int16_t out;
        EXPECT_EQ(ops.read(r.handle, 1, &out), ZR_STATUS_IO_ERROR);
        int64_t energy = 0;
        for (size_t i = pcm.size() / 2; i < pcm.size(); ++i) energy += int64_t(pcm[i]) * pcm[i];
        EXPECT_GT(energy, 0) << "the second half of the recording is delivered";
    }
}

// An AMR track from frames, cut into samples of `piece` bytes so that frames
// straddle sample boundaries.
bytes amr_file(const bytes &stream, size_t piece, std::vector<int64_t> edits = {}) {
    file_desc desc;
    track_desc t;
    t.entry = "samr";
    t.sample_rate = 8000;
    t.timescale = 8000;
    t.samples_per_chunk = 3;
    for (size_t at = 0; at < stream.size(); at += piece) {
        t.samples.emplace_back(stream.begin() + long(at),
                               stream.begin() + long(std::min(stream.size(), at + piece)));
    }
    if (!edits.empty()) {
        t.with_edts = true;
        t.edit_media_times = edits;
    }
    desc.major_brand = "3gp4";
    desc.tracks = {t};
    return build_file(desc);
}

bytes amr_stream(int frames_12k2, int no_data_frames) {
    std::mt19937 rng(5);
    bytes stream;
    for (int i = 0; i < frames_12k2 + no_data_frames; ++i) {
        if (i % 3 == 2 && no_data_frames > 0) {
            stream.push_back(15 << 3 | 4);  // no data: header only
            --no_data_frames;
            ++frames_12k2;  // keep the loop length
            continue;
        }
        stream.push_back(7 << 3 | 4);
        for (int b = 0; b < 31; ++b) stream.push_back(uint8_t(rng()));
    }
    return stream;
}

TEST(Mp4Reader, AmrFramesCrossSampleBoundaries) {
    const bytes stream = amr_stream(40, 10);
    for (size_t piece : {size_t(7), size_t(32), size_t(1000)}) {
        temp_file file(amr_file(stream, piece), ".3gp");
        reader r(file.path());
        ASSERT_EQ(r.status, ZR_STATUS_SUCCESS) << piece;
        EXPECT_EQ(r.frames(), 160u * 50) << piece;
        EXPECT_EQ(r.read_all(333).size(), 160u * 50);
    }
    // A frame cut short by the end of the track is not counted.
    bytes cut = stream;
    cut.resize(cut.size() - 5);
    temp_file file(amr_file(cut, 64), ".3gp");
    reader r(file.path());
    ASSERT_EQ(r.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(r.frames(), 160u * 49);
    EXPECT_EQ(r.read_all(160).size(), 160u * 49);
}

TEST(Mp4Reader, EditsWarningFollowsTheLogSwitch) {
    const std::string warning =
        "\x1b[33m [WARN] Supplied audio file contains edits which may result in inaccurate timing "
        "info\x1b[0m\n";
    temp_file file(amr_file(amr_stream(8, 0), 64, {-1, 0}), ".3gp");
    {
        reader r(file.path());
        ASSERT_EQ(r.status, ZR_STATUS_SUCCESS);
        EXPECT_NE(r.output.find(warning), std::string::npos);
    }
    zr_log_disable();
    {
        reader r(file.path());
        ASSERT_EQ(r.status, ZR_STATUS_SUCCESS);
        EXPECT_EQ(r.output, "");
    }
    zr_log_enable();
    // A non-empty edit before the last one refuses the file.
    temp_file bad(amr_file(amr_stream(8, 0), 64, {0, 0}), ".3gp");
    reader r(bad.path());
    EXPECT_EQ(r.status, ZR_STATUS_INVALID_ARGUMENT);
}

TEST(Mp4Reader, RefusedFiles) {
    EXPECT_EQ(reader("/nonexistent/file.m4a").status, ZR_STATUS_IO_ERROR);
    // No samples at all.
    temp_file empty(amr_file({}, 8), ".3gp");
    EXPECT_EQ(reader(empty.path()).status, ZR_STATUS_INVALID_ARGUMENT);
    // A movie without a usable track.
    temp_file none(box("ftyp", {fourcc("isom"), u32(0)}), ".mp4");
    EXPECT_EQ(reader(none.path()).status, ZR_STATUS_INVALID_ARGUMENT);
    ops.close(nullptr);
}

// Every fixture, cut short at many lengths and with random bytes changed:
// each open or read ends with a status, never a crash or a leak.
void damage_sweep(const std::string &path, uint32_t seed) {
    const std::vector<uint8_t> original = file_bytes(path);
    ASSERT_FALSE(original.empty());
    std::mt19937 rng(seed);
    std::vector<int16_t> pcm(4096);
    auto exercise = [&](const std::vector<uint8_t> &data) {
        temp_file file(data, ".mp4");
        void *handle = nullptr;
        zr_log_disable();
        const zr_status_t status = ops.open(file.path(), &handle);
        zr_log_enable();
        if (status == ZR_STATUS_SUCCESS) {
            uint64_t left = ops.num_frames(handle);
            while (left > 0) {
                const int32_t n = int32_t(std::min<uint64_t>(left, pcm.size()));
                if (ops.read(handle, n, pcm.data()) != ZR_STATUS_SUCCESS) break;
                left -= uint64_t(n);
            }
        }
        ops.close(handle);
    };
    for (int i = 1; i <= 24; ++i) {
        exercise(std::vector<uint8_t>(original.begin(), original.begin() + long(original.size() * i / 25)));
    }
    for (int i = 0; i < 60; ++i) {
        std::vector<uint8_t> data = original;
        const int flips = 1 + int(rng() % 4);
        for (int k = 0; k < flips; ++k) data[rng() % data.size()] ^= uint8_t(1 + rng() % 255);
        exercise(data);
    }
}

TEST(Mp4Reader, DamagedFixturesFailCleanly) {
    const std::vector<fixture_file> fixtures = {
        make_aac_fixture({.seconds = 1.0}),
        make_aac_fixture({.sample_rate = 44100, .channels = 2, .layout = moov_place::at_end, .seconds = 1.0}),
        make_aac_fixture({.layout = moov_place::fragmented, .extension = "mp4", .seconds = 1.0}),
        make_aac_fixture({.sample_rate = 8000, .seconds = 1.0}),
        make_aac_fixture({.sample_rate = 22050, .channels = 2, .seconds = 1.0}),
        make_aac_fixture({.sample_rate = 48000, .channels = 2, .layout = moov_place::fragmented,
                          .extension = "mp4", .seconds = 1.0}),
        make_amr_fixture(0, 1.0),
        make_amr_fixture(4, 1.0),
        make_amr_fixture(7, 1.0)};
    int used = 0;
    for (size_t i = 0; i < fixtures.size(); ++i) {
        if (fixtures[i].path.empty()) continue;
        damage_sweep(fixtures[i].path, uint32_t(i + 1));
        ++used;
    }
    if (used == 0) GTEST_SKIP() << fixtures[0].skip_reason;
}

void allocation_sweep(const std::string &path) {
    for (int64_t k = 1;; ++k) {
        void *handle = nullptr;
        zr_log_disable();
        alloc_fail_at(k);
        const zr_status_t status = ops.open(path.c_str(), &handle);
        const bool failed_one = alloc_count() >= k;
        alloc_fail_at(0);
        zr_log_enable();
        ops.close(handle);
        if (!failed_one) {
            EXPECT_EQ(status, ZR_STATUS_SUCCESS);
            break;
        }
        EXPECT_EQ(status, ZR_STATUS_OUT_OF_MEMORY) << "allocation " << k;
    }
}

TEST(Mp4Reader, EveryAllocationFailureOfOpen) {
    temp_file amr(amr_file(amr_stream(20, 4), 50, {-1, 0}), ".3gp");
    allocation_sweep(amr.path());
#ifdef QUORVA_WITH_AAC
    const fixture_file fx = make_aac_fixture({.layout = moov_place::fragmented, .extension = "mp4",
                                              .seconds = 0.5});
    NEED(fx);
    allocation_sweep(fx.path);
#endif
}

}  // namespace
