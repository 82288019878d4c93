// The process-wide error stack: every failure site appends one formatted message.
#pragma once

#include <stdint.h>

#include "kr_omu.h"

namespace kr {

constexpr int error_slot_count = 1;
constexpr int error_messages_per_slot = 8;
constexpr int error_text_size = 512;
constexpr int error_scratch_size = 492;  // 491 characters of formatted message plus NUL
constexpr int32_t error_slot_in_use = 666;

struct error_entry {
  const char* tag;
  int32_t caller_value;
  char text[error_text_size];
};

struct error_slot {
  int32_t marker;         // 0 free, 666 in use
  uint8_t reset_pending;  // the next append empties the slot first
  int32_t message_count;
  error_entry entries[error_messages_per_slot];
  char scratch[error_scratch_size];
};

// Formats the record's message with the arguments and appends it to the active slot. Never fails:
// a full slot drops the message.
void error_append(const char* tag, int32_t caller_value, const kr_error_record* record, ...);

// Internal accessors (not exported): the static table, and a helper that empties it. Nothing in
// the library's own paths calls error_stack_clear.
error_slot* error_stack();
void error_stack_clear();

}  // namespace kr

// Every failure site in the library reports through this.
#define KR_FAIL(record, ...) ::kr::error_append("", 0, &(record), ##__VA_ARGS__)
