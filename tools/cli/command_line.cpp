#include "cli/command_line.h"

#include <unistd.h>

#include <climits>
#include <filesystem>

option_match match_option(const argument_list &args, size_t &i, std::string_view name,
                          std::string &value) {
    const std::string &arg = args[i];
    if (arg == name) {
        if (i + 1 >= args.size()) return option_match::missing_value;
        value = args[++i];
        return option_match::matched;
    }
    if (arg.size() > name.size() && arg.compare(0, name.size(), name) == 0 && arg[name.size()] == '=') {
        value = arg.substr(name.size() + 1);
        return option_match::matched;
    }
    return option_match::none;
}

bool is_help_flag(const std::string &arg) { return arg == "--help" || arg == "-h"; }

int usage_error(const char *command, const std::string &message) {
    std::fprintf(stderr, "quorva %s: %s\nRun 'quorva %s --help' for usage.\n", command,
                 message.c_str(), command);
    return kExitUsage;
}

std::string default_model_path() {
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) {
        self[length] = '\0';
        std::error_code ec;
        const std::filesystem::path installed =
            std::filesystem::path(self).parent_path() / QUORVA_INSTALLED_MODEL_FROM_BINDIR;
        if (std::filesystem::is_regular_file(installed, ec)) return installed.lexically_normal().string();
    }
    return QUORVA_SOURCE_MODEL;
}
