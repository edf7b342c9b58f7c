#include "audio/resampler.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/resampler_fir.h"
#include "common/alloc.h"

namespace {

constexpr float kTwoPi = 6.2831855f;
constexpr float kFourPi = 12.566371f;

// ceil(ratio + 1) in single precision: the slack both buffers carry for the
// interpolation's pending samples.
int32_t pending_slack(float ratio) { return static_cast<int32_t>(std::ceil(ratio + 1.0f)); }

void free_state(resampler_state *s) {
    if (s == nullptr) return;
    mem_free(s->coefficients);
    mem_free(s->filtered);
    mem_free(s->input);
    mem_free(s);
}

int32_t copy_through(const int16_t *src, int32_t count, int16_t *dst) {
    if (count > 0) std::memcpy(dst, src, static_cast<size_t>(count) * sizeof(int16_t));
    return count;
}

// Reduction: filter at the input rate, then pick output instants k x ratio by
// linear interpolation between filtered samples.
int32_t reduce_process(resampler_state *s, const int16_t *src, int32_t count, int16_t *dst) {
    if (!(s->ratio > 1.0f)) return copy_through(src, count, dst);
    int32_t a = s->pending + kResamplerHistory;
    int32_t produced = 0;
    while (count > 0) {
        const int32_t n = std::min(kResamplerBlock - a, count);
        if (n <= 0) break;  // cannot happen below the maximum input rate; never spin
        std::memcpy(s->input + a, src, static_cast<size_t>(n) * sizeof(int16_t));
        const int32_t end = a + n;
        fir_block_kernel()(s->input, kResamplerHistory, end, s->coefficients, s->filtered);
        const int32_t m = end > kResamplerHistory ? end - kResamplerHistory : 0;

        int32_t used = 0;
        float t = static_cast<float>(static_cast<double>(s->output_position) *
                                         static_cast<double>(s->ratio) -
                                     static_cast<double>(s->consumed));
        while (std::ceil(t) < static_cast<float>(m)) {
            const float lo_f = std::floor(t);
            const float hi_f = std::ceil(t);
            const int32_t lo = static_cast<int32_t>(lo_f);
            const int32_t hi = static_cast<int32_t>(hi_f);
            const float a0 = lo >= 0 ? static_cast<float>(s->filtered[lo])
                                     : static_cast<float>(s->previous_sample);
            const float a1 = static_cast<float>(s->filtered[hi]);
            const float frac = t - lo_f;
            const float value = (a1 - a0) * frac + a0;
            dst[produced] = static_cast<int16_t>(std::trunc(value));
            s->last_index = s->consumed + hi;
            s->output_position += 1;
            s->previous_sample = s->filtered[hi];
            produced += 1;
            used = hi + 1;
            t = static_cast<float>(static_cast<double>(s->output_position) *
                                       static_cast<double>(s->ratio) -
                                   static_cast<double>(s->consumed));
        }

        s->pending = m - used;
        const int32_t keep = s->pending + kResamplerHistory;
        std::memmove(s->input, s->input + (end - keep), static_cast<size_t>(keep) * sizeof(int16_t));
        s->consumed += used;
        src += n;
        count -= n;
        a = keep;
    }
    return produced;
}

int64_t reduce_output_length(resampler_state *s, int64_t input_count) {
    const int64_t x = s->last_index + input_count + s->pending;
    const double scaled_ratio = static_cast<double>(s->ratio * 1000.0f);
    const double outputs = std::floor(static_cast<double>(x) / scaled_ratio * 1000.0) + 1.0 -
                           static_cast<double>(s->output_position);
    return static_cast<int64_t>(outputs);
}

int64_t reduce_input_needed(resampler_state *s, int64_t output_count) {
    const double last = static_cast<double>(s->output_position + output_count - 1) *
                        static_cast<double>(s->ratio);
    return static_cast<int64_t>(std::ceil(last)) - (s->pending + s->last_index);
}

void reduce_reset(resampler_state *s) {
    std::memset(s->input, 0, static_cast<size_t>(s->input_size) * sizeof(int16_t));
    s->pending = 0;
    s->consumed = 0;
    s->last_index = -1;
    s->output_position = 0;
    s->previous_sample = 0;
}

constexpr int32_t kDoublingFactor = 2;

// Doubling: zero-stuff each block, then low-pass it at the output rate.
int32_t double_process(resampler_state *s, const int16_t *src, int32_t count, int16_t *dst) {
    if (!(s->ratio < 1.0f)) return copy_through(src, count, dst);
    int32_t produced = 0;
    while (count > 0) {
        const int32_t b = std::min(kResamplerBlock / kDoublingFactor, count);
        const int32_t span = kDoublingFactor * b;
        int16_t *block = s->input + kResamplerHistory;
        for (int32_t j = 0; j < b; ++j) {
            block[kDoublingFactor * j] = src[j];
            block[kDoublingFactor * j + 1] = 0;
        }
        fir_block_kernel()(s->input, kResamplerHistory, kResamplerHistory + span,
                           s->coefficients, s->filtered);
        std::memcpy(dst + produced, s->filtered, static_cast<size_t>(span) * sizeof(int16_t));
        std::memmove(s->input, s->input + span,
                     static_cast<size_t>(kResamplerHistory) * sizeof(int16_t));
        produced += span;
        src += b;
        count -= b;
    }
    return produced;
}

// Exact 2N and ceil(M / 2) in integers: single precision loses whole samples
// past 2^24 inputs (35 minutes at 8000 Hz).
int64_t double_output_length(resampler_state *, int64_t input_count) {
    return kDoublingFactor * input_count;
}

int64_t double_input_needed(resampler_state *, int64_t output_count) {
    return (output_count + kDoublingFactor - 1) / kDoublingFactor;
}

void double_reset(resampler_state *s) {
    std::memset(s->input, 0, static_cast<size_t>(s->input_size) * sizeof(int16_t));
}

}  // namespace

