// The settings lock with real threads, in both of its modes: readers without
// a barrier of their own (the kernel's barrier on the writer's side) and
// readers that take one. Runs alone in its executable: the slot cases count
// the threads that were dealt a slot.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "settings_lock.h"

namespace {

const auto kMust = std::chrono::seconds(10);
const auto kMustNot = std::chrono::milliseconds(150);

// A thread that holds a read until it is let go; slot is what it was dealt.
struct Reader {
  explicit Reader(CSettingsLock* lock) : t([this, lock] {
    CSettingsLock::Reader hold(lock);
    in.set_value(t_settings_slot);
    leave_future.wait();
  }) {
    slot = in_future.get();
  }
  ~Reader() {
    leave.set_value();
    t.join();
  }
  std::promise<uint32_t> in;
  std::future<uint32_t> in_future = in.get_future();
  std::promise<void> leave;
  std::shared_future<void> leave_future = leave.get_future().share();
  uint32_t slot = 0;
  std::thread t;
};

std::future<void> WriteAsync(CSettingsLock* lock) {
  return std::async(std::launch::async, [lock] { CSettingsLock::Writer hold(lock); });
}

} // namespace

TEST(SettingsLock, AWriterWaitsForEveryReaderAndAReaderForTheWriter) {
  for (bool light : {true, false}) {
    SCOPED_TRACE(light ? "light readers" : "readers with a barrier");
    CSettingsLock lock(light);
    auto first = std::make_unique<Reader>(&lock);
    auto second = std::make_unique<Reader>(&lock);
    std::future<void> written = WriteAsync(&lock);
    first.reset();
    EXPECT_EQ(std::future_status::timeout, written.wait_for(kMustNot));
    second.reset();
    ASSERT_EQ(std::future_status::ready, written.wait_for(kMust));

    lock.LockExclusive();
    auto late = std::async(std::launch::async, [&] { Reader r(&lock); });
    EXPECT_EQ(std::future_status::timeout, late.wait_for(kMustNot));
    lock.UnlockExclusive();
    EXPECT_EQ(std::future_status::ready, late.wait_for(kMust));
  }
}

// Past the slots, readers share one counter, which a writer waits for too;
// a thread that ends gives its slot back for the next one.
TEST(SettingsLock, ThreadsBeyondTheSlotsShareACounterAndEndedThreadsGiveSlotsBack) {
  CSettingsLock lock;
  std::vector<std::unique_ptr<Reader>> readers;
  for (uint32_t i = 0; i < CSettingsLock::kSlots + 2; ++i) readers.emplace_back(new Reader(&lock));
  Reader* shared = nullptr;
  for (auto& r : readers)
    if (r->slot == CSettingsLock::kNoSlot) shared = r.get();
  ASSERT_NE(nullptr, shared) << "every thread got a slot";
  std::future<void> written = WriteAsync(&lock);
  for (auto& r : readers)
    if (r.get() != shared) r.reset();
  EXPECT_EQ(std::future_status::timeout, written.wait_for(kMustNot));
  readers.clear();
  ASSERT_EQ(std::future_status::ready, written.wait_for(kMust));
  Reader again(&lock);
  EXPECT_NE(CSettingsLock::kNoSlot, again.slot);
}

// Writers rewrite a pair that readers must never see half written; any order
// missing between the two sides is also a data race for ThreadSanitizer.
TEST(SettingsLock, ReadersNeverSeeAHalfWrittenValue) {
  for (bool light : {true, false}) {
    SCOPED_TRACE(light ? "light readers" : "readers with a barrier");
    CSettingsLock lock(light);
    long a = 0, b = 0;
    std::atomic<bool> done{false};
    std::atomic<long> torn{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 3; ++i)
      readers.emplace_back([&] {
        while (!done.load()) {
          CSettingsLock::Reader hold(&lock);
          if (a != b) ++torn;
        }
      });
    for (long i = 1; i <= 2000; ++i) {
      CSettingsLock::Writer hold(&lock);
      a = i;
      std::this_thread::yield();
      b = i;
    }
    done = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(0, torn.load());
  }
}
