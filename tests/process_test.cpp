// zr_quorva_process end to end: argument checks, segment building, repeated
// and concurrent calls, and the failure of every allocation of a call.
#include <gtest/gtest.h>

#include <ostream>
#include <random>
#include <span>
#include <thread>
#include <vector>

#include "common/alloc.h"
#include "diarization/segments.h"
#include "model/engine.h"
#include "support/error_capture.h"
#include "support/model_writer.h"
#include "support/random_engine.h"
#include "support/speech_signal.h"
#include "zr_quorva.h"

// Found by argument-dependent lookup, so they live beside the public type.
static bool operator==(const zr_quorva_segment_t &a, const zr_quorva_segment_t &b) {
    return a.start_seconds == b.start_seconds && a.end_seconds == b.end_seconds &&
           a.speaker_label == b.speaker_label;
}

[[maybe_unused]] static void PrintTo(const zr_quorva_segment_t &s, std::ostream *os) {
    *os << "(" << s.start_seconds << ", " << s.end_seconds << ", " << s.speaker_label << ")";
}

namespace {

const std::string kOutOfMemory = "Failed to allocate, out of memory.";


struct result {
    zr_status_t status;
    std::vector<zr_quorva_segment_t> segments;
};

result process(zr_quorva_t *engine, const std::vector<int16_t> &pcm) {
    int32_t count = -1;
    zr_quorva_segment_t *segments = nullptr;
    result r;
    r.status =
        zr_quorva_process(engine, pcm.data(), static_cast<int32_t>(pcm.size()), &count, &segments);
    if (r.status == ZR_STATUS_SUCCESS) {
        EXPECT_NE(segments, nullptr);
        r.segments.assign(segments, segments + count);
    }
    zr_quorva_segments_delete(segments);
    return r;
}

// Every working object of the engine in its idle form.
void expect_idle(const zr_quorva_t *engine) {
    EXPECT_EQ(engine->front_end->carry, 0);
    for (int i = 0; i < 256; ++i) ASSERT_EQ(engine->front_end->analysis->history[i], 0.0f);
    EXPECT_EQ(engine->clusterer->list->count, 0);
    EXPECT_EQ(engine->clusterer->list->head, nullptr);
    const network_params *net = engine->model->network;
    for (int32_t l = 0; l < net->num_layers; ++l) {
        for (const recurrent_cell *cell :
             {engine->runtime->forward_cells[l], engine->runtime->backward_cells[l]}) {
            for (int32_t i = 0; i < layer_hidden_size(cell->layer); ++i) {
                ASSERT_EQ(cell->h[i], 0);
                ASSERT_EQ(cell->c[i], 0);
            }
        }
    }
}

TEST(ProcessArguments, ChecksRunInOrderAndLeaveOutputsAlone) {
    random_engine h(1);
    const std::vector<int16_t> pcm(1024, 0);
    int32_t count = 77;
    zr_quorva_segment_t sentinel{};
    zr_quorva_segment_t *segments = &sentinel;

    EXPECT_EQ(zr_quorva_process(nullptr, nullptr, 0, nullptr, nullptr), ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages, std::vector<std::string>{"Argument `object` is NULL."});
    EXPECT_EQ(zr_quorva_process(h.engine, nullptr, 1024, &count, &segments),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages, std::vector<std::string>{"Argument `pcm` is NULL."});
    EXPECT_EQ(zr_quorva_process(h.engine, pcm.data(), 511, &count, &segments),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages,
              std::vector<std::string>{"Argument `num_samples` value `511` is less than the "
                                       "minimum acceptable value of `512`."});
    EXPECT_EQ(zr_quorva_process(h.engine, pcm.data(), -5, nullptr, &segments),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages,
              std::vector<std::string>{"Argument `num_samples` value `-5` is less than the "
                                       "minimum acceptable value of `512`."});
    EXPECT_EQ(zr_quorva_process(h.engine, pcm.data(), 512, nullptr, &segments),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages, std::vector<std::string>{"Argument `num_segments` is NULL."});
    EXPECT_EQ(zr_quorva_process(h.engine, pcm.data(), 512, &count, nullptr),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages, std::vector<std::string>{"Argument `segments` is NULL."});

    front_end_state *front_end = h.engine->front_end;
    h.engine->front_end = nullptr;
    EXPECT_EQ(zr_quorva_process(h.engine, pcm.data(), 512, &count, &segments),
              ZR_STATUS_INVALID_STATE);
    h.engine->front_end = front_end;
    EXPECT_EQ(take_errors().messages, std::vector<std::string>{coded_message(0xD2)});

    EXPECT_EQ(count, 77);
    EXPECT_EQ(segments, &sentinel);
    zr_quorva_segments_delete(nullptr);
}

TEST(Segments, FrameTimesAreRoundedMilliseconds) {
    EXPECT_EQ(frame_time_seconds(0), 0.0f);
    EXPECT_EQ(frame_time_seconds(1), 0.032f);
    EXPECT_EQ(frame_time_seconds(3), 0.096f);
    EXPECT_EQ(frame_time_seconds(5), 0.16f);
    EXPECT_EQ(frame_time_seconds(112500), 3600.0f);  // one hour
    // The longest buffer an int32 count allows: 4194303 frames.
    EXPECT_EQ(frame_time_seconds(4194303), 134217.696f);
    for (int32_t k = 0; k < 100000; k += 7) {
        const float expected = static_cast<float>(k * 32) / 1000.0f;
        ASSERT_EQ(frame_time_seconds(k), expected) << k;
    }
}

std::vector<zr_quorva_segment_t> segments_of(const std::vector<int32_t> &labels) {
    const int32_t n = static_cast<int32_t>(labels.size());
    std::vector<zr_quorva_segment_t> out(static_cast<size_t>(count_segments(labels.data(), n)));
    fill_segments(labels.data(), n, out.data());
    return out;
}

TEST(Segments, RunsOfEqualLabels) {
    using segs = std::vector<zr_quorva_segment_t>;
    EXPECT_EQ(segments_of({1, 1, 1, 2, 1, 1}),
              (segs{{0.0f, 0.064f, 1}, {0.096f, 0.096f, 2}, {0.128f, 0.16f, 1}}));
    EXPECT_EQ(segments_of({0, 2, 2, 0}), (segs{{0.032f, 0.064f, 2}}));
    EXPECT_EQ(segments_of({0, 0, 1, 1}), (segs{{0.064f, 0.096f, 1}}));
    EXPECT_EQ(segments_of({3}), (segs{{0.0f, 0.0f, 3}}));
    EXPECT_EQ(segments_of({1, 0, 1}), (segs{{0.0f, 0.0f, 1}, {0.064f, 0.064f, 1}}));
    EXPECT_TRUE(segments_of({0, 0, 0}).empty());
}

TEST(Process, ShortBuffersAndTheUnusedTail) {
    random_engine h(2);
    std::vector<int16_t> pcm = speech_like(1023, 3);
    const result one = process(h.engine, {pcm.begin(), pcm.begin() + 512});
    ASSERT_EQ(one.status, ZR_STATUS_SUCCESS);
    for (int16_t &s : std::span(pcm).subspan(512)) s = static_cast<int16_t>(-s);
    const result tail = process(h.engine, pcm);
    ASSERT_EQ(tail.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(tail.segments, one.segments);
    // One frame can never form a speaker cluster: it is absorbed.
    EXPECT_TRUE(one.segments.empty());
    expect_idle(h.engine);
}

TEST(Process, AllBackgroundGivesAnEmptyArray) {
    random_engine h(4);
    // Background threshold above every possible distance.
    h.engine->model->clustering->background_threshold = 1.5f;
    const std::vector<int16_t> pcm = speech_like(16000 * 3, 5);
    int32_t count = -1;
    zr_quorva_segment_t *segments = nullptr;
    ASSERT_EQ(zr_quorva_process(h.engine, pcm.data(), static_cast<int32_t>(pcm.size()), &count,
                                &segments),
              ZR_STATUS_SUCCESS);
    EXPECT_EQ(count, 0);
    EXPECT_NE(segments, nullptr);
    zr_quorva_segments_delete(segments);
    expect_idle(h.engine);
}

TEST(Process, RepeatedCallsGiveIdenticalSegments) {
    random_engine h(6);
    const std::vector<int16_t> pcm = speech_like(16000 * 6, 7);
    const result first = process(h.engine, pcm);
    ASSERT_EQ(first.status, ZR_STATUS_SUCCESS);
    expect_idle(h.engine);
    const result other = process(h.engine, speech_like(16000 * 2, 8));
    ASSERT_EQ(other.status, ZR_STATUS_SUCCESS);
    const result second = process(h.engine, pcm);
    ASSERT_EQ(second.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(second.segments, first.segments);
    for (size_t i = 0; i < first.segments.size(); ++i) {
        EXPECT_LE(first.segments[i].start_seconds, first.segments[i].end_seconds);
        EXPECT_GE(first.segments[i].speaker_label, 1);
        if (i > 0) {
            EXPECT_GT(first.segments[i].start_seconds, first.segments[i - 1].end_seconds);
        }
    }
}

TEST(ProcessThreads, TwoEnginesOnTwoThreadsAgree) {
    const std::vector<int16_t> pcm = speech_like(16000 * 4, 9);
    random_engine reference(10);
    const result want = process(reference.engine, pcm);
    ASSERT_EQ(want.status, ZR_STATUS_SUCCESS);

    random_engine a(10), b(10);
    result got_a, got_b;
    std::thread ta([&] {
        for (int i = 0; i < 3; ++i) got_a = process(a.engine, pcm);
    });
    std::thread tb([&] {
        for (int i = 0; i < 3; ++i) got_b = process(b.engine, pcm);
    });
    ta.join();
    tb.join();
    EXPECT_EQ(got_a.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(got_b.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(got_a.segments, want.segments);
    EXPECT_EQ(got_b.segments, want.segments);
}

TEST(Process, EveryAllocationFailureIsReportedAndLeavesTheEngineIdle) {
    random_engine h(12);
    const std::vector<int16_t> pcm = speech_like(16000 * 3, 13);
    const int32_t samples = static_cast<int32_t>(pcm.size());
    int32_t count = -1;
    zr_quorva_segment_t *segments = nullptr;
    // A first call puts the error store's hand-out buffer in place.
    ASSERT_EQ(zr_quorva_process(h.engine, pcm.data(), samples, &count, &segments),
              ZR_STATUS_SUCCESS);
    zr_quorva_segments_delete(segments);
    alloc_fail_at(0);
    ASSERT_EQ(zr_quorva_process(h.engine, pcm.data(), samples, &count, &segments),
              ZR_STATUS_SUCCESS);
    const int64_t total = alloc_count();
    const int32_t expected_count = count;
    const std::vector<zr_quorva_segment_t> expected(segments, segments + count);
    zr_quorva_segments_delete(segments);
    ASSERT_GE(total, 6);

    const std::string failed = coded_message(0x136);
    using msgs = std::vector<std::string>;
    // The allocations in call order: feature matrix, the front end's working
    // buffer, label array, embedding matrix, then the network's and the
    // clustering's own, and last the segment array.
    for (int64_t k = 1; k <= total; ++k) {
        SCOPED_TRACE(k);
        count = -1;
        segments = reinterpret_cast<zr_quorva_segment_t *>(0x1);
        alloc_fail_at(k);
        const zr_status_t status =
            zr_quorva_process(h.engine, pcm.data(), samples, &count, &segments);
        alloc_fail_at(0);
        ASSERT_EQ(status, ZR_STATUS_OUT_OF_MEMORY);
        EXPECT_EQ(segments, nullptr);
        const msgs messages = take_errors().messages;
        if (k == 1 || k == 3) {
            EXPECT_EQ(messages, msgs{kOutOfMemory});
        } else if (k == 2) {
            EXPECT_EQ(messages, msgs{failed});
        } else if (k == 4 || k == total) {
            EXPECT_EQ(messages, (msgs{kOutOfMemory, failed}));
        } else {
            EXPECT_EQ(messages, (msgs{failed, failed}));
        }
        EXPECT_EQ(count, k == total ? expected_count : 0);
        expect_idle(h.engine);
    }
    const result after = process(h.engine, pcm);
    ASSERT_EQ(after.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(after.segments, expected);
}

}  // namespace
