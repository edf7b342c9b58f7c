#include "support/mp4_fixtures.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>

#include "support/model_writer.h"

namespace {

std::mutex g_lock;
std::map<std::string, fixture_file> g_made;  // one encode per distinct fixture

// The encoded files go when the process ends.
void remove_fixtures() {
    for (const auto &[key, file] : g_made) {
        if (!file.path.empty()) std::remove(file.path.c_str());
        if (!file.raw_stream.empty()) std::remove(file.raw_stream.c_str());
    }
}

bool exists(const std::string &path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

bool tool_present(const std::string &name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

fixture_file run_encoder(const std::string &key, const std::string &command,
                         const std::string &path, const std::string &raw_stream = "") {
    std::lock_guard<std::mutex> hold(g_lock);
    if (auto it = g_made.find(key); it != g_made.end()) return it->second;
    if (g_made.empty()) std::atexit(remove_fixtures);
    fixture_file result;
    if (std::system(command.c_str()) == 0 && exists(path)) {
        result.path = path;
        result.raw_stream = raw_stream;
    } else {
        result.skip_reason = "encoder failed: " + command;
    }
    g_made[key] = result;
    return result;
}

fixture_file skipped(const std::string &reason) {
    fixture_file f;
    f.skip_reason = reason;
    return f;
}

std::string seconds_text(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", seconds);
    return text;
}

}  // namespace

std::string fixture_speech_source() {
    const std::string path =
        std::string(QUORVA_DATA_DIR) + "/speakers/librispeech/103/103-1240-0000.flac";
    return exists(path) ? path : std::string();
}

fixture_file make_aac_fixture(const aac_fixture_options &o) {
    const std::string source = fixture_speech_source();
    if (source.empty()) return skipped("speech data absent from " QUORVA_DATA_DIR);
    if (!tool_present("ffmpeg")) return skipped("ffmpeg not installed");
    const char *layouts[] = {"faststart", "end", "frag"};
    const std::string key = "aac-" + std::to_string(o.sample_rate) + "-" +
                            std::to_string(o.channels) + "-" +
                            layouts[static_cast<int>(o.layout)] + "-" + seconds_text(o.seconds);
    const std::string path = temp_directory() + "/" + key + "." + o.extension;
    std::string flags;
    switch (o.layout) {
        case moov_place::faststart: flags = "-movflags +faststart"; break;
        case moov_place::at_end: flags = ""; break;
        case moov_place::fragmented: flags = "-movflags frag_keyframe+empty_moov"; break;
    }
    const std::string command =
        "ffmpeg -nostdin -hide_banner -loglevel error -y -i '" + source + "' -t " +
        seconds_text(o.seconds) + " -ac " + std::to_string(o.channels) + " -ar " +
        std::to_string(o.sample_rate) + " -c:a aac -b:a 48k " + flags + " '" + path + "'";
    return run_encoder(key, command, path);
}

fixture_file make_amr_fixture(int mode, double seconds) {
    const std::string source = fixture_speech_source();
    if (source.empty()) return skipped("speech data absent from " QUORVA_DATA_DIR);
    if (!tool_present("sox")) return skipped("sox not installed");
    if (!tool_present("ffmpeg")) return skipped("ffmpeg not installed");
    if (std::system("sox -h 2>/dev/null | grep -q amr-nb") != 0) {
        return skipped("sox lacks the amr-nb format");
    }
    const std::string key = "amr-" + std::to_string(mode) + "-" + seconds_text(seconds);
    const std::string raw = temp_directory() + "/" + key + ".amr";
    const std::string path = temp_directory() + "/" + key + ".3gp";
    const std::string command = "sox '" + source + "' -r 8000 -c 1 -t amr-nb -C " +
                                std::to_string(mode) + " '" + raw + "' trim 0 " +
                                seconds_text(seconds) +
                                " && ffmpeg -nostdin -hide_banner -loglevel error -y -i '" + raw +
                                "' -c:a copy '" + path + "'";
    return run_encoder(key, command, path, raw);
}
