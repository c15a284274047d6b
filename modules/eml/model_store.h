// model_store.h - one model file, shared by the threads of a process and by
// every process that learns into it.
//
// Scanning threads read the current snapshot (model and learned-message
// record), which never changes once published: a learner builds a new one
// and swaps the pointer, so a scan sees the old state or the new one, never
// a mix of both.
//
// On disk the model file is only ever replaced whole: written to a temporary
// file in the same folder, flushed to disk, renamed over the old one, and the
// folder flushed. Writers in any process serialise on an advisory lock
// (flock) on "<model>.lock" beside it, which is created when missing and
// never removed. Under the lock a learner rereads the file when another
// process replaced it since this store read it, applies its change and saves,
// so no process loses another's update. Readers take no lock: a rename is
// atomic, so they read either the old file or the new one.
//
// A running host notices a model saved by another process through Refresh():
// one stat of the file at most once per interval, and a reread when the
// file's identity (device, inode, size, modification and change times)
// differs from the one this store read.
//
// Threading: every member may be called from any thread. Learners of one
// store run one at a time; Refresh never waits for them (it skips the check
// while one runs, and the learner brings the snapshot up to date itself).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "model.h"

namespace eml {

// Failures of ModelStore::Apply, with the numbers of the core's file statuses.
const int kModelReadError = -202;   // the model file exists but cannot be read or is refused
const int kModelWriteError = -203;  // the lock or the new file could not be taken or written

// What identifies one version of a file on disk.
struct FileStamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  timespec mtime{};
  timespec ctime{};
  bool operator==(const FileStamp& o) const;
  bool operator!=(const FileStamp& o) const { return !(*this == o); }
};

FileStamp StampOf(const std::string& path);

// Reads and checks a model file; `stamp` is the identity of what was read.
// On failure `error` names the file and the reason.
bool ReadModelFile(const std::string& path, ModelData& out, FileStamp& stamp, std::string& error);

// Writes a whole model as the file `path` under the writers' lock (as `ascan
// train` does). An existing file is replaced only when `replace` is true;
// otherwise the call fails and says the file exists.
bool WriteModelFile(const std::string& path, const TokenModel& model, const LearnedMessages& learned, bool replace,
                    std::string& error);

class ModelStore {
 public:
  struct Snapshot {
    std::shared_ptr<const TokenModel> model;  // null when no model could be read
    std::shared_ptr<const LearnedMessages> learned;
    std::string status;  // "ok", or why there is no model
  };
  enum class Action { kLearnSpam, kLearnHam, kForget };
  enum class Outcome {
    kLearned,    // counted with the new label
    kRelearned,  // had been learned with the other label: moved over
    kUnchanged,  // had been learned with this label already: nothing to do
    kForgotten,  // taken back out
    kNotLearned  // forget of a message never learned: nothing to do
  };

  explicit ModelStore(std::string path, std::chrono::milliseconds refresh_interval = std::chrono::seconds(1));
  ModelStore(const ModelStore&) = delete;
  ModelStore& operator=(const ModelStore&) = delete;

  const std::string& path() const { return path_; }

  // Reads the file now. A missing or refused file leaves a snapshot without
  // a model whose status says why.
  void Load();
  std::shared_ptr<const Snapshot> Current() const;
  // Rereads the file if another process replaced it; looks at most once per
  // refresh interval, or now when `now_please`. A file that is refused keeps
  // the model read before.
  void Refresh(bool now_please = false);
  void set_refresh_interval(std::chrono::milliseconds interval);

  // Learns, relearns or forgets one message (tokens and MessageDigest) and
  // saves the file; `opt` are the options scans use. A missing file is created; a file that exists but is
  // refused is never overwritten. Returns 0, or kModelReadError /
  // kModelWriteError with `error` set, and then nothing has changed.
  int Apply(const TokenSet& tokens, uint64_t digest, Action action, const ScoreOptions& opt, Outcome& outcome,
            std::string& error);

  // The same step on a model in memory, as a tool that builds a model from
  // folders takes it: a message already learned with that label counts once.
  static Outcome LearnInto(TokenModel& model, LearnedMessages& learned, const TokenSet& tokens, uint64_t digest,
                           Action action, const ScoreOptions& opt);

 private:
  static Outcome Decide(const LearnedMessages& learned, uint64_t digest, Action action);
  void Publish(std::shared_ptr<const Snapshot> s);

  const std::string path_;
  std::atomic<int64_t> interval_ns_{0};
  std::atomic<int64_t> next_check_ns_{0};
  // Held by learners and rereads; guards stamp_ and bad_stamp_.
  std::mutex update_mu_;
  FileStamp stamp_;      // the file the snapshot's model was read from or saved as
  FileStamp bad_stamp_;  // the last file that was refused, not read again
  mutable std::mutex snap_mu_;  // guards the pointer only
  std::shared_ptr<const Snapshot> snap_;
};

const char* OutcomeName(ModelStore::Outcome o);

}  // namespace eml
