// The resampler: supported ratios, lengths, the first samples, block-split
// independence, saturation and progress at the highest rate.
// Built only with the file readers.
#if QUORVA_WITH_FILE_READERS
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "audio/resampler.h"
#include "audio/resampler_fir.h"
#include "common/cpu_features.h"
#include "common/alloc.h"

namespace {

struct resampler_ptr {
    resampler *r = nullptr;
    ~resampler_ptr() { resampler_delete(r); }
};

std::vector<int16_t> speechlike(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> noise(0.0f, 3000.0f);
    std::vector<int16_t> x(n);
    for (size_t i = 0; i < n; ++i) {
        const float tone = 8000.0f * std::sin(0.01f * static_cast<float>(i));
        x[i] = static_cast<int16_t>(std::clamp(tone + noise(rng), -32768.0f, 32767.0f));
    }
    return x;
}

// Feeds x in blocks of the given sizes (cycled) and collects every output.
std::vector<int16_t> run(resampler *r, const std::vector<int16_t> &x, std::vector<int32_t> blocks) {
    std::vector<int16_t> out;
    std::vector<int16_t> dst(static_cast<size_t>(resampler_max_output(r, 1024)));
    size_t at = 0;
    for (size_t b = 0; at < x.size(); ++b) {
        const int32_t n = std::min<int32_t>(blocks[b % blocks.size()], static_cast<int32_t>(x.size() - at));
        const int32_t produced = r->process(r->state, x.data() + at, n, dst.data());
        EXPECT_LE(produced, resampler_max_output(r, n));
        out.insert(out.end(), dst.begin(), dst.begin() + produced);
        at += static_cast<size_t>(n);
    }
    return out;
}

TEST(Resampler, SupportedRatios) {
    for (int32_t rate : {16000, 22050, 32000, 44100, 48000, 96000, 384000, 8000}) {
        resampler_ptr p;
        EXPECT_EQ(resampler_create(rate, 16000, &p.r), ZR_STATUS_SUCCESS) << rate;
        ASSERT_NE(p.r, nullptr);
        EXPECT_EQ(p.r->input_rate, rate);
        EXPECT_EQ(p.r->output_rate, 16000);
        EXPECT_EQ(p.r->state->half_length, 50);
        EXPECT_EQ(p.r->state->last_index, -1);
    }
    // Every rate below 16000 other than 8000, non-positive rates, and input
    // rates so high that a block could yield nothing.
    for (int32_t rate : {11025, 12000, 15999, 7999, 4000, 0, -16000, 384001, 1 << 30}) {
        resampler *r = reinterpret_cast<resampler *>(0x1);
        EXPECT_EQ(resampler_create(rate, 16000, &r), ZR_STATUS_INVALID_ARGUMENT) << rate;
        EXPECT_EQ(r, nullptr);
    }
    resampler *r = nullptr;
    EXPECT_EQ(resampler_create(16000, 0, &r), ZR_STATUS_INVALID_ARGUMENT);
}

TEST(Resampler, EveryCreationAllocationFailure) {
    for (int32_t rate : {48000, 8000}) {
        for (int k = 1;; ++k) {
            alloc_fail_at(k);
            resampler *r = nullptr;
            const zr_status_t status = resampler_create(rate, 16000, &r);
            const int64_t made = alloc_count();
            alloc_fail_at(0);
            if (status == ZR_STATUS_SUCCESS) {
                EXPECT_EQ(k, 6);  // record, state, coefficients, two buffers
                resampler_delete(r);
                break;
            }
            EXPECT_EQ(status, ZR_STATUS_OUT_OF_MEMORY);
            EXPECT_EQ(r, nullptr);
            EXPECT_EQ(made, k);  // nothing is tried after the failure
        }
    }
}

TEST(Resampler, FilterDesign) {
    float h[kResamplerTaps];
    for (float ratio : {3.0f, 2.75625f, 1.378125f, 0.5f}) {
        design_lowpass(h, ratio);
        float sum = 0.0f;
        for (float v : h) sum += v;
        const float gain = ratio >= 1.0f ? 1.0f : 1.0f / ratio;
        EXPECT_NEAR(sum, gain, 1e-5f) << ratio;
        // The centre tap dominates, the window takes the ends to zero.
        for (int i = 0; i < kResamplerTaps; ++i) EXPECT_LE(std::fabs(h[i]), h[50]) << i;
        EXPECT_LT(std::fabs(h[0]), 1e-6f);
    }
}

TEST(Resampler, ReductionLengthsAndFirstSample) {
    resampler_ptr p;
    ASSERT_EQ(resampler_create(48000, 16000, &p.r), ZR_STATUS_SUCCESS);
    resampler *r = p.r;
    EXPECT_EQ(r->state->ratio, 3.0f);
    EXPECT_EQ(r->output_length(r->state, 48000), 16000);
    EXPECT_EQ(r->output_length(r->state, 1), 1);
    EXPECT_EQ(r->output_length(r->state, 3), 1);
    EXPECT_EQ(r->output_length(r->state, 4), 2);
    EXPECT_EQ(r->input_needed(r->state, 1), 1);
    EXPECT_EQ(r->input_needed(r->state, 16000), 47998);
    // Lengths of recordings past 32 bits.
    EXPECT_EQ(r->output_length(r->state, int64_t{3} << 32), (int64_t{1} << 32));
    EXPECT_EQ(r->input_needed(r->state, int64_t{1} << 32), (int64_t{3} << 32) - 2);

    // The first output is the filter of the first input against silence.
    float h[kResamplerTaps];
    design_lowpass(h, 3.0f);
    const int16_t first[3] = {20000, -5, 7};
    int16_t out[4] = {};
    EXPECT_EQ(r->process(r->state, first, 3, out), 1);
    EXPECT_EQ(out[0], static_cast<int16_t>(20000.0f * h[0]));
    EXPECT_EQ(r->state->last_index, 0);
    EXPECT_EQ(r->state->output_position, 1);
    EXPECT_EQ(r->state->pending, 2);
    EXPECT_EQ(r->input_needed(r->state, 1), 1);
}

TEST(Resampler, ReductionIndependentOfBlocks) {
    for (int32_t rate : {48000, 44100, 22050, 17000}) {
        const std::vector<int16_t> x = speechlike(30000, static_cast<uint32_t>(rate));
        resampler_ptr whole;
        resampler_ptr pieces;
        ASSERT_EQ(resampler_create(rate, 16000, &whole.r), ZR_STATUS_SUCCESS);
        ASSERT_EQ(resampler_create(rate, 16000, &pieces.r), ZR_STATUS_SUCCESS);
        const int64_t expected = whole.r->output_length(whole.r->state, 30000);
        const std::vector<int16_t> a = run(whole.r, x, {1024});
        const std::vector<int16_t> b = run(pieces.r, x, {1, 1023, 7, 333, 1024, 2, 511});
        EXPECT_EQ(static_cast<int64_t>(a.size()), expected) << rate;
        ASSERT_EQ(a.size(), b.size()) << rate;
        // The filtered samples do not depend on the split. The interpolation
        // instant is taken relative to the samples dropped so far, in single
        // precision, so a fractional ratio may move an output by one step.
        int differ = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            ASSERT_LE(std::abs(a[i] - b[i]), 1) << rate << " at " << i;
            differ += a[i] != b[i];
        }
        if (rate == 48000) {
            EXPECT_EQ(differ, 0);
        }
        // reset returns it to a fresh resampler.
        whole.r->reset(whole.r->state);
        EXPECT_EQ(run(whole.r, x, {1024}), a) << rate;
    }
}

