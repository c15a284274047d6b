// analyzer.cpp - one message from raw bytes to tokens.
#include "analyzer.h"

namespace eml {

void Analyze(std::string_view raw, Analysis& out, const TokenizerOptions& opt) {
  out.text = TextContent();
  out.tokens.Clear();
  ParseMessage(raw, out.msg);
  ExtractText(out.msg, out.text);
  Tokenize(out.msg, out.text, out.tokens, opt);
}

}  // namespace eml
