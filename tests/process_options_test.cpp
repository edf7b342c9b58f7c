// The calls with options: the options record's checks, agreement with the
// plain calls, the speakers of a result, speaker-count hints and gap filling
// with the shipped model, and the failure of every allocation of a call.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/alloc.h"
#include "diarization/gap_filling.h"
#include "model/engine.h"
#include "support/error_capture.h"
#include "support/model_writer.h"
#include "support/random_engine.h"
#include "support/speech_signal.h"
#include "zr_quorva.h"

namespace {

const std::string kShippedModel = std::string(QUORVA_SOURCE_DIR) + "/models/default.zr";
const std::string kSample = std::string(QUORVA_SOURCE_DIR) + "/samples/ami-dev00.flac";
const std::string kOutOfMemory = "Failed to allocate, out of memory.";


struct shipped_engine {
    zr_quorva_t *engine = nullptr;
    shipped_engine() { EXPECT_EQ(zr_quorva_init(kShippedModel.c_str(), &engine), ZR_STATUS_SUCCESS); }
    ~shipped_engine() { zr_quorva_delete(engine); }
};

zr_quorva_options_t defaults() {
    zr_quorva_options_t o;
    zr_quorva_options_init(&o);
    return o;
}

struct segment_row {
    float start, end;
    int32_t label;
    bool operator==(const segment_row &) const = default;
};

std::vector<segment_row> rows_of(const zr_quorva_segment_t *s, int32_t n) {
    std::vector<segment_row> out;
    for (int32_t i = 0; i < n; ++i) out.push_back({s[i].start_seconds, s[i].end_seconds, s[i].speaker_label});
    return out;
}

int distinct_labels(const std::vector<segment_row> &rows) {
    std::set<int32_t> labels;
    for (const segment_row &r : rows) labels.insert(r.label);
    return static_cast<int>(labels.size());
}

// A call's outcome, the result block released.
struct outcome {
    zr_status_t status = ZR_STATUS_SUCCESS;
    std::vector<segment_row> segments;
    int32_t speakers = 0;
    bool count_met = false;
};

outcome file_with(zr_quorva_t *engine, const zr_quorva_options_t *options) {
    zr_quorva_result_t *result = nullptr;
    outcome o;
    o.status = zr_quorva_process_file_with_options(engine, kSample.c_str(), options, &result);
    if (o.status == ZR_STATUS_SUCCESS) {
        o.segments = rows_of(result->segments, result->num_segments);
        o.speakers = result->num_speakers;
        o.count_met = result->speaker_count_met != 0;
    }
    zr_quorva_result_delete(result);
    return o;
}

TEST(Options, InitialiserSetsTheSizeAndNothingElse) {
    zr_quorva_options_t o;
    std::memset(&o, 0x5A, sizeof o);
    zr_quorva_options_init(&o);
    EXPECT_EQ(o.struct_size, sizeof(zr_quorva_options_t));
    EXPECT_EQ(o.num_speakers, 0);
    EXPECT_EQ(o.min_speakers, 0);
    EXPECT_EQ(o.max_speakers, 0);
    EXPECT_EQ(o.min_duration_off, 0.0f);
    zr_quorva_options_init(nullptr);  // tolerated
}

TEST(Options, EveryRefusedValueNamesItsFieldBeforeAnyWork) {
    random_engine h(3);
    const std::vector<int16_t> pcm = speech_like(16000, 4);
    struct refusal {
        void (*change)(zr_quorva_options_t &);
        std::string message;
    };
    const std::string size = std::to_string(sizeof(zr_quorva_options_t));
    const refusal cases[] = {
        {[](zr_quorva_options_t &o) { o.struct_size = 0; },
         "Argument `options.struct_size` value `0` is not the size of a record this library knows (`" + size + "`)."},
        {[](zr_quorva_options_t &o) { o.struct_size += 4; },
         "Argument `options.struct_size` value `" + std::to_string(sizeof(zr_quorva_options_t) + 4) +
             "` is not the size of a record this library knows (`" + size + "`)."},
        {[](zr_quorva_options_t &o) { o.num_speakers = -1; },
         "Argument `options.num_speakers` value `-1` is less than the minimum acceptable value of `0`."},
        {[](zr_quorva_options_t &o) { o.min_speakers = 1001; },
         "Argument `options.min_speakers` value `1001` is greater than the maximum acceptable value of `1000`."},
        {[](zr_quorva_options_t &o) { o.max_speakers = INT32_MIN; },
         "Argument `options.max_speakers` value `-2147483648` is less than the minimum acceptable value of `0`."},
        {[](zr_quorva_options_t &o) { o.num_speakers = 2, o.min_speakers = 1; },
         "Arguments `options.num_speakers` and `options.min_speakers` cannot be given together."},
        {[](zr_quorva_options_t &o) { o.num_speakers = 2, o.max_speakers = 3; },
         "Arguments `options.num_speakers` and `options.max_speakers` cannot be given together."},
        {[](zr_quorva_options_t &o) { o.min_speakers = 4, o.max_speakers = 3; },
         "Argument `options.min_speakers` value `4` is greater than argument `options.max_speakers` value `3`."},
        {[](zr_quorva_options_t &o) { o.min_duration_off = -0.5f; },
         "Argument `options.min_duration_off` value `-0.5` is outside the acceptable range of `0` to `3600`."},
        {[](zr_quorva_options_t &o) { o.min_duration_off = std::numeric_limits<float>::quiet_NaN(); },
         "Argument `options.min_duration_off` value `nan` is outside the acceptable range of `0` to `3600`."},
        {[](zr_quorva_options_t &o) { o.min_duration_off = std::numeric_limits<float>::infinity(); },
         "Argument `options.min_duration_off` value `inf` is outside the acceptable range of `0` to `3600`."},
    };
    for (const refusal &r : cases) {
        SCOPED_TRACE(r.message);
        zr_quorva_options_t o = defaults();
        r.change(o);
        auto *untouched = reinterpret_cast<zr_quorva_result_t *>(0x1);
        zr_quorva_result_t *result = untouched;
        EXPECT_EQ(zr_quorva_process_with_options(h.engine, pcm.data(), 16000, &o, &result),
                  ZR_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(take_errors().messages, std::vector<std::string>{r.message});
        EXPECT_EQ(result, untouched);
        // The file call refuses it before looking at the file.
        EXPECT_EQ(zr_quorva_process_file_with_options(h.engine, "/no/such/file.wav", &o, &result),
                  ZR_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(take_errors().messages, std::vector<std::string>{r.message});
        EXPECT_EQ(result, untouched);
    }
    // The largest accepted values pass.
    zr_quorva_options_t o = defaults();
    o.min_speakers = 1000;
    o.max_speakers = 1000;
    o.min_duration_off = 3600.0f;
    zr_quorva_result_t *result = nullptr;
    EXPECT_EQ(zr_quorva_process_with_options(h.engine, pcm.data(), 16000, &o, &result), ZR_STATUS_SUCCESS);
    zr_quorva_result_delete(result);
}

TEST(Options, PointerAndLengthChecks) {
    random_engine h(3);
    const std::vector<int16_t> pcm = speech_like(16000, 4);
    zr_quorva_result_t *result = nullptr;
    using msgs = std::vector<std::string>;
    EXPECT_EQ(zr_quorva_process_with_options(nullptr, pcm.data(), 16000, nullptr, &result),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages, msgs{"Argument `object` is NULL."});
    EXPECT_EQ(zr_quorva_process_with_options(h.engine, nullptr, 16000, nullptr, &result),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages, msgs{"Argument `pcm` is NULL."});
    EXPECT_EQ(zr_quorva_process_with_options(h.engine, pcm.data(), 16000, nullptr, nullptr),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages, msgs{"Argument `result` is NULL."});
    EXPECT_EQ(zr_quorva_process_with_options(h.engine, pcm.data(), 511, nullptr, &result),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages,
              msgs{"Argument `num_samples` value `511` is less than the minimum acceptable value of `512`."});
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(zr_quorva_process_file_with_options(h.engine, nullptr, nullptr, &result),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages, msgs{"Argument `audio_path` is NULL."});
    EXPECT_EQ(zr_quorva_process_file_with_options(h.engine, kSample.c_str(), nullptr, nullptr),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages, msgs{"Argument `result` is NULL."});
}

TEST(Options, DefaultsGiveTheSegmentsOfThePlainCall) {
    random_engine h(5);
    for (uint32_t seed : {1u, 2u, 3u}) {
        const std::vector<int16_t> pcm = speech_like(16000 * 6 + 300, seed);
        const int32_t n = static_cast<int32_t>(pcm.size());
        int32_t count = 0;
        zr_quorva_segment_t *segments = nullptr;
        ASSERT_EQ(zr_quorva_process(h.engine, pcm.data(), n, &count, &segments), ZR_STATUS_SUCCESS);
        const std::vector<segment_row> plain = rows_of(segments, count);
        zr_quorva_segments_delete(segments);
        const zr_quorva_options_t o = defaults();
        for (const zr_quorva_options_t *options : {static_cast<const zr_quorva_options_t *>(nullptr), &o}) {
            zr_quorva_result_t *result = nullptr;
            ASSERT_EQ(zr_quorva_process_with_options(h.engine, pcm.data(), n, options, &result),
                      ZR_STATUS_SUCCESS);
            EXPECT_EQ(rows_of(result->segments, result->num_segments), plain);
            EXPECT_EQ(result->struct_size, sizeof(zr_quorva_result_t));
            EXPECT_EQ(result->speaker_count_met, 1);
            EXPECT_EQ(result->embedding_dimension, 4);
            EXPECT_EQ(result->audio_seconds, static_cast<double>(n) / 16000.0);
            zr_quorva_result_delete(result);
        }
    }
}

#if QUORVA_WITH_FILE_READERS
TEST(Options, ShippedModelOnTheSample) {
    shipped_engine e;
    int32_t count = 0;
    zr_quorva_segment_t *segments = nullptr;
    ASSERT_EQ(zr_quorva_process_file(e.engine, kSample.c_str(), &count, &segments), ZR_STATUS_SUCCESS);
    const std::vector<segment_row> plain = rows_of(segments, count);
    zr_quorva_segments_delete(segments);
    EXPECT_EQ(file_with(e.engine, nullptr).segments, plain);

    // Every count from 1 to 5 is met exactly; the bounds hold.
    zr_quorva_options_t o = defaults();
    for (int32_t k = 1; k <= 5; ++k) {
        SCOPED_TRACE(k);
        o = defaults();
        o.num_speakers = k;
        outcome got = file_with(e.engine, &o);
        ASSERT_EQ(got.status, ZR_STATUS_SUCCESS);
        EXPECT_TRUE(got.count_met);
        EXPECT_EQ(got.speakers, k);
        EXPECT_EQ(distinct_labels(got.segments), k);
        o = defaults();
        o.min_speakers = k;
        got = file_with(e.engine, &o);
        EXPECT_GE(got.speakers, k);
        o = defaults();
        o.max_speakers = k;
        got = file_with(e.engine, &o);
        EXPECT_LE(got.speakers, k);
        EXPECT_GE(got.speakers, 1);
    }
    // 30 s cannot hold 1000 speakers of the minimum size: as many as it can, and said so.
    o = defaults();
    o.num_speakers = 1000;
    const outcome many = file_with(e.engine, &o);
    ASSERT_EQ(many.status, ZR_STATUS_SUCCESS);
    EXPECT_FALSE(many.count_met);
    EXPECT_GT(many.speakers, 5);
    EXPECT_LT(many.speakers, 1000);
}

TEST(Options, SpeakersCarryTheirTimeAndAUnitEmbedding) {
    shipped_engine e;
    zr_quorva_options_t o = defaults();
    o.num_speakers = 3;
    o.min_duration_off = 0.5f;
    zr_quorva_result_t *r = nullptr;
    ASSERT_EQ(zr_quorva_process_file_with_options(e.engine, kSample.c_str(), &o, &r), ZR_STATUS_SUCCESS);
    ASSERT_EQ(r->num_speakers, 3);
    EXPECT_EQ(r->embedding_dimension, e.engine->model->network->output_layer->rows);
    std::vector<double> seconds(3, 0.0);
    for (int32_t i = 0; i < r->num_segments; ++i) {
        const zr_quorva_segment_t &s = r->segments[i];
        ASSERT_GE(s.speaker_label, 1);
        ASSERT_LE(s.speaker_label, 3);
        seconds[s.speaker_label - 1] += s.end_seconds - s.start_seconds + 0.032;
        // No pause shorter than 0.5 s is left inside one speaker's speech.
        if (i > 0 && r->segments[i - 1].speaker_label == s.speaker_label) {
            EXPECT_GE(s.start_seconds - r->segments[i - 1].end_seconds - 0.032f, 0.5f - 1e-4f);
        }
    }
    for (int32_t k = 0; k < 3; ++k) {
        const zr_quorva_speaker_t &sp = r->speakers[k];
        EXPECT_EQ(sp.speaker_label, k + 1);
        EXPECT_NEAR(sp.seconds, seconds[k], 2e-3);
        double norm = 0.0;
        for (int32_t d = 0; d < r->embedding_dimension; ++d) norm += double{sp.embedding[d]} * sp.embedding[d];
        EXPECT_NEAR(norm, 1.0, 1e-5);
    }
    // Different speakers, different directions.
    double dot = 0.0;
    for (int32_t d = 0; d < r->embedding_dimension; ++d) dot += double{r->speakers[0].embedding[d]} * r->speakers[1].embedding[d];
    EXPECT_LT(dot, 0.9999);
    zr_quorva_result_delete(r);
}
#endif

TEST(OptionsThreads, EnginesOnTwoThreadsAgreeAndKeepTheirOwnErrors) {
    random_engine a(7), b(7);
    const std::vector<int16_t> pcm = speech_like(16000 * 4, 9);
    zr_quorva_options_t o = defaults();
    o.num_speakers = 2;
    o.min_duration_off = 0.2f;
    auto run = [&](zr_quorva_t *engine, std::vector<segment_row> *rows, std::vector<std::string> *errors) {
        for (int i = 0; i < 4; ++i) {
            zr_quorva_result_t *r = nullptr;
            if (zr_quorva_process_with_options(engine, pcm.data(), static_cast<int32_t>(pcm.size()), &o, &r) ==
                ZR_STATUS_SUCCESS) {
                *rows = rows_of(r->segments, r->num_segments);
            }
            zr_quorva_result_delete(r);
            zr_quorva_options_t bad = o;
            bad.max_speakers = 1;
            EXPECT_EQ(zr_quorva_process_with_options(engine, pcm.data(), 512, &bad, &r), ZR_STATUS_INVALID_ARGUMENT);
            *errors = take_errors().messages;
        }
    };
    std::vector<segment_row> rows_a, rows_b;
    std::vector<std::string> errors_a, errors_b;
    std::thread ta(run, a.engine, &rows_a, &errors_a);
    std::thread tb(run, b.engine, &rows_b, &errors_b);
    ta.join();
    tb.join();
    EXPECT_EQ(rows_a, rows_b);
    EXPECT_FALSE(rows_a.empty());
    const std::vector<std::string> want{
        "Arguments `options.num_speakers` and `options.max_speakers` cannot be given together."};
    EXPECT_EQ(errors_a, want);
    EXPECT_EQ(errors_b, want);
}

TEST(GapFilling, OnlyShortPausesBetweenOneSpeakersRuns) {
    // 0.032 s frames: 0.1 s fills gaps of 1..3 frames, not 4.
    std::vector<int32_t> labels{0, 0, 1, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 2, 0, 0};
    const std::vector<int32_t> want{0, 0, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 1, 0, 2, 0, 0};
    fill_short_gaps(labels.data(), static_cast<int32_t>(labels.size()), 0.1f);
    EXPECT_EQ(labels, want);
    // Strictly shorter: a 3-frame gap is 0.096 s.
    std::vector<int32_t> edge{2, 0, 0, 0, 2};
    fill_short_gaps(edge.data(), 5, 0.096f);
    EXPECT_EQ(edge, (std::vector<int32_t>{2, 0, 0, 0, 2}));
    fill_short_gaps(edge.data(), 5, 0.0961f);
    EXPECT_EQ(edge, (std::vector<int32_t>{2, 2, 2, 2, 2}));
    std::vector<int32_t> none{1, 0, 1};
    fill_short_gaps(none.data(), 3, 0.0f);
    EXPECT_EQ(none, (std::vector<int32_t>{1, 0, 1}));
}

TEST(Options, EveryAllocationFailureIsReportedAndLeavesTheEngineIdle) {
    random_engine h(12);
    const std::vector<int16_t> pcm = speech_like(16000 * 3, 13);
    const int32_t samples = static_cast<int32_t>(pcm.size());
    zr_quorva_options_t o = defaults();
    o.min_speakers = 2;
    o.min_duration_off = 0.3f;
    zr_quorva_result_t *result = nullptr;
    ASSERT_EQ(zr_quorva_process_with_options(h.engine, pcm.data(), samples, &o, &result), ZR_STATUS_SUCCESS);
    zr_quorva_result_delete(result);
    alloc_fail_at(0);
    ASSERT_EQ(zr_quorva_process_with_options(h.engine, pcm.data(), samples, &o, &result), ZR_STATUS_SUCCESS);
    const int64_t total = alloc_count();
    const std::vector<segment_row> expected = rows_of(result->segments, result->num_segments);
    zr_quorva_result_delete(result);
    const std::string failed = coded_message(0x136);
    for (int64_t k = 1; k <= total; ++k) {
        SCOPED_TRACE(k);
        result = reinterpret_cast<zr_quorva_result_t *>(0x1);
        alloc_fail_at(k);
        const zr_status_t status = zr_quorva_process_with_options(h.engine, pcm.data(), samples, &o, &result);
        alloc_fail_at(0);
        ASSERT_EQ(status, ZR_STATUS_OUT_OF_MEMORY);
        EXPECT_EQ(result, nullptr);
        const std::vector<std::string> messages = take_errors().messages;
        ASSERT_FALSE(messages.empty());
        EXPECT_TRUE(messages.back() == failed || messages == std::vector<std::string>{kOutOfMemory});
        EXPECT_EQ(h.engine->clusterer->list->count, 0);
    }
    ASSERT_EQ(zr_quorva_process_with_options(h.engine, pcm.data(), samples, &o, &result), ZR_STATUS_SUCCESS);
    EXPECT_EQ(rows_of(result->segments, result->num_segments), expected);
    zr_quorva_result_delete(result);
}

}  // namespace
