// html.h - reduces HTML to the text a reader would see.
//
// Tags become blanks (block-level tags line breaks), comments, <script> and
// <style> contents are dropped, character references are decoded. The link
// targets (href, src, action) are collected as well, because spam hides most
// of its URLs behind anchors. Linear in the input; unterminated tags,
// comments and references are handled without looking past the end.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace eml {

struct HtmlStats {
  size_t tags = 0;
  size_t links = 0;
  size_t images = 0;
};

// Appends the visible text of `html` (UTF-8 in, UTF-8 out) to `text`; link
// targets go to `urls` when it is not null.
void HtmlToText(std::string_view html, std::string& text, std::vector<std::string>* urls,
                HtmlStats* stats = nullptr);

// Decodes one character reference starting at `s[0] == '&'` the way an HTML5
// parser does (every named reference, the legacy names also without ';',
// numeric references with the Windows-1252 reading of 128..159); on success
// appends the UTF-8 text and returns the number of bytes consumed, else 0.
// A no-break space comes out as a plain blank. `in_attribute` applies the
// attribute-value rule: a legacy name without ';' followed by a letter, a
// digit or '=' is no reference.
size_t DecodeEntity(std::string_view s, std::string& out, bool in_attribute = false);

}  // namespace eml
