// milter.h - the milter side of ascand: the libmilter callbacks, one message
// collected per connection, and what is done with it at its end.
//
// For each message the mail server hands over (headers, then body chunks),
// the bytes are kept up to max_message_size; at end of message the message
// is scanned and gets the X-Spam-Flag, X-Spam-Score and X-Spam-Status
// headers (any such headers it arrived with are removed first, so nobody
// upstream can forge them), or a 5xx reply when its score reaches
// reject_score. A message over the cap is accepted unscanned with an
// X-Spam-Status header that says so. When scanning fails, on_error decides:
// accept unchanged, or a 4xx reply so the sender tries again later.
//
// Stopping: after BeginStop() new connections and new messages get a 4xx
// reply; messages already under way are finished. WaitIdle() waits for them.
//
// Threading: libmilter calls the callbacks on its own threads, one
// connection at a time per thread, many connections at once.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "config.h"

namespace ascand {

class ScanPool;

struct MilterCounters {
  std::atomic<uint64_t> connections{0}, messages{0}, ham{0}, spam{0}, rejected{0}, oversized{0}, errors{0}, aborted{0},
      refused{0};
};

class Milter {
 public:
  Milter(ScanPool& pool, std::shared_ptr<const Config> config);

  // Registers the callbacks with libmilter (once per process). False with
  // `error` when libmilter refuses.
  bool Register(std::string& error);

  // The settings read per message (reject score, size cap, error action).
  // A message keeps the ones it started with.
  void SetConfig(std::shared_ptr<const Config> config);
  std::shared_ptr<const Config> config() const;

  void BeginStop();
  bool stopping() const { return stopping_; }
  // Waits until no message is under way or `limit` passes. True when idle.
  bool WaitIdle(std::chrono::seconds limit);
  int InProgress() const;

  const MilterCounters& counters() const { return counters_; }

  // Used by the libmilter callbacks (milter.cpp).
  ScanPool& pool() { return pool_; }
  MilterCounters& mutable_counters() { return counters_; }
  void MessageStarted();
  void MessageEnded();
  uint64_t NextConnectionId() { return ++connection_ids_; }

 private:
  ScanPool& pool_;
  mutable std::mutex mu_;
  std::condition_variable idle_;
  std::shared_ptr<const Config> config_;
  int in_progress_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<uint64_t> connection_ids_{0};
  MilterCounters counters_;
};

}  // namespace ascand
