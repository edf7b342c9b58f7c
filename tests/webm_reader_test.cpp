// The WebM reader, through its reader operations, on files muxed by real
// tools and on hand-made files built from real Opus and Vorbis packets.
#include <gtest/gtest.h>
#include <opus/opus.h>

#include <random>
#include <thread>

#include "audio/audio_reader.h"
#include "common/alloc.h"
#include "support/model_writer.h"
#include "support/webm_writer.h"
#include "support/xiph_fixtures.h"

namespace {

using packet_list = std::vector<std::vector<uint8_t>>;

reader_run run_bytes(const byte_vector &bytes) {
    temp_file file(bytes, ".webm");
    return run_reader(webm_reader_ops, file.path());
}

int open_status_of(const byte_vector &bytes) { return run_bytes(bytes).open_status; }

TEST(WebmReader, OpusTrackGivesTheSameFramesAsItsOggSource) {
    const fixture ogg = ogg_opus_fixture(48000, 2);
    const fixture webm = webm_opus_fixture();
    REQUIRE_FIXTURE(ogg);
    REQUIRE_FIXTURE(webm);
    const std::vector<int16_t> expected = opus_reference(ogg.path);
    const reader_run run = run_reader(webm_reader_ops, webm.path, 777);
    ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.sample_rate, 48000);
    EXPECT_EQ(run.channels, 2);
    EXPECT_EQ(run.num_frames, expected.size());
    EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.past_end_status, ZR_STATUS_IO_ERROR);
    EXPECT_TRUE(run.samples == expected);
}

TEST(WebmReader, VorbisTrackGivesTheSameFramesAsItsOggSource) {
    const fixture ogg = ogg_vorbis_fixture(2);
    const fixture webm = webm_vorbis_fixture();
    REQUIRE_FIXTURE(ogg);
    REQUIRE_FIXTURE(webm);
    // Matroska blocks carry no granule positions, so nothing is trimmed.
    const std::vector<int16_t> expected = vorbis_reference(ogg.path, false);
    const reader_run run = run_reader(webm_reader_ops, webm.path, 1024);
    ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.sample_rate, 16000);
    EXPECT_EQ(run.channels, 2);
    EXPECT_EQ(run.num_frames, expected.size());
    EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.past_end_status, ZR_STATUS_IO_ERROR);
    EXPECT_TRUE(run.samples == expected);
}

TEST(WebmReader, AudioTrackAfterAVideoTrackIsFound) {
    const fixture ogg = ogg_opus_fixture(48000, 1);
    const fixture webm = webm_video_first_fixture();
    REQUIRE_FIXTURE(ogg);
    REQUIRE_FIXTURE(webm);
    const std::vector<int16_t> expected = opus_reference(ogg.path);
    const reader_run run = run_reader(webm_reader_ops, webm.path);
    ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.sample_rate, 48000);
    EXPECT_EQ(run.channels, 1);
    EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.samples.size(), run.num_frames);
    // The muxer may stop the audio with the video; what is there is exact.
    ASSERT_GT(run.samples.size(), 2u * 48000u);
    ASSERT_LE(run.samples.size(), expected.size());
    EXPECT_TRUE(std::equal(run.samples.begin(), run.samples.end(), expected.begin()));
}

// Real packets to build files with.
struct codec_packets {
    packet_list opus;    // 48 kHz mono: head, tags, audio...
    packet_list vorbis;  // 16 kHz mono: three headers, audio...
};

const codec_packets &real_packets() {
    static const codec_packets packets = [] {
        codec_packets p;
        const fixture opus = ogg_opus_fixture(48000, 1);
        const fixture vorbis = ogg_vorbis_fixture(1);
        if (!opus.path.empty()) p.opus = ogg_packets_of(opus.path);
        if (!vorbis.path.empty()) p.vorbis = ogg_packets_of(vorbis.path);
        return p;
    }();
    return packets;
}

#define REQUIRE_PACKETS()                                                     \
    if (real_packets().opus.size() < 10 || real_packets().vorbis.size() < 10) \
    GTEST_SKIP() << "no Ogg fixtures to take packets from"

std::vector<webm_block_desc> blocks_of(const packet_list &packets, size_t first, uint64_t track = 1) {
    std::vector<webm_block_desc> blocks;
    for (size_t i = first; i < packets.size(); ++i) blocks.push_back({track, packets[i], {}});
    return blocks;
}

webm_track_desc opus_track(double rate = 48000.0, uint64_t channels = 1) {
    webm_track_desc t;
    t.codec_id = "A_OPUS";
    t.sampling_frequency = rate;
    t.channels = channels;
    t.codec_private = real_packets().opus[0];
    return t;
}

