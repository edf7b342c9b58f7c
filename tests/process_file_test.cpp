// The file driver: arguments, the failure table, the end-of-file tolerance,
// agreement with zr_quorva_process, allocation failures, and damaged files.
// Built only with the file readers.
#if QUORVA_WITH_FILE_READERS
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_file_decoder.h"
#include "common/alloc.h"
#include "common/error_store.h"
#include "support/audio_fixtures.h"
#include "support/error_capture.h"
#include "support/mp4_fixtures.h"
#include "support/model_writer.h"

namespace {

const std::string kComponent = coded_message(300);
const std::string kReadFailed = "Failed to read from file.";
const std::string kOutOfMemory = "Failed to allocate, out of memory.";

struct engine_holder {
    zr_quorva_t *engine = nullptr;
    std::unique_ptr<temp_file> model;
    engine_holder() {
        model = std::make_unique<temp_file>(serialize_model(random_model(model_shape{}, 11)));
        EXPECT_EQ(zr_quorva_init(model->path(), &engine), ZR_STATUS_SUCCESS);
    }
    ~engine_holder() { zr_quorva_delete(engine); }
};

struct call_result {
    zr_status_t status = ZR_STATUS_SUCCESS;
    int32_t num_segments = -7;
    std::vector<zr_quorva_segment_t> segments;
    std::vector<std::string> messages;
};

call_result process_file(zr_quorva_t *engine, const std::string &path) {
    int32_t count = -7;
    zr_quorva_segment_t *segments = nullptr;
    call_result r;
    r.status = zr_quorva_process_file(engine, path.c_str(), &count, &segments);
    r.messages = take_errors().messages;
    r.num_segments = count;
    if (segments != nullptr && count > 0) r.segments.assign(segments, segments + count);
    zr_quorva_segments_delete(segments);
    return r;
}

call_result process_samples(zr_quorva_t *engine, const std::vector<int16_t> &pcm) {
    int32_t count = -7;
    zr_quorva_segment_t *segments = nullptr;
    call_result r;
    r.status = zr_quorva_process(engine, pcm.data(), static_cast<int32_t>(pcm.size()), &count,
                                 &segments);
    r.messages = take_errors().messages;
    r.num_segments = count;
    if (segments != nullptr && count > 0) r.segments.assign(segments, segments + count);
    zr_quorva_segments_delete(segments);
    return r;
}

TEST(ProcessFile, NullArguments) {
    zr_quorva_t *engine = reinterpret_cast<zr_quorva_t *>(0x10);
    int32_t count = -7;
    zr_quorva_segment_t *segments = reinterpret_cast<zr_quorva_segment_t *>(0x20);
    const struct {
        zr_quorva_t *object;
        const char *path;
        int32_t *count;
        zr_quorva_segment_t **segments;
        const char *name;
    } cases[] = {{nullptr, "/x.wav", &count, &segments, "object"},
                 {engine, nullptr, &count, &segments, "audio_path"},
                 {engine, "/x.wav", nullptr, &segments, "num_segments"},
                 {engine, "/x.wav", &count, nullptr, "segments"}};
    for (const auto &c : cases) {
        EXPECT_EQ(zr_quorva_process_file(c.object, c.path, c.count, c.segments),
                  ZR_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(take_errors().messages,
                  std::vector<std::string>{std::string("Argument `") + c.name + "` is NULL."});
    }
    EXPECT_EQ(count, -7);
    EXPECT_EQ(segments, reinterpret_cast<zr_quorva_segment_t *>(0x20));
}

TEST(ProcessFile, FilesThatNeverReachThePipeline) {
    engine_holder h;
    std::vector<uint8_t> riff(34, 0);
    std::memcpy(riff.data(), "RIFF", 4);
    std::vector<uint8_t> zeros(4096, 0);
    std::vector<uint8_t> rf64(4096, 0);
    std::memcpy(rf64.data(), "RF64", 4);
    const struct {
        std::string path;
        zr_status_t status;
    } cases[] = {
        {"/nonexistent/speech.wav", ZR_STATUS_IO_ERROR},
        {write_fixture_bytes("short", riff), ZR_STATUS_IO_ERROR},
        {write_fixture_bytes("zeros", zeros), ZR_STATUS_INVALID_ARGUMENT},
        {write_fixture_bytes("rf64", rf64), ZR_STATUS_INVALID_ARGUMENT},
        // A RIFF header the WAV decoder refuses.
        {write_fixture_bytes("riffjunk", [] {
             std::vector<uint8_t> b(4096, 0x5A);
             std::memcpy(b.data(), "RIFF", 4);
             return b;
         }()),
         ZR_STATUS_INVALID_ARGUMENT},
    };
    for (const auto &c : cases) {
        const call_result r = process_file(h.engine, c.path);
        EXPECT_EQ(r.status, c.status) << c.path;
        EXPECT_EQ(r.messages, std::vector<std::string>{kComponent}) << c.path;
        EXPECT_EQ(r.num_segments, -7);
    }
}

TEST(ProcessFile, SameSegmentsAsProcessOnTheSamples) {
    engine_holder h;
    AUDIO_FIXTURE_OR_SKIP(wav, "ref16", "sox", "sox {in} -b 16 {out} trim 0 4", ".wav");
    AUDIO_FIXTURE_OR_SKIP(flac, "flac16", "flac", "sox {in} -t wav - trim 0 4 | flac -s -f -o {out} -", ".flac");
    const std::vector<int16_t> pcm = read_pcm16_wav(wav);
    ASSERT_EQ(pcm.size(), 64000u);
    for (const std::string &path : {wav, flac}) {
        // The driver's buffer holds the file's samples unchanged.
        error_stack_reset();
        int16_t *samples = nullptr;
        int32_t count = 0;
        ASSERT_EQ(decode_audio_file(path.c_str(), &samples, &count), ZR_STATUS_SUCCESS);
        EXPECT_EQ(std::vector<int16_t>(samples, samples + count), pcm);
        mem_free(samples);

        const call_result from_file = process_file(h.engine, path);
        const call_result from_pcm = process_samples(h.engine, pcm);
        EXPECT_EQ(from_file.status, from_pcm.status);
        EXPECT_EQ(from_file.messages, from_pcm.messages);
        EXPECT_EQ(from_file.num_segments, from_pcm.num_segments);
        ASSERT_EQ(from_file.segments.size(), from_pcm.segments.size());
        for (size_t i = 0; i < from_pcm.segments.size(); ++i) {
            EXPECT_EQ(from_file.segments[i].start_seconds, from_pcm.segments[i].start_seconds);
            EXPECT_EQ(from_file.segments[i].end_seconds, from_pcm.segments[i].end_seconds);
            EXPECT_EQ(from_file.segments[i].speaker_label, from_pcm.segments[i].speaker_label);
        }
    }
}

TEST(ProcessFile, ShortRecordingsFailInThePipeline) {
    engine_holder h;
    // 300 samples at 16 kHz, and 200 at 8 kHz (400 once doubled).
    const std::string at16 =
        write_fixture_bytes("short16", pcm16_wav_bytes(std::vector<int16_t>(300, 9), 1, 16000));
    const std::string at8 =
        write_fixture_bytes("short8", pcm16_wav_bytes(std::vector<int16_t>(200, 9), 1, 8000));
    for (const auto &[path, count] : {std::pair{at16, 300}, std::pair{at8, 400}}) {
        const call_result r = process_file(h.engine, path);
        EXPECT_EQ(r.status, ZR_STATUS_INVALID_ARGUMENT);
        EXPECT_EQ(r.messages, std::vector<std::string>{
                                  "Argument `num_samples` value `" + std::to_string(count) +
                                  "` is less than the minimum acceptable value of `512`."});
    }
}

// A reader that claims `frames` frames but can supply only `supply`.
struct fake_reader {
    int32_t rate;
    uint64_t frames;
    uint64_t supply;
    uint64_t delivered = 0;
    int closes = 0;
};

const audio_reader_ops fake_ops = {
    [](const char *, void **) { return ZR_STATUS_SUCCESS; },
    [](void *h) { static_cast<fake_reader *>(h)->closes += 1; },
    [](void *h) { return static_cast<fake_reader *>(h)->frames; },
    [](void *) { return 1; },
    [](void *h) { return static_cast<fake_reader *>(h)->rate; },
    [](void *h, int32_t n, int16_t *dst) {
        auto *f = static_cast<fake_reader *>(h);
        for (int32_t i = 0; i < n; ++i, ++f->delivered) {
            if (f->delivered >= f->supply) return ZR_STATUS_IO_ERROR;
            dst[i] = 1000;
        }
        return ZR_STATUS_SUCCESS;
    },
};

struct converted {
    zr_status_t status = ZR_STATUS_SUCCESS;
    std::vector<int16_t> samples;
    std::vector<std::string> messages;
    int closes = 0;
};

converted convert(fake_reader fake) {
    error_stack_reset();
    auto *reader = static_cast<audio_reader *>(mem_calloc(1, sizeof(audio_reader)));
    reader->ops = fake_ops;
    reader->handle = &fake;
    int16_t *samples = nullptr;
    int32_t count = 0;
    converted out;
    out.status = convert_recording(reader, &samples, &count);
    if (samples != nullptr) out.samples.assign(samples, samples + count);
    mem_free(samples);
    out.messages = take_errors().messages;
    out.closes = fake.closes;
    return out;
}

TEST(ProcessFile, EndOfFileTolerance) {
    // 48 kHz: up to 1024 output samples missing is silence at the end.
    const converted near = convert({48000, 480000, 480000 - 1500});
    ASSERT_EQ(near.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(near.closes, 1);
    ASSERT_EQ(near.samples.size(), 160000u);
    EXPECT_NEAR(near.samples[150000], 1000, 2);
    EXPECT_EQ(near.samples.back(), 0);
    const converted far = convert({48000, 480000, 480000 - 6000});
    EXPECT_EQ(far.status, ZR_STATUS_IO_ERROR);
    EXPECT_EQ(far.messages, std::vector<std::string>{kReadFailed});
    EXPECT_EQ(far.closes, 1);
    // 16 kHz: a single missing frame fails.
    const converted exact = convert({16000, 5000, 5000});
    ASSERT_EQ(exact.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(exact.samples, std::vector<int16_t>(5000, 1000));
    const converted one_short = convert({16000, 5000, 4999});
    EXPECT_EQ(one_short.status, ZR_STATUS_IO_ERROR);
    EXPECT_EQ(one_short.messages, std::vector<std::string>{kReadFailed});
    // 8 kHz doubles; 44.1 kHz fills exactly the computed length.
    EXPECT_EQ(convert({8000, 3000, 3000}).samples.size(), 6000u);
    const converted odd = convert({44100, 441001, 441001});
    ASSERT_EQ(odd.status, ZR_STATUS_SUCCESS);
    EXPECT_EQ(odd.samples.size(), 160001u);
    EXPECT_NEAR(odd.samples.back(), 1000, 2);
}

TEST(ProcessFile, RecordingsTooLongForTheBuffer) {
    for (const fake_reader fake : {fake_reader{16000, uint64_t{1} << 31, 0},
                                   fake_reader{16000, ~uint64_t{0}, 0},
                                   fake_reader{48000, uint64_t{3} << 31, 0},
                                   fake_reader{8000, uint64_t{1} << 30, 0},
                                   fake_reader{48000, uint64_t{1} << 62, 0}}) {
        alloc_fail_at(0);
        const converted c = convert(fake);
        EXPECT_EQ(c.status, ZR_STATUS_OUT_OF_MEMORY) << fake.frames;
        EXPECT_EQ(c.messages, std::vector<std::string>{kOutOfMemory});
        EXPECT_EQ(c.closes, 1);
        EXPECT_LT(alloc_largest(), size_t{1} << 20);  // refused before any attempt
    }
    const converted c = convert({11025, 5000, 5000});
    EXPECT_EQ(c.status, ZR_STATUS_INVALID_ARGUMENT);
    EXPECT_EQ(c.messages, std::vector<std::string>{kComponent});
    EXPECT_EQ(c.closes, 1);
    const converted high = convert({768000, 5000, 5000});
    EXPECT_EQ(high.status, ZR_STATUS_INVALID_ARGUMENT);
}

// What a call that fails its k-th allocation must report, once the clean
// call has shown where each stage's allocations lie.
struct allocation_plan {
    int64_t in_driver = 0;    // allocations of decoding and conversion
    int64_t in_pipeline = 0;  // allocations of zr_quorva_process on the samples
};

allocation_plan plan_allocations(zr_quorva_t *engine, const std::string &path) {
    allocation_plan plan;
    error_stack_reset();
    alloc_fail_at(0);
    int16_t *samples = nullptr;
    int32_t count = 0;
    EXPECT_EQ(decode_audio_file(path.c_str(), &samples, &count), ZR_STATUS_SUCCESS) << path;
    plan.in_driver = alloc_count();
    if (samples == nullptr) return plan;
    const std::vector<int16_t> pcm(samples, samples + count);
    mem_free(samples);
    alloc_fail_at(0);
    EXPECT_EQ(process_samples(engine, pcm).status, ZR_STATUS_SUCCESS) << path;
    plan.in_pipeline = alloc_count();
    alloc_fail_at(0);
    return plan;
}

// The messages of zr_quorva_process when its j-th allocation fails: the
// feature matrix, the front end's working buffer, the label array and the
// embedding matrix come first, the segment array last, the network's and
// the clustering's own in between.
std::vector<std::string> pipeline_failure_messages(int64_t j, int64_t in_pipeline) {
    const std::string failed = coded_message(0x136);
    if (j == 1 || j == 3) return {kOutOfMemory};
    if (j == 2) return {failed};
    if (j == 4 || j == in_pipeline) return {kOutOfMemory, failed};
    return {failed, failed};
}

// Fails each allocation of a zr_quorva_process_file call in turn. In the
// driver, the allocations before the output buffer belong to the reader's
// open and the rate conversion (the component message), the output buffer
// has its own message, and any allocation while reading is a read failure;
// in the pipeline each allocation has the messages of zr_quorva_process.
// Leaks are left to LeakSanitizer. Allocations inside the decoding libraries
// do not go through the hook and are not failed here.
void sweep_allocation_failures(zr_quorva_t *engine, const std::string &path) {
    SCOPED_TRACE(path);
    alloc_fail_at(0);
    const call_result clean = process_file(engine, path);
    const int64_t clean_count = alloc_count();
    ASSERT_EQ(clean.status, ZR_STATUS_SUCCESS);
    const allocation_plan plan = plan_allocations(engine, path);
    ASSERT_EQ(plan.in_driver + plan.in_pipeline, clean_count);
    ASSERT_GE(plan.in_driver, 3);  // reader record, reader handle, output buffer
    ASSERT_GE(plan.in_pipeline, 6);

    int64_t output_buffer = 0;  // the allocation whose failure is the buffer's
    for (int64_t k = 1; k <= clean_count + 1; ++k) {
        SCOPED_TRACE("k=" + std::to_string(k));
        alloc_fail_at(k);
        const call_result r = process_file(engine, path);
        const int64_t made = alloc_count();
        alloc_fail_at(0);
        if (k > clean_count) {
            // Nothing failed: the clean call again.
            EXPECT_LT(made, k);
            EXPECT_EQ(r.status, clean.status);
            EXPECT_EQ(r.messages, clean.messages);
            EXPECT_EQ(r.num_segments, clean.num_segments);
            break;
        }
        ASSERT_GE(made, k);
        if (k <= plan.in_driver) {
            EXPECT_EQ(r.num_segments, -7);  // the pipeline never ran
            if (output_buffer == 0 && r.messages == std::vector<std::string>{kOutOfMemory}) {
                output_buffer = k;
                EXPECT_EQ(r.status, ZR_STATUS_OUT_OF_MEMORY);
            } else if (output_buffer == 0) {
                EXPECT_EQ(r.status, ZR_STATUS_OUT_OF_MEMORY);
                ASSERT_FALSE(r.messages.empty());
                EXPECT_EQ(r.messages.back(), kComponent);
            } else {
                EXPECT_EQ(r.status, ZR_STATUS_IO_ERROR);
                EXPECT_EQ(r.messages, std::vector<std::string>{kReadFailed});
            }
        } else {
            const int64_t j = k - plan.in_driver;
            EXPECT_EQ(r.status, ZR_STATUS_OUT_OF_MEMORY);
            EXPECT_EQ(r.messages, pipeline_failure_messages(j, plan.in_pipeline));
            EXPECT_TRUE(r.segments.empty());
            EXPECT_EQ(r.num_segments, j == plan.in_pipeline ? clean.num_segments : 0);
        }
    }
    EXPECT_GT(output_buffer, 1);
}

TEST(ProcessFile, EveryAllocationFailureOfWavFlacMp3) {
    engine_holder h;
    AUDIO_FIXTURE_OR_SKIP(wav16, "sweep_wav16", "sox", "sox {in} -b 16 {out} trim 0 2", ".wav");
    AUDIO_FIXTURE_OR_SKIP(wav48, "stereo48", "sox", "sox -M {in} {in2} -b 16 -r 48000 {out} trim 0 2", ".wav");
    AUDIO_FIXTURE_OR_SKIP(wav24, "sweep_wav24", "sox", "sox -M {in} {in2} -b 24 -r 44100 {out} trim 0 1.5", ".wav");
    AUDIO_FIXTURE_OR_SKIP(wavf, "sweep_float", "sox", "sox {in} -e floating-point -b 32 {out} trim 0 1.5", ".wav");
    AUDIO_FIXTURE_OR_SKIP(flac, "sweep_flac", "flac",
                          "sox -M {in} {in2} -r 22050 -t wav - trim 0 1.5 | flac -s -f -o {out} -", ".flac");
    AUDIO_FIXTURE_OR_SKIP(mp3, "sweep_mp3", "lame",
                          "sox -M {in} {in2} -r 44100 -t wav - trim 0 1 | lame --quiet - {out}", ".mp3");
    for (const std::string &path : {wav16, wav48, wav24, wavf, flac, mp3})
        sweep_allocation_failures(h.engine, path);
}

TEST(ProcessFile, EveryAllocationFailureOfOggAndWebm) {
    engine_holder h;
    AUDIO_FIXTURE_OR_SKIP(opus, "sweep_opus", "opusenc",
                          "sox {in} -t wav - trim 0 1.5 | opusenc --quiet - {out}", ".opus");
    AUDIO_FIXTURE_OR_SKIP(vorbis, "sweep_vorbis", "oggenc",
                          "sox -M {in} {in2} -t wav - trim 0 1.5 | oggenc -Q -o {out} -", ".ogg");
    AUDIO_FIXTURE_OR_SKIP(webm_opus, "sweep_webm_opus", "ffmpeg",
                          "ffmpeg -nostdin -v error -y -i {in} -t 1.5 -c:a libopus -b:a 32k -f webm {out}",
                          ".webm");
    AUDIO_FIXTURE_OR_SKIP(webm_vorbis, "sweep_webm_vorbis", "ffmpeg",
                          "ffmpeg -nostdin -v error -y -i {in} -i {in2} -t 1.5 "
                          "-filter_complex amerge=inputs=2 -c:a libvorbis -f webm {out}",
                          ".webm");
    for (const std::string &path : {opus, vorbis, webm_opus, webm_vorbis})
        sweep_allocation_failures(h.engine, path);
}

TEST(ProcessFile, EveryAllocationFailureOfMp4And3gp) {
    engine_holder h;
    std::vector<fixture_file> files;
#ifdef QUORVA_WITH_AAC
    files.push_back(make_aac_fixture({.seconds = 1.5}));
    files.push_back(make_aac_fixture(
        {.sample_rate = 44100, .channels = 2, .layout = moov_place::fragmented, .seconds = 1.5}));
#endif
    files.push_back(make_amr_fixture(7, 1.5));
    for (const fixture_file &f : files)
        if (f.path.empty()) GTEST_SKIP() << f.skip_reason;
    for (const fixture_file &f : files) sweep_allocation_failures(h.engine, f.path);
}

// Cut and damaged copies of every fixture: each call returns a status and
// releases everything (run under ASan).
TEST(ProcessFile, TruncatedAndDamagedFiles) {
    struct source {
        const char *name;
        const char *tool;
        const char *command;
        const char *suffix;
    };
    const source sources[] = {
        {"fz_wav16", "sox", "sox {in} -b 16 {out} trim 0 1", ".wav"},
        {"fz_wav48s", "sox", "sox -M {in} {in2} -b 24 -r 48000 {out} trim 0 1", ".wav"},
        {"fz_float", "sox", "sox {in} -e floating-point {out} trim 0 1", ".wav"},
        {"fz_ima", "sox", "sox {in} -e ima-adpcm -r 8000 {out} trim 0 1", ".wav"},
        {"fz_ms", "sox", "sox {in} -e ms-adpcm {out} trim 0 1", ".wav"},
        {"fz_flac", "sox", "sox -M {in} {in2} -r 22050 {out} trim 0 1", ".flac"},
        {"fz_mp3", "lame", "sox {in} -t wav - trim 0 1 | lame --quiet -b 64 - {out}", ".mp3"},
        // Two streams back to back: the rate and channel count change midway.
        {"fz_mp3mixed", "lame",
         "sox {in} -t wav - trim 0 1 | lame --quiet -b 64 - {out}.a && "
         "sox -M {in} {in2} -r 44100 -t wav - trim 0 1 | lame --quiet - {out}.b && "
         "cat {out}.a {out}.b > {out} && rm {out}.a {out}.b",
         ".mp3"},
        {"fz_mp3id3", "lame",
         "sox -M {in} {in2} -r 44100 -t wav - trim 0 1 | lame --quiet --add-id3v2 --tt T - {out}", ".mp3"},
    };
    std::mt19937 rng(1234);
    int calls = 0;
    for (const source &s : sources) {
        AUDIO_FIXTURE_OR_SKIP(path, s.name, s.tool, s.command, s.suffix);
        const std::vector<uint8_t> bytes = read_file_bytes(path);
        ASSERT_GT(bytes.size(), 200u) << s.name;
        std::vector<std::vector<uint8_t>> variants;
        for (size_t cut : {size_t{35}, size_t{44}, size_t{60}, size_t{100}, size_t{300},
                           bytes.size() / 3, bytes.size() / 2, bytes.size() - 1})
            variants.emplace_back(bytes.begin(), bytes.begin() + static_cast<long>(cut));
        for (int flip = 0; flip < 24; ++flip) {
            std::vector<uint8_t> damaged = bytes;
            // Most flips land in the headers, where the counts are.
            const size_t span = flip % 2 ? damaged.size() : std::min<size_t>(damaged.size(), 256);
            for (int j = 0; j < 1 + flip % 4; ++j)
                damaged[rng() % span] ^= static_cast<uint8_t>(1u << (rng() % 8));
            variants.push_back(std::move(damaged));
        }
        for (size_t v = 0; v < variants.size(); ++v) {
            const std::string file = write_fixture_bytes(std::string(s.name) + "_v", variants[v]);
            error_stack_reset();
            int16_t *samples = nullptr;
            int32_t count = -1;
            const zr_status_t status = decode_audio_file(file.c_str(), &samples, &count);
            if (status == ZR_STATUS_SUCCESS) {
                EXPECT_GE(count, 0);
                mem_free(samples);
            } else {
                EXPECT_EQ(samples, nullptr);
                EXPECT_FALSE(take_errors().messages.empty()) << s.name << " variant " << v;
            }
            ++calls;
        }
    }
    EXPECT_GT(calls, 0);
}

TEST(ProcessFile, ThreadsDecodeIndependently) {
    AUDIO_FIXTURE_OR_SKIP(wav, "thr_wav", "sox", "sox {in} -b 16 -r 48000 {out} trim 0 1", ".wav");
    AUDIO_FIXTURE_OR_SKIP(mp3, "thr_mp3", "lame", "sox {in} -t wav - trim 0 1 | lame --quiet -b 64 - {out}", ".mp3");
    const auto decode_once = [](const std::string &path) {
        int16_t *samples = nullptr;
        int32_t count = 0;
        std::vector<int16_t> out;
        if (decode_audio_file(path.c_str(), &samples, &count) == ZR_STATUS_SUCCESS)
            out.assign(samples, samples + count);
        mem_free(samples);
        return out;
    };
    const std::vector<int16_t> wav_ref = decode_once(wav);
    const std::vector<int16_t> mp3_ref = decode_once(mp3);
    ASSERT_FALSE(wav_ref.empty());
    ASSERT_FALSE(mp3_ref.empty());
    std::vector<std::thread> threads;
    std::vector<int> mismatches(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 3; ++i) {
                const bool even = t % 2 == 0;
                if (decode_once(even ? wav : mp3) != (even ? wav_ref : mp3_ref)) mismatches[t] += 1;
            }
        });
    }
    for (std::thread &t : threads) t.join();
    EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

}  // namespace

#endif  // QUORVA_WITH_FILE_READERS