void design_lowpass(float *h, float ratio) {
    float fc;
    float gain;
    if (ratio >= 1.0f) {
        fc = 0.5f / ratio;
        gain = 1.0f;
    } else {
        fc = 0.5f * ratio;
        gain = 1.0f / ratio;
    }
    for (int32_t i = 0; i < kResamplerTaps; ++i) {
        const int32_t n = i - kResamplerHalfLength;
        if (n == 0) {
            h[i] = kTwoPi * fc;
            continue;
        }
        const float fi = static_cast<float>(i);
        const float window = 0.42f - 0.5f * std::cos(fi * kTwoPi / 100.0f) +
                             0.08f * std::cos(fi * kFourPi / 100.0f);
        const float fn = static_cast<float>(n);
        h[i] = window * std::sin(kTwoPi * fc * fn) / fn;
    }
    float sum = 0.0f;
    for (int32_t i = 0; i < kResamplerTaps; ++i) sum += h[i];
    const float divisor = sum / gain;
    for (int32_t i = 0; i < kResamplerTaps; ++i) h[i] /= divisor;
}

int16_t fir_filter_at(const int16_t *input, int32_t i, const float *h) {
    float acc = 0.0f;
    for (int32_t k = 0; k < kResamplerTaps; ++k) acc += static_cast<float>(input[i - k]) * h[k];
    if (acc >= 32767.0f) return 32767;
    if (acc <= -32768.0f) return -32768;
    return static_cast<int16_t>(acc);  // truncation toward zero; NaN cannot arise
}

zr_status_t resampler_create(int32_t input_rate, int32_t output_rate, resampler **out) {
    *out = nullptr;
    if (input_rate <= 0 || output_rate <= 0 || input_rate > kResamplerMaxInputRate)
        return ZR_STATUS_INVALID_ARGUMENT;
    const float ratio = static_cast<float>(input_rate) / static_cast<float>(output_rate);
    const bool reduction = ratio >= 1.0f;
    if (!reduction && ratio != 0.5f) return ZR_STATUS_INVALID_ARGUMENT;

    auto *r = static_cast<resampler *>(mem_calloc(1, sizeof(resampler)));
    if (r == nullptr) return ZR_STATUS_OUT_OF_MEMORY;
    auto *s = static_cast<resampler_state *>(mem_calloc(1, sizeof(resampler_state)));
    if (s == nullptr) {
        mem_free(r);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    r->state = s;
    r->output_rate = output_rate;
    r->input_rate = input_rate;
    s->half_length = kResamplerHalfLength;
    s->ratio = ratio;
    s->last_index = -1;
    const int32_t slack = reduction ? pending_slack(ratio) : 0;
    s->filtered_size = slack + kResamplerBlock;
    s->input_size = slack + kResamplerBlock + kResamplerHistory;
    s->coefficients = static_cast<float *>(mem_alloc(kResamplerTaps * sizeof(float)));
    s->filtered = s->coefficients == nullptr
                      ? nullptr
                      : static_cast<int16_t *>(mem_alloc(s->filtered_size * sizeof(int16_t)));
    s->input = s->filtered == nullptr
                   ? nullptr
                   : static_cast<int16_t *>(mem_calloc(s->input_size, sizeof(int16_t)));
    if (s->input == nullptr) {
        free_state(s);
        mem_free(r);
        return ZR_STATUS_OUT_OF_MEMORY;
    }
    design_lowpass(s->coefficients, ratio);
    if (reduction) {
        r->process = reduce_process;
        r->reset = reduce_reset;
        r->input_needed = reduce_input_needed;
        r->output_length = reduce_output_length;
    } else {
        r->process = double_process;
        r->reset = double_reset;
        r->input_needed = double_input_needed;
        r->output_length = double_output_length;
    }
    r->destroy = free_state;
    *out = r;
    return ZR_STATUS_SUCCESS;
}

void resampler_delete(resampler *r) {
    if (r == nullptr) return;
    r->destroy(r->state);
    mem_free(r);
}

int64_t resampler_max_output(const resampler *r, int32_t count) {
    const float ratio = r->state->ratio;
    if (ratio < 1.0f) return int64_t{kDoublingFactor} * count;
    // Outputs are at least one filtered sample apart; the pending samples of
    // the previous call (fewer than ratio + 2) can add a few more. Generous.
    return int64_t{count} + 2 * int64_t{pending_slack(ratio)} + 4;
}
