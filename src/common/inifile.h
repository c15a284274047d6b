// inifile.h - the flat ini reader: "key = value" lines, no sections.
//
// Lines are read 542 bytes at a time, so a longer physical line reaches the
// parser as several pieces, each parsed as a line of its own. The pairs of a
// file land in a fixed table in file order, duplicates included; only the
// first value of a key survives the conversion to a wide map.
#pragma once

#include <cstddef>
#include <cstdint>

#include "containers.h"
#include "ustring.h"

namespace ascommon {

// One "key = value" line split the way both ini readers split it: line ends
// (CR, LF) dropped, the key is what precedes the first "=" without its
// trailing blanks and tabs (its first byte always stays), the value follows
// the "=" without its leading blanks and tabs. Pointers into the line.
struct IniPair {
  const char* key;
  size_t key_len;
  const char* value;
  size_t value_len;
};
// False for a line shorter than 3 bytes or without "=". Comments and section
// headers are the caller's business.
bool SplitIniLine(const char* line, IniPair* pair);

class CIniFile {
public:
  static const int kMaxEntries = 128;
  static const size_t kLineBufferSize = 543; // one read takes at most 542 bytes

  struct Entry {
    char* key;   // owned, NUL-terminated
    char* value; // owned, NUL-terminated
  };

  CIniFile();
  CIniFile(const CIniFile&) = delete;
  CIniFile& operator=(const CIniFile&) = delete;
  ~CIniFile();

  // Adds the pairs of every accepted line of the file to the table.
  // 0, or -3 when the file does not exist or cannot be opened.
  int ReadFile(const char* path);

  // Parses one piece as the reader would; exposed for tests and fuzzing.
  void ParseLine(const char* line);

  // Adds every pair, converted with to_usstring, to dest; a key already in
  // dest keeps its value. 0, or -2 when a pair cannot be added for lack of
  // memory (the pairs before it stay in dest).
  int ToWideMap(CMap<usstring, usstring>& dest) const;

  // Frees every key and value; the table is empty afterwards.
  void Clear();

  int GetCount() const { return count_; }
  // Entries 0 .. GetCount()-1; the texts belong to the reader.
  const Entry& GetEntry(int index) const { return entries_[index]; }
  // Accepted lines that did not fit in the table since the last Clear.
  uint64_t GetDroppedCount() const { return dropped_; }

private:
  Entry entries_[kMaxEntries];
  int32_t count_;
  uint64_t dropped_;
};

} // namespace ascommon
