// disp_mgr.cpp - CDispManager: routes items and commands to the dispatcher of
// their entity type and serves the dispatchers' requests.
//
// Before a filter or performer sees an item, the item is brought to the
// breaker index that module asks for: pending changes are committed, indexes
// that are no longer needed are released and the item is broken open to the
// new index, all through the one breaker module. Every piece of per-item state
// lives in the item record; this object only holds the module lists, which
// the core fills at start-up and never changes while items are processed.
//
// Threading: no lock of its own. The core calls in for an item while it holds
// that item's mutex (so one item is never here twice at once) and for a
// command while it holds the processing lock exclusively; dispatchers call
// back on the same thread. The module lists are read-only after start-up. The
// modules' session maps are not: sessions come and go while items are
// processed, so every lookup of a session entry holds the core's session map
// guard, and only for the lookup.
//
// No breaker module: a core may be started from a module set without one.
// Bringing an item to a new index, or committing it, cannot be done then, so
// any such request throws an ASException ("No breaker module is available...")
// before the item is changed; the dispatcher's caller reports it to the host
// as a failed processing. Releasing an item never fails for this reason: the
// item's breaker states and dirty flag are simply reset without any call,
// since no breaker can have opened a level that would need releasing.
#include "disp_mgr.h"

#include <cstring>

#include "as_errno.h"
#include "blackbox.h"
#include "exceptions.h"
#include "time_utils.h"
#include "trace.h"

using ascommon::sstring;

namespace {

// Text for a trace argument: a null string prints as "(null)" instead of
// handing a null pointer to the formatter.
const char* Text(const sstring& s) { return s.c_str() ? s.c_str() : "(null)"; }

// Display names are compared case-sensitively; a null name matches only a
// null name.
bool SameName(const sstring& display, const sstring& wanted) {
  const char* a = display.c_str();
  const char* b = wanted.c_str();
  if (!a || !b) return a == b;
  return std::strcmp(a, b) == 0;
}

template <class M, uint64_t STEP>
M* FindByName(const ascommon::CArray<M*, STEP>& list, const sstring& name) {
  for (uint64_t i = 0; i < list.GetCount(); ++i) {
    M* m = list[i];
    if (m && SameName(m->GetDisplayName(), name)) return m;
  }
  return nullptr;
}

void ResetState(ASItem* item, unsigned k) {
  item->states[k].open = 0;
  item->states[k].failed = 0;
  item->states[k].index = (uint8_t)k;
}

} // namespace

CDispManager::CDispManager() : breaker_(nullptr), map_guard_(nullptr) {}

CDispManager::~CDispManager() {}

void CDispManager::Clear() {
  streamers_.RemoveAll();
  dispatchers_.RemoveAll();
  filters_.RemoveAll();
  performers_.RemoveAll();
  breaker_ = nullptr;
}

// A session the module has no entry for is reported at level 2: the caller
// named a session that was never created, one created while the module could
// not give it data, or one being released.
bool CDispManager::UsableOnSession(CNotifiableObject* module, uint64_t session) {
  if (module->GetState() != AS_STATE_ACTIVE) return false;
  bool known = false, enabled = false;
  {
    CSessionMapGuard::Reader lookup(map_guard_);
    if (const ASSessionEntry* entry = module->FindSession(session)) {
      known = true;
      enabled = entry->enabled;
    }
  }
  if (!known) AS_TRACE(2, "invalid session ID (%d)", (int)session);
  return enabled;
}

CADispatcher* CDispManager::FindDispatcher(uint32_t entity_type) {
  for (uint64_t i = 0; i < dispatchers_.GetCount(); ++i) {
    CADispatcher* d = dispatchers_[i];
    if (d && d->GetEntityType() == entity_type) return d;
  }
  AS_THROW(ASInternalException,
           "ASInternalException - MESSAGE: Cound not find a suitable dispatcher for this entity type: %d",
           (int)entity_type);
}

CAFilter* CDispManager::FindFilter(const sstring& name) {
  CAFilter* f = FindByName(filters_, name);
  if (!f) AS_TRACE(3, "WARNING: the required %s [%s] was not found", "filter", Text(name));
  return f;
}

CAPerformer* CDispManager::FindPerformer(const sstring& name) {
  CAPerformer* p = FindByName(performers_, name);
  if (!p) AS_TRACE(3, "WARNING: the required %s [%s] was not found", "performer", Text(name));
  return p;
}

