// Checks every front-end kernel variant this machine runs against the scalar
// reference, bit for bit, on random and extreme inputs and on every tail
// length; then the whole front end under each forced instruction set.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <limits>
#include <random>
#include <vector>

#include "common/cpu_features.h"
#include "diarization/front_end.h"
#include "diarization/front_end_kernels.h"

#if defined(QUORVA_WITH_FILE_READERS) && __has_include(<sndfile.h>)
#include <sndfile.h>
#define QUORVA_TEST_HAS_SNDFILE 1
#endif

namespace {

std::vector<cpu_isa> supported_variants() {
    std::vector<cpu_isa> out;
    for (int i = ISA_SCALAR + 1; i < ISA_COUNT; ++i) {
        if (cpu_isa_supported(static_cast<cpu_isa>(i))) out.push_back(static_cast<cpu_isa>(i));
    }
    return out;
}

bool same_bits(const std::vector<float> &a, const std::vector<float> &b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0);
}

// Random finite floats over the whole exponent range, with the awkward
// values mixed in: zeros of both signs, subnormals, the largest finite
// values (whose squares overflow) and infinities.
std::vector<float> awkward_floats(size_t count, std::mt19937 &rng) {
    const float specials[] = {0.0f,
                              -0.0f,
                              std::numeric_limits<float>::denorm_min(),
                              -std::numeric_limits<float>::denorm_min(),
                              std::numeric_limits<float>::min(),
                              std::numeric_limits<float>::max(),
                              -std::numeric_limits<float>::max(),
                              std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(),
                              1.0f,
                              -32768.0f};
    std::uniform_int_distribution<uint32_t> bits;
    std::uniform_int_distribution<size_t> pick(0, std::size(specials) - 1);
    std::vector<float> out(count);
    for (float &v : out) {
        if (rng() % 4 == 0) {
            v = specials[pick(rng)];
            continue;
        }
        uint32_t b;
        do {
            b = bits(rng);
        } while ((b & 0x7F800000u) == 0x7F800000u);  // no NaN or infinity here
        std::memcpy(&v, &b, sizeof v);
    }
    return out;
}

std::vector<int16_t> awkward_samples(size_t count, std::mt19937 &rng) {
    std::uniform_int_distribution<int> dist(-32768, 32767);
    std::vector<int16_t> out(count);
    for (int16_t &s : out) {
        const uint32_t r = rng() % 8;
        s = r == 0 ? int16_t{-32768} : r == 1 ? int16_t{32767} : static_cast<int16_t>(dist(rng));
    }
    return out;
}

TEST(FrontEndKernels, EveryVariantMatchesTheScalarReference) {
    const front_end_kernels &ref = kFrontEndKernelsScalar;
    std::mt19937 rng(2024);
    for (cpu_isa isa : supported_variants()) {
        const front_end_kernels &k = front_end_kernels_for(isa);
        SCOPED_TRACE(cpu_isa_name(isa));
        for (int32_t count = 0; count <= 300; ++count) {
            SCOPED_TRACE(count);
            const std::vector<int16_t> x = awkward_samples(static_cast<size_t>(count), rng);
            const int16_t carry = awkward_samples(1, rng)[0];
            std::vector<float> want(static_cast<size_t>(count)), got(static_cast<size_t>(count));
            ref.preemphasis(x.data(), carry, want.data(), count);
            k.preemphasis(x.data(), carry, got.data(), count);
            ASSERT_TRUE(same_bits(want, got)) << "pre-emphasis";

            const std::vector<float> frame = awkward_floats(static_cast<size_t>(count), rng);
            const std::vector<float> window = awkward_floats(static_cast<size_t>(count), rng);
            want = frame;
            got = frame;
            ref.apply_window(want.data(), window.data(), count);
            k.apply_window(got.data(), window.data(), count);
            ASSERT_TRUE(same_bits(want, got)) << "window";

            const std::vector<float> re = awkward_floats(static_cast<size_t>(count), rng);
            const std::vector<float> im = awkward_floats(static_cast<size_t>(count), rng);
            ref.power(re.data(), im.data(), want.data(), count);
            k.power(re.data(), im.data(), got.data(), count);
            ASSERT_TRUE(same_bits(want, got)) << "power";
        }
    }
}

