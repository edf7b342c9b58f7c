// Ogg and WebM fixtures for the reader tests, made at test time by real
// encoders (opusenc, oggenc, ffmpeg, mkvmerge) from a short excerpt of a
// speech recording in the shared data, and hand-made Ogg streams for the
// damaged cases. Encoded files are made once per process.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/audio_fixtures.h"  // read_file_bytes

struct fixture {
    std::string path;    // the file; empty when it could not be made
    std::string reason;  // why not
    bool missing_input = false;  // a tool or the data is absent: skip, not fail
};

// Skips the test when the fixture's tools or data are absent, fails it when
// an encoder that is present did not produce the file.
#define REQUIRE_FIXTURE(f)                                  \
    do {                                                    \
        if ((f).path.empty()) {                             \
            if ((f).missing_input) GTEST_SKIP() << (f).reason; \
            FAIL() << (f).reason;                           \
        }                                                   \
    } while (0)

// 3 s of speech, 16 kHz mono 16-bit WAV.
fixture speech_wav();
// Ogg Opus whose header gives `rate` (16000 or 48000). Stereo fixtures carry
// the speech on the left and -0.5 times it on the right.
fixture ogg_opus_fixture(int rate, int channels);
// 48 kHz stereo Ogg Opus in 120 ms packets, the longest there are, made by
// ffmpeg's libopus encoder (opusenc stops at 60 ms).
fixture ogg_opus_long_packet_fixture();
fixture ogg_vorbis_fixture(int channels);
// WebM remuxed by ffmpeg from the 48 kHz stereo Ogg Opus fixture: same packets.
fixture webm_opus_fixture();
// WebM remuxed by mkvmerge from the stereo Ogg Vorbis fixture.
fixture webm_vorbis_fixture();
// WebM with a VP8 test pattern as track 1 and the 48 kHz mono Opus fixture's
// packets as track 2.
fixture webm_video_first_fixture();

// The packets of the first logical stream of an Ogg file, in order, with
// their granule positions and end-of-stream flags when asked for.
std::vector<std::vector<uint8_t>> ogg_packets_of(const std::string &path,
                                                 std::vector<int64_t> *granules = nullptr,
                                                 std::vector<bool> *ends = nullptr);

// An Ogg stream with one packet per page: the first page opens the stream,
// the last closes it; `granule` advances by 960 per packet.
std::vector<uint8_t> make_ogg_stream(const std::vector<std::vector<uint8_t>> &packets,
                                     int serial = 0x5157);

// An Opus identification header of the given fields (19 bytes).
std::vector<uint8_t> opus_id_header(int channels, uint32_t rate);

// What a reader gives for one file through its operations: open, then reads
// of `chunk` frames (the last one shorter) until num_frames are delivered,
// then one read past the end. The handle is closed in every case.
struct audio_reader_ops;
struct reader_run {
    int open_status = -1;
    uint64_t num_frames = 0;
    int32_t sample_rate = 0;
    int32_t channels = 0;
    std::vector<int16_t> samples;  // what the reads delivered
    int read_status = -1;          // the first failing read's status, or 0
    int past_end_status = -1;      // the read of one frame past the end
};
reader_run run_reader(const audio_reader_ops &ops, const std::string &path, int32_t chunk = 1024);

// Reference decodes, made straight with libopus and libvorbis from the
// packets of an Ogg file: every audio packet, mixed to mono by the integer
// rule (Opus) or the float rule and 16-bit scaling (Vorbis). With
// `granules`, the Vorbis packets carry their Ogg granule positions, from
// which libvorbis trims the end of the stream; a WebM track has none.
std::vector<int16_t> opus_reference(const std::string &path);
std::vector<int16_t> vorbis_reference(const std::string &path, bool granules);
