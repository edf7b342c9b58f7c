// Diarization error rate on cases worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

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

// Brute force on a 10 ms grid: every cell counted directly, every one-to-one
// pairing of speakers tried. The fast scorer must agree to the microsecond.
der_counts grid_score(const std::vector<speaker_turn> &ref, const std::vector<speaker_turn> &hyp,
                      time_us region_end, int speakers) {
    constexpr time_us kCell = 10000;
    const int cells = static_cast<int>(region_end / kCell);
    auto active = [&](const std::vector<speaker_turn> &turns, int cell, int speaker) {
        const time_us t = cell * kCell;
        for (const speaker_turn &x : turns)
            if (x.speaker == std::string(1, static_cast<char>('A' + speaker)) && x.start <= t && t < x.end)
                return true;
        return false;
    };
    std::vector<std::vector<int64_t>> overlap(speakers, std::vector<int64_t>(speakers, 0));
    der_counts c;
    int64_t paired_max = 0;
    for (int cell = 0; cell < cells; ++cell) {
        int64_t n_ref = 0, n_hyp = 0;
        for (int s = 0; s < speakers; ++s) {
            n_ref += active(ref, cell, s);
            n_hyp += active(hyp, cell, s);
            for (int h = 0; h < speakers; ++h)
                if (active(ref, cell, s) && active(hyp, cell, h)) overlap[s][h] += kCell;
        }
        c.scored_speech += n_ref * kCell;
        c.missed += std::max<int64_t>(0, n_ref - n_hyp) * kCell;
        c.false_alarm += std::max<int64_t>(0, n_hyp - n_ref) * kCell;
        c.confusion += std::min(n_ref, n_hyp) * kCell;  // less the paired time, below
    }
    std::vector<int> perm(speakers);
    std::iota(perm.begin(), perm.end(), 0);
    do {
        int64_t paired = 0;
        for (int s = 0; s < speakers; ++s) paired += overlap[s][perm[s]];
        paired_max = std::max(paired_max, paired);
    } while (std::next_permutation(perm.begin(), perm.end()));
    c.confusion -= paired_max;
    return c;
}

TEST(DerScoring, AgreesWithBruteForceOnRandomTurns) {
    std::mt19937 rng(12345);
    constexpr int kSpeakers = 4;
    constexpr time_us kEnd = 6000000;  // 6 s in 10 ms steps
    auto random_turns = [&](int count) {
        std::vector<speaker_turn> turns;
        std::uniform_int_distribution<int> cell(0, 599), length(1, 150), who(0, kSpeakers - 1);
        for (int i = 0; i < count; ++i) {
            const time_us start = cell(rng) * time_us{10000};
            const time_us end = std::min(kEnd, start + length(rng) * time_us{10000});
            turns.push_back({std::string(1, static_cast<char>('A' + who(rng))), start, end});
        }
        return turns;
    };
    for (int round = 0; round < 60; ++round) {
        const std::vector<speaker_turn> ref = random_turns(1 + round % 9);
        const std::vector<speaker_turn> hyp = random_turns(round % 11);
        const der_counts fast = score_recording(ref, hyp, {{0, kEnd}}, 0);
        const der_counts slow = grid_score(ref, hyp, kEnd, kSpeakers);
        ASSERT_EQ(fast.scored_speech, slow.scored_speech) << "round " << round;
        ASSERT_EQ(fast.missed, slow.missed) << "round " << round;
        ASSERT_EQ(fast.false_alarm, slow.false_alarm) << "round " << round;
        ASSERT_EQ(fast.confusion, slow.confusion) << "round " << round;
    }
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
