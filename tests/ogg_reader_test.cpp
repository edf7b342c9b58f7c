// The Ogg Opus and Ogg Vorbis readers, through their reader operations, on
// files from real encoders and on hand-made damaged streams.
#include <gtest/gtest.h>

#include <random>

#include "audio/audio_reader.h"
#include "common/alloc.h"
#include "support/model_writer.h"
#include "support/xiph_fixtures.h"

namespace {

using packet_list = std::vector<std::vector<uint8_t>>;

zr_status_t open_status_of(const audio_reader_ops &ops, const std::vector<uint8_t> &bytes) {
    temp_file file(bytes, ".ogg");
    return static_cast<zr_status_t>(run_reader(ops, file.path()).open_status);
}

struct opus_case {
    int rate;
    int channels;
    bool long_packets = false;
};

class OggOpusFixture : public ::testing::TestWithParam<opus_case> {};

TEST_P(OggOpusFixture, DeliversEveryDecodedFrameMixedToMono) {
    const fixture f = GetParam().long_packets ? ogg_opus_long_packet_fixture()
                                              : ogg_opus_fixture(GetParam().rate, GetParam().channels);
    REQUIRE_FIXTURE(f);
    const std::vector<int16_t> expected = opus_reference(f.path);
    // Odd chunk sizes cross packet boundaries at every offset.
    for (int32_t chunk : {1024, 997, 6000}) {
        const reader_run run = run_reader(ogg_opus_reader_ops, f.path, chunk);
        ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
        EXPECT_EQ(run.sample_rate, GetParam().rate);
        EXPECT_EQ(run.channels, GetParam().channels);
        EXPECT_EQ(run.num_frames, expected.size());
        EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
        EXPECT_EQ(run.past_end_status, ZR_STATUS_IO_ERROR);
        EXPECT_TRUE(run.samples == expected) << "chunk " << chunk;
    }
    // The pre-skip is delivered, not dropped: 3 s of speech plus the
    // encoder's 6.5 ms of priming at least.
    const uint64_t rate = static_cast<uint64_t>(GetParam().rate);
    EXPECT_GE(expected.size(), 3 * rate + 312 * rate / 48000);
}

INSTANTIATE_TEST_SUITE_P(RatesAndLayouts, OggOpusFixture,
                         ::testing::Values(opus_case{16000, 1}, opus_case{16000, 2},
                                           opus_case{48000, 1}, opus_case{48000, 2},
                                           // 120 ms packets fill the 5760-frame buffers exactly.
                                           opus_case{48000, 2, true}),
                         [](const auto &info) {
                             return std::to_string(info.param.rate) + (info.param.channels == 1 ? "Mono" : "Stereo") +
                                    (info.param.long_packets ? "120ms" : "");
                         });

class OggVorbisFixture : public ::testing::TestWithParam<int> {};

TEST_P(OggVorbisFixture, DeliversEveryDecodedFrameMixedToMono) {
    const fixture f = ogg_vorbis_fixture(GetParam());
    REQUIRE_FIXTURE(f);
    const std::vector<int16_t> expected = vorbis_reference(f.path, true);
    // The granule positions trim the stream to exactly the 3 s encoded.
    EXPECT_EQ(expected.size(), 3u * 16000u);
    for (int32_t chunk : {1024, 333}) {
        const reader_run run = run_reader(ogg_vorbis_reader_ops, f.path, chunk);
        ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
        EXPECT_EQ(run.sample_rate, 16000);
        EXPECT_EQ(run.channels, GetParam());
        EXPECT_EQ(run.num_frames, expected.size());
        EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
        EXPECT_EQ(run.past_end_status, ZR_STATUS_IO_ERROR);
        EXPECT_TRUE(run.samples == expected) << "chunk " << chunk;
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, OggVorbisFixture, ::testing::Values(1, 2),
                         [](const auto &info) { return info.param == 1 ? "Mono" : "Stereo"; });

// The packets of the 48 kHz mono fixture, for hand-made streams.
packet_list opus_packets() {
    const fixture f = ogg_opus_fixture(48000, 1);
    if (f.path.empty()) return {};
    return ogg_packets_of(f.path);
}

#define REQUIRE_PACKETS(p) \
    if ((p).size() < 5) GTEST_SKIP() << "no Opus fixture to take packets from"

TEST(OggOpusReader, HeaderFieldsDecideTheDecoder) {
    const packet_list real = opus_packets();
    REQUIRE_PACKETS(real);
    const std::vector<uint8_t> &tags = real[1], &audio = real[2];
    // 16 kHz: decoded at the header's rate, no resampling asked for.
    {
        temp_file file(make_ogg_stream({opus_id_header(1, 16000), tags, audio, audio}), ".opus");
        const reader_run run = run_reader(ogg_opus_reader_ops, file.path());
        ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
        EXPECT_EQ(run.sample_rate, 16000);
        EXPECT_EQ(run.num_frames, 2u * 320u);  // two 20 ms packets at 16 kHz
        EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
    }
    EXPECT_EQ(open_status_of(ogg_opus_reader_ops, make_ogg_stream({opus_id_header(1, 44100), tags, audio})),
              ZR_STATUS_INVALID_STATE);
    EXPECT_EQ(open_status_of(ogg_opus_reader_ops, make_ogg_stream({opus_id_header(3, 48000), tags, audio})),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(open_status_of(ogg_opus_reader_ops, make_ogg_stream({opus_id_header(0, 48000), tags, audio})),
              ZR_STATUS_INVALID_STATE);
    // Headers but no audio: nothing to diarize.
    EXPECT_EQ(open_status_of(ogg_opus_reader_ops, make_ogg_stream({opus_id_header(1, 48000), tags})),
              ZR_STATUS_INVALID_ARGUMENT);
}

TEST(OggOpusReader, RefusesAudioBeforeTheIdentificationHeader) {
    const packet_list real = opus_packets();
    REQUIRE_PACKETS(real);
    EXPECT_EQ(open_status_of(ogg_opus_reader_ops, make_ogg_stream({real[2], real[0], real[1], real[3]})),
              ZR_STATUS_INVALID_ARGUMENT);
}

TEST(OggOpusReader, RefusesShortIdentificationHeadersAndReadsNoShortMagic) {
    const packet_list real = opus_packets();
    REQUIRE_PACKETS(real);
    for (size_t length : {5u, 8u, 18u}) {
        std::vector<uint8_t> head = opus_id_header(1, 48000);
        head.resize(length);
        EXPECT_EQ(open_status_of(ogg_opus_reader_ops, make_ogg_stream({head, real[1], real[2]})),
                  ZR_STATUS_INVALID_ARGUMENT)
            << length << "-byte header";
    }
    // Packets shorter than any magic are audio to the reader, never read past
    // their end (the sanitizer build checks that).
    for (const std::vector<uint8_t> &tiny : packet_list{{'O'}, {'O', 'p', 'u'}, {}}) {
        const zr_status_t status =
            open_status_of(ogg_opus_reader_ops, make_ogg_stream({real[0], real[1], tiny, real[2]}));
        EXPECT_TRUE(status == ZR_STATUS_SUCCESS || status == ZR_STATUS_INVALID_STATE) << status;
    }
}

TEST(OggOpusReader, ChainedStreamsAreCountedWholeAndMustKeepOneRate) {
    const fixture f = ogg_opus_fixture(48000, 1);
    REQUIRE_FIXTURE(f);
    const std::vector<uint8_t> one = read_file_bytes(f.path);
    const reader_run single = run_reader(ogg_opus_reader_ops, f.path);
    ASSERT_EQ(single.open_status, ZR_STATUS_SUCCESS);

    std::vector<uint8_t> chained = one;
    chained.insert(chained.end(), one.begin(), one.end());
    temp_file file(chained, ".opus");
    const reader_run run = run_reader(ogg_opus_reader_ops, file.path());
    ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.num_frames, 2 * single.num_frames);
    EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
    // Each link starts from a fresh decoder, so the second half repeats the first.
    ASSERT_EQ(run.samples.size(), 2 * single.samples.size());
    EXPECT_TRUE(std::equal(single.samples.begin(), single.samples.end(),
                           run.samples.begin() + static_cast<long>(single.samples.size())));

    const packet_list real = opus_packets();
    std::vector<uint8_t> mixed = make_ogg_stream({real[0], real[1], real[2]}, 1);
    const std::vector<uint8_t> second = make_ogg_stream({opus_id_header(1, 16000), real[1], real[2]}, 2);
    mixed.insert(mixed.end(), second.begin(), second.end());
    EXPECT_EQ(open_status_of(ogg_opus_reader_ops, mixed), ZR_STATUS_INVALID_ARGUMENT);
}

// Byte offsets at which the pages of an Ogg stream start.
std::vector<size_t> page_starts(const std::vector<uint8_t> &bytes) {
    std::vector<size_t> starts;
    for (size_t at = 0; at + 27 <= bytes.size();) {
        starts.push_back(at);
        const size_t segments = bytes[at + 26];
        size_t body = 0;
        for (size_t i = 0; i < segments; ++i) body += bytes[at + 27 + i];
        at += 27 + segments + body;
    }
    return starts;
}

TEST(OggOpusReader, PageOfAForeignStreamEndsTheCount) {
    const packet_list real = opus_packets();
    REQUIRE_PACKETS(real);
    const packet_list first(real.begin(), real.begin() + 12);  // head, tags, 10 audio packets
    const std::vector<uint8_t> own = make_ogg_stream(first, 1);
    const std::vector<uint8_t> other = make_ogg_stream({real[0], real[2]}, 2);
    const std::vector<size_t> own_pages = page_starts(own), other_pages = page_starts(other);
    ASSERT_EQ(own_pages.size(), first.size());
    // The foreign page (not a beginning of stream) after the 6th audio packet.
    std::vector<uint8_t> mixed(own.begin(), own.begin() + static_cast<long>(own_pages[8]));
    mixed.insert(mixed.end(), other.begin() + static_cast<long>(other_pages[1]), other.end());
    mixed.insert(mixed.end(), own.begin() + static_cast<long>(own_pages[8]), own.end());
    temp_file file(mixed, ".opus");
    const reader_run run = run_reader(ogg_opus_reader_ops, file.path());
    ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.num_frames, 6u * 960u);
    EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.past_end_status, ZR_STATUS_IO_ERROR);
}

