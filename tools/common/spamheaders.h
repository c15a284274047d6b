// spamheaders.h - the header fields that tell a mail system the verdict,
// and putting them into a message without touching its body.
//
//   X-Spam-Flag: YES | NO
//   X-Spam-Score: 0.973              (the combined score, 0..1)
//   X-Spam-Status: Yes, score=0.973 required=0.600 tests=RULE,RULE
//                  No, score=0.120 required=0.600
//                  No, empty message
// The fields go at the end of the message's header section, with the line
// ends the message uses (CRLF when its first line ends so). Fields of the
// same three names already in the message are removed first, so a sender
// cannot hand a verdict of its own to the next filter.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine.h"

namespace astools {

// The three fields, unfolded, each "Name: value" without a line end.
// `r` must hold a verdict (not kError).
std::string SpamFlagField(const ScanResult& r);
std::string SpamScoreField(const ScanResult& r);
std::string SpamStatusField(const ScanResult& r);

// `head` is the start of a message: all of it when `complete`, else its
// first bytes (the rest follows unchanged). Returns `head` with the fields
// added at the end of the header section and earlier copies removed. When
// the header section does not end within an incomplete head, the fields go
// at the top (after an mbox "From " line) and nothing is removed.
std::string AddSpamHeaders(std::string_view head, bool complete, const ScanResult& r);

// The three fields as (name, value), for a host that adds fields one at a
// time (a milter): each value folded where AddSpamHeaders folds it, with
// "\n\t" at each fold, so the message ends up with the same text.
std::vector<std::pair<std::string, std::string>> SpamHeaderFields(const ScanResult& r);

}  // namespace astools
