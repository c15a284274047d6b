// x_file_utils.h - path wrappers and the glob-based file-list routine.
#pragma once

#include <cstdio>
#include <wchar.h>

#include "containers.h"
#include "sstring.h"

namespace ascommon {

// Element of a file list: the path exactly as glob returned it.
struct FileInfoU {
  sstring path;
};

// fopen(path, mode); null when either is null.
FILE* as_fopen(const char* path, const char* mode);
// Wide form: both texts converted to the locale's multibyte encoding first;
// null when either is null, a conversion fails or a converted text is empty.
FILE* as_wfopen(const wchar_t* path, const wchar_t* mode);
// 1 for a regular file, 0 otherwise (directory, missing path).
int as_is_regular_file(const char* path);
// Appends the regular files matching mask, in glob's sorted order.
// 0; -1 null mask; -2 out of memory; -600 read error; 3 nothing matched.
int as_build_file_list(const char* mask, CArray<FileInfoU, 64>& list);

} // namespace ascommon