TEST(Resampler, ReductionKeepsLevel) {
    resampler_ptr p;
    ASSERT_EQ(resampler_create(44100, 16000, &p.r), ZR_STATUS_SUCCESS);
    const std::vector<int16_t> out = run(p.r, std::vector<int16_t>(20000, 1000), {1024});
    ASSERT_GT(out.size(), 1000u);
    for (size_t i = 100; i < out.size(); ++i) ASSERT_NEAR(out[i], 1000, 2) << i;
}

TEST(Resampler, Doubling) {
    resampler_ptr p;
    ASSERT_EQ(resampler_create(8000, 16000, &p.r), ZR_STATUS_SUCCESS);
    resampler *r = p.r;
    EXPECT_EQ(r->state->ratio, 0.5f);
    EXPECT_EQ(r->output_length(r->state, 12345), 24690);
    EXPECT_EQ(r->output_length(r->state, (int64_t{1} << 24) + 1), (int64_t{1} << 25) + 2);
    EXPECT_EQ(r->input_needed(r->state, 7), 4);
    EXPECT_EQ(r->input_needed(r->state, 8), 4);

    const std::vector<int16_t> x = speechlike(5000, 3);
    std::vector<int16_t> dst(2048);
    EXPECT_EQ(r->process(r->state, x.data(), 1024, dst.data()), 2048);
    EXPECT_EQ(r->process(r->state, x.data(), 1, dst.data()), 2);
    r->reset(r->state);

    // Block sizes do not change the result; the level is restored.
    resampler_ptr q;
    ASSERT_EQ(resampler_create(8000, 16000, &q.r), ZR_STATUS_SUCCESS);
    const std::vector<int16_t> a = run(r, x, {1024});
    EXPECT_EQ(a.size(), 2 * x.size());
    EXPECT_EQ(run(q.r, x, {3, 1000, 1}), a);

    resampler_ptr dc;
    ASSERT_EQ(resampler_create(8000, 16000, &dc.r), ZR_STATUS_SUCCESS);
    const std::vector<int16_t> level = run(dc.r, std::vector<int16_t>(3000, 1000), {1024});
    for (size_t i = 200; i < level.size(); ++i) ASSERT_NEAR(level[i], 1000, 2) << i;
}