TEST(OggReaders, MissingFileIsAnIoError) {
    const std::string path = temp_directory() + "/no-such-file.ogg";
    EXPECT_EQ(run_reader(ogg_opus_reader_ops, path).open_status, ZR_STATUS_IO_ERROR);
    EXPECT_EQ(run_reader(ogg_vorbis_reader_ops, path).open_status, ZR_STATUS_IO_ERROR);
    // A file without any Ogg page has no stream to rewind.
    EXPECT_EQ(open_status_of(ogg_opus_reader_ops, {}), ZR_STATUS_INVALID_STATE);
    EXPECT_EQ(open_status_of(ogg_vorbis_reader_ops, std::vector<uint8_t>(100, 'x')), ZR_STATUS_INVALID_STATE);
}

TEST(OggVorbisReader, FirstThreePacketsMustBeTheHeadersInOrder) {
    const fixture f = ogg_vorbis_fixture(1);
    REQUIRE_FIXTURE(f);
    const packet_list p = ogg_packets_of(f.path);
    ASSERT_GT(p.size(), 5u);
    // The third packet is audio.
    EXPECT_EQ(open_status_of(ogg_vorbis_reader_ops, make_ogg_stream({p[0], p[1], p[3], p[4]})),
              ZR_STATUS_INVALID_ARGUMENT);
    // Comment header missing: libvorbis refuses the setup header in its place.
    EXPECT_EQ(open_status_of(ogg_vorbis_reader_ops, make_ogg_stream({p[0], p[2], p[3], p[4]})),
              ZR_STATUS_INVALID_STATE);
    // The comment header first is not an identification header.
    EXPECT_EQ(open_status_of(ogg_vorbis_reader_ops, make_ogg_stream({p[1], p[0], p[2], p[3]})),
              ZR_STATUS_INVALID_ARGUMENT);
    // Setup before comment: libvorbis refuses it.
    EXPECT_EQ(open_status_of(ogg_vorbis_reader_ops, make_ogg_stream({p[0], p[2], p[1], p[3]})),
              ZR_STATUS_INVALID_STATE);
    // A header that is too short for the magic.
    EXPECT_EQ(open_status_of(ogg_vorbis_reader_ops, make_ogg_stream({{1, 'v', 'o'}, p[1], p[2], p[3]})),
              ZR_STATUS_INVALID_ARGUMENT);
    // A damaged setup header.
    std::vector<uint8_t> setup = p[2];
    setup.resize(setup.size() / 2);
    EXPECT_EQ(open_status_of(ogg_vorbis_reader_ops, make_ogg_stream({p[0], p[1], setup, p[3]})),
              ZR_STATUS_INVALID_STATE);
    // Headers only.
    EXPECT_EQ(open_status_of(ogg_vorbis_reader_ops, make_ogg_stream({p[0], p[1], p[2]})),
              ZR_STATUS_INVALID_ARGUMENT);
}

