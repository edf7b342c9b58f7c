#include "zr_quorva.h"

namespace {
const char *const kStatusText[] = {
    "SUCCESS",      "OUT_OF_MEMORY", "IO_ERROR",      "INVALID_ARGUMENT",
    "STOP_ITERATION", "KEY_ERROR",   "INVALID_STATE", "RUNTIME_ERROR",
};
}  // namespace

extern "C" const char *zr_status_to_string(zr_status_t status) {
    // Compared unsigned, so negative values fall outside the table too.
    const auto index = static_cast<unsigned>(status);
    if (index >= sizeof kStatusText / sizeof kStatusText[0]) return nullptr;
    return kStatusText[index];
}
