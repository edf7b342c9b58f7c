// quorva: diarize audio files, score diarizations, inspect decoded audio and
// models, from the command line.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "cli/command_line.h"
#include "zr_quorva.h"

namespace {

const tool_command kCommands[] = {
    {"diarize", "who spoke when in audio files (RTTM, JSON or text)", diarize_command, diarize_help},
    {"score", "diarization error rate of a hypothesis against a reference RTTM", score_command, score_help},
    {"decode", "write the 16 kHz mono audio the engine hears from a file", decode_command, decode_help},
    {"info", "shapes, size, thresholds and cost of a model", info_command, info_help},
};

void print_tool_help(FILE *out) {
    std::fprintf(out,
                 "Usage: quorva COMMAND [OPTIONS] ARGUMENTS...\n"
                 "       quorva --version\n\n"
                 "Commands:\n");
    for (const tool_command &c : kCommands) std::fprintf(out, "  %-8s  %s\n", c.name, c.summary);
    std::fprintf(out, "\nRun 'quorva COMMAND --help' for the options of a command.\n");
}

const tool_command *find_command(const char *name) {
    for (const tool_command &c : kCommands)
        if (std::strcmp(c.name, name) == 0) return &c;
    return nullptr;
}

int run(int argc, char **argv) {
    if (argc < 2) {
        print_tool_help(stderr);
        return kExitUsage;
    }
    const std::string first = argv[1];
    if (is_help_flag(first)) {
        print_tool_help(stdout);
        return kExitSuccess;
    }
    if (first == "--version") {
        std::printf("quorva %s (library %s)\n", QUORVA_TOOL_VERSION, zr_quorva_version());
        return kExitSuccess;
    }
    if (first == "help" && argc >= 3) {
        const tool_command *c = find_command(argv[2]);
        if (c == nullptr) {
            std::fprintf(stderr, "quorva: unknown command '%s'\n", argv[2]);
            return kExitUsage;
        }
        c->print_help(stdout);
        return kExitSuccess;
    }
    const tool_command *command = find_command(argv[1]);
    if (command == nullptr) {
        std::fprintf(stderr, "quorva: unknown command '%s'\n\n", argv[1]);
        print_tool_help(stderr);
        return kExitUsage;
    }
    const argument_list args(argv + 2, argv + argc);
    for (const std::string &arg : args) {
        if (arg == "--") break;
        if (is_help_flag(arg)) {
            command->print_help(stdout);
            return kExitSuccess;
        }
    }
    return command->run(args);
}

}  // namespace

int main(int argc, char **argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc &) {
        std::fprintf(stderr, "quorva: out of memory\n");
    } catch (const std::exception &e) {
        std::fprintf(stderr, "quorva: %s\n", e.what());
    }
    return kExitFailure;
}
