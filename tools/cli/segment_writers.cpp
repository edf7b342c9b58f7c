#include "cli/segment_writers.h"

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <set>

namespace {

constexpr int64_t kFrameMs = 32;

// Milliseconds as seconds with three decimals.
std::string seconds_text(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%" PRId64 ".%03" PRId64, ms < 0 ? "-" : "",
                  (ms < 0 ? -ms : ms) / 1000, (ms < 0 ? -ms : ms) % 1000);
    return text;
}

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (const char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char esc[8];
                    std::snprintf(esc, sizeof esc, "\\u%04x", c);
                    out += esc;
                } else {
                    out += ch;  // UTF-8 passes through
                }
        }
    }
    return out + "\"";
}

const char *status_text(zr_status_t status) {
    const char *text = zr_status_to_string(status);
    return text != nullptr ? text : "UNKNOWN";
}

}  // namespace

std::string recording_uri(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0) name.erase(dot);
    return name;
}

segment_span span_of(const zr_quorva_segment_t &segment) {
    // The library rounds times to whole milliseconds; undo the float storage.
    const int64_t start = std::llround(static_cast<double>(segment.start_seconds) * 1000.0);
    const int64_t end = std::llround(static_cast<double>(segment.end_seconds) * 1000.0);
    return {start, end - start + kFrameMs, segment.speaker_label};
}

int count_speakers(const std::vector<zr_quorva_segment_t> &segments) {
    std::set<int32_t> labels;
    for (const zr_quorva_segment_t &s : segments) labels.insert(s.speaker_label);
    return static_cast<int>(labels.size());
}

std::string format_rttm(const std::vector<file_diarization> &files) {
    std::string out;
    for (const file_diarization &f : files) {
        if (f.status != ZR_STATUS_SUCCESS) continue;
        const std::string uri = recording_uri(f.path);
        for (const zr_quorva_segment_t &s : f.segments) {
            const segment_span span = span_of(s);
            out += "SPEAKER " + uri + " 1 " + seconds_text(span.onset_ms) + " " +
                   seconds_text(span.duration_ms) + " <NA> <NA> speaker" +
                   std::to_string(span.speaker) + " <NA> <NA>\n";
        }
    }
    return out;
}

std::string format_json(const std::vector<file_diarization> &files) {
    std::string out = "{\n  \"files\": [";
    for (size_t i = 0; i < files.size(); ++i) {
        const file_diarization &f = files[i];
        out += i == 0 ? "\n" : ",\n";
        out += "    {\n      \"path\": " + json_string(f.path) + ",\n";
        out += "      \"uri\": " + json_string(recording_uri(f.path)) + ",\n";
        out += "      \"status\": " + json_string(status_text(f.status));
        if (f.status == ZR_STATUS_SUCCESS) {
            out += ",\n      \"num_speakers\": " + std::to_string(count_speakers(f.segments));
            out += ",\n      \"segments\": [";
            for (size_t k = 0; k < f.segments.size(); ++k) {
                const segment_span span = span_of(f.segments[k]);
                out += k == 0 ? "\n" : ",\n";
                out += "        {\"onset\": " + seconds_text(span.onset_ms) +
                       ", \"duration\": " + seconds_text(span.duration_ms) +
                       ", \"speaker\": \"speaker" + std::to_string(span.speaker) +
                       "\", \"label\": " + std::to_string(span.speaker) + "}";
            }
            out += f.segments.empty() ? "]" : "\n      ]";
            out += ",\n      \"speaker_count_met\": ";
            out += f.speaker_count_met ? "true" : "false";
            out += ",\n      \"speakers\": [";
            for (size_t k = 0; k < f.speakers.size(); ++k) {
                const speaker_summary &s = f.speakers[k];
                out += k == 0 ? "\n" : ",\n";
                out += "        {\"label\": " + std::to_string(s.label) + ", \"speaker\": \"speaker" +
                       std::to_string(s.label) + "\", \"seconds\": " +
                       seconds_text(std::llround(static_cast<double>(s.seconds) * 1000.0)) +
                       ", \"embedding\": [";
                for (size_t d = 0; d < s.embedding.size(); ++d) {
                    // Nine significant digits give every float back exactly.
                    char value[32];
                    std::snprintf(value, sizeof value, "%s%.9g", d == 0 ? "" : ", ",
                                  static_cast<double>(s.embedding[d]));
                    out += value;
                }
                out += "]}";
            }
            out += f.speakers.empty() ? "]" : "\n      ]";
        }
        out += "\n    }";
    }
    out += files.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return out;
}

std::string format_text(const std::vector<file_diarization> &files) {
    std::string out;
    for (const file_diarization &f : files) {
        if (f.status != ZR_STATUS_SUCCESS) {
            out += f.path + ": failed (" + status_text(f.status) + ")\n\n";
            continue;
        }
        const int speakers = count_speakers(f.segments);
        out += f.path + ": " + std::to_string(speakers) + (speakers == 1 ? " speaker, " : " speakers, ") +
               std::to_string(f.segments.size()) +
               (f.segments.size() == 1 ? " segment\n" : " segments\n");
        if (!f.segments.empty()) {
            char line[128];
            std::snprintf(line, sizeof line, "  %10s %10s %10s  %s\n", "start", "end", "duration",
                          "speaker");
            out += line;
            for (const zr_quorva_segment_t &s : f.segments) {
                const segment_span span = span_of(s);
                std::snprintf(line, sizeof line, "  %10s %10s %10s  speaker%d\n",
                              seconds_text(span.onset_ms).c_str(),
                              seconds_text(span.onset_ms + span.duration_ms).c_str(),
                              seconds_text(span.duration_ms).c_str(), span.speaker);
                out += line;
            }
        }
        out += "\n";
    }
    return out;
}
