// Turning a failed library call into text: the status and every message the
// call left on the calling thread's error stack.
#pragma once

#include <string>
#include <vector>

#include "zr_quorva.h"

struct call_failure {
    zr_status_t status = ZR_STATUS_SUCCESS;
    std::vector<std::string> messages;  // oldest first
};

// Collects the calling thread's error stack; call it on the thread that made
// the failing call, right after it.
call_failure collect_failure(zr_status_t status);

// "what: STATUS" followed by one indented line per message.
std::string describe_failure(const std::string &what, const call_failure &failure);
