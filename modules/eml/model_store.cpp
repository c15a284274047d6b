// model_store.cpp - one model file shared by threads and processes.
#include "model_store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <thread>

#include "large_alloc.h"

namespace eml {
namespace {

// A writer that cannot get the lock within this long gives up with an error
// rather than hang behind a stuck process.
const std::chrono::seconds kLockWait(30);
const uint64_t kMaxModelBytes = 1ull << 30;  // refused before anything is allocated

std::string Errno() { return std::strerror(errno); }

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

FileStamp FromStat(const struct stat& st) {
  FileStamp s;
  s.exists = true;
  s.dev = st.st_dev;
  s.ino = st.st_ino;
  s.size = st.st_size;
  s.mtime = st.st_mtim;
  s.ctime = st.st_ctim;
  return s;
}

std::string FolderOf(const std::string& path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The writers' lock on "<path>.lock", held while the object lives.
class WriterLock {
 public:
  bool Acquire(const std::string& path, std::string& error) {
    std::string lock_path = path + ".lock";
    fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      error = "cannot open the lock file '" + lock_path + "': " + Errno();
      return false;
    }
    auto give_up = std::chrono::steady_clock::now() + kLockWait;
    while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK && errno != EINTR) {
        error = "cannot lock '" + lock_path + "': " + Errno();
        return false;
      }
      if (std::chrono::steady_clock::now() > give_up) {
        error = "model file '" + path + "' stays locked by another writer (waited " +
                std::to_string(kLockWait.count()) + " s on '" + lock_path + "')";
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  ~WriterLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
  }

 private:
  int fd_ = -1;
};

// Writes `bytes` to a new file beside `path` and renames it over `path`.
bool ReplaceFile(const std::string& path, const std::string& bytes, std::string& error) {
  std::string tmp = path + ".XXXXXX";
  int fd = ::mkostemp(&tmp[0], O_CLOEXEC);
  if (fd < 0) {
    error = "cannot create a temporary file beside '" + path + "': " + Errno();
    return false;
  }
  auto fail = [&](const char* what) {
    error = std::string("cannot ") + what + " '" + tmp + "' for model file '" + path + "': " + Errno();
    if (fd >= 0) ::close(fd);
    ::unlink(tmp.c_str());
    return false;
  };
  struct stat old;
  mode_t mode = ::stat(path.c_str(), &old) == 0 ? (old.st_mode & 07777) : 0644;
  if (::fchmod(fd, mode) != 0) return fail("set the mode of");
  for (size_t done = 0; done < bytes.size();) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return fail("write");
    done += static_cast<size_t>(n);
  }
  if (::fsync(fd) != 0) return fail("flush");
  int rc = ::close(fd);
  fd = -1;
  if (rc != 0) return fail("close");
  if (::rename(tmp.c_str(), path.c_str()) != 0) return fail("rename");
  // Make the rename itself durable. Some file systems cannot flush a folder;
  // the file is in place all the same.
  int dir = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace

bool FileStamp::operator==(const FileStamp& o) const {
  if (exists != o.exists) return false;
  if (!exists) return true;
  return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
         mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
}

FileStamp StampOf(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return FileStamp();
  return FromStat(st);
}

bool ReadModelFile(const std::string& path, ModelData& out, FileStamp& stamp, std::string& error) {
  // Non-blocking, so a FIFO without a writer cannot hang the caller; a model
  // is a regular file whose size is known before anything is read.
  int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open model file '" + path + "': " + Errno();
    return false;
  }
  struct stat st;
  // Not a std::string: its resize would clear every byte before the read
  // writes it. From the large-table allocator: a model file is megabytes,
  // and huge pages take a few page faults to fill where 4 KiB pages take
  // thousands.
  size_t capacity = 0;
  auto release = [&capacity](char* p) { LargeAllocator<char>().deallocate(p, capacity); };
  std::unique_ptr<char, decltype(release)> data(nullptr, release);
  size_t done = 0;
  bool ok = ::fstat(fd, &st) == 0;
  if (!ok) {
    error = "cannot read model file '" + path + "': " + Errno();
  } else if (!S_ISREG(st.st_mode)) {
    error = "model file '" + path + "' is not a regular file";
    ok = false;
  } else if (static_cast<uint64_t>(st.st_size) > kMaxModelBytes) {
    error = "model file '" + path + "' is too large";
    ok = false;
  } else {
    size_t size = static_cast<size_t>(st.st_size);
    capacity = size + 1;
    data.reset(LargeAllocator<char>().allocate(capacity));
    while (ok && done < size) {
      ssize_t n = ::read(fd, data.get() + done, size - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        error = "cannot read model file '" + path + "': " + Errno();
        ok = false;
      } else if (n == 0) {
        break;  // shorter than it said: the checks below refuse it
      } else {
        done += static_cast<size_t>(n);
      }
    }
  }
  ::close(fd);
  if (!ok) return false;
  if (!ParseModelFile(std::string_view(data.get(), done), out, error)) {
    error = "model file '" + path + "': " + error;
    return false;
  }
  stamp = FromStat(st);
  return true;
}

bool WriteModelFile(const std::string& path, const TokenModel& model, const LearnedMessages& learned, bool replace,
                    std::string& error) {
  std::string bytes = SerializeModelFile(model, learned);
  WriterLock lock;
  if (!lock.Acquire(path, error)) return false;
  if (!replace && StampOf(path).exists) {
    error = "model file '" + path + "' exists already";
    return false;
  }
  return ReplaceFile(path, bytes, error);
}

ModelStore::Outcome ModelStore::Decide(const LearnedMessages& learned, uint64_t digest, Action action) {
  Label had = Label::kHam;
  bool known = learned.Find(digest, had);
  if (action == Action::kForget) return known ? Outcome::kForgotten : Outcome::kNotLearned;
  if (!known) return Outcome::kLearned;
  return had == (action == Action::kLearnHam ? Label::kHam : Label::kSpam) ? Outcome::kUnchanged : Outcome::kRelearned;
}

ModelStore::Outcome ModelStore::LearnInto(TokenModel& model, LearnedMessages& learned, const TokenSet& tokens,
                                          uint64_t digest, Action action, const ScoreOptions& opt) {
  Outcome outcome = Decide(learned, digest, action);
  if (outcome == Outcome::kUnchanged || outcome == Outcome::kNotLearned) return outcome;
  Label had = Label::kHam;
  if (learned.Find(digest, had)) model.Forget(tokens, digest, had);
  if (action == Action::kForget) {
    learned.Erase(digest);
  } else {
    Label want = action == Action::kLearnHam ? Label::kHam : Label::kSpam;
    model.Learn(tokens, digest, want, opt);
    learned.Set(digest, want);
  }
  return outcome;
}

const char* OutcomeName(ModelStore::Outcome o) {
  switch (o) {
    case ModelStore::Outcome::kLearned:
      return "learned";
    case ModelStore::Outcome::kRelearned:
      return "relearned";
    case ModelStore::Outcome::kUnchanged:
      return "unchanged";
    case ModelStore::Outcome::kForgotten:
      return "forgotten";
    case ModelStore::Outcome::kNotLearned:
      return "not learned";
  }
  return "?";
}

ModelStore::ModelStore(std::string path, std::chrono::milliseconds refresh_interval) : path_(std::move(path)) {
  set_refresh_interval(refresh_interval);
  auto s = std::make_shared<Snapshot>();
  s->learned = std::make_shared<LearnedMessages>();
  s->status = "model not loaded yet";
  snap_ = s;
}

void ModelStore::set_refresh_interval(std::chrono::milliseconds interval) {
  interval_ns_.store(std::chrono::duration_cast<std::chrono::nanoseconds>(interval).count(),
                     std::memory_order_relaxed);
}

std::shared_ptr<const ModelStore::Snapshot> ModelStore::Current() const {
  std::lock_guard<std::mutex> lock(snap_mu_);
  return snap_;
}

void ModelStore::Publish(std::shared_ptr<const Snapshot> s) {
  std::lock_guard<std::mutex> lock(snap_mu_);
  snap_.swap(s);
  // The old snapshot is released outside the lock when `s` goes.
}

void ModelStore::Load() {
  std::lock_guard<std::mutex> guard(update_mu_);
  next_check_ns_.store(NowNs() + interval_ns_.load(std::memory_order_relaxed), std::memory_order_relaxed);
  ModelData d;
  FileStamp st;
  std::string error;
  auto s = std::make_shared<Snapshot>();
  if (ReadModelFile(path_, d, st, error)) {
    s->model = std::move(d.model);
    s->learned = std::make_shared<LearnedMessages>(std::move(d.learned));
    s->status = "ok";
    stamp_ = st;
  } else {
    s->learned = std::make_shared<LearnedMessages>();
    s->status = "model not loaded: " + error;
    stamp_ = FileStamp();
    bad_stamp_ = StampOf(path_);
  }
  Publish(std::move(s));
}

void ModelStore::Refresh(bool now_please) {
  int64_t now = NowNs();
  int64_t due = next_check_ns_.load(std::memory_order_relaxed);
  if (now < due && !now_please) return;
  // One thread per interval looks; the others go on with the snapshot they have.
  int64_t next = now + interval_ns_.load(std::memory_order_relaxed);
  if (!next_check_ns_.compare_exchange_strong(due, next, std::memory_order_relaxed) && !now_please) return;
  std::unique_lock<std::mutex> guard(update_mu_, std::try_to_lock);
  if (!guard) return;
  FileStamp st = StampOf(path_);
  if (st == stamp_ || (bad_stamp_.exists && st == bad_stamp_)) return;
  if (!st.exists) {
    stamp_ = st;  // removed: keep scanning with what was read until a new file appears
    return;
  }
  ModelData d;
  FileStamp read;
  std::string error;
  if (!ReadModelFile(path_, d, read, error)) {
    bad_stamp_ = st;
    std::shared_ptr<const Snapshot> cur = Current();
    if (!cur->model) {
      auto s = std::make_shared<Snapshot>(*cur);
      s->status = "model not loaded: " + error;
      Publish(std::move(s));
    }
    return;
  }
  auto s = std::make_shared<Snapshot>();
  s->model = std::move(d.model);
  s->learned = std::make_shared<LearnedMessages>(std::move(d.learned));
  s->status = "ok";
  stamp_ = read;
  Publish(std::move(s));
}

int ModelStore::Apply(const TokenSet& tokens, uint64_t digest, Action action, const ScoreOptions& opt,
                      Outcome& outcome, std::string& error) {
  std::lock_guard<std::mutex> guard(update_mu_);
  WriterLock lock;
  if (!lock.Acquire(path_, error)) return kModelWriteError;

  // Start from what is on disk now: another process may have saved since.
  std::shared_ptr<const Snapshot> base = Current();
  std::shared_ptr<const TokenModel> model = base->model;
  std::shared_ptr<const LearnedMessages> learned = base->learned;
  FileStamp st = StampOf(path_);
  bool fresh = false;
  if (!st.exists) {  // never there, or removed on purpose: start a new model
    model = NewModel();
    learned = std::make_shared<LearnedMessages>();
    fresh = true;
  } else if (st != stamp_ || !model) {
    ModelData d;
    if (!ReadModelFile(path_, d, st, error)) {
      error = "cannot learn: " + error + " (the file is left as it is)";
      return kModelReadError;
    }
    model = std::move(d.model);
    learned = std::make_shared<LearnedMessages>(std::move(d.learned));
    fresh = true;
  }

  outcome = Decide(*learned, digest, action);
  if (outcome == Outcome::kUnchanged || outcome == Outcome::kNotLearned) {
    if (fresh && st.exists) {
      auto s = std::make_shared<Snapshot>();
      s->model = model;
      s->learned = learned;
      s->status = "ok";
      stamp_ = st;
      Publish(std::move(s));
    }
    return 0;
  }

  std::unique_ptr<TokenModel> next = model->Clone();
  auto next_learned = std::make_shared<LearnedMessages>(*learned);
  LearnInto(*next, *next_learned, tokens, digest, action, opt);
  if (!ReplaceFile(path_, SerializeModelFile(*next, *next_learned), error)) return kModelWriteError;
  stamp_ = StampOf(path_);
  bad_stamp_ = FileStamp();
  auto s = std::make_shared<Snapshot>();
  s->model = std::move(next);
  s->learned = std::move(next_learned);
  s->status = "ok";
  Publish(std::move(s));
  return 0;
}

}  // namespace eml
