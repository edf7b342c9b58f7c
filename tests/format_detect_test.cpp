// Format detection on the first bytes of a file, and the bounds of the ISO
// box test.
// Built only with the file readers.
#if QUORVA_WITH_FILE_READERS
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "audio/format_detect.h"
#include "common/alloc.h"
#include "support/model_writer.h"

namespace {

std::vector<uint8_t> bytes_with(std::initializer_list<std::pair<size_t, std::string>> parts,
                                size_t size = 64) {
    std::vector<uint8_t> bytes(size, 0);
    for (const auto &[offset, text] : parts) std::memcpy(bytes.data() + offset, text.data(), text.size());
    return bytes;
}

audio_format detect(const std::vector<uint8_t> &bytes) {
    return detect_audio_format(bytes.data(), bytes.size());
}

void put_be32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// An ftyp box with a major brand and compatible brands, padded to 64 bytes.
std::vector<uint8_t> ftyp(const std::string &major, const std::vector<std::string> &compatible) {
    std::vector<uint8_t> b(8);
    std::memcpy(b.data() + 4, "ftyp", 4);
    b.insert(b.end(), major.begin(), major.end());
    b.insert(b.end(), {0, 0, 2, 0});
    for (const auto &brand : compatible) b.insert(b.end(), brand.begin(), brand.end());
    put_be32(b, 0, static_cast<uint32_t>(b.size()));
    b.resize(std::max<size_t>(b.size(), 64), 0);
    return b;
}

TEST(FormatDetect, Signatures) {
    EXPECT_EQ(detect(bytes_with({{0, "ID3"}})), AUDIO_FORMAT_MP3);
    EXPECT_EQ(detect(bytes_with({{0, "\xFF\xFB"}})), AUDIO_FORMAT_MP3);
    EXPECT_EQ(detect(bytes_with({{0, "\xFF\xF3"}})), AUDIO_FORMAT_MP3);
    EXPECT_EQ(detect(bytes_with({{0, "\xFF\xFF"}})), AUDIO_FORMAT_MP3);
    EXPECT_EQ(detect(bytes_with({{0, "fLaC"}})), AUDIO_FORMAT_FLAC);
    EXPECT_EQ(detect(bytes_with({{0, "RIFF"}, {8, "WAVE"}})), AUDIO_FORMAT_WAV);
    EXPECT_EQ(detect(bytes_with({{0, "OggS"}, {28, "OpusHead"}})), AUDIO_FORMAT_OGG_OPUS);
    EXPECT_EQ(detect(bytes_with({{0, "OggS"}, {28, "\x01vorbis"}})), AUDIO_FORMAT_OGG_VORBIS);
    EXPECT_EQ(detect(bytes_with({{0, "\x1A\x45\xDF\xA3"}, {24, "webm"}})), AUDIO_FORMAT_WEBM);
    EXPECT_EQ(detect(ftyp("isom", {})), AUDIO_FORMAT_MP4);
}

TEST(FormatDetect, NearMisses) {
    EXPECT_EQ(detect(bytes_with({{0, "\xFF\xF2"}})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(bytes_with({{0, "\xFE\xFB"}})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(bytes_with({{0, "ID2"}})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(bytes_with({{0, "fLac"}})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(bytes_with({{0, "RF64"}, {8, "WAVE"}})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(bytes_with({{0, "riff"}, {8, "WAVE"}})), AUDIO_FORMAT_UNKNOWN);
    // Wave64 opens with a GUID whose first bytes spell "riff".
    EXPECT_EQ(detect(bytes_with({{0, "riff\x2E\x91\xCF\x11"}})), AUDIO_FORMAT_UNKNOWN);
    // Ogg FLAC, and Opus or Vorbis one byte off their place.
    EXPECT_EQ(detect(bytes_with({{0, "OggS"}, {28, "\x7F" "FLAC"}})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(bytes_with({{0, "OggS"}, {29, "Opus"}})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(bytes_with({{0, "OggS"}, {28, "vorbis"}})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(bytes_with({{0, "OggX"}, {28, "Opus"}})), AUDIO_FORMAT_UNKNOWN);
    // Matroska, and "webm" elsewhere than at 24.
    EXPECT_EQ(detect(bytes_with({{0, "\x1A\x45\xDF\xA3"}, {24, "matroska"}})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(bytes_with({{0, "\x1A\x45\xDF\xA3"}, {25, "webm"}})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(bytes_with({{0, "\x1A\x45\xDF\xA2"}, {24, "webm"}})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(std::vector<uint8_t>(64, 0)), AUDIO_FORMAT_UNKNOWN);
    // A valid signature on fewer than 35 bytes identifies nothing.
    EXPECT_EQ(detect(bytes_with({{0, "fLaC"}}, 34)), AUDIO_FORMAT_UNKNOWN);
}

TEST(FormatDetect, SignaturesAreTestedInOrder) {
    // An Ogg page whose packet names neither codec falls through to the tests
    // after it; a "fLaC" file that also carries "webm" at 24 stays FLAC.
    EXPECT_EQ(detect(bytes_with({{0, "fLaC"}, {24, "webm"}})), AUDIO_FORMAT_FLAC);
    EXPECT_EQ(detect(bytes_with({{0, "ID3"}, {28, "Opus"}})), AUDIO_FORMAT_MP3);
}

TEST(FormatDetect, IsoBrands) {
    for (const char *brand : {"3gp4", "3gp5", "3gp6", "iso2", "isom", "mp41", "mp42"}) {
        EXPECT_EQ(detect(ftyp(brand, {})), AUDIO_FORMAT_MP4) << brand;
        EXPECT_EQ(detect(ftyp("M4A ", {"qt  ", brand})), AUDIO_FORMAT_MP4) << brand;
    }
    EXPECT_EQ(detect(ftyp("M4A ", {"qt  "})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(ftyp("qt  ", {})), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(detect(ftyp("3gp7", {"iso3", "mp43"})), AUDIO_FORMAT_UNKNOWN);
    // The minor version is not a brand.
    std::vector<uint8_t> minor = ftyp("M4A ", {});
    std::memcpy(minor.data() + 12, "isom", 4);
    EXPECT_EQ(detect(minor), AUDIO_FORMAT_UNKNOWN);
    // Only whole brands inside the box count: one beyond the declared size,
    // or a partial last brand, does not.
    std::vector<uint8_t> beyond = ftyp("M4A ", {"qt  ", "isom"});
    put_be32(beyond, 0, 20);
    EXPECT_EQ(detect(beyond), AUDIO_FORMAT_UNKNOWN);
    put_be32(beyond, 0, 23);
    EXPECT_EQ(detect(beyond), AUDIO_FORMAT_UNKNOWN);
    put_be32(beyond, 0, 24);
    EXPECT_EQ(detect(beyond), AUDIO_FORMAT_MP4);
    // A box type other than ftyp.
    std::vector<uint8_t> moov = ftyp("isom", {});
    std::memcpy(moov.data() + 4, "moov", 4);
    EXPECT_EQ(detect(moov), AUDIO_FORMAT_UNKNOWN);
}

TEST(FormatDetect, IsoBoxBounds) {
    // Size 0 (to the end of the file), no room for brand and minor version,
    // or larger than the bound: none identifies the file.
    for (uint32_t size : {0u, 8u, 12u, 15u}) {
        std::vector<uint8_t> b = ftyp("isom", {});
        put_be32(b, 0, size);
        EXPECT_EQ(detect(b), AUDIO_FORMAT_UNKNOWN) << size;
    }
    std::vector<uint8_t> at_least = ftyp("isom", {});
    put_be32(at_least, 0, 16);
    EXPECT_EQ(detect(at_least), AUDIO_FORMAT_MP4);

    // A 64-bit size follows a size field of 1; the header is then 16 bytes.
    std::vector<uint8_t> large(64, 0);
    put_be32(large, 0, 1);
    std::memcpy(large.data() + 4, "ftyp", 4);
    put_be32(large, 12, 32);
    std::memcpy(large.data() + 16, "isom", 4);
    EXPECT_EQ(detect(large), AUDIO_FORMAT_MP4);
    put_be32(large, 12, 23);  // header + 7: no room for the minor version
    EXPECT_EQ(detect(large), AUDIO_FORMAT_UNKNOWN);
    put_be32(large, 8, 1);  // over 4 GiB
    put_be32(large, 12, 32);
    EXPECT_EQ(detect(large), AUDIO_FORMAT_UNKNOWN);
    EXPECT_EQ(ftyp_box_size(large.data(), large.size()), 0u);

    std::vector<uint8_t> over(64, 0);
    put_be32(over, 0, static_cast<uint32_t>(kMaxFirstBoxBytes + 1));
    std::memcpy(over.data() + 4, "ftypisom", 8);
    EXPECT_EQ(ftyp_box_size(over.data(), over.size()), 0u);
    put_be32(over, 0, static_cast<uint32_t>(kMaxFirstBoxBytes));
    EXPECT_EQ(ftyp_box_size(over.data(), over.size()), kMaxFirstBoxBytes);
    // Declared within the bound but longer than the bytes there are.
    EXPECT_EQ(detect(over), AUDIO_FORMAT_UNKNOWN);
}

TEST(FormatDetect, Files) {
    audio_format format = AUDIO_FORMAT_WAV;
    EXPECT_EQ(detect_file_format("/nonexistent/audio.wav", &format), ZR_STATUS_IO_ERROR);

    temp_file short_flac(bytes_with({{0, "fLaC"}}, 34), ".flac");
    EXPECT_EQ(detect_file_format(short_flac.path(), &format), ZR_STATUS_IO_ERROR);

    temp_file flac(bytes_with({{0, "fLaC"}}, 35), ".flac");
    EXPECT_EQ(detect_file_format(flac.path(), &format), ZR_STATUS_SUCCESS);
    EXPECT_EQ(format, AUDIO_FORMAT_FLAC);

    // The ISO box test reads the first box from the file, past the probe.
    std::vector<uint8_t> m4a = ftyp("M4A ", {"qt  ", "mp42", "isom"});
    EXPECT_GT(m4a.size(), 35u);
    temp_file mp4(m4a, ".m4a");
    EXPECT_EQ(detect_file_format(mp4.path(), &format), ZR_STATUS_SUCCESS);
    EXPECT_EQ(format, AUDIO_FORMAT_MP4);

    // A box that claims more than the file holds.
    std::vector<uint8_t> cut = ftyp("M4A ", {"qt  ", "isom"});
    put_be32(cut, 0, 4096);
    temp_file truncated(cut, ".m4a");
    EXPECT_EQ(detect_file_format(truncated.path(), &format), ZR_STATUS_SUCCESS);
    EXPECT_EQ(format, AUDIO_FORMAT_UNKNOWN);

    // The box buffer is the test's only allocation.
    alloc_fail_at(1);
    EXPECT_EQ(detect_file_format(mp4.path(), &format), ZR_STATUS_OUT_OF_MEMORY);
    alloc_fail_at(0);
}

}  // namespace

#endif  // QUORVA_WITH_FILE_READERS
