// Track choice, the flat sample table (movie and fragments), the edit-list
// rule and the two timing warnings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/alloc.h"
#include "mp4/mp4_track.h"
#include "support/box_writer.h"
#include "support/model_writer.h"

using namespace boxw;

namespace {

struct parsed_track {
    zr_status_t status = ZR_STATUS_SUCCESS;
    mp4_track_info info{-1, 0, 0, 0, 0, 0, nullptr, 0};
    mp4_sample_table table{};
    std::string output;  // what the build printed
    uint64_t file_size = 0;

    ~parsed_track() {
        mp4_track_info_release(&info);
        mp4_sample_table_release(&table);
    }
};

// Parses the file, chooses the track and builds its table, capturing stdout.
void build(const bytes &data, parsed_track *out, bool logging = true) {
    temp_file file(data, ".mp4");
    FILE *f = std::fopen(file.path(), "rb");
    ASSERT_NE(f, nullptr);
    mp4_file *parsed = nullptr;
    out->status = mp4_parse(f, &parsed);
    std::fclose(f);
    if (out->status != ZR_STATUS_SUCCESS) return;
    out->file_size = parsed->file_size;
    out->status = mp4_select_track(parsed, &out->info);
    if (out->status == ZR_STATUS_SUCCESS) {
        if (!logging) zr_log_disable();
        testing::internal::CaptureStdout();
        out->status = mp4_build_sample_table(parsed, &out->info, &out->table);
        std::fflush(stdout);
        out->output = testing::internal::GetCapturedStdout();
        zr_log_enable();
    }
    mp4_file_release(parsed);
}

track_desc audio_track(int samples, uint8_t fill = 1) {
    track_desc t;
    for (int i = 0; i < samples; ++i) t.samples.push_back(bytes(3 + i % 5, fill));
    return t;
}

track_desc video_track() {
    track_desc t = audio_track(3, 9);
    t.handler = "vide";
    t.entry = "avc1";
    return t;
}

TEST(Mp4Track, FirstAudioTrackAfterVideoIsChosen) {
    file_desc desc;
    track_desc aac = audio_track(4, 2);
    aac.channels = 2;
    aac.sample_rate = 22050;
    aac.track_id = 2;
    track_desc amr = audio_track(4, 3);
    amr.entry = "samr";
    amr.channels = 2;  // forced to 1 for AMR
    amr.sample_rate = 8000;
    amr.track_id = 3;
    desc.tracks = {video_track(), aac, amr};
    parsed_track t;
    build(build_file(desc), &t);
    ASSERT_EQ(t.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(t.info.track_index, 1);
    EXPECT_EQ(t.info.codec, MP4_CODEC_AAC);
    EXPECT_EQ(t.info.channels, 2);
    EXPECT_EQ(t.info.sample_rate, 22050);
    ASSERT_EQ(t.info.decoder_config_length, 2);
    EXPECT_EQ(t.info.decoder_config[0], 0x14);
    ASSERT_EQ(t.table.count, 4);
    EXPECT_EQ(t.table.entries[0].length, 3u);

    desc.tracks = {video_track(), amr, aac};
    parsed_track second;
    build(build_file(desc), &second);
    ASSERT_EQ(second.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(second.info.track_index, 1);
    EXPECT_EQ(second.info.codec, MP4_CODEC_AMR_NB);
    EXPECT_EQ(second.info.channels, 1);
    EXPECT_EQ(second.info.sample_rate, 8000);
    EXPECT_EQ(second.info.decoder_config, nullptr);
}

TEST(Mp4Track, NoQualifyingTrack) {
    file_desc desc;
    desc.tracks = {video_track()};
    parsed_track t;
    build(build_file(desc), &t);
    EXPECT_EQ(t.status, ZR_STATUS_INVALID_ARGUMENT);

    // A sound track with another codec does not qualify either.
    track_desc opus = audio_track(2);
    opus.entry = "Opus";
    desc.tracks = {opus};
    parsed_track other;
    build(build_file(desc), &other);
    EXPECT_EQ(other.status, ZR_STATUS_INVALID_ARGUMENT);

    // Nor does a movie without tracks.
    parsed_track empty;
    build(join({box("ftyp", {fourcc("isom"), u32(0)}), box("moov", {})}), &empty);
    EXPECT_EQ(empty.status, ZR_STATUS_INVALID_ARGUMENT);
}

TEST(Mp4Track, MissingBoxes) {
    // An AAC description without "esds", a chosen track without one of its
    // tables.
    for (int missing = 0; missing < 4; ++missing) {
        file_desc desc;
        track_desc a = audio_track(3);
        a.with_esds = missing != 0;
        a.with_stsz = missing != 1;
        a.with_stsc = missing != 2;
        a.with_stco = missing != 3;
        desc.tracks = {a};
        parsed_track t;
        build(build_file(desc), &t);
        EXPECT_EQ(t.status, ZR_STATUS_INVALID_ARGUMENT) << missing;
    }
    // A sound track without media information does not qualify; a later
    // one does.
    file_desc desc;
    track_desc bare = audio_track(2);
    bare.with_minf = false;
    desc.tracks = {bare, audio_track(2)};
    parsed_track t;
    build(build_file(desc), &t);
    EXPECT_EQ(t.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(t.info.track_index, 1);
    desc.tracks = {bare};
    parsed_track only_bare;
    build(build_file(desc), &only_bare);
    EXPECT_EQ(only_bare.status, ZR_STATUS_INVALID_ARGUMENT);
}

TEST(Mp4Track, ChunksPlaceSamplesBackToBack) {
    file_desc desc;
    track_desc a = audio_track(30);
    a.samples_per_chunk = 10;
    desc.tracks = {a};
    const bytes data = build_file(desc);
    parsed_track t;
    build(data, &t);
    ASSERT_EQ(t.status, ZR_STATUS_SUCCESS);
    ASSERT_EQ(t.table.count, 30);
    // The writer puts the samples right after ftyp and the mdat header.
    uint64_t expected = 24 + 8;
    for (int i = 0; i < 30; ++i) {
        EXPECT_EQ(t.table.entries[i].position, expected) << i;
        EXPECT_EQ(t.table.entries[i].length, a.samples[i].size());
        EXPECT_EQ(data[expected], 1);
        expected += a.samples[i].size();
    }
}

// A hand-made track whose tables disagree with each other.
bytes track_with_tables(const bytes &stsc, const bytes &stsz, const bytes &stco) {
    const bytes ftyp = box("ftyp", {fourcc("isom"), u32(0)});
    const bytes mdat = box("mdat", {bytes(64, 7)});
    const bytes entry = box("samr", {bytes(6, 0), u16(1), bytes(8, 0), u16(1), u16(16), u32(0),
                                     u32(8000u << 16)});
    const bytes stbl = box("stbl", {full_box("stsd", 0, 0, {u32(1), entry}), stsc, stsz, stco});
    const bytes hdlr = full_box("hdlr", 0, 0, {u32(0), fourcc("soun"), bytes(12, 0), u8(0)});
    return join({ftyp, mdat, box("moov", {box("trak", {box("mdia", {hdlr, box("minf", {stbl})})})})});
}

TEST(Mp4Track, InconsistentTablesAreRefused) {
    const uint32_t data_start = 16 + 8;
    const bytes stco2 = full_box("stco", 0, 0, {u32(2), u32(data_start), u32(data_start + 20)});
    auto stsc = [](uint32_t first, uint32_t per) {
        return full_box("stsc", 0, 0, {u32(1), u32(first), u32(per), u32(1)});
    };
    auto stsz = [](uint32_t common, uint32_t count) { return full_box("stsz", 0, 0, {u32(common), u32(count)}); };
    auto status = [](const bytes &file) {
        parsed_track t;
        build(file, &t);
        return t.status;
    };
    EXPECT_EQ(status(track_with_tables(stsc(1, 2), stsz(4, 4), stco2)), ZR_STATUS_SUCCESS);
    // Chunks hold more samples than the sizes list.
    EXPECT_EQ(status(track_with_tables(stsc(1, 3), stsz(4, 4), stco2)), ZR_STATUS_INVALID_ARGUMENT);
    // Fewer: samples without a position.
    EXPECT_EQ(status(track_with_tables(stsc(1, 1), stsz(4, 4), stco2)), ZR_STATUS_INVALID_ARGUMENT);
    // Runs naming chunks beyond the chunk offsets.
    const bytes two_entries = full_box("stsc", 0, 0, {u32(2), u32(1), u32(1), u32(1), u32(5), u32(1), u32(1)});
    EXPECT_EQ(status(track_with_tables(two_entries, stsz(4, 4), stco2)), ZR_STATUS_INVALID_ARGUMENT);
    // A sample reaching past the end of the file.
    EXPECT_EQ(status(track_with_tables(stsc(1, 2), stsz(4000, 4), stco2)), ZR_STATUS_INVALID_ARGUMENT);
    const bytes far = full_box("stco", 0, 0, {u32(2), u32(0xFFFFFFF0), u32(data_start)});
    EXPECT_EQ(status(track_with_tables(stsc(1, 2), stsz(4, 4), far)), ZR_STATUS_INVALID_ARGUMENT);
    // A huge common-size count is refused before the table is allocated.
    EXPECT_EQ(status(track_with_tables(stsc(1, 2), stsz(1, 0x7FFFFFFF), stco2)),
              ZR_STATUS_INVALID_ARGUMENT);
    // Samples per chunk 0 places one sample per chunk.
    EXPECT_EQ(status(track_with_tables(stsc(1, 0), stsz(4, 2), stco2)), ZR_STATUS_SUCCESS);
}

TEST(Mp4Track, SampleTableStaysWithinASmallMultipleOfTheFile) {
    // One-byte samples are the densest a file can declare: the table costs
    // 16 bytes per sample, so at most 16 times the file.
    const bytes stsc = full_box("stsc", 0, 0, {u32(1), u32(1), u32(64), u32(1)});
    const bytes stsz = full_box("stsz", 0, 0, {u32(1), u32(64)});
    const bytes stco = full_box("stco", 0, 0, {u32(1), u32(16 + 8)});
    const bytes file = track_with_tables(stsc, stsz, stco);
    alloc_fail_at(0);
    parsed_track t;
    build(file, &t);
    ASSERT_EQ(t.status, ZR_STATUS_SUCCESS);
    ASSERT_EQ(t.table.count, 64);
    EXPECT_LE(alloc_largest(), 16 * file.size());
    // A common size gives every sample that length, back to back in the chunk.
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(t.table.entries[i].length, 1u);
        EXPECT_EQ(t.table.entries[i].position, 24u + uint64_t(i));
    }
}

TEST(Mp4Track, EditListRuleAndWarning) {
    struct edit_case {
        std::vector<int64_t> times;
        zr_status_t status;
        bool warns;
    };
    const std::string warning =
        "\x1b[33m [WARN] Supplied audio file contains edits which may result in inaccurate timing "
        "info\x1b[0m\n";
    for (const edit_case &c : {edit_case{{1024}, ZR_STATUS_SUCCESS, false},
                               edit_case{{-1, 0}, ZR_STATUS_SUCCESS, true},
                               edit_case{{-1, -1, 2048}, ZR_STATUS_SUCCESS, true},
                               edit_case{{0, 1024}, ZR_STATUS_INVALID_ARGUMENT, false},
                               edit_case{{-1, 5, -1}, ZR_STATUS_INVALID_ARGUMENT, false},
                               edit_case{{}, ZR_STATUS_SUCCESS, false}}) {
        for (uint8_t version : {0, 1}) {
            file_desc desc;
            track_desc a = audio_track(3);
            a.with_edts = true;
            a.elst_version = version;
            a.edit_media_times = c.times;
            desc.tracks = {a};
            parsed_track t;
            build(build_file(desc), &t);
            EXPECT_EQ(t.status, c.status) << c.times.size();
            EXPECT_EQ(t.output, c.warns ? warning : "") << c.times.size();
            if (c.warns) {
                parsed_track quiet;
                build(build_file(desc), &quiet, /*logging=*/false);
                EXPECT_EQ(quiet.status, ZR_STATUS_SUCCESS);
                EXPECT_EQ(quiet.output, "");
            }
        }
    }
}

TEST(Mp4Track, FragmentSamplesFollowTheMovie) {
    file_desc desc;
    desc.tracks = {audio_track(0)};
    desc.fragments = {{1, {bytes(5, 1), bytes(6, 2)}, 1024}, {3, {bytes(7, 3)}, 512}};
    const bytes data = build_file(desc);
    parsed_track t;
    build(data, &t);
    ASSERT_EQ(t.status, ZR_STATUS_SUCCESS);
    ASSERT_EQ(t.table.count, 3);
    const uint8_t fills[] = {1, 2, 3};
    const uint32_t lengths[] = {5, 6, 7};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(t.table.entries[i].length, lengths[i]);
        for (uint32_t j = 0; j < lengths[i]; ++j) {
            ASSERT_EQ(data[t.table.entries[i].position + j], fills[i]) << i;
        }
    }
    // The movie's duration was 0: the fragment durations make it.
    EXPECT_EQ(t.info.media_duration, 1024u + 1024u + 512u);

    desc.tracks[0].duration = 99;
    parsed_track kept;
    build(build_file(desc), &kept);
    ASSERT_EQ(kept.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(kept.info.media_duration, 99u);
}

TEST(Mp4Track, FragmentSequenceMustRise) {
    for (const std::vector<uint32_t> &numbers :
         {std::vector<uint32_t>{1, 1}, std::vector<uint32_t>{2, 1}, std::vector<uint32_t>{0, 1}}) {
        file_desc desc;
        desc.tracks = {audio_track(0)};
        for (uint32_t n : numbers) desc.fragments.push_back({n, {bytes(4, 1)}, 1024});
        parsed_track t;
        build(build_file(desc), &t);
        EXPECT_EQ(t.status, ZR_STATUS_INVALID_ARGUMENT) << numbers[0] << "," << numbers[1];
    }
}

TEST(Mp4Track, FragmentsOfOtherTracksAndTrexMismatch) {
    file_desc desc;
    track_desc a = audio_track(0);
    a.track_id = 7;
    track_desc v = video_track();
    v.track_id = 8;
    desc.tracks = {a, v};
    desc.fragments = {{1, {bytes(4, 1)}, 1024}};
    parsed_track t;
    build(build_file(desc), &t);
    ASSERT_EQ(t.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(t.table.count, 1);

    // One trex for two tracks.
    bytes file = build_file(desc);
    // Rewrite the second trex's type so that only one is recognised.
    for (size_t i = 0; i + 4 < file.size(); ++i) {
        if (std::memcmp(&file[i], "trex", 4) == 0) {
            for (size_t j = i + 4; j + 4 < file.size(); ++j) {
                if (std::memcmp(&file[j], "trex", 4) == 0) {
                    std::memcpy(&file[j], "xert", 4);
                    break;
                }
            }
            break;
        }
    }
    parsed_track mismatch;
    build(file, &mismatch);
    EXPECT_EQ(mismatch.status, ZR_STATUS_INVALID_ARGUMENT);
}

TEST(Mp4Track, FragmentRunsBeyondTheFileAreRefused) {
    file_desc desc;
    desc.tracks = {audio_track(0)};
    desc.fragments = {{1, {bytes(4, 1)}, 1024}};
    const bytes movie = build_file(desc);
    auto with_run = [&](const bytes &trun, const bytes &tfhd) {
        const bytes moof = box("moof", {full_box("mfhd", 0, 0, {u32(1)}), box("traf", {tfhd, trun})});
        // Keep ftyp and moov of the generated file, then the hand-made fragment.
        bytes base = movie;
        const bytes first_moof_marker = {'m', 'o', 'o', 'f'};
        auto it = std::search(base.begin(), base.end(), first_moof_marker.begin(), first_moof_marker.end());
        base.erase(it - 4, base.end());
        return join({base, moof, box("mdat", {bytes(16, 5)})});
    };
    auto status = [](const bytes &file) {
        parsed_track t;
        build(file, &t);
        return t.status;
    };
    const bytes tfhd = full_box("tfhd", 0, 0, {u32(1)});
    // Data offset before the start of the file, past its end, sizes past it.
    EXPECT_EQ(status(with_run(full_box("trun", 0, 0x201, {u32(1), u32(uint32_t(-100000)), u32(4)}), tfhd)),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(status(with_run(full_box("trun", 0, 0x201, {u32(1), u32(100000), u32(4)}), tfhd)),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(status(with_run(full_box("trun", 0, 0x200, {u32(1), u32(100000)}), tfhd)),
              ZR_STATUS_INVALID_ARGUMENT);
    // Many zero-length samples: more entries than the file has bytes.
    EXPECT_EQ(status(with_run(full_box("trun", 0, 0x1, {u32(0xFFFFFFFF), u32(0)}), tfhd)),
              ZR_STATUS_INVALID_ARGUMENT);
    // Default sizes from tfhd: two samples of 4 bytes, back to back.
    parsed_track t;
    build(with_run(full_box("trun", 0, 0x0, {u32(2)}), full_box("tfhd", 0, 0x11, {u32(1), u64(0), u32(4)})),
          &t);
    ASSERT_EQ(t.status, ZR_STATUS_SUCCESS);
    ASSERT_EQ(t.table.count, 2);
    EXPECT_EQ(t.table.entries[0].position, 0u);
    EXPECT_EQ(t.table.entries[1].position, 4u);
}

TEST(Mp4Track, DurationWarning) {
    const std::string warning =
        "\x1b[33m [WARN] Supplied audio file has a media duration discrepancy which may result in "
        "inaccurate timing info\x1b[0m\n";
    auto printed = [](const mp4_track_info &info, uint64_t frames) {
        testing::internal::CaptureStdout();
        mp4_check_duration(&info, frames);
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    };
    mp4_track_info info{0, MP4_CODEC_AAC, 1, 16000, 32000, 16000, nullptr, 0};
    EXPECT_EQ(printed(info, 32000), "");
    EXPECT_EQ(printed(info, 47999), "");  // both sides one whole second
    EXPECT_EQ(printed(info, 48000), warning);
    // Zero divisors make their side 0; durations beyond the signed range and
    // a timescale of all ones do not trap.
    info.timescale = 0;
    EXPECT_EQ(printed(info, 100), "");
    EXPECT_EQ(printed(info, 16000), warning);
    info = {0, MP4_CODEC_AAC, 1, 0, UINT64_MAX, -1, nullptr, 0};
    EXPECT_EQ(printed(info, 0), warning);
    zr_log_disable();
    EXPECT_EQ(printed(info, 0), "");
    zr_log_enable();
}

}  // namespace
