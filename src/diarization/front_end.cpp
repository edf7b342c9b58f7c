// The acoustic front end: 256-sample blocks of PCM to rows of 40 log band
// energies, each over a 512-sample Hann window.
#include "diarization/front_end.h"

#include <cstring>

#include "common/alloc.h"
#include "diarization/front_end_kernels.h"
#include "diarization/front_end_tables.h"
#include "diarization/log_energy.h"
#include "diarization/real_fft.h"

namespace {

// Working memory of one call, allocated once and reused for every block.
struct block_buffers {
    float *emphasised;  // kHopLength
    float *frame;       // kAnalysisSize
    float *work;        // kFftSize
    float *re;          // kSpectrumBins
    float *im;          // kSpectrumBins
    float *power;       // kSpectrumBins
};

constexpr size_t kBufferFloats =
    kHopLength + kAnalysisSize + kFftSize + 3 * static_cast<size_t>(kSpectrumBins);

void split_buffers(float *base, block_buffers *b) {
    b->emphasised = base;
    b->frame = b->emphasised + kHopLength;
    b->work = b->frame + kAnalysisSize;
    b->re = b->work + kFftSize;
    b->im = b->re + kSpectrumBins;
    b->power = b->im + kSpectrumBins;
}

// Triangular bands over the power spectrum, summed in bin order with a
// running weight, as the band energies are defined on exactly this sum.
void band_energies(const float *power, int16_t *row) {
    for (int32_t b = 0; b < kFeatureBands; ++b) {
        const int32_t lo = kBandEdges[b];
        const int32_t mid = kBandEdges[b + 1];
        const int32_t hi = kBandEdges[b + 2];
        float weight = 0.0f;
        float sum = 0.0f;
        for (int32_t k = lo; k < mid; ++k) {
            sum = sum + weight * power[k];
            weight = weight + kBandUp[b];
        }
        for (int32_t k = mid; k < hi; ++k) {
            sum = sum + weight * power[k];
            weight = weight - kBandDown[b];
        }
        row[b] = log_energy(sum);
    }
}

void reset_to_idle(front_end_state *state) {
    analysis_state *analysis = state->analysis;
    state->carry = 0;
    std::memset(analysis->history, 0, sizeof(float) * (kAnalysisSize - analysis->step));
}

}  // namespace

zr_status_t front_end_run(front_end_state *state, const int16_t *pcm, int32_t n,
                          int16_t *features) {
    auto *storage = static_cast<float *>(mem_alloc(sizeof(float) * kBufferFloats));
    if (storage == nullptr) {
        reset_to_idle(state);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    block_buffers buf;
    split_buffers(storage, &buf);

    const front_end_kernels &kernels = front_end_kernels_active();
    const int32_t hop = state->hop_length;
    analysis_state *analysis = state->analysis;
    const int32_t history_size = kAnalysisSize - analysis->step;
    const int64_t blocks = 2 * static_cast<int64_t>(n);

    for (int64_t block = 0; block < blocks; ++block) {
        const int16_t *x = pcm + block * hop;
        kernels.preemphasis(x, state->carry, buf.emphasised, hop);
        state->carry = x[hop - 1];

        std::memcpy(buf.frame, analysis->history, sizeof(float) * history_size);
        std::memcpy(buf.frame + history_size, buf.emphasised, sizeof(float) * analysis->step);
        std::memcpy(analysis->history, buf.frame + kAnalysisSize - history_size,
                    sizeof(float) * history_size);

        kernels.apply_window(buf.frame, kHannWindow.data(), kAnalysisSize);
        real_fft_512(kernels, buf.frame, buf.work, buf.re, buf.im);
        kernels.power(buf.re, buf.im, buf.power, kSpectrumBins);
        band_energies(buf.power, features + block * kFeatureBands);
    }

    reset_to_idle(state);
    mem_free(storage);
    return ZR_STATUS_SUCCESS;
}

void front_end_normalise(const normalizer_params *normalizer, int16_t *features, int32_t rows) {
    const int16_t *mean = normalizer->feature_mean;
    const int16_t *scale = normalizer->feature_scale;
    for (int64_t r = 0; r < rows; ++r) {
        int16_t *row = features + r * kFeatureBands;
        for (int32_t b = 0; b < kFeatureBands; ++b) {
            // At most 65535 * 32768 in magnitude: fits in 32 bits.
            int32_t value = ((int32_t{row[b]} - mean[b]) * scale[b]) >> 10;
            if (value < -32768) value = -32768;
            if (value > 32767) value = 32767;
            row[b] = static_cast<int16_t>(value);
        }
    }
}
