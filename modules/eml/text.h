// text.h - the readable content of a parsed message.
//
// ExtractText() walks the MIME parts, decodes the text ones to UTF-8, reduces
// HTML to text and gathers every URL it can see (anchors and bare links in
// the text). Non-text parts contribute only their type and file name. Output
// size is capped so a huge message costs bounded memory.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "html.h"
#include "mime.h"

namespace eml {

struct TextLimits {
  size_t max_part_bytes = 2u << 20;   // decoded bytes taken from one part
  size_t max_text_bytes = 4u << 20;   // total text kept
  size_t max_urls = 512;
};

struct TextContent {
  std::string subject;              // decoded to UTF-8
  std::string body;                 // all text parts, HTML reduced, UTF-8
  std::vector<std::string> urls;    // as written (anchors first, then bare links)
  std::vector<std::string> part_types;   // "type/subtype" of every leaf part
  std::vector<std::string> attachments;  // file names
  size_t text_parts = 0;
  size_t html_parts = 0;
  HtmlStats html;
};

void ExtractText(const Message& msg, TextContent& out, const TextLimits& limits = TextLimits());

// Host part of a URL or bare "www." link, lower case, without user info, port
// or trailing dot; empty when there is none.
std::string UrlHost(std::string_view url);

// Finds "http://", "https://" and "www." links in plain text.
void FindUrls(std::string_view text, std::vector<std::string>& urls, size_t max_urls);

}  // namespace eml
