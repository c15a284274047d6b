// session_map_guard.h - the lock of the modules' session maps.
//
// The core inserts and removes session entries while other threads look up
// the entries of their own sessions: the dispatch manager on every module it
// hands an item or a command to (three times an item on a plain road), the
// settings distribution when it enables a module for a session. Lookups are
// the hot side and changes are rare (session creation and release), so the
// guard is a lock of the settings lock's kind (settings_lock.h): a lookup
// counts itself in and out of its own thread's slot with plain stores, and a
// change pays with the process-wide barrier and waits only for the lookups in
// progress, never for the items around them.
//
// Held only while a map is read or changed: never while module code runs, and
// no other lock (the trace log's included) is taken while it is held, so it is
// the last lock of the core's order.
#pragma once

#include "settings_lock.h"

class CSessionMapGuard : public CSettingsLock {
public:
  // Shared hold for one lookup; exclusive hold for a change. A null guard
  // holds nothing: a dispatch manager or store used outside a core has no
  // concurrent writer.
  class Reader {
  public:
    explicit Reader(CSessionMapGuard* guard) : guard_(guard) {
      if (guard_) guard_->LockRead();
    }
    ~Reader() {
      if (guard_) guard_->UnlockRead();
    }
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

  private:
    CSessionMapGuard* guard_;
  };

  class Writer {
  public:
    explicit Writer(CSessionMapGuard* guard) : guard_(guard) {
      if (guard_) guard_->LockExclusive();
    }
    ~Writer() {
      if (guard_) guard_->UnlockExclusive();
    }
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

  private:
    CSessionMapGuard* guard_;
  };
};
