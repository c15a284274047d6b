// process.cpp - see process.h.
#include "process.h"

#include <fcntl.h>
#include <grp.h>
#include <netdb.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace ascand {
namespace {

std::string Errno() { return std::strerror(errno); }

}  // namespace

PidFile::~PidFile() { Remove(); }

bool PidFile::Create(const std::string& path, std::string& error) {
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    error = "cannot open PID file '" + path + "': " + Errno();
    return false;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    char buf[32] = "";
    ssize_t n = pread(fd, buf, sizeof buf - 1, 0);
    buf[n > 0 ? n : 0] = '\0';
    close(fd);
    error = "PID file '" + path + "' is held by a running ascand (pid " + std::to_string(std::atoi(buf)) + ")";
    return false;
  }
  std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(fd, 0) != 0 || pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    error = "cannot write PID file '" + path + "': " + Errno();
    close(fd);
    return false;
  }
  path_ = path;
  fd_ = fd;
  return true;
}

void PidFile::Remove() {
  if (fd_ < 0) return;
  unlink(path_.c_str());  // still locked by us, so nobody else took it over
  close(fd_);
  fd_ = -1;
}

bool CheckSocketPath(const std::string& path, std::string& error) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    error = "cannot check socket path '" + path + "': " + Errno();
    return false;
  }
  if (!S_ISSOCK(st.st_mode)) {
    error = "socket path '" + path + "' exists and is not a socket";
    return false;
  }
  sockaddr_un addr{};
  if (path.size() >= sizeof addr.sun_path) {
    error = "socket path '" + path + "' is too long";
    return false;
  }
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = "socket: " + Errno();
    return false;
  }
  int rc = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  int saved = errno;
  close(fd);
  if (rc == 0) {
    error = "another filter is listening on '" + path + "'";
    return false;
  }
  if (saved == ECONNREFUSED) return true;  // left behind by a daemon that died
  errno = saved;
  error = "cannot check socket '" + path + "': " + Errno();
  return false;
}

bool SetSocketAccess(const std::string& path, int mode, const std::string& group, std::string& error) {
  if (!group.empty()) {
    struct group* g = getgrnam(group.c_str());
    if (!g) {
      error = "socket_group: no group named '" + group + "'";
      return false;
    }
    if (chown(path.c_str(), static_cast<uid_t>(-1), g->gr_gid) != 0) {
      error = "cannot give socket '" + path + "' to group '" + group + "': " + Errno();
      return false;
    }
  }
  if (chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    error = "cannot set the mode of socket '" + path + "': " + Errno();
    return false;
  }
  return true;
}

FileId IdentifyFile(const std::string& path) {
  FileId id;
  struct stat st;
  if (!path.empty() && lstat(path.c_str(), &st) == 0) {
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.valid = true;
  }
  return id;
}

void RemoveIfSame(const std::string& path, const FileId& id) {
  if (!id.valid) return;
  FileId now = IdentifyFile(path);
  if (now.valid && now.dev == id.dev && now.ino == id.ino) unlink(path.c_str());
}

void PokeSocket(const std::string& address) {
  std::string path = address.compare(0, 5, "unix:") == 0 ? address.substr(5) : std::string();
  if (!path.empty()) {
    sockaddr_un addr{};
    if (path.size() >= sizeof addr.sun_path) return;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    close(fd);
    return;
  }
  size_t colon = address.find(':'), at = address.find('@');
  if (colon == std::string::npos || at == std::string::npos) return;
  std::string port = address.substr(colon + 1, at - colon - 1), host = address.substr(at + 1);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_family = address.compare(0, 6, "inet6:") == 0 ? AF_INET6 : AF_INET;
  addrinfo* res = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || !res) return;
  int fd = socket(res->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0) {
    connect(fd, res->ai_addr, res->ai_addrlen);
    close(fd);
  }
  freeaddrinfo(res);
}

void NotifySystemd(const char* state) {
  const char* where = std::getenv("NOTIFY_SOCKET");
  if (!where || !*where) return;
  sockaddr_un addr{};
  size_t len = std::strlen(where);
  if (len >= sizeof addr.sun_path || (where[0] != '/' && where[0] != '@')) return;
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, where, len);
  if (where[0] == '@') addr.sun_path[0] = '\0';  // abstract namespace
  int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  ssize_t ignored = sendto(fd, state, std::strlen(state), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&addr),
                           static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len));
  (void)ignored;
  close(fd);
}

}  // namespace ascand
