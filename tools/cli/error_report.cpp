#include "cli/error_report.h"

call_failure collect_failure(zr_status_t status) {
    call_failure failure;
    failure.status = status;
    char **messages = nullptr;
    int32_t depth = 0;
    const zr_status_t got = zr_get_error_stack(&messages, &depth);
    // OUT_OF_MEMORY still delivers the messages.
    if ((got == ZR_STATUS_SUCCESS || got == ZR_STATUS_OUT_OF_MEMORY) && messages != nullptr) {
        for (int32_t i = 0; i < depth; ++i) failure.messages.emplace_back(messages[i]);
    }
    zr_free_error_stack(messages);
    return failure;
}

std::string describe_failure(const std::string &what, const call_failure &failure) {
    const char *text = zr_status_to_string(failure.status);
    std::string out = what + ": " + (text != nullptr ? text : "unknown status") + "\n";
    for (const std::string &m : failure.messages) out += "  " + m + "\n";
    return out;
}