// Damage anywhere in a file: every call returns a status, reads never run
// past what open counted, and nothing leaks (checked by the sanitizer build).
void damage_sweep(const audio_reader_ops &ops, const std::string &path) {
    const std::vector<uint8_t> bytes = read_file_bytes(path);
    auto check = [&](const std::vector<uint8_t> &damaged, const std::string &what) {
        temp_file file(damaged, ".bin");
        const reader_run run = run_reader(ops, file.path(), 1000);
        EXPECT_GE(run.open_status, 0) << what;
        EXPECT_LE(run.open_status, ZR_STATUS_RUNTIME_ERROR) << what;
        if (run.open_status == ZR_STATUS_SUCCESS) {
            EXPECT_GT(run.num_frames, 0u) << what;
            EXPECT_LE(run.samples.size(), run.num_frames) << what;
            EXPECT_NE(run.past_end_status, ZR_STATUS_SUCCESS) << what;
        }
    };
    for (size_t cut : {size_t{0}, size_t{27}, size_t{28}, size_t{60}, size_t{200}, size_t{4097},
                       bytes.size() / 3, bytes.size() / 2, bytes.size() - 1}) {
        if (cut >= bytes.size()) continue;
        check(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut)),
              "cut at " + std::to_string(cut));
    }
    std::mt19937 rng(1234);
    for (int trial = 0; trial < 24; ++trial) {
        std::vector<uint8_t> damaged = bytes;
        const int flips = 1 + trial % 6;
        for (int i = 0; i < flips; ++i) {
            // Half the trials hit the headers, where most checks live.
            const size_t span = trial % 2 == 0 ? std::min<size_t>(bytes.size(), 4096) : bytes.size();
            damaged[rng() % span] ^= static_cast<uint8_t>(1 + rng() % 255);
        }
        check(damaged, "flip trial " + std::to_string(trial));
    }
}

