// Diarization error rate on cases worked out by hand.
#include <gtest/gtest.h>

#include <cmath>

#include "scoring/der.h"
#include "scoring/hungarian.h"

namespace {

constexpr time_us kSecond = 1000000;

speaker_turn turn(const char *speaker, double start, double end) {
    return {speaker, seconds_to_us(start), seconds_to_us(end)};
}

std::vector<time_region> region(double start, double end) {
    return {{seconds_to_us(start), seconds_to_us(end)}};
}

void expect_counts(const der_counts &c, double scored, double missed, double false_alarm,
                   double confusion) {
    EXPECT_EQ(c.scored_speech, seconds_to_us(scored));
    EXPECT_EQ(c.missed, seconds_to_us(missed));
    EXPECT_EQ(c.false_alarm, seconds_to_us(false_alarm));
    EXPECT_EQ(c.confusion, seconds_to_us(confusion));
}

TEST(DerScoring, IdenticalUpToLabelsIsPerfect) {
    const std::vector<speaker_turn> ref = {turn("A", 0, 4), turn("B", 4, 9), turn("A", 9, 12)};
    const std::vector<speaker_turn> hyp = {turn("s2", 0, 4), turn("s1", 4, 9), turn("s2", 9, 12)};
    const der_counts c = score_recording(ref, hyp, region(0, 12), 0);
    expect_counts(c, 12, 0, 0, 0);
    EXPECT_EQ(c.der_percent(), 0.0);
}

TEST(DerScoring, OverlappingSpeechCountsEachSpeaker) {
    // 5..10 has two reference speakers and one hypothesis speaker: 5 s missed.
    // X pairs with A or B (10 s each); the other's 5 s alone are confusion.
    const std::vector<speaker_turn> ref = {turn("A", 0, 10), turn("B", 5, 15)};
    const der_counts c = score_recording(ref, {turn("X", 0, 15)}, region(0, 15), 0);
    expect_counts(c, 20, 5, 0, 5);
    EXPECT_DOUBLE_EQ(c.der_percent(), 50.0);

    // Both speakers found, overlap included: perfect.
    expect_counts(score_recording(ref, {turn("Y", 5, 15), turn("X", 0, 10)}, region(0, 15), 0), 20,
                  0, 0, 0);
    // Two hypothesis speakers where the reference has one: 4 s false alarm.
    expect_counts(score_recording({turn("A", 0, 10)}, {turn("X", 0, 10), turn("Y", 2, 6)},
                                  region(0, 10), 0),
                  10, 0, 4, 0);
}

TEST(DerScoring, CollarIsExcludedAroundEveryReferenceBoundary) {
    // Scored: 0.5..9.5 (9 s); the hypothesis starts 1 s late: 0.5 s missed.
    const der_counts c = score_recording({turn("A", 0, 10)}, {turn("X", 1, 10)}, region(0, 10),
                                         kSecond / 2);
    expect_counts(c, 9, 0.5, 0, 0);
    EXPECT_NEAR(c.der_percent(), 100.0 * 0.5 / 9.0, 1e-12);

    // A change of speaker at 5 s removes 4.5..5.5; an error inside it is free.
    const std::vector<speaker_turn> ref = {turn("A", 0, 5), turn("B", 5, 10)};
    const std::vector<speaker_turn> hyp = {turn("X", 0, 5.4), turn("Y", 5.4, 10)};
    expect_counts(score_recording(ref, hyp, region(0, 10), kSecond / 2), 8, 0, 0, 0);
    expect_counts(score_recording(ref, hyp, region(0, 10), 0), 10, 0, 0, 0.4);

    // Turns of one speaker that touch form one turn: no boundary between them.
    expect_counts(score_recording({turn("A", 0, 5), turn("A", 5, 10)}, {turn("X", 0, 10)},
                                  region(0, 10), kSecond),
                  8, 0, 0, 0);
}

TEST(DerScoring, MappingIsOptimalNotGreedy) {
    // Overlaps: A-X 10, A-Y 9, B-X 9, B-Y 0. Pairing A-X greedily leaves 18 s
    // of confusion; the best pairing, A-Y and B-X, leaves 10 s.
    const std::vector<speaker_turn> ref = {turn("A", 0, 19), turn("B", 19, 28)};
    const std::vector<speaker_turn> hyp = {turn("X", 0, 10), turn("Y", 10, 19), turn("X", 19, 28)};
    expect_counts(score_recording(ref, hyp, region(0, 28), 0), 28, 0, 0, 10);
}

TEST(DerScoring, UnmatchedSpeakersAreConfusion) {
    // More hypothesis speakers: Y (4 s) has no partner once X takes A.
    expect_counts(score_recording({turn("A", 0, 10)}, {turn("X", 0, 6), turn("Y", 6, 10)},
                                  region(0, 10), 0),
                  10, 0, 0, 4);
    // More reference speakers: one hypothesis speaker covers two.
    expect_counts(score_recording({turn("A", 0, 10), turn("B", 10, 16)}, {turn("X", 0, 16)},
                                  region(0, 16), 0),
                  16, 0, 0, 6);
}

TEST(DerScoring, EmptyHypothesisIsAllMissed) {
    const der_counts c = score_recording({turn("A", 0, 10), turn("B", 8, 12)}, {}, region(0, 12), 0);
    expect_counts(c, 14, 14, 0, 0);
    EXPECT_DOUBLE_EQ(c.der_percent(), 100.0);
}

TEST(DerScoring, OnlyScoredRegionsCount) {
    // False alarm counts in scored silence.
    expect_counts(score_recording({turn("A", 0, 10)}, {turn("X", 0, 15)}, region(0, 20), 0), 10, 0,
                  5, 0);
    // Two regions, with a gap where everything is ignored.
    const std::vector<time_region> regions = {{seconds_to_us(2), seconds_to_us(4)},
                                              {seconds_to_us(6), seconds_to_us(8)}};
    expect_counts(score_recording({turn("A", 0, 10)}, {turn("X", 5, 20)}, regions, 0), 4, 2, 0, 0);
    // Nothing scored: nothing counts, and the rate is 0.
    const der_counts none = score_recording({turn("A", 0, 10)}, {turn("X", 0, 10)}, {}, 0);
    expect_counts(none, 0, 0, 0, 0);
    EXPECT_EQ(none.der_percent(), 0.0);
}

TEST(DerScoring, RecordingsAreScoredByName) {
    turn_table ref, hyp;
    ref["one"] = {turn("A", 0, 10)};
    ref["two"] = {turn("A", 1, 3), turn("B", 3, 5)};
    hyp["one"] = {turn("X", 0, 12)};  // 10..12 lies after the last reference turn
    hyp["extra"] = {turn("X", 0, 1)};

    // Without a UEM each recording is scored from its first to its last
    // reference turn; "two" has no hypothesis at all.
    der_report r = score_turns(ref, hyp, {});
    ASSERT_EQ(r.files.size(), 2u);
    EXPECT_EQ(r.files[0].uri, "one");
    expect_counts(r.files[0].counts, 10, 0, 0, 0);
    EXPECT_EQ(r.files[1].uri, "two");
    expect_counts(r.files[1].counts, 4, 4, 0, 0);
    expect_counts(r.total, 14, 4, 0, 0);
    EXPECT_EQ(r.hypothesis_only, std::vector<std::string>{"extra"});

    // With a UEM: its regions, and a recording it does not list scores nothing.
    der_options with_uem;
    with_uem.uem = region_table{{"one", region(0, 12)}};
    r = score_turns(ref, hyp, with_uem);
    expect_counts(r.files[0].counts, 10, 0, 2, 0);
    expect_counts(r.files[1].counts, 0, 0, 0, 0);
    EXPECT_DOUBLE_EQ(r.total.der_percent(), 20.0);
}

TEST(DerScoring, ErrorsWithoutScoredSpeechAreAnInfiniteRate) {
    der_counts c;
    c.false_alarm = kSecond;
    EXPECT_TRUE(std::isinf(c.der_percent()));
}

TEST(HungarianAssignment, RectangularAndDegenerateMatrices) {
    EXPECT_TRUE(max_gain_assignment({}, 3).empty());
    EXPECT_EQ(max_gain_assignment({{5}, {7}}, 1), (std::vector<int>{-1, 0}));
    EXPECT_EQ(max_gain_assignment({{1, 9, 2}}, 3), (std::vector<int>{1}));
    EXPECT_EQ(max_gain_assignment({{10, 9}, {9, 0}}, 2), (std::vector<int>{1, 0}));
    // 3 x 3: the best pairing takes the 7 of every row.
    EXPECT_EQ(max_gain_assignment({{7, 6, 0}, {6, 0, 7}, {0, 7, 6}}, 3), (std::vector<int>{0, 2, 1}));
    const std::vector<int> p = max_gain_assignment({{1, 8, 2}, {8, 9, 1}, {2, 1, 0}}, 3);
    int64_t gain = 0;
    const int64_t m[3][3] = {{1, 8, 2}, {8, 9, 1}, {2, 1, 0}};
    for (int r = 0; r < 3; ++r) gain += m[r][p[r]];
    EXPECT_EQ(gain, 16);  // 8 + 8 + 0 beats taking the 9
}

}  // namespace
