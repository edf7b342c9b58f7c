#include "common/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "zr_quorva.h"

namespace {
// Relaxed atomic: a plain flag, but free of data races when a host toggles it
// from one thread while another call logs.
std::atomic<bool> g_log_enabled{true};
}  // namespace

void log_print(const char *format, ...) {
    if (!g_log_enabled.load(std::memory_order_relaxed)) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
}

extern "C" void zr_log_enable(void) { g_log_enabled.store(true, std::memory_order_relaxed); }
extern "C" void zr_log_disable(void) { g_log_enabled.store(false, std::memory_order_relaxed); }
