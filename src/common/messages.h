// The catalogue of messages the library pushes on a thread's error stack.
// An entry without a template is rendered as "Zirtek Error (code `%08X`)".
#pragma once

#include <cstdint>

struct message_entry {
    int32_t code;
    const char *format;  // printf-style template, or nullptr
};

inline constexpr message_entry MSG_ARG_NULL{100, "Argument `%s` is NULL."};
inline constexpr message_entry MSG_ARG_BELOW_MIN{
    101, "Argument `%s` value `%d` is less than the minimum acceptable value of `%d`."};
inline constexpr message_entry MSG_ARG_ABOVE_MAX{
    102, "Argument `%s` value `%d` is greater than the maximum acceptable value of `%d`."};
inline constexpr message_entry MSG_ARG_TOGETHER{
    103, "Arguments `%s` and `%s` cannot be given together."};
inline constexpr message_entry MSG_ARG_ORDER{
    104, "Argument `%s` value `%d` is greater than argument `%s` value `%d`."};
inline constexpr message_entry MSG_ARG_RANGE{
    107, "Argument `%s` value `%g` is outside the acceptable range of `%g` to `%g`."};
inline constexpr message_entry MSG_ARG_RECORD_SIZE{
    108, "Argument `%s` value `%u` is not the size of a record this library knows (`%u`)."};
inline constexpr message_entry MSG_FILE_FORMAT{
    105, "%s file has incorrect format or belongs to a different platform."};
inline constexpr message_entry MSG_FILE_VERSION{
    106, "%s file belongs to a different version of the library. File is `%s` while library is `%s`."};
inline constexpr message_entry MSG_OUT_OF_MEMORY{200, "Failed to allocate, out of memory."};
inline constexpr message_entry MSG_FILE_OPEN{201, "Failed to open file `%s`."};
inline constexpr message_entry MSG_FILE_READ{202, "Failed to read from file."};
inline constexpr message_entry MSG_CODE_STATE{210, nullptr};
inline constexpr message_entry MSG_CODE_COMPONENT{300, nullptr};
inline constexpr message_entry MSG_CODE_FAILED{310, nullptr};
