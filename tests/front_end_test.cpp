// The acoustic front end: its constant tables, the FFT, the integer log, the
// block loop with its state, and the normalisation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <random>
#include <vector>

#include "common/alloc.h"
#include "diarization/front_end.h"
#include "diarization/front_end_tables.h"
#include "diarization/log_energy.h"
#include "diarization/real_fft.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// The float32 value of x rounded to seven decimals, as the tables hold it.
float seven_decimals(double x) {
    return static_cast<float>(std::round(x * 1e7) / 1e7);
}

struct FrontEndRun : ::testing::Test {
    front_end_state *state = nullptr;
    void SetUp() override { ASSERT_EQ(front_end_create(&state), ZR_STATUS_SUCCESS); }
    void TearDown() override { front_end_release(state); }

    std::vector<int16_t> run(const std::vector<int16_t> &pcm) {
        const int32_t n = static_cast<int32_t>(pcm.size() / 512);
        std::vector<int16_t> rows(static_cast<size_t>(n) * 80, 12345);
        EXPECT_EQ(front_end_run(state, pcm.data(), n, rows.data()), ZR_STATUS_SUCCESS);
        expect_idle();
        return rows;
    }

    void expect_idle() const {
        EXPECT_EQ(state->carry, 0);
        for (int i = 0; i < 256; ++i) ASSERT_EQ(state->analysis->history[i], 0.0f) << i;
    }
};

std::vector<int16_t> noise(size_t count, int amplitude, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> dist(-amplitude, amplitude);
    std::vector<int16_t> out(count);
    for (int16_t &s : out) s = static_cast<int16_t>(dist(rng));
    return out;
}

TEST(FrontEndTables, SpotValuesAndDefinitions) {
    EXPECT_EQ(kHannHalf[0], 0.0f);
    EXPECT_EQ(kHannHalf[1], 0.0000378f);
    EXPECT_EQ(kHannHalf[2], 0.0001512f);
    EXPECT_EQ(kSineTable[1], 0.0122715f);
    EXPECT_EQ(kSineTable[128], 1.0f);
    EXPECT_EQ(kSineTable[256], 0.0f);
    EXPECT_EQ(kLogTable[0], -617);
    EXPECT_EQ(kLogTable[256], -436);
    EXPECT_EQ(kLogTable[512], -308);
    const int16_t reversed[] = {0, 256, 128, 384, 64};
    for (int j = 0; j < 5; ++j) EXPECT_EQ(kBitReverse[j], reversed[j]);
    EXPECT_EQ(kBandEdges[0], 0);
    EXPECT_EQ(kBandEdges[41], 257);

    // Every entry follows its definition, rounded to seven decimals.
    for (int i = 0; i < 256; ++i) {
        ASSERT_EQ(kHannHalf[i], seven_decimals(0.5 - 0.5 * std::cos(2 * kPi * i / 511))) << i;
        ASSERT_EQ(kHannWindow[i], kHannHalf[i]);
        ASSERT_EQ(kHannWindow[511 - i], kHannHalf[i]);
    }
    for (int k = 0; k < 384; ++k) {
        ASSERT_EQ(kSineTable[k], seven_decimals(std::sin(2 * kPi * k / 512))) << k;
    }
    for (int j = 0; j < 256; ++j) {
        int rev = 0;
        for (int bit = 0; bit < 8; ++bit) rev |= ((j >> bit) & 1) << (7 - bit);
        ASSERT_EQ(kBitReverse[j], 2 * rev) << j;
    }
    for (int b = 0; b < 41; ++b) ASSERT_LT(kBandEdges[b], kBandEdges[b + 1]) << b;
    for (int b = 0; b < 40; ++b) {
        ASSERT_EQ(kBandUp[b], seven_decimals(1.0 / (kBandEdges[b + 1] - kBandEdges[b]))) << b;
        ASSERT_EQ(kBandDown[b], seven_decimals(1.0 / (kBandEdges[b + 2] - kBandEdges[b + 1])));
    }
    for (int i = 0; i <= 512; ++i) {
        ASSERT_EQ(kLogTable[i], std::lround(1024 * std::log10((512.0 + i) / 2048))) << i;
    }
}

TEST(FrontEndTables, SlopesHoldTheStoredRoundings) {
    // Bands 22 (64..70), 26 (82..89) and the last falling slope (240..257).
    EXPECT_EQ(kBandUp[22], 0.1666667f);
    EXPECT_EQ(kBandUp[25], 0.1428571f);
    EXPECT_EQ(kBandDown[39], 0.0588235f);
}

