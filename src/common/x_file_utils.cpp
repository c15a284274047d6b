// x_file_utils.cpp - path wrappers and the glob-based file-list routine.
//
// The wide wrappers convert their texts to the current locale's multibyte
// encoding before any system call; a text that does not convert, or converts
// to nothing, fails the call without touching the file system. None of the
// helpers keeps state, so any thread may call them.
#include "x_file_utils.h"

#include <cstdlib>
#include <glob.h>
#include <sys/stat.h>

#include "hooks.h"
#include "trace.h"

namespace ascommon {
namespace {

// Multibyte copy of a wide text in a block from the library's allocator, or
// null (conversion error, empty result, no memory). The caller frees it.
char* ToMultibyte(const wchar_t* text) {
  size_t length = wcstombs(nullptr, text, 0);
  if (length == (size_t)-1 || length == 0) return nullptr;
  char* buffer = static_cast<char*>(_as_new(length + 1, false));
  if (!buffer) return nullptr;
  if (wcstombs(buffer, text, length + 1) == (size_t)-1) {
    _as_delete(buffer);
    return nullptr;
  }
  buffer[length] = 0;
  return buffer;
}

class MultibyteHold {
public:
  explicit MultibyteHold(const wchar_t* text) : text_(ToMultibyte(text)) {}
  ~MultibyteHold() {
    if (text_) _as_delete(text_);
  }
  MultibyteHold(const MultibyteHold&) = delete;
  MultibyteHold& operator=(const MultibyteHold&) = delete;
  const char* get() const { return text_; }

private:
  char* text_;
};

// Frees the glob result and writes the closing trace line on every way out,
// once glob has been called.
class GlobHold {
public:
  GlobHold() : result_() {}
  ~GlobHold() {
    globfree(&result_);
    AS_TRACE(AS_TL_DEBUG, "\nFile list routine finished.\n");
  }
  GlobHold(const GlobHold&) = delete;
  GlobHold& operator=(const GlobHold&) = delete;
  glob_t* get() { return &result_; }

private:
  glob_t result_;
};

} // namespace

FILE* as_fopen(const char* path, const char* mode) {
  if (!path || !mode) return nullptr;
  return fopen(path, mode);
}

FILE* as_wfopen(const wchar_t* path, const wchar_t* mode) {
  if (!path || !mode) return nullptr;
  MultibyteHold narrow_path(path);
  if (!narrow_path.get()) return nullptr;
  MultibyteHold narrow_mode(mode);
  if (!narrow_mode.get()) return nullptr;
  return fopen(narrow_path.get(), narrow_mode.get());
}

int as_is_regular_file(const char* path) {
  if (!path) return 0;
  struct stat st;
  if (stat(path, &st) != 0) return 0;
  return (st.st_mode & 0170000) == 0100000 ? 1 : 0;
}

int as_build_file_list(const char* mask, CArray<FileInfoU, 64>& list) {
  if (!mask) return -1;
  AS_TRACE(AS_TL_DEBUG, "Building from mask: %s", mask);

  GlobHold found;
  int rc = glob(mask, GLOB_ERR, nullptr, found.get());
  if (rc == GLOB_NOSPACE) return -2;
  if (rc == GLOB_ABORTED) return -600;
  if (rc != 0) return rc; // GLOB_NOMATCH (3) and anything newer, unchanged

  for (size_t i = 0; i < found.get()->gl_pathc; ++i) {
    const char* path = found.get()->gl_pathv[i];
    if (!as_is_regular_file(path)) continue;
    FileInfoU info;
    info.path = path;
    if (info.path.status() != 0 || info.path.is_null()) return AS_STR_NOMEM;
    if (list.Add(info) != 0) return AS_CONT_NOMEM;
    // The array copies the element; a string copy that ran out of memory
    // leaves a null path behind, which must not pass for a file.
    if (list[list.GetCount() - 1].path.is_null()) {
      list.RemoveLast();
      return AS_STR_NOMEM;
    }
  }
  return 0;
}

} // namespace ascommon
