// Per-thread error stack: a fixed table of 128 thread slots of 8 messages each,
// plus the process-wide hand-out buffer that zr_get_error_stack gives away.
#pragma once

#include "common/messages.h"

inline constexpr int kErrorSlots = 128;
inline constexpr int kErrorDepth = 8;
inline constexpr int kErrorMessageSize = 256;

// Marks the calling thread's messages stale (they are discarded at its next
// push) and makes sure a hand-out buffer exists. Called first by the three
// entry points that start a diarization call or create an engine.
void error_stack_reset();

// Appends one formatted catalogue message to the calling thread's stack.
// Allocates nothing; drops the message when the stack is full or when every
// slot is owned by other threads.
// The entry is taken by value: va_start on a reference parameter is undefined.
void error_stack_push(message_entry entry, ...);
