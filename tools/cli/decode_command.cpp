// quorva decode: writes the audio that zr_quorva_process_file would diarize,
// for listening to or comparing against other decoders.
#include "audio/decode_file.h"
#include "cli/command_line.h"
#include "cli/error_report.h"
#include "cli/wav_writer.h"
#include "common/alloc.h"

void decode_help(FILE *out) {
    std::fprintf(out,
                 "Usage: quorva decode AUDIO OUT.wav\n\n"
                 "Decodes AUDIO through the engine's own readers, down-mix and resampler and\n"
                 "writes the result as a 16 kHz mono 16-bit WAV file: exactly the samples the\n"
                 "engine diarizes when given the file.\n");
}

int decode_command(const argument_list &args) {
    if (args.size() != 2) return usage_error("decode", "expected an audio file and an output WAV file");
    for (const std::string &a : args)
        if (a.size() > 1 && a[0] == '-') return usage_error("decode", "unknown option '" + a + "'");

#if QUORVA_WITH_FILE_READERS
    int16_t *pcm = nullptr;
    int32_t count = 0;
    const zr_status_t status = decode_file_to_pcm(args[0].c_str(), &pcm, &count);
    if (status != ZR_STATUS_SUCCESS) {
        std::fputs(describe_failure(args[0], collect_failure(status)).c_str(), stderr);
        return kExitFailure;
    }
    std::string error;
    bool written = false;
    try {
        written = write_wav_file(args[1], pcm, count, zr_sample_rate(), 1, error);
    } catch (const std::bad_alloc &) {
        error = "out of memory";
    }
    mem_free(pcm);
    if (!written) {
        std::fprintf(stderr, "quorva decode: %s\n", error.c_str());
        return kExitFailure;
    }
    return kExitSuccess;
#else
    std::fprintf(stderr, "quorva decode: this build has no audio file readers\n");
    return kExitFailure;
#endif
}
