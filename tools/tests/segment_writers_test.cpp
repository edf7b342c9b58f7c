// The diarize output formats.
#include <gtest/gtest.h>

#include "cli/segment_writers.h"
#include "cli/wav_writer.h"

namespace {

std::vector<file_diarization> two_files() {
    file_diarization ok;
    ok.path = "/data/talks/meeting.one.flac";
    // Times as the library stores them: frame start times in float32.
    ok.segments = {{0.0f, 0.064f, 1}, {0.096f, 0.096f, 2}, {0.128f, 1234.56f, 1}};
    ok.speakers = {{1, 1234.528f, {0.6f, -0.8f, 1.0f / 3.0f}}, {2, 0.032f, {0.0f, 1e-10f, -1.0f}}};
    file_diarization failed;
    failed.path = "missing \"x\".wav";
    failed.status = ZR_STATUS_IO_ERROR;
    return {ok, failed};
}

TEST(SegmentWriters, RecordingNameDropsDirectoryAndExtension) {
    EXPECT_EQ(recording_uri("/data/talks/meeting.one.flac"), "meeting.one");
    EXPECT_EQ(recording_uri("plain"), "plain");
    EXPECT_EQ(recording_uri("dir.d/.hidden"), ".hidden");
}

TEST(SegmentWriters, RttmSpansCoverTheLastFrame) {
    EXPECT_EQ(format_rttm(two_files()),
              "SPEAKER meeting.one 1 0.000 0.096 <NA> <NA> speaker1 <NA> <NA>\n"
              "SPEAKER meeting.one 1 0.096 0.032 <NA> <NA> speaker2 <NA> <NA>\n"
              "SPEAKER meeting.one 1 0.128 1234.464 <NA> <NA> speaker1 <NA> <NA>\n");
}

TEST(SegmentWriters, JsonListsEveryFileWithItsStatus) {
    EXPECT_EQ(format_json(two_files()),
              "{\n"
              "  \"files\": [\n"
              "    {\n"
              "      \"path\": \"/data/talks/meeting.one.flac\",\n"
              "      \"uri\": \"meeting.one\",\n"
              "      \"status\": \"SUCCESS\",\n"
              "      \"num_speakers\": 2,\n"
              "      \"segments\": [\n"
              "        {\"onset\": 0.000, \"duration\": 0.096, \"speaker\": \"speaker1\", \"label\": 1},\n"
              "        {\"onset\": 0.096, \"duration\": 0.032, \"speaker\": \"speaker2\", \"label\": 2},\n"
              "        {\"onset\": 0.128, \"duration\": 1234.464, \"speaker\": \"speaker1\", \"label\": 1}\n"
              "      ],\n"
              "      \"speaker_count_met\": true,\n"
              "      \"speakers\": [\n"
              "        {\"label\": 1, \"speaker\": \"speaker1\", \"seconds\": 1234.528, "
              "\"embedding\": [0.600000024, -0.800000012, 0.333333343]},\n"
              "        {\"label\": 2, \"speaker\": \"speaker2\", \"seconds\": 0.032, "
              "\"embedding\": [0, 1.00000001e-10, -1]}\n"
              "      ]\n"
              "    },\n"
              "    {\n"
              "      \"path\": \"missing \\\"x\\\".wav\",\n"
              "      \"uri\": \"missing \\\"x\\\"\",\n"
              "      \"status\": \"IO_ERROR\"\n"
              "    }\n"
              "  ]\n"
              "}\n");
    file_diarization silent;
    silent.path = "a\tb\x01.wav";
    silent.speaker_count_met = false;
    EXPECT_EQ(format_json({silent}),
              "{\n  \"files\": [\n    {\n      \"path\": \"a\\tb\\u0001.wav\",\n"
              "      \"uri\": \"a\\tb\\u0001\",\n      \"status\": \"SUCCESS\",\n"
              "      \"num_speakers\": 0,\n      \"segments\": [],\n"
              "      \"speaker_count_met\": false,\n      \"speakers\": []\n    }\n  ]\n}\n");
    EXPECT_EQ(format_json({}), "{\n  \"files\": []\n}\n");
}

TEST(SegmentWriters, TextTable) {
    EXPECT_EQ(format_text(two_files()),
              "/data/talks/meeting.one.flac: 2 speakers, 3 segments\n"
              "       start        end   duration  speaker\n"
              "       0.000      0.096      0.096  speaker1\n"
              "       0.096      0.128      0.032  speaker2\n"
              "       0.128   1234.592   1234.464  speaker1\n"
              "\n"
              "missing \"x\".wav: failed (IO_ERROR)\n\n");
}

TEST(WavWriter, CanonicalHeaderAndLittleEndianSamples) {
    const int16_t samples[3] = {1, -2, 0x1234};
    const std::vector<uint8_t> bytes = wav_file_bytes(samples, 3, 16000, 1);
    ASSERT_EQ(bytes.size(), 50u);
    const std::vector<uint8_t> expected = {
        'R', 'I', 'F', 'F', 42, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16, 0, 0, 0,
        1, 0, 1, 0, 0x80, 0x3E, 0, 0, 0x00, 0x7D, 0, 0, 2, 0, 16, 0, 'd', 'a', 't', 'a', 6, 0, 0, 0,
        1, 0, 0xFE, 0xFF, 0x34, 0x12};
    EXPECT_EQ(bytes, expected);

    std::string error;
    EXPECT_FALSE(write_wav_file("/nonexistent-dir/out.wav", samples, 3, 16000, 1, error));
    EXPECT_EQ(error, "cannot create /nonexistent-dir/out.wav");
}

}  // namespace
