// The error stack: a fixed table in static storage, zero at load, never freed.
#include "runtime/error_stack.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "kr_revision.h"

static_assert(sizeof(KR_REVISION_TAG) == 8, "the revision tag is seven characters");

namespace kr {
namespace {

error_slot slots[error_slot_count];

error_slot* active_slot() {
  for (error_slot& s : slots) {
    if (s.marker == error_slot_in_use) return &s;
  }
  for (error_slot& s : slots) {
    if (s.marker == 0) {
      s.marker = error_slot_in_use;
      return &s;
    }
  }
  return nullptr;
}

}  // namespace

void error_append(const char* tag, int32_t caller_value, const kr_error_record* record, ...) {
  error_slot* slot = active_slot();
  if (slot == nullptr) return;
  if (slot->reset_pending) {
    slot->message_count = 0;
    memset(slot->entries, 0, sizeof slot->entries);
    slot->reset_pending = 0;
  }
  if (slot->message_count >= error_messages_per_slot) return;

  error_entry& entry = slot->entries[slot->message_count];
  entry.caller_value = caller_value;
  entry.tag = tag;
  if (record->message != nullptr) {
    va_list args;
    va_start(args, record);
    vsnprintf(slot->scratch, sizeof slot->scratch, record->message, args);
    va_end(args);
    // The head ("tag CODE: ") is 18 characters and the scratch text at most 491, so the whole
    // message always fits the entry.
    const int head = snprintf(entry.text, sizeof entry.text, "%s %08X: ", KR_REVISION_TAG, record->code);
    // Length of the formatted text, at most the scratch size less its terminator (memchr rather
    // than the POSIX strnlen, which the Windows build lacks).
    const void* nul = memchr(slot->scratch, '\0', sizeof slot->scratch - 1);
    const size_t length = nul != nullptr ? static_cast<size_t>(static_cast<const char*>(nul) - slot->scratch)
                                         : sizeof slot->scratch - 1;
    memcpy(entry.text + head, slot->scratch, length);
    entry.text[head + length] = '\0';
    memset(slot->scratch, 0, sizeof slot->scratch);
  } else {
    snprintf(entry.text, sizeof entry.text, "%s %08X: Kestrelon Error.", KR_REVISION_TAG, record->code);
  }
  slot->message_count += 1;
}

error_slot* error_stack() { return slots; }

void error_stack_clear() { memset(slots, 0, sizeof slots); }

}  // namespace kr
