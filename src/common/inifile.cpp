// inifile.cpp - the flat ini reader.
//
// The table has a fixed 128 entries. Accepted lines beyond that are dropped
// (counted and traced once per file) rather than growing the table: preset
// files are small, and a bounded reader cannot be made to write past its
// storage or to eat memory by an oversized file.
#include "inifile.h"

#include <cstdio>
#include <cstring>
#include <new>
#include <sys/stat.h>

#include "trace.h"

namespace ascommon {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char* CopyText(const char* text, size_t n) {
  char* p = new (std::nothrow) char[n + 1];
  if (!p) return nullptr;
  std::memcpy(p, text, n);
  p[n] = 0;
  return p;
}

} // namespace

CIniFile::CIniFile() : entries_(), count_(0), dropped_(0) {}

CIniFile::~CIniFile() { Clear(); }

void CIniFile::Clear() {
  for (int i = 0; i < count_; ++i) {
    delete[] entries_[i].key;
    delete[] entries_[i].value;
    entries_[i].key = entries_[i].value = nullptr;
  }
  count_ = 0;
  dropped_ = 0;
}

bool SplitIniLine(const char* line, IniPair* pair) {
  size_t len = std::strlen(line);
  if (len < 3) return false;
  while (len > 0 && (line[len - 1] == '\r' || line[len - 1] == '\n')) --len;
  const char* eq = static_cast<const char*>(std::memchr(line, '=', len));
  if (!eq) return false;
  const char* value = eq + 1;
  const char* end = line + len;
  while (value < end && IsBlank(*value)) ++value; // trailing blanks of the value stay
  size_t key_len = (size_t)(eq - line);
  while (key_len > 1 && IsBlank(line[key_len - 1])) --key_len; // the first byte always stays
  pair->key = line;
  pair->key_len = key_len;
  pair->value = value;
  pair->value_len = (size_t)(end - value);
  return true;
}

void CIniFile::ParseLine(const char* line) {
  if (!line || line[0] == ';') return;
  IniPair pair;
  if (!SplitIniLine(line, &pair) || pair.key_len == 0 || pair.value_len == 0) return;
  const size_t key_len = pair.key_len, value_len = pair.value_len;
  const char* value = pair.value;

  if (count_ >= kMaxEntries) {
    ++dropped_;
    return;
  }
  char* k = CopyText(line, key_len);
  char* v = k ? CopyText(value, value_len) : nullptr;
  if (!k || !v) { // out of memory: this line is lost, reading goes on
    delete[] k;
    return;
  }
  entries_[count_].key = k;
  entries_[count_].value = v;
  ++count_;
}

int CIniFile::ReadFile(const char* path) {
  if (!path) return -3;
  struct stat st;
  if (::stat(path, &st) != 0) {
    AS_TRACE(4, "The file '%s' does not exist", path);
    return -3;
  }
  FILE* f = std::fopen(path, "rt");
  if (!f) return -3;
  uint64_t dropped_before = dropped_;
  char buffer[kLineBufferSize];
  for (;;) {
    std::memset(buffer, 0, sizeof buffer);
    if (!std::fgets(buffer, (int)sizeof buffer, f)) break; // end of file or read error
    ParseLine(buffer);
  }
  std::fclose(f);
  if (dropped_ != dropped_before)
    AS_TRACE(3, "Ini file '%s' has more than %d settings: %d line(s) ignored", path, kMaxEntries,
             (int)(dropped_ - dropped_before));
  return 0;
}

int CIniFile::ToWideMap(CMap<usstring, usstring>& dest) const {
  for (int i = 0; i < count_; ++i) {
    usstring key = sstring(entries_[i].key).to_usstring();
    usstring value = sstring(entries_[i].value).to_usstring();
    int r = dest.Add(key, value); // a duplicate keeps the first value
    if (r == AS_CONT_NOMEM) return r;
  }
  return 0;
}

} // namespace ascommon
