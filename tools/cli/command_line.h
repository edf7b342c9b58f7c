// The commands of the `quorva` tool and the small option parsing they share.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

using argument_list = std::vector<std::string>;

// Exit statuses of every command.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;  // some input failed
inline constexpr int kExitUsage = 2;    // the command line is wrong

struct tool_command {
    const char *name;
    const char *summary;
    int (*run)(const argument_list &args);  // arguments after the command name
    void (*print_help)(FILE *out);
};

int diarize_command(const argument_list &args);
void diarize_help(FILE *out);
int score_command(const argument_list &args);
void score_help(FILE *out);
int decode_command(const argument_list &args);
void decode_help(FILE *out);
int info_command(const argument_list &args);
void info_help(FILE *out);

enum class option_match { none, matched, missing_value };

// When args[i] is `name` followed by a value, or `name=value`, stores the
// value, moves i onto the last argument used and reports `matched`.
option_match match_option(const argument_list &args, size_t &i, std::string_view name,
                          std::string &value);

bool is_help_flag(const std::string &arg);

// Prints "quorva <command>: <message>" and a pointer to the help; returns kExitUsage.
int usage_error(const char *command, const std::string &message);

// The model used when --model is not given: the installed copy next to the
// installed tool, else the one in the source tree.
std::string default_model_path();
