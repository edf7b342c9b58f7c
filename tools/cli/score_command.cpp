// quorva score: diarization error rate of a hypothesis RTTM against a reference.
#include <cmath>
#include <cstdlib>

#include "cli/command_line.h"
#include "scoring/der.h"

namespace {

std::string percent(const der_counts &c, time_us part) {
    if (c.scored_speech == 0) return part == 0 ? "0.00" : "inf";
    char text[32];
    std::snprintf(text, sizeof text, "%.2f",
                  100.0 * static_cast<double>(part) / static_cast<double>(c.scored_speech));
    return text;
}

void print_row(const std::string &name, const der_counts &c) {
    std::printf("%-24s %8s %8s %8s %8s %12.3f\n", name.c_str(), percent(c, c.errors()).c_str(),
                percent(c, c.missed).c_str(), percent(c, c.false_alarm).c_str(),
                percent(c, c.confusion).c_str(), static_cast<double>(c.scored_speech) / 1e6);
}

bool load_turns(const std::string &path, turn_table &turns) {
    std::string text, error;
    if (!read_text_file(path, text, error) || !parse_rttm(text, turns, error)) {
        std::fprintf(stderr, "quorva score: %s: %s\n", path.c_str(), error.c_str());
        return false;
    }
    return true;
}

}  // namespace

void score_help(FILE *out) {
    std::fprintf(out,
                 "Usage: quorva score [OPTIONS] REFERENCE.rttm HYPOTHESIS.rttm\n\n"
                 "Diarization error rate (DER) of the hypothesis, total and per recording, with\n"
                 "the usual md-eval conventions: speakers paired one to one for the largest\n"
                 "overlap, overlapping speech scored, no scoring within the collar around each\n"
                 "reference boundary, and only the UEM regions scored (without a UEM, the span\n"
                 "from the first to the last reference turn of each recording).\n\n"
                 "Options:\n"
                 "  --collar SECONDS     unscored margin on each side of a reference boundary (default 0)\n"
                 "  --uem FILE           scored regions: '<file> <channel> <start> <end>' per line\n"
                 "  -h, --help           show this help\n\n"
                 "Columns: DER, missed speech, false alarm and speaker confusion as percentages\n"
                 "of the scored reference speech, and that speech in seconds (overlapping\n"
                 "speakers counted once each).\n");
}

int score_command(const argument_list &args) {
    der_options options;
    std::string uem_path;
    std::vector<std::string> files;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string value;
        option_match m;
        if ((m = match_option(args, i, "--collar", value)) != option_match::none) {
            if (m == option_match::missing_value) return usage_error("score", "--collar needs seconds");
            char *end = nullptr;
            const double collar = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(collar >= 0.0) || collar > 3600.0)
                return usage_error("score", "--collar must be a number of seconds from 0 to 3600");
            options.collar = seconds_to_us(collar);
        } else if ((m = match_option(args, i, "--uem", value)) != option_match::none) {
            if (m == option_match::missing_value) return usage_error("score", "--uem needs a file");
            uem_path = value;
        } else if (args[i].size() > 1 && args[i][0] == '-') {
            return usage_error("score", "unknown option '" + args[i] + "'");
        } else {
            files.push_back(args[i]);
        }
    }
    if (files.size() != 2) return usage_error("score", "expected a reference and a hypothesis RTTM file");

    turn_table reference, hypothesis;
    if (!load_turns(files[0], reference) || !load_turns(files[1], hypothesis)) return kExitFailure;
    if (!uem_path.empty()) {
        std::string text, error;
        region_table regions;
        if (!read_text_file(uem_path, text, error) || !parse_uem(text, regions, error)) {
            std::fprintf(stderr, "quorva score: %s: %s\n", uem_path.c_str(), error.c_str());
            return kExitFailure;
        }
        options.uem = std::move(regions);
    }

    const der_report report = score_turns(reference, hypothesis, options);
    for (const std::string &uri : report.hypothesis_only)
        std::fprintf(stderr, "quorva score: warning: '%s' is not in the reference and is not scored\n",
                     uri.c_str());
    if (options.uem) {
        for (const file_score &f : report.files)
            if (options.uem->find(f.uri) == options.uem->end())
                std::fprintf(stderr, "quorva score: warning: '%s' has no UEM region and is not scored\n",
                             f.uri.c_str());
    }
    std::printf("%-24s %8s %8s %8s %8s %12s\n", "recording", "DER%", "miss%", "FA%", "conf%", "scored(s)");
    for (const file_score &f : report.files) print_row(f.uri, f.counts);
    print_row("TOTAL", report.total);
    return kExitSuccess;
}