TEST(OggReaders, TruncatedAndDamagedFilesGiveStatuses) {
    const fixture opus = ogg_opus_fixture(16000, 2);
    const fixture vorbis = ogg_vorbis_fixture(2);
    REQUIRE_FIXTURE(opus);
    REQUIRE_FIXTURE(vorbis);
    damage_sweep(ogg_opus_reader_ops, opus.path);
    damage_sweep(ogg_vorbis_reader_ops, vorbis.path);
}

// Every allocation of an open fails in turn: each gives OUT_OF_MEMORY and
// leaves a handle that close releases; with no failure the open succeeds.
void allocation_sweep(const audio_reader_ops &ops, const std::string &path) {
    void *handle = nullptr;
    alloc_fail_at(0);
    ASSERT_EQ(ops.open(path.c_str(), &handle), ZR_STATUS_SUCCESS);
    const int64_t allocations = alloc_count();
    ops.close(handle);
    ASSERT_GT(allocations, 0);
    for (int64_t k = 1; k <= allocations; ++k) {
        handle = nullptr;
        alloc_fail_at(k);
        const zr_status_t status = ops.open(path.c_str(), &handle);
        alloc_fail_at(0);
        EXPECT_EQ(status, ZR_STATUS_OUT_OF_MEMORY) << "allocation " << k;
        ops.close(handle);
    }
}

TEST(OggReaders, EveryAllocationFailureAtOpenIsOutOfMemory) {
    const fixture opus = ogg_opus_fixture(16000, 1);
    const fixture vorbis = ogg_vorbis_fixture(1);
    REQUIRE_FIXTURE(opus);
    REQUIRE_FIXTURE(vorbis);
    allocation_sweep(ogg_opus_reader_ops, opus.path);
    allocation_sweep(ogg_vorbis_reader_ops, vorbis.path);
}

}  // namespace
