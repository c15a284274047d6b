// The shared resource locker with real threads. Waits for something that must
// happen are bounded by kMust; checks that something must NOT happen watch
// for kMustNot, long enough for a runnable thread to get there.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "session_map_guard.h"
#include "shared_locker.h"

namespace {

const auto kMust = std::chrono::seconds(10);
const auto kMustNot = std::chrono::milliseconds(150);

struct Event {
  void Set() {
    std::lock_guard<std::mutex> l(m);
    set = true;
    cv.notify_all();
  }
  template <class D>
  bool WaitFor(D d) {
    std::unique_lock<std::mutex> l(m);
    return cv.wait_for(l, d, [&] { return set; });
  }
  std::mutex m;
  std::condition_variable cv;
  bool set = false;
};

// A thread that takes the locker in a mode, reports "in", waits for "leave".
struct Holder {
  Holder(shared_locker* l, uint32_t mode) : t([=] {
    auto_locker hold(l, mode);
    in.Set();
    leave.WaitFor(kMust);
  }) {}
  ~Holder() {
    leave.Set();
    t.join();
  }
  Event in, leave;
  std::thread t;
};

// A fresh thread holding the session map guard for reading.
struct MapReader {
  explicit MapReader(CSessionMapGuard* g) : t([=] {
    CSessionMapGuard::Reader hold(g);
    in.Set();
    leave.WaitFor(kMust);
  }) {}
  ~MapReader() {
    leave.Set();
    t.join();
  }
  Event in, leave;
  std::thread t;
};

} // namespace

// Eight fresh threads, each in a reader slot of its own, read at once; a
// writer waits for each of them, whichever leaves last.
TEST(SessionMapGuard, ReadersShareAndAWriterWaitsForEverySlot) {
  CSessionMapGuard guard;
  const unsigned n = 8;
  for (unsigned last = 0; last < n; ++last) {
    SCOPED_TRACE(last);
    std::vector<std::unique_ptr<MapReader>> readers;
    for (unsigned i = 0; i < n; ++i) readers.emplace_back(new MapReader(&guard));
    for (auto& r : readers) ASSERT_TRUE(r->in.WaitFor(kMust));
    Event written;
    std::thread writer([&] {
      CSessionMapGuard::Writer hold(&guard);
      written.Set();
    });
    for (unsigned i = 0; i < n; ++i)
      if (i != last) readers[i].reset();
    EXPECT_FALSE(written.WaitFor(kMustNot));
    readers[last].reset();
    EXPECT_TRUE(written.WaitFor(kMust));
    writer.join();
  }
}

// The processing lock: a writer (a command, a settings application) waits
// until the last reader (an item) leaves, however many the reader's thread
// holds; a reader that arrives meanwhile queues behind the writer instead of
// starving it.
TEST(ProcessingLock, WriterWaitsForTheLastReaderAndLateReadersQueueBehindIt) {
  CSettingsLock lock;
  lock.LockRead();
  lock.LockRead();
  Event written, late_in, release_writer;
  std::thread writer([&] {
    CSettingsLock::Writer hold(&lock);
    written.Set();
    release_writer.WaitFor(kMust);
  });
  EXPECT_FALSE(written.WaitFor(kMustNot));
  std::thread late([&] {
    CSettingsLock::Reader hold(&lock);
    late_in.Set();
  });
  EXPECT_FALSE(late_in.WaitFor(kMustNot));
  lock.UnlockRead();
  EXPECT_FALSE(written.WaitFor(kMustNot));
  lock.UnlockRead();
  EXPECT_TRUE(written.WaitFor(kMust));
  EXPECT_FALSE(late_in.WaitFor(kMustNot));
  release_writer.Set();
  EXPECT_TRUE(late_in.WaitFor(kMust));
  writer.join();
  late.join();
}

TEST(SharedLocker, ReadersShareTheLock) {
  shared_locker l;
  Holder a(&l, auto_locker::READ_ONLY), b(&l, auto_locker::READ_ONLY), c(&l, auto_locker::READ_ONLY);
  for (Holder* h : {&a, &b, &c}) ASSERT_TRUE(h->in.WaitFor(kMust));
  EXPECT_EQ(3, l.read_count());
}

TEST(SharedLocker, WriterWaitsForTheLastReaderAndIsWokenByItsLeave) {
  shared_locker l;
  l.lock_read();
  l.lock_read();
  Holder writer(&l, auto_locker::EXCLUSIVE);
  EXPECT_FALSE(writer.in.WaitFor(kMustNot));
  l.unlock_read();
  EXPECT_FALSE(writer.in.WaitFor(kMustNot));
  l.unlock_read();
  EXPECT_TRUE(writer.in.WaitFor(kMust));
}

TEST(SharedLocker, ReadersQueueBehindAHolderAndAWaitingWriter) {
  shared_locker l;
  {
    auto_locker mine(&l, auto_locker::EXCLUSIVE);
    Holder reader(&l, auto_locker::READ_ONLY);
    EXPECT_FALSE(reader.in.WaitFor(kMustNot));
    mine.unlock();
    EXPECT_TRUE(reader.in.WaitFor(kMust));
  }
  // A reader arriving while a writer waits for the current reader queues
  // behind that writer instead of joining the current reader.
  l.lock_read();
  Holder writer(&l, auto_locker::EXCLUSIVE);
  EXPECT_FALSE(writer.in.WaitFor(2 * kMustNot)); // time for the writer to reach the gate
  Holder late(&l, auto_locker::READ_ONLY);
  EXPECT_FALSE(late.in.WaitFor(kMustNot));
  l.unlock_read();
  ASSERT_TRUE(writer.in.WaitFor(kMust));
  EXPECT_FALSE(late.in.WaitFor(kMustNot));
  writer.leave.Set();
  EXPECT_TRUE(late.in.WaitFor(kMust));
}

TEST(SharedLocker, MarkForDeletionWaitsForReadersThenRefusesEveryLock) {
  shared_locker l;
  l.lock_read();
  Event marked;
  std::thread marker([&] {
    l.mark_for_deletion();
    marked.Set();
  });
  EXPECT_FALSE(marked.WaitFor(kMustNot));
  l.unlock_read();
  EXPECT_TRUE(marked.WaitFor(kMust));
  marker.join();

  // The refusal's text and code reach a host through its trace line.
  EXPECT_THROW(l.lock_read(), ASInternalException);
  EXPECT_THROW(l.lock_exclusive(), ASInternalException);
  EXPECT_THROW(auto_locker(&l, auto_locker::READ_ONLY), ASInternalException);
  EXPECT_EQ(0, l.read_count()); // a refused reader leaves no count behind
}

TEST(AutoLocker, ReleasesOnceWhetherUnlockedEarlyOrAtScopeEnd) {
  shared_locker l;
  {
    auto_locker r(&l, auto_locker::READ_ONLY);
    r.unlock();
  }
  EXPECT_EQ(0, l.read_count());
  { auto_locker w(&l, auto_locker::EXCLUSIVE); }
  Holder after(&l, auto_locker::EXCLUSIVE);
  EXPECT_TRUE(after.in.WaitFor(kMust));
}
