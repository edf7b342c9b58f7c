#include "diarization/real_fft.h"

#include <array>

#include "diarization/front_end_tables.h"

namespace {

constexpr int32_t kComplexSize = kFftSize / 2;  // 256

// The twiddles of every stage laid out contiguously, copied from the sine
// table: the stage of half-size h starts at h - 1, and position p holds
// angle 2 pi p (256 / h) / 512.
struct stage_twiddles {
    std::array<float, kComplexSize - 1> cosine;
    std::array<float, kComplexSize - 1> sine;
};

constexpr stage_twiddles kTwiddles = [] {
    stage_twiddles t{};
    for (int32_t half = 1; half < kComplexSize; half *= 2) {
        for (int32_t p = 0; p < half; ++p) {
            const int32_t angle = p * (kComplexSize / half);
            t.cosine[half - 1 + p] = kSineTable[angle + kFftQuarter];
            t.sine[half - 1 + p] = kSineTable[angle];
        }
    }
    return t;
}();

// Packs sample pairs as complex values in bit-reversed order, the real and
// imaginary parts in separate halves of `work`.
void load_bit_reversed(const float *frame, float *z_re, float *z_im) {
    for (int32_t m = 0; m < kComplexSize; ++m) {
        const int32_t at = kBitReverse[m] / 2;
        z_re[at] = frame[2 * m];
        z_im[at] = frame[2 * m + 1];
    }
}

}  // namespace

void real_fft_512(const front_end_kernels &kernels, const float *frame, float *work, float *re,
                  float *im) {
    float *z_re = work;
    float *z_im = work + kComplexSize;
    load_bit_reversed(frame, z_re, z_im);
    // Eight decimation-in-time stages, unscaled.
    for (int32_t half = 1; half < kComplexSize; half *= 2) {
        kernels.fft_stage(z_re, z_im, kTwiddles.cosine.data() + half - 1,
                          kTwiddles.sine.data() + half - 1, half);
    }
    kernels.fft_split(z_re, z_im, re, im);
}