TEST(Resampler, SaturatesInsteadOfWrapping) {
    for (int32_t rate : {48000, 8000}) {
        resampler_ptr p;
        ASSERT_EQ(resampler_create(rate, 16000, &p.r), ZR_STATUS_SUCCESS);
        std::vector<int16_t> square(8192);
        for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 200) % 2 ? -32768 : 32767;
        const std::vector<int16_t> out = run(p.r, square, {1024});
        int16_t lo = 0;
        int16_t hi = 0;
        for (int16_t v : out) {
            lo = std::min(lo, v);
            hi = std::max(hi, v);
        }
        EXPECT_EQ(hi, 32767) << rate;
        EXPECT_EQ(lo, -32768) << rate;
        // Overshoot at a rising edge stays positive: no wrap to negative.
        const size_t edge = rate == 48000 ? (400 + 50) / 3 : 800 + 50;  // 50-tap delay
        for (size_t i = edge + 4; i < edge + 20; ++i) EXPECT_GT(out[i], 0) << rate << " " << i;
    }
}

TEST(Resampler, HighestRateMakesProgress) {
    resampler_ptr p;
    ASSERT_EQ(resampler_create(kResamplerMaxInputRate, 16000, &p.r), ZR_STATUS_SUCCESS);
    const std::vector<int16_t> x = speechlike(200000, 9);
    const int64_t expected = p.r->output_length(p.r->state, 200000);
    EXPECT_EQ(static_cast<int64_t>(run(p.r, x, {1024, 1, 5000}).size()), expected);
}

// Every kernel gives the reference's samples bit for bit, saturation included.
TEST(Resampler, KernelsMatchScalarReference) {
    std::mt19937 rng(77);
    std::vector<int16_t> input(kResamplerHistory + 2048);
    for (size_t i = 0; i < input.size(); ++i) {
        const uint32_t kind = rng() % 8;
        input[i] = kind == 0 ? 32767 : kind == 1 ? -32768 : static_cast<int16_t>(rng());
    }
    float h[kResamplerTaps];
    for (float ratio : {3.0f, 2.75625f, 1.0000625f, 0.5f}) {
        design_lowpass(h, ratio);
        for (int32_t end : {kResamplerHistory, kResamplerHistory + 1, kResamplerHistory + 7,
                            kResamplerHistory + 8, kResamplerHistory + 2048 - 3,
                            kResamplerHistory + 2048}) {
            std::vector<int16_t> expected(2048, 0);
            fir_block_scalar(input.data(), kResamplerHistory, end, h, expected.data());
            for (int isa = ISA_SCALAR; isa < ISA_COUNT; ++isa) {
                if (!cpu_isa_supported(static_cast<cpu_isa>(isa))) continue;
                cpu_force_isa(isa);
                std::vector<int16_t> got(2048, 0);
                fir_block_kernel()(input.data(), kResamplerHistory, end, h, got.data());
                cpu_force_isa(-1);
                EXPECT_EQ(got, expected) << cpu_isa_name(static_cast<cpu_isa>(isa)) << " "
                                         << ratio << " " << end;
            }
        }
    }
    // The whole resampler too, on a saturating signal.
    std::vector<int16_t> square(6000);
    for (size_t i = 0; i < square.size(); ++i) square[i] = (i / 37) % 2 ? -32768 : 32767;
    for (int32_t rate : {48000, 44100, 8000}) {
        std::vector<std::vector<int16_t>> outputs;
        for (int isa = ISA_SCALAR; isa < ISA_COUNT; ++isa) {
            if (!cpu_isa_supported(static_cast<cpu_isa>(isa))) continue;
            cpu_force_isa(isa);
            resampler_ptr p;
            ASSERT_EQ(resampler_create(rate, 16000, &p.r), ZR_STATUS_SUCCESS);
            outputs.push_back(run(p.r, square, {1024, 100}));
            cpu_force_isa(-1);
        }
        for (const auto &out : outputs) EXPECT_EQ(out, outputs.front()) << rate;
    }
}

}  // namespace

#endif  // QUORVA_WITH_FILE_READERS
