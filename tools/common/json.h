// json.h - one JSON object per line, valid for any input bytes.
//
// Texts are written as UTF-8; bytes that are not valid UTF-8 (a file name
// on a Linux file system may hold any bytes but '/' and NUL) are written as
// U+FFFD. So that such a name is not lost, AddPath() then adds a second
// member, "<key>_hex", with every byte of the name in lower-case hex.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace astools {

class JsonLine {
 public:
  JsonLine();
  ~JsonLine();
  JsonLine(const JsonLine&) = delete;
  JsonLine& operator=(const JsonLine&) = delete;

  JsonLine& Add(const char* key, std::string_view text);
  JsonLine& Add(const char* key, const char* text) { return Add(key, std::string_view(text)); }
  JsonLine& Add(const char* key, int64_t value);
  JsonLine& Add(const char* key, bool value);
  // Rounded to `decimals` places, so lines stay short and diffable.
  JsonLine& Add(const char* key, double value, int decimals);
  JsonLine& Add(const char* key, const std::vector<std::string>& texts);
  JsonLine& AddPath(const char* key, std::string_view path);

  // The object and a newline.
  std::string Line() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace astools
