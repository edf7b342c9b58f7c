#include "scoring/rttm.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace {

std::vector<std::string> split_fields(const std::string &line) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    std::string field;
    while (in >> field) fields.push_back(field);
    return fields;
}

// A finite decimal number, the whole field.
bool parse_seconds(const std::string &field, double &out) {
    if (field.empty()) return false;
    char *end = nullptr;
    errno = 0;
    const double v = std::strtod(field.c_str(), &end);
    if (errno != 0 || end != field.c_str() + field.size() || !std::isfinite(v)) return false;
    // Beyond about 290 000 years the microsecond count would overflow.
    if (std::fabs(v) > 9.0e12) return false;
    out = v;
    return true;
}

bool skip_line(const std::vector<std::string> &fields) {
    return fields.empty() || fields[0][0] == ';' || fields[0][0] == '#';
}

std::string line_error(int number, const std::string &what) {
    return "line " + std::to_string(number) + ": " + what;
}

}  // namespace

time_us seconds_to_us(double seconds) { return std::llround(seconds * 1e6); }

bool parse_rttm(const std::string &text, turn_table &turns, std::string &error) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::vector<std::string> fields = split_fields(line);
        if (skip_line(fields) || fields[0] != "SPEAKER") continue;
        if (fields.size() < 8) {
            error = line_error(number, "expected at least 8 fields in a SPEAKER line");
            return false;
        }
        double onset = 0.0, duration = 0.0;
        if (!parse_seconds(fields[3], onset) || !parse_seconds(fields[4], duration)) {
            error = line_error(number, "onset and duration must be numbers");
            return false;
        }
        if (onset < 0.0 || duration < 0.0) {
            error = line_error(number, "negative onset or duration");
            return false;
        }
        std::vector<speaker_turn> &list = turns[fields[1]];  // a file with no turns still counts
        const time_us start = seconds_to_us(onset);
        const time_us end = start + seconds_to_us(duration);
        if (end > start) list.push_back({fields[7], start, end});
    }
    return true;
}

bool parse_uem(const std::string &text, region_table &regions, std::string &error) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::vector<std::string> fields = split_fields(line);
        if (skip_line(fields)) continue;
        if (fields.size() < 4) {
            error = line_error(number, "expected <file> <channel> <start> <end>");
            return false;
        }
        double start = 0.0, end = 0.0;
        if (!parse_seconds(fields[2], start) || !parse_seconds(fields[3], end) || start < 0.0 ||
            end < start) {
            error = line_error(number, "start and end must be numbers with 0 <= start <= end");
            return false;
        }
        std::vector<time_region> &list = regions[fields[0]];
        if (end > start) list.push_back({seconds_to_us(start), seconds_to_us(end)});
    }
    return true;
}

bool read_text_file(const std::string &path, std::string &text, std::string &error) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot open " + path;
        return false;
    }
    text.clear();
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, got);
    const bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        error = "cannot read " + path;
        return false;
    }
    return true;
}
