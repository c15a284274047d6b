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
// progress, never for the items around them. Its Reader and Writer holds
// take a null guard for a dispatch manager or store used outside a core.
//
// Held only while a map is read or changed: never while module code runs, and
// no other lock (the trace log's included) is taken while it is held, so it is
// the last lock of the core's order.
#pragma once

#include "settings_lock.h"

class CSessionMapGuard : public CSettingsLock {};
