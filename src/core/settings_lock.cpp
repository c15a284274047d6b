// settings_lock.cpp - the slow paths of CSettingsLock: dealing reader slots to
// threads, giving them back when a thread ends, and the writer's side.
#include "settings_lock.h"

#include <linux/membarrier.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

__thread uint32_t t_settings_slot __attribute__((tls_model("initial-exec"))) = 0;

namespace {

// Which slots a living thread holds; the same slot number in every lock.
std::atomic<bool> g_taken[CSettingsLock::kSlots];
// How many are held. A thread counts itself here (a full barrier) before it
// first stores into its slot, so a writer that reads a count without it after
// raising its flag is sure to be seen by that thread's flag load.
std::atomic<uint32_t> g_dealt{0};

// Gives a thread's slot back when it ends. Created with the first slot dealt,
// deleted at unload, so that no thread ends into an unmapped destructor.
pthread_mutex_t g_key_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_key_t g_key;
bool g_key_exists = false;
bool g_unloaded = false;

void GiveBack(void* value) {
  uintptr_t slot = reinterpret_cast<uintptr_t>(value);
  t_settings_slot = 0;
  g_taken[slot - 1].store(false, std::memory_order_release);
  g_dealt.fetch_sub(1, std::memory_order_release);
}

bool KeyReady() {
  pthread_mutex_lock(&g_key_mutex);
  if (!g_key_exists && !g_unloaded) g_key_exists = pthread_key_create(&g_key, GiveBack) == 0;
  bool ready = g_key_exists;
  pthread_mutex_unlock(&g_key_mutex);
  return ready;
}

__attribute__((destructor)) void DeleteKey() {
  pthread_mutex_lock(&g_key_mutex);
  g_unloaded = true;
  if (g_key_exists) pthread_key_delete(g_key);
  g_key_exists = false;
  pthread_mutex_unlock(&g_key_mutex);
}

long Membarrier(int command) { return syscall(__NR_membarrier, command, 0, 0); }

// Whether the kernel's process-wide barrier can be had: asked once, and the
// process registered for it (registration lasts for the life of the process).
bool BarrierAvailable() {
  static const bool available = [] {
    long commands = Membarrier(MEMBARRIER_CMD_QUERY);
    if (commands < 0 || !(commands & MEMBARRIER_CMD_PRIVATE_EXPEDITED)) return false;
    return Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
  }();
  return available;
}

} // namespace

CSettingsLock::CSettingsLock(bool light) : light_(light && BarrierAvailable()) { pthread_mutex_init(&gate_, nullptr); }

CSettingsLock::~CSettingsLock() { pthread_mutex_destroy(&gate_); }

uint32_t CSettingsLock::ClaimSlot() {
  t_settings_slot = kNoSlot;
  if (!KeyReady()) return kNoSlot;
  for (uint32_t i = 0; i < kSlots; ++i) {
    if (g_taken[i].load(std::memory_order_relaxed) || g_taken[i].exchange(true, std::memory_order_acquire))
      continue;
    if (pthread_setspecific(g_key, reinterpret_cast<void*>(uintptr_t{i + 1})) != 0) {
      g_taken[i].store(false, std::memory_order_release);
      return kNoSlot;
    }
    g_dealt.fetch_add(1, std::memory_order_seq_cst);
    t_settings_slot = i + 1;
    break;
  }
  return t_settings_slot;
}

void CSettingsLock::WaitForWriter() {
  pthread_mutex_lock(&gate_);
  pthread_mutex_unlock(&gate_);
}

namespace {

// Waits until done() holds: a few turns of yielding for the short holds (a
// setting read, a session-map lookup), then sleeps that grow to a millisecond,
// so a writer that waits for an item being processed does not keep a
// processor busy for as long as the item takes.
template <class Done>
void WaitUntil(Done done) {
  long sleep_ns = 10000;
  for (int turn = 0; !done(); ++turn) {
    if (turn < 64) {
      sched_yield();
      continue;
    }
    timespec pause = {0, sleep_ns};
    nanosleep(&pause, nullptr);
    if (sleep_ns < 1000000) sleep_ns *= 2;
  }
}

} // namespace

void CSettingsLock::LockExclusive() {
  pthread_mutex_lock(&gate_);
  writer_.store(true, std::memory_order_seq_cst);
  // The barrier is needed only while another thread holds a slot; without
  // one (a host that writes its settings before its threads read any), no
  // reader can have a store in flight. Registered, the expedited barrier
  // does not fail; the global one is the slower equivalent, should it ever.
  uint32_t own = t_settings_slot - 1 < kSlots ? 1 : 0;
  if (light_ && g_dealt.load(std::memory_order_seq_cst) > own &&
      Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0)
    Membarrier(MEMBARRIER_CMD_GLOBAL);
  for (uint32_t i = 1; i <= kSlots; ++i)
    WaitUntil([&] { return slots_[i].readers.load(std::memory_order_seq_cst) == 0; });
  WaitUntil([&] { return shared_readers_.load(std::memory_order_seq_cst) == 0; });
}

void CSettingsLock::UnlockExclusive() {
  writer_.store(false, std::memory_order_release);
  pthread_mutex_unlock(&gate_);
}
