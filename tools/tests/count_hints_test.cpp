// Speaker-count hints with the shipped model on real and simulated
// conversations whose speaker counts are known: the count is met, and the
// true count does not make AMI worse.
#if QUORVA_WITH_FILE_READERS
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "scoring/der.h"
#include "scoring/rttm.h"
#include "zr_quorva.h"

namespace {

const std::string kData = QUORVA_DATA_DIR;
const std::string kModel = std::string(QUORVA_SOURCE_DIR) + "/models/default.zr";

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

turn_table read_table(const std::string &path) {
    std::string text, error;
    turn_table turns;
    EXPECT_TRUE(read_text_file(path, text, error)) << error;
    EXPECT_TRUE(parse_rttm(text, turns, error)) << error;
    return turns;
}

size_t speakers_of(const std::vector<speaker_turn> &turns) {
    std::set<std::string> names;
    for (const speaker_turn &t : turns) names.insert(t.speaker);
    return names.size();
}

struct hinted_run {
    std::vector<speaker_turn> turns;
    int32_t speakers = 0;
    bool count_met = false;
};

hinted_run diarize(zr_quorva_t *engine, const std::string &path, int32_t num_speakers) {
    zr_quorva_options_t o;
    zr_quorva_options_init(&o);
    o.num_speakers = num_speakers;
    zr_quorva_result_t *r = nullptr;
    hinted_run run;
    EXPECT_EQ(zr_quorva_process_file_with_options(engine, path.c_str(), &o, &r), ZR_STATUS_SUCCESS) << path;
    if (r == nullptr) return run;
    for (int32_t i = 0; i < r->num_segments; ++i) {
        const zr_quorva_segment_t &s = r->segments[i];
        run.turns.push_back({"speaker" + std::to_string(s.speaker_label), seconds_to_us(s.start_seconds),
                             seconds_to_us(s.end_seconds + 0.032)});
    }
    run.speakers = r->num_speakers;
    run.count_met = r->speaker_count_met != 0;
    zr_quorva_result_delete(r);
    return run;
}

struct engine_holder {
    zr_quorva_t *engine = nullptr;
    engine_holder() { EXPECT_EQ(zr_quorva_init(kModel.c_str(), &engine), ZR_STATUS_SUCCESS); }
    ~engine_holder() { zr_quorva_delete(engine); }
};

TEST(CountHints, TheTrueCountOnAmiMeetingsIsMetAndNoWorse) {
    const std::string ami = kData + "/conversations/ami";
    if (!exists(ami + "/dev00.flac")) GTEST_SKIP() << "no AMI excerpts in " << ami;
    engine_holder h;
    const turn_table reference = read_table(ami + "/debug.development.rttm");
    std::string text, error;
    region_table uem;
    ASSERT_TRUE(read_text_file(ami + "/debug.development.uem", text, error) && parse_uem(text, uem, error));
    turn_table plain, hinted;
    for (const auto &[uri, turns] : reference) {
        const int32_t k = static_cast<int32_t>(speakers_of(turns));
        plain[uri] = diarize(h.engine, ami + "/" + uri + ".flac", 0).turns;
        const hinted_run run = diarize(h.engine, ami + "/" + uri + ".flac", k);
        EXPECT_TRUE(run.count_met) << uri;
        EXPECT_EQ(run.speakers, k) << uri;
        EXPECT_EQ(speakers_of(run.turns), static_cast<size_t>(k)) << uri;
        hinted[uri] = run.turns;
    }
    der_options options;
    options.collar = seconds_to_us(0.25);
    options.uem = uem;
    const double without = score_turns(reference, plain, options).total.der_percent();
    const double with = score_turns(reference, hinted, options).total.der_percent();
    EXPECT_LE(with, without);
    std::printf("AMI dev DER (collar 0.25): %.2f without the count, %.2f with it\n", without, with);
}

TEST(CountHints, TwoSpeakerConversationsGetTwoSpeakers) {
    const std::string dir = kData + "/conversations/libri2mix";
    if (!exists(dir + "/train-clean-2mix-0000.flac")) GTEST_SKIP() << "no libri2mix files in " << dir;
    engine_holder h;
    for (int i = 0; i < 32; ++i) {
        char stem[64];
        std::snprintf(stem, sizeof stem, "/train-clean-2mix-%04d", i);
        const hinted_run run = diarize(h.engine, dir + stem + ".flac", 2);
        EXPECT_TRUE(run.count_met) << stem;
        EXPECT_EQ(run.speakers, 2) << stem;
        EXPECT_EQ(speakers_of(run.turns), 2u) << stem;
    }
}

}  // namespace
#endif
