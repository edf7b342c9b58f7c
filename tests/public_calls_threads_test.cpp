// The public calls from many threads at once: engines diarizing different
// files side by side, and failing calls competing for the error store's
// thread slots. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "common/error_store.h"
#include "support/error_capture.h"
#include "support/model_writer.h"
#include "zr_quorva.h"
#if QUORVA_WITH_FILE_READERS
#include "support/audio_fixtures.h"
#include "support/mp4_fixtures.h"
#endif

namespace {

struct outcome {
    zr_status_t status = ZR_STATUS_SUCCESS;
    std::vector<zr_quorva_segment_t> segments;
};

bool same_segments(const outcome &a, const outcome &b) {
    if (a.status != b.status || a.segments.size() != b.segments.size()) return false;
    for (size_t i = 0; i < a.segments.size(); ++i) {
        if (a.segments[i].start_seconds != b.segments[i].start_seconds ||
            a.segments[i].end_seconds != b.segments[i].end_seconds ||
            a.segments[i].speaker_label != b.segments[i].speaker_label)
            return false;
    }
    return true;
}

#if QUORVA_WITH_FILE_READERS
outcome diarize_file(zr_quorva_t *engine, const std::string &path) {
    int32_t count = 0;
    zr_quorva_segment_t *segments = nullptr;
    outcome out;
    out.status = zr_quorva_process_file(engine, path.c_str(), &count, &segments);
    if (out.status == ZR_STATUS_SUCCESS) out.segments.assign(segments, segments + count);
    zr_quorva_segments_delete(segments);
    return out;
}

// One file of each kind the readers take, each cut from a different stretch
// of speech, so that every engine has its own input.
std::vector<std::string> mixed_files() {
    struct recipe {
        const char *name, *tool, *command, *suffix;
    };
    const recipe recipes[] = {
        {"thr16_wav", "sox", "sox {in} -b 16 {out} trim 0 2", ".wav"},
        {"thr16_wav24", "sox", "sox -M {in} {in2} -b 24 -r 44100 {out} trim 1 2", ".wav"},
        {"thr16_float", "sox", "sox {in2} -e floating-point -b 32 {out} trim 2 2", ".wav"},
        {"thr16_wav8k", "sox", "sox {in2} -b 16 -r 8000 {out} trim 0.5 2", ".wav"},
        {"thr16_flac", "flac", "sox {in} -r 22050 -t wav - trim 3 2 | flac -s -f -o {out} -", ".flac"},
        {"thr16_mp3", "lame", "sox {in2} -t wav - trim 4 2 | lame --quiet -b 64 - {out}", ".mp3"},
        {"thr16_mp3s", "lame", "sox -M {in} {in2} -r 44100 -t wav - trim 5 2 | lame --quiet - {out}", ".mp3"},
        {"thr16_opus", "opusenc", "sox {in} -t wav - trim 6 2 | opusenc --quiet - {out}", ".opus"},
        {"thr16_opus_s", "opusenc", "sox -M {in2} {in} -t wav - trim 1.5 2 | opusenc --quiet - {out}", ".opus"},
        {"thr16_vorbis", "oggenc", "sox {in2} -t wav - trim 3.5 2 | oggenc -Q -o {out} -", ".ogg"},
        {"thr16_vorbis_s", "oggenc", "sox -M {in} {in2} -t wav - trim 7 2 | oggenc -Q -o {out} -", ".ogg"},
        {"thr16_webm_opus", "ffmpeg",
         "ffmpeg -nostdin -v error -y -ss 8 -t 2 -i {in} -c:a libopus -f webm {out}", ".webm"},
        {"thr16_webm_vorbis", "ffmpeg",
         "ffmpeg -nostdin -v error -y -ss 5.5 -t 2 -i {in2} -c:a libvorbis -f webm {out}", ".webm"},
    };
    std::vector<std::string> files;
    for (const recipe &r : recipes) {
        std::string why;
        const std::string path = make_audio_fixture(r.name, r.tool, r.command, r.suffix, &why);
        if (path.empty()) return {};
        files.push_back(path);
    }
    std::vector<fixture_file> mp4;
#ifdef QUORVA_WITH_AAC
    mp4.push_back(make_aac_fixture({.seconds = 2.0}));
    mp4.push_back(make_aac_fixture({.sample_rate = 44100, .channels = 2, .layout = moov_place::fragmented,
                                    .seconds = 2.5}));
#endif
    mp4.push_back(make_amr_fixture(7, 2.0));
    mp4.push_back(make_amr_fixture(4, 2.5));
    for (const fixture_file &f : mp4) {
        if (f.path.empty()) return {};
        files.push_back(f.path);
    }
    return files;
}

TEST(ProcessFileThreads, SixteenEnginesDiarizeDifferentFilesAtOnce) {
    const std::vector<std::string> files = mixed_files();
    if (files.size() < 16) GTEST_SKIP() << "an encoder or the speech data is missing";
    constexpr int kThreads = 16;
    constexpr int kRounds = 3;
    temp_file model(serialize_model(random_model({.layers = 2, .hidden = 8, .embedding = 4}, 21)));

    std::vector<zr_quorva_t *> engines(kThreads, nullptr);
    std::vector<outcome> expected(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(zr_quorva_init(model.path(), &engines[t]), ZR_STATUS_SUCCESS);
        expected[t] = diarize_file(engines[t], files[t]);
        ASSERT_EQ(expected[t].status, ZR_STATUS_SUCCESS) << files[t];
    }

    std::barrier start(kThreads);
    std::vector<int> matches(kThreads, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < kRounds; ++round) {
                start.arrive_and_wait();
                if (same_segments(diarize_file(engines[t], files[t]), expected[t])) ++matches[t];
            }
        });
    }
    for (std::thread &th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) {
        EXPECT_EQ(matches[t], kRounds) << files[t];
        zr_quorva_delete(engines[t]);
    }
}
#endif  // QUORVA_WITH_FILE_READERS

