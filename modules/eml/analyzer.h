// analyzer.h - one message from raw bytes to tokens, for hosts and tools
// that use the engine without the plug-in pipeline (training, tuning).
#pragma once

#include <string_view>

#include "mime.h"
#include "text.h"
#include "tokens.h"

namespace eml {

struct Analysis {
  Message msg;
  TextContent text;
  TokenSet tokens;
};

// `raw` must outlive `out` (the parsed parts point into it).
void Analyze(std::string_view raw, Analysis& out, const TokenizerOptions& opt = TokenizerOptions());

}  // namespace eml