TEST(LogEnergy, SpecifiedExamples) {
    EXPECT_EQ(log_energy(std::ldexp(1.0f, -33)), -617 - 18788);  // x = 1, c = 61
    EXPECT_EQ(log_energy(std::ldexp(1.0f, 29)), -309);           // halved to 2^61, c = -1
    EXPECT_EQ(log_energy(std::ldexp(1.0f, 30)), 0);
    EXPECT_EQ(log_energy(std::ldexp(1.0f, 100)), 0);
    EXPECT_EQ(log_energy(std::numeric_limits<float>::infinity()), 0);
    EXPECT_EQ(log_energy(0.0f), kLogOfZero);
    EXPECT_EQ(log_energy(std::ldexp(1.0f, -34)), kLogOfZero);  // truncates to zero
}

TEST(LogEnergy, FollowsTheDecimalLogarithmAndNeverFalls) {
    int16_t previous = kLogOfZero;
    for (double e = -33.0; e < 30.0; e += 0.01) {
        const float s = static_cast<float>(std::pow(2.0, e));
        const int16_t value = log_energy(s);
        ASSERT_GE(value, previous) << e;
        ASSERT_GE(value, -19405);
        ASSERT_LE(value, 0);
        // 308 units per octave against 1024 log10(2) = 308.25: the gap grows
        // by a quarter unit per octave below 2^30, plus the table's rounding.
        // Below 2^-20 the truncation to an integer dominates instead.
        const double exact = 1024.0 * std::log10(s / std::ldexp(1.0, 30));
        if (e >= -20.0) {
            ASSERT_NEAR(value, exact, 2.0 + 0.26 * (30.0 - e)) << e;
        }
        previous = value;
    }
}

// The normalisation exactly as defined: one doubling at a time.
int16_t log_by_doubling(float s) {
    const float v = s * 8589934592.0f;
    if (v >= 9223372036854775808.0f) return 0;
    int64_t x = static_cast<int64_t>(v);
    if (x == 0) return -32768;
    int32_t c = 0;
    if (x >= (int64_t{1} << 30)) {
        x >>= 1;
        c = -1;
    }
    while (x < (int64_t{1} << 61)) {
        x <<= 1;
        ++c;
    }
    const int32_t idx = static_cast<int32_t>((x + (int64_t{1} << 51)) >> 52) - 512;
    return static_cast<int16_t>(std::max(-32768, std::min(32767, kLogTable[idx] - 308 * c)));
}

TEST(LogEnergy, MatchesTheDoublingDefinition) {
    std::mt19937 rng(17);
    std::uniform_real_distribution<float> mantissa(1.0f, 2.0f);
    std::uniform_int_distribution<int> exponent(-40, 34);
    for (int i = 0; i < 200000; ++i) {
        const float s = std::ldexp(mantissa(rng), exponent(rng));
        ASSERT_EQ(log_energy(s), log_by_doubling(s)) << s;
    }
}

TEST(RealFft, MatchesTheDefinitionOfTheDft) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> dist(-1000.0f, 1000.0f);
    std::vector<float> frame(512), work(512), re(257), im(257);
    for (float &v : frame) v = dist(rng);
    real_fft_512(kFrontEndKernelsScalar, frame.data(), work.data(), re.data(), im.data());
    for (int k = 0; k <= 256; ++k) {
        std::complex<double> x = 0;
        for (int t = 0; t < 512; ++t)
            x += static_cast<double>(frame[t]) * std::polar(1.0, -2 * kPi * k * t / 512);
        const double scale = (k == 0 || k == 256) ? 512.0 : 256.0;
        ASSERT_NEAR(re[k], x.real() / scale, 0.02) << k;
        ASSERT_NEAR(im[k], x.imag() / scale, 0.02) << k;
    }
    EXPECT_EQ(im[0], 0.0f);
    EXPECT_EQ(im[256], 0.0f);
}

// An independent double-precision reading of one row: exact window, direct
// DFT, exact band weights and the decimal logarithm.
std::vector<double> reference_row(const std::vector<int16_t> &pcm, int64_t first_sample) {
    std::vector<double> frame(512, 0.0);
    for (int i = 0; i < 512; ++i) {
        const int64_t at = first_sample + i;
        if (at < 0) continue;
        const double previous = at == 0 ? 0.0 : pcm[static_cast<size_t>(at - 1)];
        frame[i] = (pcm[static_cast<size_t>(at)] - 0.97 * previous) *
                   (0.5 - 0.5 * std::cos(2 * kPi * i / 511));
    }
    std::vector<double> power(257);
    for (int k = 0; k <= 256; ++k) {
        std::complex<double> x = 0;
        for (int t = 0; t < 512; ++t) x += frame[t] * std::polar(1.0, -2 * kPi * k * t / 512);
        x /= (k == 0 || k == 256) ? 512.0 : 256.0;
        power[k] = std::norm(x);
    }
    std::vector<double> row(40);
    for (int b = 0; b < 40; ++b) {
        const int lo = kBandEdges[b], mid = kBandEdges[b + 1], hi = kBandEdges[b + 2];
        double sum = 0;
        for (int k = lo; k < mid; ++k) sum += power[k] * (k - lo) / (mid - lo);
        for (int k = mid; k < hi; ++k)
            sum += power[k] * (1.0 - static_cast<double>(k - mid) / (hi - mid));
        row[b] = 1024.0 * std::log10(sum / std::ldexp(1.0, 30));
    }
    return row;
}