// Each of kThreads threads fails zr_quorva_init on a path of its own, all at
// once; once all have failed, each collects its messages. Only 128 threads
// can hold messages: those keep their own message intact, the others find
// none.
struct collection_counts {
    int intact = 0;   // own message delivered, alone
    int dropped = 0;  // INVALID_STATE, nothing delivered
    int other = 0;
};

collection_counts fail_and_collect_at_once(int threads_count) {
    std::barrier failed(threads_count);
    std::atomic<int> intact{0}, dropped{0}, other{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threads_count; ++t) {
        threads.emplace_back([&, t] {
            const std::string path = "/nonexistent/quorva-thread-" + std::to_string(t) + ".zr";
            zr_quorva_t *engine = nullptr;
            const zr_status_t status = zr_quorva_init(path.c_str(), &engine);
            failed.arrive_and_wait();
            char **messages = nullptr;
            int32_t depth = -1;
            const zr_status_t collected = zr_get_error_stack(&messages, &depth);
            if (status == ZR_STATUS_IO_ERROR && collected == ZR_STATUS_SUCCESS && depth == 1 &&
                messages != nullptr && messages[0] == "Failed to open file `" + path + "`." &&
                messages[1][0] == '\0') {
                ++intact;
            } else if (status == ZR_STATUS_IO_ERROR && collected == ZR_STATUS_INVALID_STATE &&
                       messages == nullptr && depth == 0) {
                ++dropped;
            } else {
                ++other;
            }
            zr_free_error_stack(messages);
        });
    }
    for (std::thread &th : threads) th.join();
    return {intact.load(), dropped.load(), other.load()};
}

TEST(ErrorStoreThreads, OneHundredThirtyFailingThreadsShareTheSlots) {
    take_errors();  // this thread holds no slot from here on
    constexpr int kThreads = 130;
    // Twice: the collections of the first round leave every slot free again.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const collection_counts c = fail_and_collect_at_once(kThreads);
        EXPECT_EQ(c.intact, kErrorSlots);
        EXPECT_EQ(c.dropped, kThreads - kErrorSlots);
        EXPECT_EQ(c.other, 0);
    }
    EXPECT_EQ(zr_quorva_process(nullptr, nullptr, 0, nullptr, nullptr),
              ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(take_errors().messages, std::vector<std::string>{"Argument `object` is NULL."});
}

}  // namespace