CABreaker* CDispManager::RequireBreaker(uint32_t index) {
  if (!breaker_)
    AS_THROW(ASException, "ASException - MESSAGE: No breaker module is available to move the item to breaker %d",
             (int)index);
  return breaker_;
}

void CDispManager::CommitAll(uint64_t session, ASItem* item) {
  const unsigned current = item->breaker_index;
  for (unsigned k = 0; k < AS_BREAKER_LEVELS; ++k) {
    if (k == current && item->dirty) {
      RequireBreaker(k)->CommitItem(session, k, item);
      AS_TRACE(4, "Have committed on breaker %d", (int)k);
      item->dirty = 0;
    } else if (item->states[k].open) {
      RequireBreaker(k)->ReleaseLevel(session, k, item);
      ResetState(item, k);
    }
  }
}

void CDispManager::BreakTo(uint64_t session, ASItem* item, uint32_t index) {
  ASBreakerState& state = item->states[index];
  if (state.open) {
    item->breaker_index = (uint8_t)index;
    return;
  }
  if (state.failed) AS_THROW(ASException, "ASException - MESSAGE: Error breaking the item");

  CABreaker* breaker = RequireBreaker(index);
  try {
    breaker->BreakItem(session, index, item);
  } catch (...) {
    // The index stays failed until the item is released, so later requests
    // for it fail at once instead of calling the breaker again.
    state.index = (uint8_t)index;
    state.open = 0;
    state.failed = 1;
    if (item->item_bb) {
      item->item_bb->Set(BB_ID_BREAK_FAILED, BB_TYPE_BOOL, BB_FLAGS_RAW, 1);
      item->item_bb->Set(BB_ID_BREAK_FAILED2, BB_TYPE_BOOL, BB_FLAGS_RAW, 1);
    }
    throw;
  }
  item->dirty = 0;
  item->breaker_index = (uint8_t)index;
  // A breaker may also report failure through the shared error state; the
  // item then keeps the new index but the caller is told.
  if (_as_get_err()->GetCode() != 0) AS_THROW(ASException, "ASException - MESSAGE: Error breaking the item");
}

void CDispManager::SwitchTo(uint64_t session, ASItem* item, uint32_t index, ASFilterTiming* timing,
                            ascommon::as_time_t* filter_start) {
  if (index == item->breaker_index) {
    AS_TRACE(4, "Same breaker needed, doing nothing...");
    if (filter_start) ascommon::as_time_now(filter_start);
    return;
  }
  AS_TRACE(4, "Changing breaker to [%d]", (int)index);
  ascommon::as_time_t before = {0, 0};
  if (timing) ascommon::as_time_now(&before);
  if (item->dirty) {
    CommitAll(session, item);
    AS_TRACE(4, "Have committed because we are switching breakers and the item was dirty");
  }
  BreakTo(session, item, index);
  if (!timing) return;

  ascommon::as_time_t after = {0, 0};
  ascommon::as_time_now(&after);
  ascommon::as_time_diff(after, before, &timing->break_time);
  if (item->current_bb)
    item->current_bb->Set(BB_ID_BREAK_TIME, BB_TYPE_DOUBLE, BB_FLAGS_RAW, ascommon::as_time_seconds(timing->break_time));
  if (filter_start) ascommon::as_time_now(filter_start);
}

// A breaker index from a module's GetBreakerIndex: its low 8 bits. A value
// past the last index would address memory outside the item record, so it is
// refused before the item is touched.
static uint32_t CheckedIndex(int raw, const sstring& name) {
  uint32_t index = (uint32_t)raw & 0xFFu;
  if (index >= AS_BREAKER_LEVELS)
    AS_THROW(ASException, "ASException - MESSAGE: Module [%s] asked for breaker %d, which does not exist", Text(name),
             (int)index);
  return index;
}

int CDispManager::PassItemToDispatcher(uint64_t session, ASItem* item, uint32_t verb) {
  if (!item) AS_THROW(ASBadPtrException, "ASBadPtrException - MESSAGE: Invalid Item handle!");
  CADispatcher* dispatcher = FindDispatcher(item->entity_type);
  AS_TRACE(4, "Now passing the item to its dispatcher");
  return dispatcher->DispatchItem(session, item, verb, this);
}