webm_track_desc vorbis_track(const std::optional<byte_vector> &codec_private) {
    webm_track_desc t;
    t.codec_id = "A_VORBIS";
    t.sampling_frequency = 16000.0;
    t.channels = 1;
    t.codec_private = codec_private;
    return t;
}

byte_vector vorbis_file(const std::optional<byte_vector> &codec_private) {
    return make_webm({vorbis_track(codec_private)}, blocks_of(real_packets().vorbis, 3));
}

const packet_list &vorbis_headers() {
    static const packet_list headers(real_packets().vorbis.begin(), real_packets().vorbis.begin() + 3);
    return headers;
}

TEST(WebmReader, TrackParametersDecideTheDecoder) {
    REQUIRE_PACKETS();
    const auto opus_blocks = blocks_of(real_packets().opus, 2);
    EXPECT_EQ(open_status_of(make_webm({opus_track(44100.0)}, opus_blocks)), ZR_STATUS_INVALID_STATE);
    EXPECT_EQ(open_status_of(make_webm({opus_track(48000.0, 6)}, opus_blocks)), ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(open_status_of(make_webm({opus_track(48000.0, 0)}, opus_blocks)), ZR_STATUS_INVALID_STATE);
    // Rates no 32-bit count can hold are refused, never converted.
    EXPECT_EQ(open_status_of(make_webm({opus_track(1e300)}, opus_blocks)), ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(open_status_of(make_webm({opus_track(-48000.0)}, opus_blocks)), ZR_STATUS_INVALID_ARGUMENT);
    {
        webm_track_desc t = vorbis_track(xiph_lace(vorbis_headers()));
        webm_track_desc six = t;
        six.channels = 6;
        EXPECT_EQ(open_status_of(make_webm({six}, blocks_of(real_packets().vorbis, 3))),
                  ZR_STATUS_INVALID_ARGUMENT);
        // The track says stereo, the stream is mono: the mix would read a
        // channel that does not exist.
        webm_track_desc stereo = t;
        stereo.channels = 2;
        EXPECT_EQ(open_status_of(make_webm({stereo}, blocks_of(real_packets().vorbis, 3))),
                  ZR_STATUS_INVALID_STATE);
        // No sampling frequency and no channel count: 8000 Hz mono.
        t.sampling_frequency.reset();
        t.channels.reset();
        const reader_run run = run_bytes(make_webm({t}, blocks_of(real_packets().vorbis, 3)));
        ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
        EXPECT_EQ(run.sample_rate, 8000);
        EXPECT_EQ(run.channels, 1);
        EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
    }
}

TEST(WebmReader, OnlyVorbisOrOpusAudioTracksAreTaken) {
    REQUIRE_PACKETS();
    webm_track_desc aac = opus_track();
    aac.codec_id = "A_AAC";
    webm_track_desc pcm = opus_track();
    pcm.codec_id = "A_PCM/INT/LIT";
    webm_track_desc video;
    video.type = 1;
    video.codec_id = "V_VP8";
    const auto blocks = blocks_of(real_packets().opus, 2);
    EXPECT_EQ(open_status_of(make_webm({aac}, blocks)), ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(open_status_of(make_webm({pcm}, blocks)), ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(open_status_of(make_webm({video}, blocks)), ZR_STATUS_INVALID_ARGUMENT);
    // A track but no blocks: nothing to diarize.
    EXPECT_EQ(open_status_of(make_webm({opus_track()}, {})), ZR_STATUS_INVALID_ARGUMENT);

    // Opus on track 2 after an AAC track 1, with blocks of both interleaved:
    // only track 2's packets are decoded.
    aac.number = 1;
    webm_track_desc opus = opus_track();
    opus.number = 2;
    std::vector<webm_block_desc> mixed;
    for (size_t i = 2; i < real_packets().opus.size(); ++i) {
        mixed.push_back({1, {0x21, 0x10, 0x04}, {}});
        mixed.push_back({2, real_packets().opus[i], {}});
    }
    const reader_run only_opus = run_bytes(make_webm({opus}, blocks_of(real_packets().opus, 2, 2)));
    const reader_run run = run_bytes(make_webm({aac, opus}, mixed));
    ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
    EXPECT_GT(run.samples.size(), 0u);
    EXPECT_TRUE(run.samples == only_opus.samples);
}

TEST(WebmReader, VorbisCodecPrivateDataIsSplitWithinItsBounds) {
    REQUIRE_PACKETS();
    const packet_list &h = vorbis_headers();
    {
        const reader_run run = run_bytes(vorbis_file(xiph_lace(h)));
        ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
        EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
        EXPECT_GT(run.num_frames, 0u);
    }
    EXPECT_EQ(open_status_of(vorbis_file(std::nullopt)), ZR_STATUS_INVALID_STATE);
    EXPECT_EQ(open_status_of(vorbis_file(byte_vector{})), ZR_STATUS_INVALID_STATE);
    EXPECT_EQ(open_status_of(vorbis_file(xiph_lace({h[0], h[1], h[2], h[2]}))), ZR_STATUS_INVALID_STATE);
    EXPECT_EQ(open_status_of(vorbis_file(xiph_lace({h[0], h[1]}))), ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(open_status_of(vorbis_file(byte_vector{2})), ZR_STATUS_INVALID_STATE);
    // Lacing sizes larger than the data, and a run of 255s to the end.
    byte_vector oversized = xiph_lace(h);
    oversized[1] = 254;
    oversized.resize(40);
    EXPECT_EQ(open_status_of(vorbis_file(oversized)), ZR_STATUS_INVALID_STATE);
    EXPECT_EQ(open_status_of(vorbis_file(byte_vector(300, 255))), ZR_STATUS_INVALID_STATE);
    byte_vector long_run(1000, 255);
    long_run[0] = 2;
    EXPECT_EQ(open_status_of(vorbis_file(long_run)), ZR_STATUS_INVALID_STATE);
    // Headers in the wrong order are refused by libvorbis.
    EXPECT_EQ(open_status_of(vorbis_file(xiph_lace({h[0], h[2], h[1]}))), ZR_STATUS_INVALID_STATE);
}

TEST(WebmReader, EmptyOpusFrameIsConcealedAlikeWhenCountingAndReading) {
    REQUIRE_PACKETS();
    const packet_list &p = real_packets().opus;
    auto blocks = blocks_of(p, 2);
    const reader_run plain = run_bytes(make_webm({opus_track()}, blocks));
    ASSERT_EQ(plain.open_status, ZR_STATUS_SUCCESS);
    // An empty frame laced before a real one.
    blocks[5].laced = {{}, blocks[5].data};
    const reader_run run = run_bytes(make_webm({opus_track()}, blocks));
    ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
    // A lost packet is concealed up to the largest packet, 120 ms.
    EXPECT_EQ(run.num_frames, plain.num_frames + 5760);
    EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.samples.size(), run.num_frames);
    EXPECT_EQ(run.past_end_status, ZR_STATUS_IO_ERROR);
}

TEST(WebmReader, SizesBeyondTheFileAreRefusedBeforeAnyAllocation) {
    REQUIRE_PACKETS();
    // A codec private element declaring 2^40 bytes in a small file.
    byte_vector bytes = vorbis_file(xiph_lace(vorbis_headers()));
    const byte_vector marker = {0x63, 0xA2, 0x01};
    auto at = std::search(bytes.begin(), bytes.end(), marker.begin(), marker.end());
    ASSERT_NE(at, bytes.end());
    at[3] = 0x01;  // size bytes after the 0x01 length marker: 0x01 00 00 00 00 00 00 -> 2^48
    // Refused as damage before the parser tries to buffer it (which would
    // end in OUT_OF_MEMORY at best).
    EXPECT_EQ(open_status_of(bytes), ZR_STATUS_INVALID_ARGUMENT);

    // The same inside a segment and tracks of unknown or huge size, where
    // no parent bounds it.
    const byte_vector header = ebml_element(0x1A45DFA3, ebml_string(0x4282, "webm"));
    const byte_vector entry_head = concat({ebml_uint(0xD7, 1), ebml_uint(0x83, 2), ebml_string(0x86, "A_VORBIS")});
    byte_vector unbounded = header;
    const byte_vector segment_head = {0x18, 0x53, 0x80, 0x67, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const byte_vector tracks_head = {0x16, 0x54, 0xAE, 0x6B, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00};
    const byte_vector entry_start = {0xAE, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};
    const byte_vector private_head = {0x63, 0xA2, 0x01, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00, 0x00};
    unbounded = concat({header, segment_head, tracks_head, entry_start, entry_head, private_head,
                        byte_vector(64, 0)});
    EXPECT_EQ(open_status_of(unbounded), ZR_STATUS_INVALID_ARGUMENT);

    // An Opus block whose size runs past the end of the file.
    byte_vector cut = make_webm({opus_track()}, blocks_of(real_packets().opus, 2));
    cut.resize(cut.size() - 10);
    const reader_run run = run_bytes(cut);
    ASSERT_EQ(run.open_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.read_status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(run.samples.size(), run.num_frames);
}

TEST(WebmReader, MissingOrForeignFilesGiveStatuses) {
    EXPECT_EQ(run_reader(webm_reader_ops, temp_directory() + "/no-such.webm").open_status, ZR_STATUS_IO_ERROR);
    EXPECT_EQ(open_status_of({}), ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(open_status_of(byte_vector(64, 'x')), ZR_STATUS_INVALID_ARGUMENT);
}

// Readers keep all their state in their handles: files read on several
// threads at once give what they give on one.
TEST(XiphReadersThread, ConcurrentReadersAgreeWithASingleOne) {
    const fixture webm = webm_vorbis_fixture();
    const fixture ogg = ogg_opus_fixture(48000, 2);
    REQUIRE_FIXTURE(webm);
    REQUIRE_FIXTURE(ogg);
    const reader_run webm_alone = run_reader(webm_reader_ops, webm.path);
    const reader_run ogg_alone = run_reader(ogg_opus_reader_ops, ogg.path);
    ASSERT_EQ(webm_alone.open_status, ZR_STATUS_SUCCESS);
    ASSERT_EQ(ogg_alone.open_status, ZR_STATUS_SUCCESS);
    std::vector<reader_run> runs(4);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < runs.size(); ++i) {
        threads.emplace_back([&, i] {
            runs[i] = i % 2 == 0 ? run_reader(webm_reader_ops, webm.path) : run_reader(ogg_opus_reader_ops, ogg.path);
        });
    }
    for (std::thread &t : threads) t.join();
    for (size_t i = 0; i < runs.size(); ++i) {
        EXPECT_TRUE(runs[i].samples == (i % 2 == 0 ? webm_alone : ogg_alone).samples) << "thread " << i;
    }
}

// Damage anywhere in a file: every call returns a status, reads never run
// past what open counted, and nothing leaks (checked by the sanitizer build).
void damage_sweep(const std::string &path) {
    const std::vector<uint8_t> bytes = read_file_bytes(path);
    auto check = [&](const std::vector<uint8_t> &damaged, const std::string &what) {
        const reader_run run = run_bytes(damaged);
        EXPECT_GE(run.open_status, 0) << what;
        EXPECT_LE(run.open_status, ZR_STATUS_RUNTIME_ERROR) << what;
        if (run.open_status == ZR_STATUS_SUCCESS) {
            EXPECT_GT(run.num_frames, 0u) << what;
            EXPECT_LE(run.samples.size(), run.num_frames) << what;
            EXPECT_NE(run.past_end_status, ZR_STATUS_SUCCESS) << what;
        }
    };
    for (size_t cut : {size_t{0}, size_t{4}, size_t{40}, size_t{200}, size_t{1000}, bytes.size() / 3,
                       bytes.size() / 2, bytes.size() - 1}) {
        if (cut >= bytes.size()) continue;
        check(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<long>(cut)),
              "cut at " + std::to_string(cut));
    }
    std::mt19937 rng(99);
    for (int trial = 0; trial < 24; ++trial) {
        std::vector<uint8_t> damaged = bytes;
        const int flips = 1 + trial % 6;
        for (int i = 0; i < flips; ++i) {
            const size_t span = trial % 2 == 0 ? std::min<size_t>(bytes.size(), 4096) : bytes.size();
            damaged[rng() % span] ^= static_cast<uint8_t>(1 + rng() % 255);
        }
        check(damaged, "flip trial " + std::to_string(trial));
    }
}

TEST(WebmReader, TruncatedAndDamagedFilesGiveStatuses) {
    const fixture opus = webm_opus_fixture();
    const fixture vorbis = webm_vorbis_fixture();
    REQUIRE_FIXTURE(opus);
    REQUIRE_FIXTURE(vorbis);
    damage_sweep(opus.path);
    damage_sweep(vorbis.path);
}

// Every allocation of an open fails in turn: each gives OUT_OF_MEMORY and
// leaves a handle that close releases.
void allocation_sweep(const std::string &path) {
    void *handle = nullptr;
    alloc_fail_at(0);
    ASSERT_EQ(webm_reader_ops.open(path.c_str(), &handle), ZR_STATUS_SUCCESS);
    const int64_t allocations = alloc_count();
    webm_reader_ops.close(handle);
    ASSERT_GT(allocations, 0);
    for (int64_t k = 1; k <= allocations; ++k) {
        handle = nullptr;
        alloc_fail_at(k);
        const zr_status_t status = webm_reader_ops.open(path.c_str(), &handle);
        alloc_fail_at(0);
        EXPECT_EQ(status, ZR_STATUS_OUT_OF_MEMORY) << "allocation " << k;
        webm_reader_ops.close(handle);
    }
}

TEST(WebmReader, EveryAllocationFailureAtOpenIsOutOfMemory) {
    const fixture opus = webm_opus_fixture();
    const fixture vorbis = webm_vorbis_fixture();
    REQUIRE_FIXTURE(opus);
    REQUIRE_FIXTURE(vorbis);
    allocation_sweep(opus.path);
    allocation_sweep(vorbis.path);
}

}  // namespace
