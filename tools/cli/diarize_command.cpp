// quorva diarize: runs every file through zr_quorva_process_file on a pool of
// workers, each with an engine of its own (an engine serves one call at a
// time), and writes the results in the order the files were given.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "cli/command_line.h"
#include "cli/error_report.h"
#include "cli/segment_writers.h"
#include "zr_quorva.h"

namespace {

enum class output_format { rttm, json, text };

struct diarize_options {
    std::string model;
    output_format format = output_format::rttm;
    std::string output;  // empty: standard output
    int threads = 0;     // 0: one per core, at most one per file
    zr_quorva_options_t engine_options{};
    std::vector<std::string> files;
};

// A whole number option from 1 to `most`.
bool parse_count(const std::string &value, int most, int32_t *out) {
    char *end = nullptr;
    const long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n < 1 || n > most) return false;
    *out = static_cast<int32_t>(n);
    return true;
}

// A file big enough that its progress is worth showing on its own.
constexpr long long kLongFileBytes = 8LL << 20;

// The speaker-count option at args[i], if it is one: its name, with *field
// the options field it sets.
const char *count_flag(const argument_list &args, size_t &i, std::string &value, option_match &m,
                       zr_quorva_options_t &options, int32_t **field) {
    struct count_option {
        const char *name;
        int32_t *field;
    };
    const count_option flags[] = {{"--num-speakers", &options.num_speakers},
                                  {"--min-speakers", &options.min_speakers},
                                  {"--max-speakers", &options.max_speakers}};
    for (const count_option &flag : flags) {
        if ((m = match_option(args, i, flag.name, value)) != option_match::none) {
            *field = flag.field;
            return flag.name;
        }
    }
    return nullptr;
}

int parse_options(const argument_list &args, diarize_options &opts) {
    zr_quorva_options_init(&opts.engine_options);
    bool only_files = false;
    for (size_t i = 0; i < args.size(); ++i) {
        if (only_files || args[i].empty() || args[i][0] != '-' || args[i] == "-") {
            opts.files.push_back(args[i]);
            continue;
        }
        if (args[i] == "--") {
            only_files = true;
            continue;
        }
        std::string value;
        option_match m;
        int32_t *field = nullptr;
        if ((m = match_option(args, i, "--model", value)) != option_match::none) {
            if (m == option_match::missing_value) return usage_error("diarize", "--model needs a file");
            opts.model = value;
        } else if ((m = match_option(args, i, "--format", value)) != option_match::none) {
            if (m == option_match::missing_value) return usage_error("diarize", "--format needs a value");
            if (value == "rttm") opts.format = output_format::rttm;
            else if (value == "json") opts.format = output_format::json;
            else if (value == "text") opts.format = output_format::text;
            else return usage_error("diarize", "unknown format '" + value + "' (rttm, json or text)");
        } else if ((m = match_option(args, i, "--output", value)) != option_match::none) {
            if (m == option_match::missing_value) return usage_error("diarize", "--output needs a file");
            opts.output = value;
        } else if ((m = match_option(args, i, "--threads", value)) != option_match::none) {
            if (m == option_match::missing_value) return usage_error("diarize", "--threads needs a number");
            char *end = nullptr;
            const long n = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || n < 1 || n > 256)
                return usage_error("diarize", "--threads must be a number from 1 to 256");
            opts.threads = static_cast<int>(n);
        } else if (const char *flag = count_flag(args, i, value, m, opts.engine_options, &field)) {
            if (m == option_match::missing_value) return usage_error("diarize", std::string(flag) + " needs a number");
            if (!parse_count(value, 1000, field))
                return usage_error("diarize", std::string(flag) + " must be a number from 1 to 1000");
        } else if ((m = match_option(args, i, "--min-duration-off", value)) != option_match::none) {
            if (m == option_match::missing_value)
                return usage_error("diarize", "--min-duration-off needs a number of seconds");
            char *end = nullptr;
            const double v = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(v >= 0.0 && v <= 3600.0))
                return usage_error("diarize", "--min-duration-off must be seconds from 0 to 3600");
            opts.engine_options.min_duration_off = static_cast<float>(v);
        } else {
            return usage_error("diarize", "unknown option '" + args[i] + "'");
        }
    }
    const zr_quorva_options_t &o = opts.engine_options;
    if (o.num_speakers > 0 && (o.min_speakers > 0 || o.max_speakers > 0))
        return usage_error("diarize", "--num-speakers cannot be given with --min-speakers or --max-speakers");
    if (o.min_speakers > 0 && o.max_speakers > 0 && o.min_speakers > o.max_speakers)
        return usage_error("diarize", "--min-speakers is greater than --max-speakers");
    if (opts.files.empty()) return usage_error("diarize", "no audio files given");
    if (opts.model.empty()) opts.model = default_model_path();
    return kExitSuccess;
}