TEST(FrontEndKernels, FftStagesMatchTheReferenceAtEveryWidth) {
    std::mt19937 rng(77);
    for (cpu_isa isa : supported_variants()) {
        const front_end_kernels &k = front_end_kernels_for(isa);
        SCOPED_TRACE(cpu_isa_name(isa));
        for (int32_t half = 1; half < kFftComplexSize; half *= 2) {
            SCOPED_TRACE(half);
            const std::vector<float> re = awkward_floats(kFftComplexSize, rng);
            const std::vector<float> im = awkward_floats(kFftComplexSize, rng);
            const std::vector<float> cos_tw = awkward_floats(static_cast<size_t>(half), rng);
            const std::vector<float> sin_tw = awkward_floats(static_cast<size_t>(half), rng);
            std::vector<float> want_re = re, want_im = im, got_re = re, got_im = im;
            fft_stage_reference(want_re.data(), want_im.data(), cos_tw.data(), sin_tw.data(), half);
            k.fft_stage(got_re.data(), got_im.data(), cos_tw.data(), sin_tw.data(), half);
            // Infinities meet zeros and each other here, so NaNs appear; they
            // must appear in the same places with the same bits.
            ASSERT_TRUE(same_bits(want_re, got_re));
            ASSERT_TRUE(same_bits(want_im, got_im));
        }
    }
}

TEST(FrontEndKernels, FftSplitMatchesTheReference) {
    std::mt19937 rng(78);
    for (cpu_isa isa : supported_variants()) {
        const front_end_kernels &k = front_end_kernels_for(isa);
        SCOPED_TRACE(cpu_isa_name(isa));
        for (int round = 0; round < 20; ++round) {
            const std::vector<float> z_re = awkward_floats(kFftComplexSize, rng);
            const std::vector<float> z_im = awkward_floats(kFftComplexSize, rng);
            std::vector<float> want_re(257), want_im(257), got_re(257), got_im(257);
            fft_split_reference(z_re.data(), z_im.data(), want_re.data(), want_im.data());
            k.fft_split(z_re.data(), z_im.data(), got_re.data(), got_im.data());
            ASSERT_TRUE(same_bits(want_re, got_re));
            ASSERT_TRUE(same_bits(want_im, got_im));
        }
    }
}

TEST(FrontEndKernels, ForcedInstructionSetsGiveIdenticalRows) {
    std::mt19937 rng(99);
    const std::vector<int16_t> pcm = awkward_samples(512 * 6, rng);
    front_end_state *state = nullptr;
    ASSERT_EQ(front_end_create(&state), ZR_STATUS_SUCCESS);

    cpu_force_isa(ISA_SCALAR);
    ASSERT_EQ(cpu_active_isa(), ISA_SCALAR);
    std::vector<int16_t> want(12 * 40);
    ASSERT_EQ(front_end_run(state, pcm.data(), 6, want.data()), ZR_STATUS_SUCCESS);
    for (cpu_isa isa : supported_variants()) {
        cpu_force_isa(isa);
        ASSERT_EQ(cpu_active_isa(), isa);
        std::vector<int16_t> got(12 * 40);
        ASSERT_EQ(front_end_run(state, pcm.data(), 6, got.data()), ZR_STATUS_SUCCESS);
        EXPECT_EQ(got, want) << cpu_isa_name(isa);
    }
    cpu_force_isa(-1);
    front_end_release(state);
}

TEST(FrontEndKernels, RecordedMeetingGivesIdenticalRowsOnEveryInstructionSet) {
#if defined(QUORVA_TEST_HAS_SNDFILE)
    const std::string path = std::string(QUORVA_DATA_DIR) + "/conversations/ami/dev00.flac";
    SF_INFO info{};
    SNDFILE *file = sf_open(path.c_str(), SFM_READ, &info);
    if (file == nullptr) GTEST_SKIP() << "speech data not found at " << path;
    ASSERT_EQ(info.channels, 1);
    ASSERT_EQ(info.samplerate, 16000);
    std::vector<int16_t> pcm(static_cast<size_t>(info.frames));
    ASSERT_EQ(sf_readf_short(file, pcm.data(), info.frames), info.frames);
    sf_close(file);

    const int32_t n = static_cast<int32_t>(pcm.size() / 512);
    front_end_state *state = nullptr;
    ASSERT_EQ(front_end_create(&state), ZR_STATUS_SUCCESS);
    cpu_force_isa(ISA_SCALAR);
    std::vector<int16_t> want(static_cast<size_t>(n) * 80);
    ASSERT_EQ(front_end_run(state, pcm.data(), n, want.data()), ZR_STATUS_SUCCESS);
    // A recorded room is never digitally silent, and speech over it spans
    // a wide range of band energies (308 units per octave).
    const auto [low, high] = std::minmax_element(want.begin(), want.end());
    EXPECT_GT(*low, -32768);
    EXPECT_GT(*high - *low, 4000) << *low << " to " << *high;
    for (cpu_isa isa : supported_variants()) {
        cpu_force_isa(isa);
        std::vector<int16_t> got(want.size());
        ASSERT_EQ(front_end_run(state, pcm.data(), n, got.data()), ZR_STATUS_SUCCESS);
        EXPECT_EQ(got, want) << cpu_isa_name(isa);
    }
    cpu_force_isa(-1);
    front_end_release(state);
#else
    GTEST_SKIP() << "built without the audio file readers, so the speech data cannot be read";
#endif
}

}  // namespace
