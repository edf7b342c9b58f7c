#include "support/error_capture.h"

#include <cstdio>

error_capture take_errors() {
    error_capture out;
    char **messages = nullptr;
    int32_t depth = -1;
    out.status = zr_get_error_stack(&messages, &depth);
    if (messages != nullptr) {
        for (int i = 0; i < 8; ++i) out.all_entries.emplace_back(messages[i]);
        for (int i = 0; i < depth; ++i) out.messages.emplace_back(messages[i]);
        zr_free_error_stack(messages);
    }
    return out;
}

std::string coded_message(unsigned code) {
    char text[64];
    std::snprintf(text, sizeof text, "Zirtek Error (code `%08X`)", code);
    return text;
}
