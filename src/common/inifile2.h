// inifile2.h - the sectioned ini reader: "[section]" headers, "key = value"
// lines, "#" and ";" comments.
//
// Sections and their keys are kept in maps ordered by byte comparison, so a
// caller walks a section in key order. A key met again in the same section
// replaces the earlier value; a section header met again continues the
// section.
#pragma once

#include <cstddef>
#include <map>

#include "sstring.h"

namespace ascommon {

// Byte-wise ordering of sstring keys (unsigned bytes, shorter prefix first);
// a null string orders before every text, so the ordering stays strict.
struct CIniKeyLess {
  bool operator()(const sstring& a, const sstring& b) const;
};

typedef std::map<sstring, sstring, CIniKeyLess> CIniSection;

class CIniFile2 {
public:
  static const size_t kLineBufferSize = 543; // one read takes at most 542 bytes

  CIniFile2() {}
  CIniFile2(const CIniFile2&) = delete;
  CIniFile2& operator=(const CIniFile2&) = delete;

  // Reads the file; lines before the first header belong to `initial_section`.
  // 0, or -3 when the file does not exist or cannot be opened. Sections read
  // earlier stay (a second load merges into them).
  int Load(const char* path, const char* initial_section);

  // Copies every pair of the named section into dest, replacing the values
  // of keys dest already holds. Returns the number of entries in dest
  // afterwards; an absent section leaves dest unchanged.
  size_t GetSection(const char* name, CIniSection& dest) const;

  // Parses one piece into `current` (the current section name, updated by
  // headers); exposed for tests and fuzzing.
  void ParseLine(const char* line, sstring& current);

  void Clear() { sections_.clear(); }
  size_t GetSectionCount() const { return sections_.size(); }

private:
  std::map<sstring, CIniSection, CIniKeyLess> sections_;
};

} // namespace ascommon
