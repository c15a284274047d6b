// inifile2.cpp - the sectioned ini reader.
#include "inifile2.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>

#include "inifile.h"
#include "trace.h"

namespace ascommon {

bool CIniKeyLess::operator()(const sstring& a, const sstring& b) const {
  if (a.is_null() || b.is_null()) return a.is_null() && !b.is_null();
  size_t n = a.length() < b.length() ? a.length() : b.length();
  int c = std::memcmp(a.c_str(), b.c_str(), n); // memcmp compares unsigned bytes
  if (c != 0) return c < 0;
  return a.length() < b.length();
}

void CIniFile2::ParseLine(const char* line, sstring& current) {
  if (!line) return;
  if (line[0] == '#' || line[0] == ';') return;
  if (line[0] == '[') {
    // The name runs to the last "]", so "[one]two]" names "one]two"; a "["
    // line without any "]" leaves the current section as it was.
    const char* close = std::strrchr(line, ']');
    if (!close) return;
    sstring name;
    name.assign(line + 1, (size_t)(close - line - 1));
    if (name.is_null() || name.status() != 0) return;
    current = name;
    return;
  }
  IniPair pair;
  if (!SplitIniLine(line, &pair)) return;

  // Empty keys and values are accepted here, unlike in the flat reader.
  sstring k;
  sstring v;
  k.assign(pair.key, pair.key_len);
  v.assign(pair.value, pair.value_len);
  if (k.is_null() || v.is_null() || k.status() != 0 || v.status() != 0 || current.is_null()) return;
  try {
    sections_[current][k] = v;
  } catch (const std::bad_alloc&) {
    // out of memory: this line is lost, reading goes on
  }
}

int CIniFile2::Load(const char* path, const char* initial_section) {
  if (!path) return -3;
  struct stat st;
  if (::stat(path, &st) != 0) {
    AS_TRACE(4, "The file '%s' does not exist", path);
    return -3;
  }
  FILE* f = std::fopen(path, "rt");
  if (!f) return -3;
  sstring current;
  current.assign(initial_section ? initial_section : "", initial_section ? std::strlen(initial_section) : 0);
  char buffer[kLineBufferSize];
  for (;;) {
    std::memset(buffer, 0, sizeof buffer);
    if (!std::fgets(buffer, (int)sizeof buffer, f)) break; // end of file or read error
    ParseLine(buffer, current);
  }
  std::fclose(f);
  return 0;
}

size_t CIniFile2::GetSection(const char* name, CIniSection& dest) const {
  if (!name) return dest.size();
  auto it = sections_.find(sstring(name));
  if (it == sections_.end()) return dest.size();
  for (const auto& pair : it->second) dest[pair.first] = pair.second;
  return dest.size();
}

} // namespace ascommon
