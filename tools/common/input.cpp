// input.cpp - bounded message reading.
#include "input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <string_view>

#include "mbox.h"

namespace astools {
namespace {

const size_t kChunk = 64u << 10;
// A separator line is short; a longer line is never taken for one, so a
// line without end cannot make the reader hold more than this to decide.
const size_t kMaxSeparatorLine = 1024;

bool Separator(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return eml::IsMboxSeparator(line);
}

}  // namespace

int OpenInputFile(const std::string& path, bool allow_special, std::string& error) {
  // O_NONBLOCK so that opening a FIFO without a writer does not hang; it is
  // cleared again once the file is known to be one we read.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    error = std::string("cannot open: ") + std::strerror(errno);
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    error = std::string("cannot open: ") + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  if (S_ISDIR(st.st_mode)) {
    error = "cannot read: is a directory";
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode) && !allow_special) {
    error = "not read: not a regular file (use --read-special to read it)";
    ::close(fd);
    return -1;
  }
  int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

MessageReader::MessageReader(int fd, size_t max_bytes) : fd_(fd), max_(max_bytes) {}

bool MessageReader::Fill() {
  if (eof_) return false;
  if (pos_ > 0 && pos_ >= buf_.size() / 2) {
    buf_.erase(0, pos_);
    pos_ = 0;
  }
  // Read into a chunk of its own and append what came: growing buf_ first
  // would clear the whole chunk for every read.
  if (!chunk_) chunk_.reset(new char[kChunk]);
  for (;;) {
    ssize_t n = ::read(fd_, chunk_.get(), kChunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = std::string("cannot read: ") + std::strerror(errno);
      eof_ = true;
      return false;
    }
    buf_.append(chunk_.get(), static_cast<size_t>(n));
    if (n == 0) eof_ = true;
    return n > 0;
  }
}

// The next line or, for a line longer than what is buffered, the next piece
// of it; empty only at the end. `line` stays valid until the next call.
bool MessageReader::ReadLine(std::string_view& line) {
  for (;;) {
    std::string_view avail(buf_.data() + pos_, buf_.size() - pos_);
    size_t nl = avail.find('\n');
    if (nl != std::string_view::npos) {
      line = avail.substr(0, nl + 1);
      pos_ += nl + 1;
      return true;
    }
    if (avail.size() >= kMaxSeparatorLine || eof_) {
      if (avail.empty()) return false;
      line = avail;
      pos_ = buf_.size();
      return true;
    }
    if (!Fill() && !error_.empty()) return false;
  }
}

bool MessageReader::Next(Message& out) {
  out.bytes.clear();
  out.truncated = false;
  out.last = false;
  if (done_) return false;
  bool at_start = true;
  if (!started_) {
    started_ = true;
    std::string_view first;
    if (!ReadLine(first)) {
      if (!error_.empty()) return done_ = true, false;
      // No bytes at all: one empty message.
      done_ = true;
      out.index = ++count_;
      out.last = true;
      return true;
    }
    mbox_ = first.size() < kMaxSeparatorLine && first.back() == '\n' ? Separator(first) : false;
    if (!mbox_) {
      out.bytes.assign(first.data(), first.size() < max_ ? first.size() : max_);
      out.truncated = first.size() > max_;
      // A single message: read up to the cap, then look once for more.
      while (!out.truncated) {
        if (pos_ == buf_.size() && !Fill()) break;
        size_t room = max_ - out.bytes.size();
        size_t take = buf_.size() - pos_;
        if (take > room) {
          out.bytes.append(buf_, pos_, room);
          out.truncated = true;
          pos_ = buf_.size();
        } else {
          out.bytes.append(buf_, pos_, take);
          pos_ = buf_.size();
          if (out.bytes.size() == max_ && Fill()) out.truncated = true;
        }
      }
      done_ = true;
      if (!error_.empty()) return false;
      out.index = ++count_;
      out.last = true;
      return true;
    }
    pending_.assign(first);
  }
  // An mbox: the separator line that opened this message, then lines up to
  // the next separator.
  out.bytes = pending_;
  pending_.clear();
  std::string_view line;
  while (ReadLine(line)) {
    if (at_start && line.size() < kMaxSeparatorLine && line.back() == '\n' && Separator(line)) {
      pending_.assign(line);
      out.index = ++count_;
      return true;
    }
    at_start = line.back() == '\n';
    size_t room = max_ > out.bytes.size() ? max_ - out.bytes.size() : 0;
    if (line.size() > room) out.truncated = true;
    out.bytes.append(line.data(), line.size() < room ? line.size() : room);
  }
  done_ = true;
  if (!error_.empty()) return false;
  out.index = ++count_;
  out.last = true;
  return true;
}

bool ReadBounded(int fd, size_t max_bytes, std::string& out, bool& truncated, std::string& error,
                 std::string* extra) {
  out.clear();
  truncated = false;
  char buf[kChunk];
  for (;;) {
    size_t want = out.size() < max_bytes ? std::min(sizeof buf, max_bytes - out.size()) : 1;
    ssize_t n = ::read(fd, buf, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = std::string("cannot read: ") + std::strerror(errno);
      return false;
    }
    if (n == 0) return true;
    if (out.size() >= max_bytes) {
      truncated = true;
      if (extra) extra->assign(buf, static_cast<size_t>(n));
      return true;
    }
    out.append(buf, static_cast<size_t>(n));
  }
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool CopyRest(int in, int out) {
  char buf[1 << 16];
  for (;;) {
    ssize_t n = ::read(in, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return true;
    if (!WriteAll(out, buf, static_cast<size_t>(n))) return false;
  }
}

}  // namespace astools