// Redraws one status line on standard error until stopped.
class progress_line {
public:
    progress_line(const std::atomic<size_t> &done, size_t total) : done_(done), total_(total) {
        thread_ = std::thread([this] { draw_until_stopped(); });
    }
    ~progress_line() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
        thread_.join();
        std::fputs("\r\033[K", stderr);
    }

private:
    void draw_until_stopped() {
        const auto started = std::chrono::steady_clock::now();
        std::unique_lock<std::mutex> lock(mutex_);
        while (!stopped_) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
            std::fprintf(stderr, "\r\033[Kquorva: %zu/%zu files, %.0f s", done_.load(), total_, seconds);
            std::fflush(stderr);
            wake_.wait_for(lock, std::chrono::milliseconds(250));
        }
    }

    const std::atomic<size_t> &done_;
    const size_t total_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::thread thread_;
};

bool wants_progress(const std::vector<std::string> &files) {
    if (!isatty(STDERR_FILENO)) return false;
    if (files.size() > 1) return true;
    struct stat st;
    return stat(files[0].c_str(), &st) == 0 && st.st_size >= kLongFileBytes;
}

struct file_job {
    file_diarization result;
    std::string error_text;  // status and error stack, when it failed
};

// The plain reason a file could not be read, when there is one, before the
// status and the error stack.
std::string explain_failure(const std::string &path, const call_failure &failure) {
    std::string out;
    if (char *problem = zr_quorva_file_problem(path.c_str())) {
        out = path + ": " + problem + "\n";
        zr_free(problem);
    }
    return out + describe_failure(path, failure);
}

void diarize_one(zr_quorva_t *engine, const zr_quorva_options_t &options, file_job &job) {
    zr_quorva_result_t *result = nullptr;
    job.result.status =
        zr_quorva_process_file_with_options(engine, job.result.path.c_str(), &options, &result);
    if (job.result.status != ZR_STATUS_SUCCESS) {
        job.error_text = explain_failure(job.result.path, collect_failure(job.result.status));
        return;
    }
    try {
        job.result.segments.assign(result->segments, result->segments + result->num_segments);
        job.result.speaker_count_met = result->speaker_count_met != 0;
        for (int32_t s = 0; s < result->num_speakers; ++s) {
            const zr_quorva_speaker_t &speaker = result->speakers[s];
            job.result.speakers.push_back(speaker_summary{
                speaker.speaker_label, speaker.seconds,
                std::vector<float>(speaker.embedding, speaker.embedding + result->embedding_dimension)});
        }
    } catch (const std::bad_alloc &) {
        job.result.status = ZR_STATUS_OUT_OF_MEMORY;
        job.error_text = job.result.path + ": OUT_OF_MEMORY\n  the tool ran out of memory\n";
    }
    zr_quorva_result_delete(result);
}

// Takes files from the shared counter until none is left; owns `engine`.
void worker(zr_quorva_t *engine, const zr_quorva_options_t &options, std::vector<file_job> &jobs,
            std::atomic<size_t> &next, std::atomic<size_t> &done) {
    for (size_t i; (i = next.fetch_add(1)) < jobs.size();) {
        try {
            diarize_one(engine, options, jobs[i]);
        } catch (...) {
            jobs[i].result.status = ZR_STATUS_OUT_OF_MEMORY;
            jobs[i].error_text.clear();  // describe_failure itself ran out of memory
        }
        done.fetch_add(1);
    }
    zr_quorva_delete(engine);
}

std::string render(output_format format, const std::vector<file_diarization> &results) {
    switch (format) {
        case output_format::json: return format_json(results);
        case output_format::text: return format_text(results);
        case output_format::rttm: break;
    }
    return format_rttm(results);
}