int CDispManager::PassToFilter(uint64_t session, const sstring& name, ASItem* item, uint32_t verb,
                               ASFilterTiming* timing) {
  if (!item) AS_THROW(ASException, "ASException - MESSAGE: Invalid Item handle in DispMgr Pass to filter");
  CAFilter* filter = FindFilter(name);
  if (!filter) return AS_DISP_FILTER_NOT_FOUND;
  AS_TRACE(4, "Dispatcher wants filter [%s]", Text(name));
  if (!UsableOnSession(filter, session)) {
    AS_TRACE(4, "Filter [%s] is disabled, returning.", Text(name));
    return AS_DISP_FILTER_DISABLED;
  }

  uint32_t index = CheckedIndex(filter->GetBreakerIndex(verb), name);
  ascommon::as_time_t filter_start = {0, 0};
  SwitchTo(session, item, index, timing, timing ? &filter_start : nullptr);

  AS_TRACE(4, "Now passing to filter [%s]", Text(name));
  filter->FilterItem(session, item, verb);
  if (timing) {
    ascommon::as_time_t now = {0, 0};
    ascommon::as_time_now(&now);
    ascommon::as_time_diff(now, filter_start, &timing->filter_time);
  }
  return AS_DISP_FILTER_PASSED;
}

int CDispManager::PassToPerformer(uint64_t session, const sstring& name, ASItem* item, uint32_t verb) {
  if (!item) AS_THROW(ASException, "ASException - MESSAGE: Invalid Item handle in DispMgr Pass to performer");
  CAPerformer* performer = FindPerformer(name);
  if (!performer) return AS_DISP_NOT_FOUND;
  AS_TRACE(4, "Dispatcher wants performer [%s]", Text(name));

  uint32_t index = CheckedIndex(performer->GetBreakerIndex(verb), name);
  SwitchTo(session, item, index, nullptr, nullptr);

  AS_TRACE(4, "Now passing to performer [%s]", Text(name));
  return performer->PerformItem(session, item, verb);
}

void CDispManager::ReleaseItem(uint64_t session, ASItem* item) {
  if (!item) AS_THROW(ASException, "ASException - MESSAGE: Invalid Item handle in DispMgr Release Item");
  if (!breaker_) {
    bool pending = item->dirty != 0;
    for (unsigned k = 0; k < AS_BREAKER_LEVELS; ++k) {
      if (item->states[k].open) pending = true;
      ResetState(item, k);
    }
    item->dirty = 0;
    if (pending) AS_TRACE(3, "WARNING: no breaker module, the item's breaker levels are reset without releasing them");
    return;
  }
  if (!item->dirty) {
    CommitAll(session, item); // only releases the open indexes
    return;
  }
  const unsigned current = item->breaker_index < AS_BREAKER_LEVELS ? item->breaker_index : 0;
  CommitAll(session, item);
  breaker_->ReleaseLevel(session, current, item);
  ResetState(item, current);
}

int CDispManager::PassCommandToDispatcher(uint64_t session, uint32_t entity_type, uint32_t verb, CBlackBox* bb) {
  return FindDispatcher(entity_type)->DispatchCommand(session, verb, bb, this);
}

int CDispManager::PassCommandToFilter(uint64_t session, const sstring& name, uint32_t command, void* arg) {
  CAFilter* filter = FindFilter(name);
  if (!filter) return AS_DISP_NOT_FOUND;
  if (!UsableOnSession(filter, session)) {
    AS_TRACE(4, "Filter [%s] is disabled, returning.", Text(name));
    return AS_DISP_FILTER_DISABLED;
  }
  return filter->FilterCommand(session, command, arg);
}

// When the module is not asked (no black box, unknown name, module not usable
// on the session) the result is AS_DISP_NOT_FOUND; callers should not depend
// on it.
int CDispManager::RequestModule(uint64_t session, const sstring& name, CBlackBox* blackbox) {
  if (!blackbox) {
    AS_TRACE(4, "NULL argument");
    return AS_DISP_NOT_FOUND;
  }
  CNotifiableObject* module = FindByName(filters_, name);
  if (!module) module = FindByName(streamers_, name);
  if (!module) module = FindByName(dispatchers_, name);
  if (!module) module = FindByName(performers_, name);
  if (!module && breaker_ && SameName(breaker_->GetDisplayName(), name)) module = breaker_;
  if (!module || !UsableOnSession(module, session)) return AS_DISP_NOT_FOUND;
  return module->HandleSessionRequest(session, blackbox);
}

bool CDispManager::IsFilterEnabled(const sstring& name, uint64_t session) {
  CAFilter* filter = FindFilter(name);
  return filter && UsableOnSession(filter, session);
}

int CDispManager::Reserved8() { return 0; }
