// The box walk over hand-built files: layouts no encoder makes, and every
// length or count that could move a read outside its box.
#include <gtest/gtest.h>

#include <cstdio>

#include "common/alloc.h"
#include "mp4/mp4_file.h"
#include "support/box_writer.h"
#include "support/model_writer.h"

using namespace boxw;

namespace {

// Parses the bytes as a file; *out is released by the caller.
zr_status_t parse(const bytes &data, mp4_file **out) {
    temp_file file(data, ".mp4");
    FILE *f = std::fopen(file.path(), "rb");
    if (f == nullptr) return ZR_STATUS_IO_ERROR;
    const zr_status_t status = mp4_parse(f, out);
    std::fclose(f);
    return status;
}

zr_status_t parse_status(const bytes &data) {
    mp4_file *file = nullptr;
    const zr_status_t status = parse(data, &file);
    mp4_file_release(file);
    return status;
}

track_desc audio_track(int samples = 4) {
    track_desc t;
    for (int i = 0; i < samples; ++i) t.samples.push_back(bytes(10 + i, uint8_t(i)));
    return t;
}

const bytes kFtyp = box("ftyp", {fourcc("isom"), u32(0), fourcc("isom")});

TEST(Mp4Parser, ReadsTracksDescriptionsAndTables) {
    file_desc desc;
    track_desc t = audio_track(5);
    t.samples_per_chunk = 2;
    t.channels = 2;
    t.sample_rate = 44100;
    t.specific_info = {0x12, 0x10, 0x56, 0xE5};
    t.duration = 12345;
    desc.tracks = {t};
    mp4_file *file = nullptr;
    ASSERT_EQ(parse(build_file(desc), &file), ZR_STATUS_SUCCESS);
    ASSERT_NE(file->movie, nullptr);
    ASSERT_EQ(file->movie->track_count, 1u);
    const mp4_media &m = *file->movie->tracks[0].media;
    EXPECT_EQ(m.mdhd.timescale, 16000u);
    EXPECT_EQ(m.mdhd.duration, 12345u);
    EXPECT_STREQ(m.hdlr.handler_type, "soun");
    EXPECT_STREQ(m.hdlr.name, "track");
    ASSERT_EQ(m.stbl.description_count, 1u);
    const mp4_sample_description &d = m.stbl.descriptions[0];
    EXPECT_STREQ(d.type, "mp4a");
    EXPECT_EQ(d.channel_count, 2);
    EXPECT_EQ(d.sample_rate, 44100u);
    ASSERT_TRUE(d.has_esds);
    ASSERT_EQ(d.esds.specific_info_length, 4u);
    EXPECT_EQ(d.esds.specific_info[3], 0xE5);
    EXPECT_EQ(d.esds.object_type, 0x40);
    ASSERT_EQ(m.stbl.sample_count, 5u);
    EXPECT_EQ(m.stbl.sample_sizes[4], 14u);
    ASSERT_EQ(m.stbl.chunk_count, 3u);
    ASSERT_EQ(m.stbl.stsc_count, 2u);  // two chunks of 2, then one of 1
    EXPECT_EQ(m.stbl.samples_per_chunk[1], 1u);
    EXPECT_EQ(file->fragment_count, 0u);
    mp4_file_release(file);
}

TEST(Mp4Parser, EsdsFlags) {
    for (uint8_t flags : {0x00, 0x80, 0x20, 0xA0}) {
        file_desc desc;
        track_desc t = audio_track();
        t.es_flags = flags;
        desc.tracks = {t};
        mp4_file *file = nullptr;
        ASSERT_EQ(parse(build_file(desc), &file), ZR_STATUS_SUCCESS) << int(flags);
        const mp4_es_descriptor &es = file->movie->tracks[0].media->stbl.descriptions[0].esds;
        EXPECT_EQ(es.depends_on_es_id, (flags & 0x80) ? 2 : 0);
        EXPECT_EQ(es.ocr_es_id, (flags & 0x20) ? 3 : 0);
        EXPECT_EQ(es.specific_info_length, 2u);
        mp4_file_release(file);
    }
    // A stream given by URL lives outside the file.
    file_desc desc;
    track_desc t = audio_track();
    t.es_flags = 0x40;
    desc.tracks = {t};
    EXPECT_EQ(parse_status(build_file(desc)), ZR_STATUS_INVALID_ARGUMENT);
}

TEST(Mp4Parser, EsdsDescriptorsOutOfOrderOrOverlong) {
    auto with_esds = [](const bytes &esds_box) {
        const bytes entry = box("mp4a", {bytes(6, 0), u16(1), bytes(8, 0), u16(1), u16(16), u32(0),
                                         u32(16000u << 16), esds_box});
        const bytes stbl = box("stbl", {full_box("stsd", 0, 0, {u32(1), entry})});
        const bytes hdlr = full_box("hdlr", 0, 0, {u32(0), fourcc("soun"), bytes(12, 0), u8(0)});
        return join({kFtyp, box("moov", {box("trak", {box("mdia", {hdlr, box("minf", {stbl})})})})});
    };
    const bytes dsi = {5, 2, 0x14, 0x08};
    const bytes config = join({u8(4), u8(15), u8(0x40), u8(0x15), u24(0), u32(0), u32(0), dsi});
    const bytes es_body = join({u16(1), u8(0), config});
    // Well formed, then each tag wrong in turn.
    EXPECT_EQ(parse_status(with_esds(full_box("esds", 0, 0, {u8(3), u8(20), es_body}))),
              ZR_STATUS_SUCCESS);
    EXPECT_EQ(parse_status(with_esds(full_box("esds", 0, 0, {u8(4), u8(20), es_body}))),
              ZR_STATUS_INVALID_ARGUMENT);
    bytes wrong_config = es_body;
    wrong_config[3] = 5;
    EXPECT_EQ(parse_status(with_esds(full_box("esds", 0, 0, {u8(3), u8(20), wrong_config}))),
              ZR_STATUS_INVALID_ARGUMENT);
    bytes wrong_dsi = es_body;
    wrong_dsi[3 + 15] = 6;
    EXPECT_EQ(parse_status(with_esds(full_box("esds", 0, 0, {u8(3), u8(20), wrong_dsi}))),
              ZR_STATUS_INVALID_ARGUMENT);
    // Decoder-specific information claiming more bytes than the box holds.
    bytes long_dsi = es_body;
    long_dsi[3 + 16] = 0x7F;
    EXPECT_EQ(parse_status(with_esds(full_box("esds", 0, 0, {u8(3), u8(20), long_dsi}))),
              ZR_STATUS_INVALID_ARGUMENT);
    // A four-byte expandable length (top bits set on the first three).
    bytes wide_dsi = join({u16(1), u8(0), u8(4), u8(0x80), u8(0x80), u8(0x80), u8(15), u8(0x40),
                           u8(0x15), u24(0), u32(0), u32(0), u8(5), u8(0x80), u8(0x80), u8(0x80),
                           u8(2), u8(0x14), u8(0x08)});
    mp4_file *file = nullptr;
    ASSERT_EQ(parse(with_esds(full_box("esds", 0, 0, {u8(3), u8(30), wide_dsi})), &file),
              ZR_STATUS_SUCCESS);
    EXPECT_EQ(file->movie->tracks[0].media->stbl.descriptions[0].esds.specific_info_length, 2u);
    mp4_file_release(file);
    // Cut inside the ES descriptor.
    EXPECT_EQ(parse_status(with_esds(full_box("esds", 0, 0, {u8(3), u8(20), u16(1)}))),
              ZR_STATUS_INVALID_ARGUMENT);
}

TEST(Mp4Parser, SampleSizeLayouts) {
    struct layout {
        std::string box;
        uint8_t bits;
        bool common;
    };
    for (const layout &l : {layout{"stsz", 0, false}, layout{"stsz", 0, true},
                            layout{"stz2", 16, false}, layout{"stz2", 8, false},
                            layout{"stz2", 4, false}}) {
        file_desc desc;
        track_desc t;
        const int n = 7;  // odd, so the last 4-bit size sits alone in its byte
        for (int i = 0; i < n; ++i) t.samples.push_back(bytes(l.common ? 9 : 1 + i * 2, 0));
        t.size_box = l.box;
        t.stz2_field_bits = l.bits;
        t.common_size = l.common;
        desc.tracks = {t};
        mp4_file *file = nullptr;
        ASSERT_EQ(parse(build_file(desc), &file), ZR_STATUS_SUCCESS) << l.box << int(l.bits);
        const mp4_sample_table_boxes &s = file->movie->tracks[0].media->stbl;
        ASSERT_EQ(s.sample_count, uint32_t(n));
        if (l.common) {
            EXPECT_EQ(s.common_size, 9u);
        } else {
            for (int i = 0; i < n; ++i) EXPECT_EQ(s.sample_sizes[i], uint32_t(1 + i * 2)) << i;
        }
        mp4_file_release(file);
    }
    file_desc desc;
    track_desc t = audio_track();
    t.size_box = "stz2";
    t.stz2_field_bits = 12;
    desc.tracks = {t};
    EXPECT_EQ(parse_status(build_file(desc)), ZR_STATUS_INVALID_ARGUMENT);
}

TEST(Mp4Parser, MediaHeaderVersions) {
    for (uint8_t version : {0, 1}) {
        file_desc desc;
        track_desc t = audio_track();
        t.mdhd_version = version;
        t.timescale = 44100;
        t.duration = version == 1 ? (uint64_t{1} << 40) + 7 : 4000000000u;
        desc.tracks = {t};
        mp4_file *file = nullptr;
        ASSERT_EQ(parse(build_file(desc), &file), ZR_STATUS_SUCCESS);
        EXPECT_EQ(file->movie->tracks[0].media->mdhd.timescale, 44100u);
        EXPECT_EQ(file->movie->tracks[0].media->mdhd.duration, t.duration);
        mp4_file_release(file);
    }
}

TEST(Mp4Parser, HandlerAfterMediaInformationIsRefused) {
    file_desc desc;
    track_desc t = audio_track();
    t.hdlr_after_minf = true;
    desc.tracks = {t};
    EXPECT_EQ(parse_status(build_file(desc)), ZR_STATUS_RUNTIME_ERROR);
}

TEST(Mp4Parser, EditListsBothVersions) {
    for (uint8_t version : {0, 1}) {
        file_desc desc;
        track_desc t = audio_track();
        t.with_edts = true;
        t.elst_version = version;
        t.edit_media_times = {-1, 2048};
        desc.tracks = {t};
        mp4_file *file = nullptr;
        ASSERT_EQ(parse(build_file(desc), &file), ZR_STATUS_SUCCESS);
        const mp4_trak &trak = file->movie->tracks[0];
        ASSERT_TRUE(trak.has_edit_list);
        ASSERT_EQ(trak.edit_count, 2u);
        EXPECT_EQ(trak.edits[0].media_time, -1);
        EXPECT_EQ(trak.edits[1].media_time, 2048);
        EXPECT_EQ(trak.edits[1].segment_duration, 1000u);
        EXPECT_EQ(trak.edits[1].media_rate_integer, 1);
        mp4_file_release(file);
    }
}

TEST(Mp4Parser, TopLevelWalk) {
    file_desc desc;
    desc.tracks = {audio_track()};
    const bytes file = build_file(desc);
    // Boxes after the movie, of any type, and a last box reaching to the end
    // (length 0) are passed over.
    EXPECT_EQ(parse_status(join({file, box("free", {bytes(5, 0)})})), ZR_STATUS_SUCCESS);
    EXPECT_EQ(parse_status(join({file, u32(0), fourcc("mdat"), bytes(40, 1)})), ZR_STATUS_SUCCESS);
    // A 64-bit length.
    EXPECT_EQ(parse_status(join({kFtyp, u32(1), fourcc("free"), u64(20), bytes(4, 0), file})),
              ZR_STATUS_SUCCESS);
    // A top-level box shorter than its header cannot be stepped over.
    EXPECT_EQ(parse_status(join({kFtyp, u32(4), fourcc("free"), file})), ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(parse_status(join({kFtyp, u32(1), fourcc("free"), u64(12), file})),
              ZR_STATUS_INVALID_ARGUMENT);
    // A box reaching past the end of the file ends the walk.
    mp4_file *parsed = nullptr;
    ASSERT_EQ(parse(join({kFtyp, u32(1000), fourcc("mdat"), file}), &parsed), ZR_STATUS_SUCCESS);
    EXPECT_EQ(parsed->movie, nullptr);
    mp4_file_release(parsed);
    // A second movie.
    const bytes moov = box("moov", {full_box("mvhd", 0, 0, {bytes(96, 0)})});
    EXPECT_EQ(parse_status(join({file, moov})), ZR_STATUS_INVALID_ARGUMENT);
    // A movie longer than the file, and one beyond the buffer limit.
    EXPECT_EQ(parse_status(join({kFtyp, u32(500), fourcc("moov"), bytes(20, 0)})),
              ZR_STATUS_IO_ERROR);
    EXPECT_EQ(parse_status(join({kFtyp, u32(1), fourcc("moov"), u64(kMp4MaxBufferedBox + 1),
                                 bytes(20, 0)})),
              ZR_STATUS_INVALID_ARGUMENT);
    // No movie at all is not a parse failure.
    ASSERT_EQ(parse(kFtyp, &parsed), ZR_STATUS_SUCCESS);
    EXPECT_EQ(parsed->movie, nullptr);
    mp4_file_release(parsed);
}

TEST(Mp4Parser, ChildLengthsStayInsideTheirBox) {
    const bytes mvhd = full_box("mvhd", 0, 0, {bytes(96, 0)});
    // Children whose lengths are 0, shorter than a header, or beyond the
    // parent.
    for (uint32_t length : {0u, 4u, 200u}) {
        const bytes moov = box("moov", {mvhd, u32(length), fourcc("trak"), bytes(8, 0)});
        EXPECT_EQ(parse_status(join({kFtyp, moov})), ZR_STATUS_INVALID_ARGUMENT) << length;
    }
    // Fewer than 8 bytes left over after the last child are ignored.
    EXPECT_EQ(parse_status(join({kFtyp, box("moov", {mvhd, bytes(4, 0)})})), ZR_STATUS_SUCCESS);
}

TEST(Mp4Parser, CountsBeyondTheirBoxAreRefused) {
    auto with_stbl_box = [](const bytes &table_box) {
        const bytes hdlr = full_box("hdlr", 0, 0, {u32(0), fourcc("soun"), bytes(12, 0), u8(0)});
        const bytes stbl = box("stbl", {table_box});
        return join({kFtyp, box("moov", {box("trak", {box("mdia", {hdlr, box("minf", {stbl})})})})});
    };
    const uint32_t huge = 0x40000000;
    EXPECT_EQ(parse_status(with_stbl_box(full_box("stsc", 0, 0, {u32(huge), bytes(24, 0)}))),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(parse_status(with_stbl_box(full_box("stsz", 0, 0, {u32(0), u32(huge), bytes(8, 0)}))),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(parse_status(with_stbl_box(full_box("stz2", 0, 0, {u24(0), u8(4), u32(huge), bytes(8, 0)}))),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(parse_status(with_stbl_box(full_box("stco", 0, 0, {u32(huge), bytes(8, 0)}))),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(parse_status(with_stbl_box(full_box("co64", 0, 0, {u32(3), u64(1), u64(2)}))),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(parse_status(with_stbl_box(full_box("stsd", 0, 0, {u32(huge)}))),
              ZR_STATUS_INVALID_ARGUMENT);
    // A common sample size needs no list: a large count is left to the table.
    EXPECT_EQ(parse_status(with_stbl_box(full_box("stsz", 0, 0, {u32(4), u32(huge)}))),
              ZR_STATUS_SUCCESS);
    // An audio description too short for its fields.
    EXPECT_EQ(parse_status(with_stbl_box(full_box("stsd", 0, 0, {u32(1), box("mp4a", {bytes(20, 0)})}))),
              ZR_STATUS_INVALID_ARGUMENT);
    // A table given twice.
    const bytes stco = full_box("stco", 0, 0, {u32(1), u32(8)});
    EXPECT_EQ(parse_status(with_stbl_box(join({stco, stco}))), ZR_STATUS_INVALID_ARGUMENT);
}

TEST(Mp4Parser, FragmentsAreRead) {
    file_desc desc;
    desc.tracks = {audio_track(0)};
    desc.fragments = {{1, {bytes(5, 1), bytes(6, 2)}, 1024}, {2, {bytes(7, 3)}, 512}};
    mp4_file *file = nullptr;
    ASSERT_EQ(parse(build_file(desc), &file), ZR_STATUS_SUCCESS);
    ASSERT_TRUE(file->movie->has_mvex);
    ASSERT_EQ(file->movie->trex_count, 1u);
    ASSERT_EQ(file->fragment_count, 2u);
    const mp4_fragment &f = file->fragments[1];
    EXPECT_EQ(f.sequence_number, 2u);
    ASSERT_EQ(f.traf_count, 1u);
    EXPECT_EQ(f.trafs[0].tfhd.track_id, 1u);
    ASSERT_EQ(f.trafs[0].run_count, 1u);
    const mp4_trun &run = f.trafs[0].runs[0];
    EXPECT_EQ(run.sample_count, 1u);
    EXPECT_TRUE(run.data_offset_present);
    EXPECT_EQ(run.sizes[0], 7u);
    EXPECT_EQ(run.durations[0], 512u);
    EXPECT_EQ(run.sample_flags, nullptr);
    mp4_file_release(file);
}

TEST(Mp4Parser, BrokenFragmentsAreRefused) {
    const bytes tfhd = full_box("tfhd", 0, 0, {u32(1)});
    const bytes mfhd = full_box("mfhd", 0, 0, {u32(1)});
    const bytes trun = full_box("trun", 0, 0x200, {u32(2), u32(4), u32(4)});
    EXPECT_EQ(parse_status(join({kFtyp, box("moof", {mfhd, box("traf", {tfhd, trun})})})),
              ZR_STATUS_SUCCESS);
    // No sequence number, no track fragment header.
    EXPECT_EQ(parse_status(join({kFtyp, box("moof", {box("traf", {tfhd, trun})})})),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(parse_status(join({kFtyp, box("moof", {mfhd, box("traf", {trun})})})),
              ZR_STATUS_INVALID_ARGUMENT);
    // Per-sample fields for more samples than the run holds.
    const bytes long_run = full_box("trun", 0, 0x300, {u32(1000), u32(4), u32(4)});
    EXPECT_EQ(parse_status(join({kFtyp, box("moof", {mfhd, box("traf", {tfhd, long_run})})})),
              ZR_STATUS_INVALID_ARGUMENT);
    // Optional header fields announced but cut off.
    EXPECT_EQ(parse_status(join({kFtyp, box("moof", {mfhd, box("traf", {full_box("tfhd", 0, 0x3B, {u32(1)})})})})),
              ZR_STATUS_INVALID_ARGUMENT);
}

TEST(Mp4Parser, HostileCountsCostLittleMemory) {
    // A run declaring four billion samples but storing none of their fields
    // allocates nothing per sample.
    const bytes mfhd = full_box("mfhd", 0, 0, {u32(1)});
    const bytes tfhd = full_box("tfhd", 0, 0x10, {u32(1), u32(1)});
    const bytes trun = full_box("trun", 0, 0x1, {u32(0xFFFFFFFF), u32(0)});
    const bytes data = join({kFtyp, box("moof", {mfhd, box("traf", {tfhd, trun})})});
    alloc_fail_at(0);
    EXPECT_EQ(parse_status(data), ZR_STATUS_SUCCESS);
    EXPECT_LE(alloc_largest(), 16 * data.size());
}

TEST(Mp4Parser, ManyEmptyBoxesCostLittleMemory) {
    // Empty tracks, track fragments and descriptions: each record costs a
    // bounded multiple of the bytes that declare it.
    std::vector<bytes> traks(20000, box("trak", {}));
    const bytes movie = join({kFtyp, box("moov", traks)});
    alloc_fail_at(0);
    mp4_file *file = nullptr;
    ASSERT_EQ(parse(movie, &file), ZR_STATUS_SUCCESS);
    EXPECT_EQ(file->movie->track_count, 20000u);
    mp4_file_release(file);
    EXPECT_LE(alloc_largest(), 16 * movie.size());

    const bytes tfhd = full_box("tfhd", 0, 0, {u32(1)});
    std::vector<bytes> trafs(5000, box("traf", {tfhd}));
    trafs.push_back(full_box("mfhd", 0, 0, {u32(1)}));
    const bytes fragment = join({kFtyp, box("moof", trafs)});
    alloc_fail_at(0);
    ASSERT_EQ(parse(fragment, &file), ZR_STATUS_SUCCESS);
    mp4_file_release(file);
    EXPECT_LE(alloc_largest(), 16 * fragment.size());
}

TEST(Mp4Parser, EveryAllocationFailureIsReported) {
    file_desc desc;
    track_desc t = audio_track(6);
    t.with_edts = true;
    t.edit_media_times = {-1, 0};
    track_desc video = audio_track(2);
    video.handler = "vide";
    video.entry = "avc1";
    desc.tracks = {video, t};
    const bytes data = build_file(desc);
    temp_file file(data, ".mp4");
    for (int64_t k = 1;; ++k) {
        FILE *f = std::fopen(file.path(), "rb");
        ASSERT_NE(f, nullptr);
        mp4_file *parsed = nullptr;
        alloc_fail_at(k);
        const zr_status_t status = mp4_parse(f, &parsed);
        const bool failed_one = alloc_count() >= k;
        alloc_fail_at(0);
        std::fclose(f);
        mp4_file_release(parsed);
        if (!failed_one) {
            EXPECT_EQ(status, ZR_STATUS_SUCCESS);
            break;
        }
        EXPECT_EQ(status, ZR_STATUS_OUT_OF_MEMORY) << "allocation " << k;
        EXPECT_EQ(parsed, nullptr);
    }
}

}  // namespace