bool write_output(const std::string &path, const std::string &text) {
    FILE *out = path.empty() ? stdout : std::fopen(path.c_str(), "wb");
    if (out == nullptr) return false;
    bool ok = std::fwrite(text.data(), 1, text.size(), out) == text.size();
    ok = (path.empty() ? std::fflush(out) : std::fclose(out)) == 0 && ok;
    return ok;
}

}  // namespace

void diarize_help(FILE *out) {
    std::fprintf(out,
                 "Usage: quorva diarize [OPTIONS] AUDIO...\n\n"
                 "Tells who spoke when in each audio file (WAV, FLAC, MP3, Ogg Opus, Ogg Vorbis,\n"
                 "WebM, MP4/M4A/3GP).\n\n"
                 "Options:\n"
                 "  --model FILE         model file (default: %s)\n"
                 "  --format FORMAT      rttm (default), json or text\n"
                 "  --output FILE        write there instead of standard output\n"
                 "  --threads N          files diarized at once, one engine each (default: one per core)\n"
                 "  --num-speakers N     exactly N speakers, where the speech allows that many\n"
                 "  --min-speakers N     at least N speakers\n"
                 "  --max-speakers N     at most N speakers\n"
                 "  --min-duration-off S fill pauses shorter than S seconds inside one speaker's speech\n"
                 "  -h, --help           show this help\n\n"
                 "RTTM lines read 'SPEAKER <file> 1 <onset> <duration> <NA> <NA> speaker<N> <NA> <NA>',\n"
                 "<file> being the file name without directory and extension. A segment covers its\n"
                 "last 32 ms frame. A file that fails is reported with its error messages on standard\n"
                 "error; the others still run, and the exit status is 1. The JSON output also lists\n"
                 "each speaker's time and mean embedding, to match speakers across files.\n",
                 default_model_path().c_str());
}

int diarize_command(const argument_list &args) {
    diarize_options opts;
    if (const int rc = parse_options(args, opts); rc != kExitSuccess) return rc;

    size_t threads = opts.threads > 0 ? static_cast<size_t>(opts.threads)
                                      : std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, opts.files.size());

    // Every engine is made before any file runs, so that a bad model is
    // reported once.
    std::vector<zr_quorva_t *> engines(threads, nullptr);
    for (size_t t = 0; t < threads; ++t) {
        const zr_status_t status = zr_quorva_init(opts.model.c_str(), &engines[t]);
        if (status != ZR_STATUS_SUCCESS) {
            std::fputs(describe_failure("quorva diarize: model " + opts.model, collect_failure(status)).c_str(),
                       stderr);
            for (zr_quorva_t *e : engines) zr_quorva_delete(e);
            return kExitFailure;
        }
    }

    std::vector<file_job> jobs(opts.files.size());
    for (size_t i = 0; i < jobs.size(); ++i) jobs[i].result.path = opts.files[i];
    std::atomic<size_t> next{0}, done{0};
    {
        std::unique_ptr<progress_line> progress;
        if (wants_progress(opts.files)) progress = std::make_unique<progress_line>(done, jobs.size());
        std::vector<std::thread> pool;
        pool.reserve(threads);
        for (size_t t = 1; t < threads; ++t) {
            try {
                pool.emplace_back(worker, engines[t], std::cref(opts.engine_options), std::ref(jobs),
                                  std::ref(next), std::ref(done));
            } catch (const std::exception &) {
                // Fewer workers than asked for: the ones running take all files.
                for (size_t k = t; k < threads; ++k) zr_quorva_delete(engines[k]);
                break;
            }
        }
        worker(engines[0], opts.engine_options, jobs, next, done);
        for (std::thread &t : pool) t.join();
    }

    int exit_status = kExitSuccess;
    std::vector<file_diarization> results;
    results.reserve(jobs.size());
    for (file_job &job : jobs) {
        if (job.result.status != ZR_STATUS_SUCCESS) {
            if (job.error_text.empty()) job.error_text = job.result.path + ": OUT_OF_MEMORY\n";
            std::fputs(job.error_text.c_str(), stderr);
            exit_status = kExitFailure;
        }
        results.push_back(std::move(job.result));
    }
    if (!write_output(opts.output, render(opts.format, results))) {
        std::fprintf(stderr, "quorva diarize: cannot write %s\n",
                     opts.output.empty() ? "standard output" : opts.output.c_str());
        return kExitFailure;
    }
    return exit_status;
}
