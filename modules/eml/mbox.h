// mbox.h - splits an mbox file into its messages.
//
// A file is an mbox when it starts with a "From " separator line; further
// messages start at lines that look like real separators ("From " sender,
// then a date with weekday and month names), so a body line that merely
// begins with "From " does not split a message. Anything else is one message.
#pragma once

#include <string_view>
#include <vector>

namespace eml {

struct MboxMessage {
  size_t offset;
  size_t length;
};

// Appends the messages of `data`; always at least one (possibly empty).
void SplitMbox(std::string_view data, std::vector<MboxMessage>& out);

// True when `line` (without its line break) is an mbox separator line.
bool IsMboxSeparator(std::string_view line);

}  // namespace eml
