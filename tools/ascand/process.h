// process.h - the daemon's dealings with the operating system: the PID file,
// the listening socket's leftovers and permissions, and systemd's readiness
// notification.
#pragma once

#include <sys/types.h>

#include <string>

namespace ascand {

// A PID file held under an exclusive lock for the daemon's lifetime, so a
// second daemon with the same file refuses to start instead of overwriting
// it. The destructor removes the file (if it is still ours).
class PidFile {
 public:
  PidFile() = default;
  ~PidFile();
  PidFile(const PidFile&) = delete;
  PidFile& operator=(const PidFile&) = delete;

  // Creates or takes over `path` and writes our PID. False with `error`
  // ("another ascand (pid N) holds ...") when it is locked or cannot be written.
  bool Create(const std::string& path, std::string& error);
  void Remove();

 private:
  std::string path_;
  int fd_ = -1;
};

// Before binding a Unix socket: a socket file nobody listens on is left over
// from a daemon that was killed, and may be replaced; one that answers
// belongs to a running filter, and anything that is not a socket is not ours
// to remove. True when the path is free or stale; false with `error`.
bool CheckSocketPath(const std::string& path, std::string& error);

// After binding: gives the socket file its mode and group (empty group:
// unchanged). False with `error`.
bool SetSocketAccess(const std::string& path, int mode, const std::string& group, std::string& error);

// The identity of a file (device and inode), to remove only our own socket.
struct FileId {
  dev_t dev = 0;
  ino_t ino = 0;
  bool valid = false;
};
FileId IdentifyFile(const std::string& path);
// Removes `path` if it is still the file `id` names.
void RemoveIfSame(const std::string& path, const FileId& id);

// Opens and closes one connection to our own listening socket (libmilter
// syntax, normalized), so a listener waiting for connections wakes up and
// notices it was told to stop, instead of at its next poll timeout.
void PokeSocket(const std::string& address);

// Sends a state line ("READY=1", "RELOADING=1", "STOPPING=1") to systemd when
// it started us with a notification socket; does nothing otherwise.
void NotifySystemd(const char* state);

}  // namespace ascand
