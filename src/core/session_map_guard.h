// session_map_guard.h - the lock of the modules' session maps.
//
// The core inserts and removes session entries while other threads look up
// the entries of their own sessions: the dispatch manager on every module it
// hands an item or a command to, the settings distribution when it enables a
// module for a session. Lookups are the hot side, so the guard is a striped
// lock (striped_lock.h): a lookup writes only its own thread's stripe, and a
// change waits only for the lookups in progress, never for the items around
// them.
//
// Held only while a map is read or changed: never while module code runs, and
// no other lock (the trace log's included) is taken while it is held, so it is
// the last lock of the core's order.
#pragma once

#include "striped_lock.h"

class CSessionMapGuard : public CStripedLock {
public:
  static const unsigned kSlots = ascore::kThreadSlots;

  // Shared hold for one lookup; exclusive hold for a change. A null guard
  // holds nothing: a dispatch manager or store used outside a core has no
  // concurrent writer.
  typedef CStripedLock::Shared Reader;
  typedef CStripedLock::Exclusive Writer;
};
