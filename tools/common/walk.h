// walk.h - turns the paths named on a command line into the list of inputs
// to read, the same way for every tool.
//
// A named path is taken as given: "-" is standard input, a link named on the
// command line is followed, a directory is walked. Inside a directory:
//   - names are visited in byte order, so runs are repeatable;
//   - files whose names start with a dot are skipped, and so are files that do
//     not match the glob (when one is given);
//   - a "tmp" folder is skipped only inside a Maildir (beside "cur" and
//     "new"): it holds deliveries still being written;
//   - links to files are read; links to directories are not walked unless
//     `follow_links` is set, and then every directory is walked once, keyed
//     by device and inode, so link loops and repeated links end;
//   - FIFOs, sockets and devices are not read: each becomes an error entry;
//   - a link that leads nowhere, or a folder that cannot be listed, becomes
//     an error entry and the walk goes on.
// A special file (FIFO, device, socket) named on the command line is an
// error entry too unless `read_special` is set, since reading it may block
// or never end.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace astools {

struct WalkOptions {
  std::string glob;           // fnmatch pattern for file names; empty = all
  bool follow_links = false;  // walk links to directories
  bool read_special = false;  // read special files named on the command line
};

struct Input {
  enum Kind { kFile, kStdin, kError };
  Kind kind = kFile;
  std::string path;   // as it will be reported ("-" for standard input)
  std::string error;  // why it cannot be read (kind == kError)
};

// Expands each path in order and appends its inputs to `out`.
void ExpandPaths(const std::vector<std::string>& paths, const WalkOptions& options, std::vector<Input>& out);

// The same for one path, handing each input to `sink` as it is found.
void WalkPath(const std::string& path, const WalkOptions& options, const std::function<void(Input)>& sink);

}  // namespace astools
