#include "diarization/real_fft.h"

#include "diarization/front_end_tables.h"

namespace {

constexpr int32_t kComplexSize = kFftSize / 2;  // 256
constexpr int32_t kQuarter = 128;               // cos(x) = sin(x + pi / 2)
constexpr float kOutputScale = 1.0f / 512.0f;   // 2^-9, exact

// Packs sample pairs as complex values in bit-reversed order.
void load_bit_reversed(const float *frame, float *work) {
    for (int32_t m = 0; m < kComplexSize; ++m) {
        const int32_t at = kBitReverse[m];
        work[at] = frame[2 * m];
        work[at + 1] = frame[2 * m + 1];
    }
}

// Eight in-place decimation-in-time stages, unscaled. The twiddle of
// position p in a stage of half-size h is W = cos t - j sin t, with
// t = 2 pi p (256 / h) / 512.
void radix2_stages(float *work) {
    for (int32_t half = 1; half < kComplexSize; half *= 2) {
        const int32_t stride = kComplexSize / half;
        for (int32_t group = 0; group < kComplexSize; group += 2 * half) {
            for (int32_t p = 0; p < half; ++p) {
                const float sine = kSineTable[p * stride];
                const float cosine = kSineTable[p * stride + kQuarter];
                float *a = work + 2 * (group + p);
                float *b = work + 2 * (group + p + half);
                // b * W = (b.re cos + b.im sin) + j (b.im cos - b.re sin)
                const float t_re = b[0] * cosine + b[1] * sine;
                const float t_im = b[1] * cosine - b[0] * sine;
                const float a_re = a[0];
                const float a_im = a[1];
                a[0] = a_re + t_re;
                a[1] = a_im + t_im;
                b[0] = a_re - t_re;
                b[1] = a_im - t_im;
            }
        }
    }
}

// Separates the spectra of the even and odd samples that were packed as the
// real and imaginary parts, and combines them into the real input's spectrum.
void split_real(const float *z, float *re, float *im) {
    re[0] = (z[0] + z[1]) * kOutputScale;
    im[0] = 0.0f;
    re[kComplexSize] = (z[0] - z[1]) * kOutputScale;
    im[kComplexSize] = 0.0f;
    for (int32_t k = 1; k < kComplexSize; ++k) {
        const float a_re = z[2 * k];
        const float a_im = z[2 * k + 1];
        const float b_re = z[2 * (kComplexSize - k)];
        const float b_im = z[2 * (kComplexSize - k) + 1];
        const float cosine = kSineTable[k + kQuarter];
        const float sine = kSineTable[k];
        const float im_sum = a_im + b_im;
        const float re_diff = b_re - a_re;
        re[k] = ((a_re + b_re) + cosine * im_sum + sine * re_diff) * kOutputScale;
        im[k] = ((a_im - b_im) + cosine * re_diff - sine * im_sum) * kOutputScale;
    }
}

}  // namespace

void real_fft_512(const float *frame, float *work, float *re, float *im) {
    load_bit_reversed(frame, work);
    radix2_stages(work);
    split_real(work, re, im);
}
