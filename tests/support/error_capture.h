// Collects the calling thread's error stack as strings.
#pragma once

#include <string>
#include <vector>

#include "zr_quorva.h"

struct error_capture {
    zr_status_t status = ZR_STATUS_SUCCESS;  // what zr_get_error_stack returned
    std::vector<std::string> messages;       // the first `depth` entries
    std::vector<std::string> all_entries;    // all 8 entries of the array
};

error_capture take_errors();

// The text of a coded catalogue message.
std::string coded_message(unsigned code);
