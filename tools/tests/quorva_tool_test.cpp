// The quorva tool run as a user runs it: exit statuses, standard output and
// standard error.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>

#include "audio/decode_file.h"
#include "cli/segment_writers.h"
#include "cli/wav_writer.h"
#include "common/alloc.h"
#include "scoring/rttm.h"
#include "support/model_writer.h"
#include "zr_quorva.h"

namespace {

struct tool_run {
    int exit_status = -1;
    std::string out;
    std::string err;
};

std::string quoted(const std::string &arg) {
    std::string q = "'";
    for (char c : arg) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

tool_run run_tool(const std::vector<std::string> &args) {
    static const std::string dir = temp_directory();
    const std::string err_path = dir + "/stderr.txt";
    std::string command = quoted(QUORVA_TOOL_PATH);
    for (const std::string &a : args) command += " " + quoted(a);
    command += " 2>" + quoted(err_path);
    tool_run run;
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, got);
    const int status = pclose(pipe);
    run.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.err = read_file(err_path);
    return run;
}

bool contains(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// A few seconds of two alternating synthetic voices at 16 kHz.
std::vector<int16_t> synthetic_speech() {
    std::vector<int16_t> pcm(16000 * 6);
    for (size_t i = 0; i < pcm.size(); ++i) {
        const double t = static_cast<double>(i) / 16000.0;
        const double f = (static_cast<int>(t) % 2 == 0) ? 140.0 : 230.0;
        pcm[i] = static_cast<int16_t>(6000.0 * std::sin(2.0 * M_PI * f * t) +
                                      2000.0 * std::sin(2.0 * M_PI * 3.1 * f * t));
    }
    return pcm;
}

TEST(QuorvaTool, VersionHelpAndUsageErrors) {
    tool_run r = run_tool({"--version"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, std::string("quorva 1.0.0 (library ") + zr_quorva_version() + ")\n");

    r = run_tool({"--help"});
    EXPECT_EQ(r.exit_status, 0);
    for (const char *command : {"diarize", "score", "decode", "info"}) {
        EXPECT_TRUE(contains(r.out, command)) << r.out;
        const tool_run help = run_tool({command, "--help"});
        EXPECT_EQ(help.exit_status, 0) << command;
        EXPECT_TRUE(contains(help.out, std::string("Usage: quorva ") + command)) << help.out;
    }

    r = run_tool({});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_TRUE(contains(r.err, "Usage: quorva")) << r.err;
    r = run_tool({"transcribe"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_TRUE(contains(r.err, "unknown command 'transcribe'")) << r.err;
    r = run_tool({"diarize", "--format", "csv", "a.wav"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_TRUE(contains(r.err, "unknown format 'csv'")) << r.err;
    r = run_tool({"diarize", "--threads", "0", "a.wav"});
    EXPECT_EQ(r.exit_status, 2);
    r = run_tool({"diarize", "--model"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_TRUE(contains(r.err, "--model needs a file")) << r.err;
    r = run_tool({"score", "only-one.rttm"});
    EXPECT_EQ(r.exit_status, 2);
    r = run_tool({"score", "--collar", "-1", "a", "b"});
    EXPECT_EQ(r.exit_status, 2);
}

TEST(QuorvaTool, ScorePrintsPerRecordingAndTotal) {
    temp_file ref(std::vector<uint8_t>{}, ".rttm");
    {
        const std::string text =
            "SPEAKER rec 1 0.000 10.000 <NA> <NA> A <NA> <NA>\n"
            "SPEAKER rec 1 5.000 10.000 <NA> <NA> B <NA> <NA>\n";
        std::ofstream(ref.path()) << text;
    }
    temp_file hyp(std::vector<uint8_t>{}, ".rttm");
    std::ofstream(hyp.path()) << "SPEAKER rec 1 0.000 15.000 <NA> <NA> speaker1 <NA> <NA>\n"
                                 "SPEAKER other 1 0.000 1.000 <NA> <NA> speaker1 <NA> <NA>\n";
    tool_run r = run_tool({"score", ref.path(), hyp.path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "rec                         50.00    25.00     0.00    25.00       20.000\n"))
        << r.out;
    EXPECT_TRUE(contains(r.out, "TOTAL                       50.00")) << r.out;
    EXPECT_TRUE(contains(r.err, "'other' is not in the reference")) << r.err;

    r = run_tool({"score", "--collar=0", ref.path(), ref.path()});
    EXPECT_TRUE(contains(r.out, "TOTAL                        0.00     0.00     0.00     0.00       20.000"))
        << r.out;

    temp_file uem(std::vector<uint8_t>{}, ".uem");
    std::ofstream(uem.path()) << "rec NA 0 5\n";
    r = run_tool({"score", "--uem", uem.path(), ref.path(), hyp.path()});
    EXPECT_TRUE(contains(r.out, "TOTAL                        0.00     0.00     0.00     0.00        5.000"))
        << r.out;

    r = run_tool({"score", ref.path(), "/nonexistent.rttm"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, "cannot open /nonexistent.rttm")) << r.err;
}

TEST(QuorvaTool, InfoDescribesAModelOrReportsTheLoaderMessages) {
    temp_file model(serialize_model(random_model({.layers = 2, .hidden = 8, .embedding = 4}, 7)));
    tool_run r = run_tool({"info", model.path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(contains(r.out, "recurrent layers: 2, bidirectional")) << r.out;
    EXPECT_TRUE(contains(r.out, "MACs per frame:   5024")) << r.out;

    model_desc broken = random_model({}, 7);
    broken.version = "1.0.1";
    temp_file bad(serialize_model(broken));
    r = run_tool({"info", bad.path()});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, std::string(bad.path()) +
                         ": INVALID_ARGUMENT\n  Quorva model (.zr) file belongs to a different version "
                         "of the library. File is `1.0.1` while library is `1.0.0`.\n");
}

TEST(QuorvaTool, FailingFilesOnWorkerThreadsAreReportedWithTheirErrorStack) {
    temp_file model(serialize_model(random_model({}, 11)));
    // A file too short to recognise fails in the file driver whatever the
    // state of the pipeline.
    temp_file tiny(std::vector<uint8_t>{'R', 'I', 'F', 'F'}, ".wav");
    const tool_run r = run_tool({"diarize", "--model", model.path(), "--threads", "2", tiny.path(),
                                 "/nonexistent/audio.flac"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_TRUE(contains(r.err, std::string(tiny.path()) + ": ")) << r.err;
    EXPECT_TRUE(contains(r.err, "/nonexistent/audio.flac: ")) << r.err;
    EXPECT_TRUE(contains(r.err, "\n  Zirtek Error (code `0000012C`)\n")) << r.err;
    EXPECT_EQ(r.out, "");  // nothing to list in RTTM

    const tool_run json = run_tool({"diarize", "--model", model.path(), "--format", "json", tiny.path()});
    EXPECT_EQ(json.exit_status, 1);
    EXPECT_TRUE(contains(json.out, "\"status\": \"")) << json.out;

    const tool_run no_model = run_tool({"diarize", "--model", "/nonexistent.zr", tiny.path()});
    EXPECT_EQ(no_model.exit_status, 1);
    EXPECT_EQ(no_model.err, "quorva diarize: model /nonexistent.zr: IO_ERROR\n"
                            "  Failed to open file `/nonexistent.zr`.\n");
}

TEST(QuorvaTool, DiarizeOnWorkerThreadsWritesWhatTheLibraryFinds) {
    temp_file model(serialize_model(random_model({.layers = 1, .hidden = 16, .embedding = 8}, 21)));
    const std::vector<int16_t> pcm = synthetic_speech();
    temp_file wav(wav_file_bytes(pcm.data(), static_cast<int32_t>(pcm.size()), 16000, 1), ".wav");

    zr_quorva_t *engine = nullptr;
    ASSERT_EQ(zr_quorva_init(model.path(), &engine), ZR_STATUS_SUCCESS);
    int32_t count = 0;
    zr_quorva_segment_t *segments = nullptr;
    const zr_status_t status = zr_quorva_process_file(engine, wav.path(), &count, &segments);
    zr_quorva_delete(engine);
    if (status == ZR_STATUS_RUNTIME_ERROR)
        GTEST_SKIP() << "zr_quorva_process_file is not built yet (RUNTIME_ERROR)";
    ASSERT_EQ(status, ZR_STATUS_SUCCESS);

    const tool_run r = run_tool({"diarize", "--model", model.path(), wav.path(), wav.path()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    turn_table turns;
    std::string error;
    ASSERT_TRUE(parse_rttm(r.out, turns, error)) << error;
    const std::string uri = recording_uri(wav.path());
    ASSERT_EQ(turns.size(), count > 0 ? 1u : 0u);
    if (count > 0) {
        // The same file twice gives every segment twice.
        ASSERT_EQ(turns[uri].size(), 2u * static_cast<size_t>(count));
        for (int32_t i = 0; i < count; ++i) {
            const speaker_turn &t = turns[uri][static_cast<size_t>(i)];
            EXPECT_EQ(t.start, std::llround(segments[i].start_seconds * 1000.0) * 1000);
            EXPECT_EQ(t.end, (std::llround(segments[i].end_seconds * 1000.0) + 32) * 1000);
            EXPECT_EQ(t.speaker, "speaker" + std::to_string(segments[i].speaker_label));
        }
    }
    zr_quorva_segments_delete(segments);
}

TEST(QuorvaTool, DecodeWritesTheSamplesTheEngineReceives) {
#if !QUORVA_WITH_FILE_READERS
    GTEST_SKIP() << "built without the audio file readers";
#else
    const std::vector<int16_t> pcm = synthetic_speech();
    temp_file wav(wav_file_bytes(pcm.data(), static_cast<int32_t>(pcm.size()), 16000, 1), ".wav");
    int16_t *decoded = nullptr;
    int32_t count = 0;
    const zr_status_t status = decode_file_to_pcm(wav.path(), &decoded, &count);
    ASSERT_EQ(status, ZR_STATUS_SUCCESS);
    mem_free(decoded);

    const std::string out = temp_directory() + "/decoded.wav";
    const tool_run r = run_tool({"decode", wav.path(), out});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    // A 16 kHz mono file passes through untouched.
    const std::string bytes = read_file(out);
    const std::vector<uint8_t> expected = wav_file_bytes(pcm.data(), static_cast<int32_t>(pcm.size()), 16000, 1);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), expected);
    std::remove(out.c_str());
#endif
}

TEST(QuorvaTool, DecodeReportsTheErrorStack) {
    const tool_run r = run_tool({"decode", "/nonexistent/in.flac", "/nonexistent/out.wav"});
    EXPECT_EQ(r.exit_status, 1);
#if QUORVA_WITH_FILE_READERS
    EXPECT_TRUE(contains(r.err, "/nonexistent/in.flac: ")) << r.err;
    EXPECT_TRUE(contains(r.err, "\n  Zirtek Error (code `0000012C`)\n")) << r.err;
#else
    EXPECT_EQ(r.err, "quorva decode: this build has no audio file readers\n");
#endif
}

}  // namespace

namespace {

const std::string kSample = std::string(QUORVA_SOURCE_DIR) + "/samples/ami-dev00.flac";

TEST(QuorvaTool, SpeakerOptionsAndTheSpeakersInJson) {
    const tool_run plain = run_tool({"diarize", kSample});
    ASSERT_EQ(plain.exit_status, 0) << plain.err;
    // Defaults written out give the same bytes.
    const tool_run zero = run_tool({"diarize", "--min-duration-off", "0", kSample});
    EXPECT_EQ(zero.out, plain.out);

    const tool_run three = run_tool({"diarize", "--num-speakers", "3", kSample});
    ASSERT_EQ(three.exit_status, 0) << three.err;
    turn_table turns;
    std::string error;
    ASSERT_TRUE(parse_rttm(three.out, turns, error)) << error;
    std::set<std::string> names;
    for (const speaker_turn &t : turns["ami-dev00"]) names.insert(t.speaker);
    EXPECT_EQ(names, (std::set<std::string>{"speaker1", "speaker2", "speaker3"}));

    const tool_run json = run_tool({"diarize", "--format", "json", "--max-speakers=2", kSample});
    ASSERT_EQ(json.exit_status, 0) << json.err;
    EXPECT_TRUE(contains(json.out, "\"speaker_count_met\": true")) << json.out;
    EXPECT_TRUE(contains(json.out, "\"speakers\": [\n        {\"label\": 1, \"speaker\": \"speaker1\", \"seconds\": "))
        << json.out;
    EXPECT_TRUE(contains(json.out, ", \"embedding\": [")) << json.out;

    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--num-speakers", "0"}, "--num-speakers must be a number from 1 to 1000"},
        {{"--max-speakers", "two"}, "--max-speakers must be a number from 1 to 1000"},
        {{"--min-speakers"}, "--min-speakers needs a number"},
        {{"--num-speakers", "2", "--min-speakers", "1"},
         "--num-speakers cannot be given with --min-speakers or --max-speakers"},
        {{"--min-speakers", "3", "--max-speakers", "2"}, "--min-speakers is greater than --max-speakers"},
        {{"--min-duration-off", "-1"}, "--min-duration-off must be seconds from 0 to 3600"},
        {{"--min-duration-off", "nan"}, "--min-duration-off must be seconds from 0 to 3600"},
    };
    for (const auto &[flags, message] : refused) {
        std::vector<std::string> args{"diarize"};
        args.insert(args.end(), flags.begin(), flags.end());
        if (flags.size() > 1) args.push_back(kSample);
        const tool_run r = run_tool(args);
        EXPECT_EQ(r.exit_status, 2) << message;
        EXPECT_TRUE(contains(r.err, "quorva diarize: " + message + "\n")) << r.err;
    }
}

TEST(QuorvaTool, PlainReasonsComeBeforeTheStatusAndErrorStack) {
    const std::string dir = temp_directory();
    const tool_run missing = run_tool({"diarize", dir + "/missing.wav"});
    EXPECT_EQ(missing.exit_status, 1);
    EXPECT_TRUE(contains(missing.err, dir + "/missing.wav: cannot open '" + dir +
                                          "/missing.wav': No such file or directory\n" + dir +
                                          "/missing.wav: IO_ERROR\n  "))
        << missing.err;
    const tool_run folder = run_tool({"diarize", dir});
    EXPECT_TRUE(contains(folder.err, "cannot open '" + dir + "': Is a directory\n")) << folder.err;
    temp_file text(std::vector<uint8_t>(100, 'x'), ".wav");
    const tool_run junk = run_tool({"diarize", text.path()});
    EXPECT_EQ(junk.exit_status, 1);
    EXPECT_TRUE(contains(junk.err, std::string(text.path()) +
                                       ": not a recognised audio format (WAV, FLAC, MP3, Ogg "
                                       "Opus/Vorbis, WebM, MP4/M4A/3GP)\n" +
                                       text.path() + ": "))
        << junk.err;
    // A recognised file that fails deeper has no plain reason, only the stack.
    std::vector<int16_t> pcm(100, 0);
    temp_file short_wav(wav_file_bytes(pcm.data(), 100, 16000, 1), ".wav");
    const tool_run short_run = run_tool({"diarize", short_wav.path()});
    EXPECT_EQ(short_run.exit_status, 1);
    EXPECT_EQ(short_run.err.find("cannot open"), std::string::npos) << short_run.err;
    EXPECT_EQ(short_run.err.find("not a recognised"), std::string::npos) << short_run.err;
    EXPECT_EQ(zr_quorva_file_problem(nullptr), nullptr);
}

}  // namespace