TEST_F(FrontEndRun, RowsAgreeWithAnIndependentReading) {
    const std::vector<int16_t> pcm = noise(512 * 3, 3000, 11);
    const std::vector<int16_t> rows = run(pcm);
    // Row r covers samples 256 r - 256 to 256 r + 255; row 0 starts in silence.
    for (int r = 0; r < 6; ++r) {
        const std::vector<double> expected = reference_row(pcm, 256 * r - 256);
        for (int b = 0; b < 40; ++b) {
            ASSERT_NEAR(rows[static_cast<size_t>(r) * 40 + b], expected[b], 2.0 + 0.26 * 30)
                << "row " << r << " band " << b;
        }
    }
}

TEST_F(FrontEndRun, AllZeroInputGivesTheLogOfZeroEverywhere) {
    for (int16_t v : run(std::vector<int16_t>(512 * 4, 0))) ASSERT_EQ(v, kLogOfZero);
}

TEST_F(FrontEndRun, ConstantInputIsMostlyRemovedByPreemphasis) {
    // The first block starts with the full sample (the carry is 0); after that
    // only 0.03 of the value remains, a DC term the low bands see.
    const std::vector<int16_t> rows = run(std::vector<int16_t>(512 * 2, 10000));
    const std::vector<int16_t> later = run(std::vector<int16_t>(512 * 2, 10000));
    EXPECT_EQ(rows, later);
    // Row 0: a step from silence to 10000 has energy in every band.
    for (int b = 0; b < 40; ++b) EXPECT_GT(rows[b], kLogOfZero) << b;
    // Row 3 sees only the constant 300: the DC bin dominates band 0 and
    // the high bands hold only the window's leakage, far below row 0.
    EXPECT_GT(rows[3 * 40 + 0], rows[3 * 40 + 39] + 1000);
    EXPECT_LT(rows[3 * 40 + 39], rows[39] - 1000);
}

TEST_F(FrontEndRun, EveryCallStartsFromSilence) {
    const std::vector<int16_t> first = noise(512 * 2, 20000, 3);
    const std::vector<int16_t> second = noise(512 * 2, 500, 4);
    const std::vector<int16_t> fresh = run(second);
    run(first);
    EXPECT_EQ(run(second), fresh);
}

TEST_F(FrontEndRun, FullScaleInputStaysInRange) {
    std::vector<int16_t> pcm(512 * 2);
    for (size_t i = 0; i < pcm.size(); ++i) pcm[i] = (i / 3) % 2 ? 32767 : -32768;
    for (int16_t v : run(pcm)) {
        ASSERT_LE(v, 0);
        ASSERT_GE(v, -19405);
    }
}

TEST_F(FrontEndRun, FailedBufferLeavesTheStateIdle) {
    const std::vector<int16_t> pcm = noise(512, 1000, 5);
    std::vector<int16_t> rows(80);
    alloc_fail_at(1);
    EXPECT_EQ(front_end_run(state, pcm.data(), 1, rows.data()), ZR_STATUS_OUT_OF_MEMORY);
    alloc_fail_at(0);
    expect_idle();
}

TEST(FrontEndNormalise, ShiftsFloorAndSaturate) {
    std::vector<int16_t> mean(40, 0), scale(40, 1024);
    mean[1] = -32768;
    scale[1] = 32767;
    scale[2] = 2048;
    scale[3] = 1;
    mean[4] = 100;
    scale[4] = 512;
    normalizer_params params{40, mean.data(), scale.data()};
    std::vector<int16_t> rows(80, 0);
    rows[0] = -1234;   // unit gain, no offset: unchanged
    rows[1] = 32767;   // (65535 * 32767) >> 10 saturates high
    rows[2] = -32768;  // -32768 * 2 saturates low
    rows[3] = -1;      // -1 >> 10 floors to -1
    rows[4] = 101;     // (1 * 512) >> 10 = 0
    rows[40 + 2] = 1000;
    front_end_normalise(&params, rows.data(), 2);
    EXPECT_EQ(rows[0], -1234);
    EXPECT_EQ(rows[1], 32767);
    EXPECT_EQ(rows[2], -32768);
    EXPECT_EQ(rows[3], -1);
    EXPECT_EQ(rows[4], 0);
    EXPECT_EQ(rows[40 + 2], 2000);
    EXPECT_EQ(rows[40 + 4], -50);  // (-100 * 512) >> 10
}

}  // namespace
