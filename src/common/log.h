// Console output: printf-style text to standard output while logging is on.
#pragma once

void log_print(const char *format, ...) __attribute__((format(printf, 1, 2)));
