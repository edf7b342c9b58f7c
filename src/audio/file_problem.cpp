// zr_quorva_file_problem: a person's account of why a file cannot be read,
// made without touching the error stack.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/alloc.h"
#include "zr_quorva.h"
#if QUORVA_WITH_FILE_READERS
#include "audio/format_detect.h"
#endif

namespace {

constexpr const char *kUnrecognised =
    "not a recognised audio format (WAV, FLAC, MP3, Ogg Opus/Vorbis, WebM, MP4/M4A/3GP)";

// strerror_r comes in two flavours; both end up as text here.
[[maybe_unused]] const char *error_text(int rc, const char *buffer) {
    return rc == 0 ? buffer : "unknown error";
}
[[maybe_unused]] const char *error_text(const char *text, const char *) { return text; }

// The text in memory the caller releases with zr_free; NULL when out of memory.
char *hand_out(const char *a, const char *b = "", const char *c = "", const char *d = "") {
    const size_t la = std::strlen(a), lb = std::strlen(b), lc = std::strlen(c), ld = std::strlen(d);
    auto *out = static_cast<char *>(mem_alloc(la + lb + lc + ld + 1));
    if (out == nullptr) return nullptr;
    std::memcpy(out, a, la);
    std::memcpy(out + la, b, lb);
    std::memcpy(out + la + lb, c, lc);
    std::memcpy(out + la + lb + lc, d, ld);
    out[la + lb + lc + ld] = '\0';
    return out;
}

char *cannot_open(const char *path, int error) {
    char buffer[128] = "unknown error";
    const char *reason = error_text(strerror_r(error, buffer, sizeof buffer), buffer);
    return hand_out("cannot open '", path, "': ", reason);
}

}  // namespace

extern "C" char *zr_quorva_file_problem(const char *audio_path) {
    if (audio_path == nullptr) return nullptr;
    FILE *file = std::fopen(audio_path, "rb");
    if (file == nullptr) return cannot_open(audio_path, errno);
    struct stat st;
    const bool directory = fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode);
    std::fclose(file);
    if (directory) return cannot_open(audio_path, EISDIR);
#if QUORVA_WITH_FILE_READERS
    audio_format format = AUDIO_FORMAT_UNKNOWN;
    const zr_status_t status = detect_file_format(audio_path, &format);
    // IO_ERROR here is a file shorter than any format's signature.
    if (status == ZR_STATUS_IO_ERROR || (status == ZR_STATUS_SUCCESS && format == AUDIO_FORMAT_UNKNOWN))
        return hand_out(kUnrecognised);
#endif
    return nullptr;
}
