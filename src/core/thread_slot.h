// thread_slot.h - a small number dealt to each thread, for state that is
// striped so that threads on different processors write different cache
// lines.
#pragma once

#include <atomic>

namespace ascore {

const unsigned kThreadSlots = 8;

// The calling thread's slot, 0 to kThreadSlots - 1. Threads are dealt slots in
// turn on their first call, so the first kThreadSlots threads of the process
// never share one; later threads share, which striped state must allow.
//
// Read several times on every item, so the slot lives in the static TLS block
// (four bytes of it, also when the library is loaded with dlopen) and is found
// with one load instead of a call into the dynamic linker.
inline unsigned ThreadSlot() {
  static std::atomic<unsigned> next{0};
  static thread_local unsigned index __attribute__((tls_model("initial-exec"))) = kThreadSlots; // not dealt yet
  if (index == kThreadSlots) index = next.fetch_add(1, std::memory_order_relaxed) % kThreadSlots;
  return index;
}

} // namespace ascore
