// Reading RTTM and UEM files, and scoring the shared references.
#include <gtest/gtest.h>

#include <filesystem>

#include "scoring/der.h"
#include "scoring/rttm.h"

namespace {

TEST(RttmParsing, SpeakerLinesOnly) {
    const std::string text =
        ";; comment\n"
        "\n"
        "SPEAKER rec1 1 1.440 11.872 <NA> <NA> MEE009 <NA> <NA>\n"
        "SPKR-INFO rec1 1 <NA> <NA> <NA> unknown MEE009 <NA> <NA>\n"
        "SPEAKER rec1 1 13.152 0.000 <NA> <NA> MEE012 <NA> <NA>\n"
        "  SPEAKER   rec2 1 0.5 2 <NA> <NA> M\xC3\x89O069\n";
    turn_table turns;
    std::string error;
    ASSERT_TRUE(parse_rttm(text, turns, error)) << error;
    ASSERT_EQ(turns.size(), 2u);
    ASSERT_EQ(turns["rec1"].size(), 1u);  // the zero-length turn is dropped
    EXPECT_EQ(turns["rec1"][0].speaker, "MEE009");
    EXPECT_EQ(turns["rec1"][0].start, 1440000);
    EXPECT_EQ(turns["rec1"][0].end, 13312000);
    ASSERT_EQ(turns["rec2"].size(), 1u);
    EXPECT_EQ(turns["rec2"][0].speaker, "M\xC3\x89O069");
    EXPECT_EQ(turns["rec2"][0].end, 2500000);
}

TEST(RttmParsing, MalformedLinesNameTheLine) {
    const struct {
        const char *text;
        const char *error;
    } cases[] = {
        {"SPEAKER a 1 0.0 1.0 <NA> <NA>\n", "line 1: expected at least 8 fields in a SPEAKER line"},
        {"\nSPEAKER a 1 x 1.0 <NA> <NA> s\n", "line 2: onset and duration must be numbers"},
        {"SPEAKER a 1 1.0 1.0e400 <NA> <NA> s\n", "line 1: onset and duration must be numbers"},
        {"SPEAKER a 1 nan 1 <NA> <NA> s\n", "line 1: onset and duration must be numbers"},
        {"SPEAKER a 1 2.0 -1.0 <NA> <NA> s\n", "line 1: negative onset or duration"},
    };
    for (const auto &c : cases) {
        turn_table turns;
        std::string error;
        EXPECT_FALSE(parse_rttm(c.text, turns, error)) << c.text;
        EXPECT_EQ(error, c.error);
    }
}

TEST(UemParsing, RegionsPerRecording) {
    region_table regions;
    std::string error;
    ASSERT_TRUE(parse_uem("dev00 NA 0.000 30.000\ndev00 1 40 45.5\n# note\ndev01 NA 2 2\n", regions, error));
    ASSERT_EQ(regions["dev00"].size(), 2u);
    EXPECT_EQ(regions["dev00"][1].start, 40000000);
    EXPECT_EQ(regions["dev00"][1].end, 45500000);
    EXPECT_TRUE(regions["dev01"].empty());  // listed, but nothing to score

    EXPECT_FALSE(parse_uem("dev00 NA 5 3\n", regions, error));
    EXPECT_EQ(error, "line 1: start and end must be numbers with 0 <= start <= end");
    EXPECT_FALSE(parse_uem("dev00 NA 5\n", regions, error));
}

TEST(RttmParsing, SharedReferencesScoreZeroAgainstThemselves) {
    const std::filesystem::path dir = std::filesystem::path(QUORVA_DATA_DIR) / "conversations";
    if (!std::filesystem::exists(dir)) GTEST_SKIP() << "speech data not found at " << dir;
    int scored_files = 0;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(dir)) {
        if (entry.path().extension() != ".rttm") continue;
        std::string text, error;
        turn_table turns;
        ASSERT_TRUE(read_text_file(entry.path().string(), text, error)) << error;
        ASSERT_TRUE(parse_rttm(text, turns, error)) << entry.path() << ": " << error;
        for (const time_us collar : {time_us{0}, time_us{250000}}) {
            der_options options;
            options.collar = collar;
            const der_report r = score_turns(turns, turns, options);
            EXPECT_GT(r.total.scored_speech, 0) << entry.path();
            EXPECT_EQ(r.total.errors(), 0) << entry.path();
        }
        ++scored_files;
    }
    EXPECT_GT(scored_files, 0);
}

}  // namespace
