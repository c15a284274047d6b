// core.cpp - CCore: start-up and shutdown, sessions, items, commands and
// setting changes.
//
// Every virtual slot is a boundary: plug-in code runs below it and may throw
// anything, so each slot catches, converts what it caught into a status and
// a message, and never lets an exception out. Module objects belong to their
// class factories; the core only files references to them, writes their
// configurer pointer and keeps their session maps.
#include "core.h"

#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "as_errno.h"
#include "blackbox.h"
#include "exceptions.h"
#include "trace.h"

using ascommon::CArray;

namespace {

const char* NameOf(const CNotifiableObject* module) {
  const char* name = module->GetDisplayName().c_str();
  return name ? name : "";
}

int CurrentCode() { return _as_get_err()->GetCode(); }

const char* CurrentMessage() {
  const char* text = _as_get_err()->GetMessage();
  return text ? text : "";
}

int NotStored() { return _as_set_err(-102, "Not enough memory to store the setting"); }

// Code back to 0, message kept.
void ClearCode() { _as_get_err()->SetCode(0); }

// Releasing a box empties it, then destroys it. Only Empty can throw here (a
// destructor that throws terminates anyway); a box is released on paths that
// must not unwind, so a failure is swallowed.
void ReleaseBox(CBlackBox* box) {
  if (!box) return;
  try {
    box->Empty();
  } catch (...) {
  }
  delete box;
}

CBlackBox* NewBox() {
  try {
    return CBlackBoxInt::Create();
  } catch (...) {
    return nullptr;
  }
}

// Records -104 "failed to <action> with message: <text>" for the exception
// being handled; call only from inside a catch clause. Returns the code, so a
// catch can end with `return FailedTo(...)`.
int FailedTo(const char* action) {
  try {
    throw;
  } catch (const std::exception& e) {
    return _as_set_err(-104, "failed to %s with message: %s", action, e.what());
  } catch (...) {
    return _as_set_err(-104, "failed to %s with message: %s", action, "unknown exception");
  }
}

class MutexHold {
public:
  explicit MutexHold(pthread_mutex_t* mutex) : mutex_(mutex) { pthread_mutex_lock(mutex_); }
  ~MutexHold() { pthread_mutex_unlock(mutex_); }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

private:
  pthread_mutex_t* mutex_;
};

// A fresh item record (entity type still 0xFFFFFFFF) with its mutex and item
// black box, or null when either cannot be had.
ASItem* NewItem() {
  void* block = _as_new(sizeof(ASItem), false);
  if (!block) return nullptr;
  std::memset(block, 0, sizeof(ASItem));
  ASItem* item = static_cast<ASItem*>(block);
  item->entity_type = 0xFFFFFFFFu;
  pthread_mutex_init(&item->mutex, nullptr);
  item->item_bb = NewBox();
  if (!item->item_bb) {
    pthread_mutex_destroy(&item->mutex);
    _as_delete(block);
    return nullptr;
  }
  item->self = item;
  return item;
}

// Frees everything the record holds and the record. The caller must not hold
// the item's mutex.
void DisposeItem(ASItem* item) {
  CAStream* stream = item->stream;
  item->stream = nullptr;
  if (stream) {
    try {
      delete stream;
    } catch (...) {
    }
  }
  ReleaseBox(item->item_bb);
  item->item_bb = nullptr;
  pthread_mutex_destroy(&item->mutex);
  _as_delete(item);
}

// Makes a spare record look like a fresh one. Its mutex is unlocked and its
// box empty; both are kept.
void RenewItem(ASItem* item) {
  item->self = item;
  item->stream = nullptr;
  item->current_bb = nullptr;
  item->entity_type = 0xFFFFFFFFu;
  item->breaker_index = 0;
  item->dirty = 0;
  std::memset(item->states, 0, sizeof item->states);
  std::memset(item->padding, 0, sizeof item->padding);
}

// Disposes of an item under construction unless handed over.
class ItemGuard {
public:
  explicit ItemGuard(ASItem* item) : item_(item) {}
  ~ItemGuard() {
    if (item_) DisposeItem(item_);
  }
  ASItem* Release() {
    ASItem* item = item_;
    item_ = nullptr;
    return item;
  }
  ItemGuard(const ItemGuard&) = delete;
  ItemGuard& operator=(const ItemGuard&) = delete;

private:
  ASItem* item_;
};

// Clears the item's current black box when processing leaves, by any path,
// while the item's mutex is still held.
class CurrentBoxScope {
public:
  CurrentBoxScope(ASItem* item, CBlackBox* box) : item_(item) { item_->current_bb = box; }
  ~CurrentBoxScope() { item_->current_bb = nullptr; }
  CurrentBoxScope(const CurrentBoxScope&) = delete;
  CurrentBoxScope& operator=(const CurrentBoxScope&) = delete;

private:
  ASItem* item_;
};

const char* const kModulePathKeys[] = {
    "/eml/global/SharedLibsPathNew",
    "/send/global/SharedLibsPathNew",
    "/http/general/SharedLibsPathNew",
};

} // namespace

// ---------------------------------------------------------------------------
// Construction, start-up and shutdown

CCore::CCore() : session_count_(0), session_used_(), breaker_(nullptr) {
  pthread_mutex_init(&sessions_mutex_, nullptr);
  configurer_.SetSessionMapGuard(&session_map_guard_);
  disp_mgr_.SetSessionMapGuard(&session_map_guard_);
  for (SpareItem& slot : spare_items_) slot.item = nullptr;
}

CCore::~CCore() {
  AS_TRACE(1, ">>> CCore :: ~CCore");
  for (SpareItem& slot : spare_items_)
    if (ASItem* item = slot.item) {
      slot.item = nullptr;
      DisposeItem(item);
    }
  pthread_mutex_lock(&sessions_mutex_);
  // Open sessions are the host's leak: their records and module data stay as
  // they are, since the modules that own the data are about to go.
  if (session_count_ != 0)
    AS_TRACE(1, "WARNING: the core is being destroyed but not all the sessions have been released!");
  try {
    loader_.CleanUp();
  } catch (...) {
    // A plug-in that throws from ReleaseClassFactory must not take the
    // host down with it; its library is as unloaded as it can be.
  }
  pthread_mutex_unlock(&sessions_mutex_);
  pthread_mutex_destroy(&sessions_mutex_);
  disp_mgr_.Clear();
  breaker_ = nullptr;
  performers_.RemoveAll();
  filters_.RemoveAll();
  dispatchers_.RemoveAll();
  streamers_.RemoveAll();
  modules_.RemoveAll();
  // The members go in reverse order: loader, dispatch manager, processing
  // lock, settings lock, configurer.
}

int CCore::Init(const char* modules_path, uint64_t product_mask) {
  AS_TRACE(1, ">>> CCore :: Init");
  if (!modules_path) return _as_set_err(-101, "path to modules is invalid");
  try {
    // A store that lost its bucket arrays while the core was built would
    // refuse every write for the life of the instance.
    if (!configurer_.HasStorage()) throw std::bad_alloc();
    for (const char* key : kModulePathKeys)
      if (configurer_.StoreSetting(key, modules_path, 0) != 0) throw std::bad_alloc();
    AS_TRACE(1, "Path to modules: %s", modules_path);
    CArray<CAModule*, 64>* loaded = loader_.Load(modules_path, product_mask);
    if (loaded) Distribute(*loaded);
  } catch (const AException& e) {
    DropModules();
    _as_set_err(-104, "Exception while loading / distributing components: %s", e.what());
  } catch (const std::bad_alloc&) {
    // The core is destroyed right after a failed start, and its destructor
    // unloads; clean-up here could only fail again for want of memory.
    _as_set_err(-102, "Memory allocation failure while loading / distributing components");
  } catch (...) {
    DropModules();
    _as_set_err(-104, "Unknown exception while loading / distributing components");
  }
  AS_TRACE(1, "<<< CCore :: Init ([Code: %d] [Message: %s]", CurrentCode(), CurrentMessage());
  return CurrentCode();
}

void CCore::Distribute(const CArray<CAModule*, 64>& loaded) {
  for (uint64_t i = 0; i < loaded.GetCount(); ++i) {
    CAModule* module = loaded[i];
    if (!module) continue;
    if (modules_.Add(module) != 0) throw ASMemException("Not enough memory for core internal data");
    AS_TRACE(4, "Distributing: [%s]", NameOf(module));
  }
  for (uint64_t i = 0; i < modules_.GetCount(); ++i) {
    CAModule* module = modules_[i];
    // A module left out of the list would never get its settings.
    if (configurer_.AddNotifiableObject(module) != 0) throw std::bad_alloc();
    module->SetConfigurer(&configurer_);
    int rc = 0;
    switch (module->GetKind()) {
    case AS_KIND_FILTER:
      rc = filters_.Add(static_cast<CAFilter*>(module));
      if (rc == 0) rc = disp_mgr_.Filters().Add(static_cast<CAFilter*>(module));
      break;
    case AS_KIND_DISPATCHER:
      rc = dispatchers_.Add(static_cast<CADispatcher*>(module));
      if (rc == 0) rc = disp_mgr_.Dispatchers().Add(static_cast<CADispatcher*>(module));
      break;
    case AS_KIND_PERFORMER:
      rc = performers_.Add(static_cast<CAPerformer*>(module));
      if (rc == 0) rc = disp_mgr_.Performers().Add(static_cast<CAPerformer*>(module));
      break;
    case AS_KIND_STREAMER:
      rc = streamers_.Add(static_cast<CAStreamer*>(module));
      if (rc == 0) rc = disp_mgr_.Streamers().Add(static_cast<CAStreamer*>(module));
      break;
    case AS_KIND_BREAKER:
      // One breaker only: a later one replaces an earlier one.
      breaker_ = static_cast<CABreaker*>(module);
      disp_mgr_.SetBreaker(breaker_);
      break;
    default:
      AS_THROW(ASInternalException, "ASInternalException - MESSAGE: Invalid module type: %d, index: %d, name: %s",
               (int)module->GetKind(), (int)i, NameOf(module));
    }
    if (rc != 0) throw ASMemException("Not enough memory for core internal data");
  }
}

// Clean-up after a failed start. The breaker is dropped, not destroyed: its
// factory's ReleaseClassFactory (run by the loader's clean-up) destroys every
// module the factory created, the breaker included, so destroying it here
// would free it twice.
void CCore::DropModules() {
  try {
    loader_.CleanUp();
  } catch (...) {
  }
  disp_mgr_.Clear();
  performers_.RemoveAll();
  filters_.RemoveAll();
  dispatchers_.RemoveAll();
  streamers_.RemoveAll();
  modules_.RemoveAll();
  breaker_ = nullptr;
}

// ---------------------------------------------------------------------------
// Sessions

ASSession* CCore::CreateSession() {
  try {
    return DoCreateSession();
  } catch (const std::bad_alloc&) {
    // Nothing of the session is left: no module entry, no settings set, and
    // the ID is still free.
    _as_set_err(-102, "Memory error while trying to allocate a new data structure");
  } catch (const std::exception& e) {
    _as_set_err(-104, "failed to create session with message: %s", e.what());
  } catch (...) {
    _as_set_err(-104, "failed to create session with message: %s", "unknown exception");
  }
  return nullptr;
}

ASSession* CCore::DoCreateSession() {
  MutexHold sessions(&sessions_mutex_);
  AS_TRACE(1, ">>> Creating new Core Session");
  uint64_t id = 0;
  for (uint64_t i = 1; i < kMaxSessions; ++i) {
    if (!session_used_[i]) {
      id = i;
      break;
    }
  }
  if (id == 0) AS_THROW(ASException, "ASException - MESSAGE: Internal error at alocating new session ID");
  ASCore* owner = GetOwnerCore();
  // Which modules got an entry from us, so that a module throwing halfway
  // leaves no half-made session behind.
  std::vector<uint8_t> inserted(modules_.GetCount(), 0);
  void* block = _as_new(sizeof(ASSession), false);
  if (!block) AS_THROW(ASMemException, "ASMemException - MESSAGE: Not enough memory to allocate a new session");
  ASSession* session = new (block) ASSession;
  session->id = id;
  session->owner = owner;

  try {
    // Items of other sessions go on being processed meanwhile: the maps are
    // only locked (by the guard) while an entry goes in. The settings lock
    // keeps a settings application from asking the modules about sessions
    // while they make or drop session data.
    CSettingsLock::Writer settings(&settings_lock_);
    for (uint64_t i = 0; i < modules_.GetCount(); ++i) {
      CAModule* module = modules_[i];
      bool held = false;
      {
        CSessionMapGuard::Reader read(&session_map_guard_);
        held = module->FindSession(id) != nullptr;
      }
      if (held) {
        _as_set_err(-104, "Session ID already used! [%d]", (int)id);
        continue;
      }
      void* data = module->CreateSessionData();
      if (!data) {
        _as_set_err(-102, "Memory error while trying to allocate a new data structure");
        continue;
      }
      ASSessionEntry entry = {data, false};
      int added = 0;
      {
        CSessionMapGuard::Writer write(&session_map_guard_);
        added = module->SessionMap().Add((unsigned long)id, entry);
      }
      if (added != 0) {
        // Not the module's choice: the session would silently run without it.
        module->ReleaseSessionData(data);
        throw std::bad_alloc();
      }
      inserted[i] = 1;
      ClearCode();
    }
    // Without its settings set the session would silently run on the global
    // settings alone.
    if (configurer_.CreateSet(id) != 0) throw std::bad_alloc();
  } catch (...) {
    // Undone as a release does it: entries out under the guard, data back
    // under the settings lock.
    CSettingsLock::Writer settings(&settings_lock_);
    for (uint64_t i = 0; i < inserted.size(); ++i) {
      if (!inserted[i]) continue;
      bool known = false;
      void* data = TakeSessionData(modules_[i], id, &known);
      if (!data) continue;
      try {
        modules_[i]->ReleaseSessionData(data);
      } catch (...) {
      }
    }
    session->~ASSession();
    _as_delete(block);
    throw;
  }

  ++session_count_;
  session_used_[id] = 1;
  AS_TRACE(1, "<<< Core session created (handle: %p, ID: %d)", (void*)session, (int)id);
  return session;
}

int CCore::ReleaseSession(ASSession* session) {
  if (!session) return _as_set_err(-103, "NULL session");
  if (session->owner != GetOwnerCore()) return _as_set_err(-101, "ERROR: This session wasn't created by this core");
  const uint64_t id = session->id;
  AS_TRACE(1, ">>> Release session (handle: %p, ID: %d)", (void*)session, (int)id);
  try {
    // Waits for every item operation and setting call of the session in
    // progress, then refuses all later ones: from here on a late call on the
    // session (a second release included) fails at its locker. Done before
    // the sessions mutex, so that creating or releasing another session does
    // not wait for this session's operations.
    session->locker.mark_for_deletion();
  } catch (...) {
    return _as_set_err(-104, "Could not lock session with ID = %d for deletion - exiting", (int)id);
  }
  MutexHold sessions(&sessions_mutex_);
  AS_TRACE(4, "Session RefCount == 0 event signaled");
  if (id < kMaxSessions) session_used_[id] = 0;
  try {
    // No processing lock: items of other sessions go on meanwhile, and a
    // late caller of this session must not queue behind the release for a
    // lock it would take only after the record is gone.
    CSettingsLock::Writer settings(&settings_lock_);
    ReleaseModuleSessionData(id);
    configurer_.ReleaseSet(id);
  } catch (...) {
    FailedTo("release session");
  }
  session->locker.let_refused_callers_out();
  session->~ASSession();
  _as_delete(session);
  --session_count_;
  AS_TRACE(1, "<<< Release session (ID: %d)", (int)id);
  return CurrentCode();
}

// Each module's outcome overwrites the previous one, so the code left is the
// last module's; earlier complaints survive only in the message.
int CCore::ReleaseModuleSessionData(uint64_t id) {
  for (uint64_t i = 0; i < modules_.GetCount(); ++i) {
    CAModule* module = modules_[i];
    bool known = false;
    // The entry goes before the data: nobody finds data being freed, and
    // the ID is free again even when the module throws.
    void* data = TakeSessionData(module, id, &known);
    if (!known) {
      _as_set_err(-104, "Invalid session ID: %d", (int)id);
      continue;
    }
    if (!data) {
      _as_set_err(-104, "Session ID not defined! [%d]. Cannot release", (int)id);
      continue;
    }
    try {
      module->ReleaseSessionData(data);
      ClearCode();
    } catch (const std::exception& e) {
      _as_set_err(-104, "failed to release session data of %s: %s", NameOf(module), e.what());
    } catch (...) {
      _as_set_err(-104, "failed to release session data of %s", NameOf(module));
    }
  }
  return CurrentCode();
}

void* CCore::TakeSessionData(CAModule* module, uint64_t id, bool* known) {
  CSessionMapGuard::Writer write(&session_map_guard_);
  ASSessionEntry* entry = module->FindSession(id);
  *known = entry != nullptr;
  if (!entry || !entry->data) return nullptr;
  void* data = entry->data;
  module->SessionMap().Remove((unsigned long)id);
  return data;
}

uint64_t CCore::GetSessionCount() {
  MutexHold sessions(&sessions_mutex_);
  return session_count_;
}

ASCore* CCore::GetOwnerCore() { return this; }

// ---------------------------------------------------------------------------
// Items, commands and black boxes

ASItem* CCore::TakeItem() {
  const uint32_t own = CSettingsLock::OwnSlot();
  if (own <= CSettingsLock::kSlots) {
    if (ASItem* item = spare_items_[own].item) {
      spare_items_[own].item = nullptr;
      RenewItem(item);
      return item;
    }
  }
  return NewItem();
}

void CCore::KeepItem(ASItem* item) {
  CBlackBox* box = item->item_bb;
  bool emptied = box != nullptr;
  if (box) {
    try {
      box->Empty();
    } catch (...) {
      emptied = false;
    }
  }
  const uint32_t own = CSettingsLock::OwnSlot();
  if (emptied && own <= CSettingsLock::kSlots && !spare_items_[own].item) {
    spare_items_[own].item = item;
    return;
  }
  DisposeItem(item);
}

ASItem* CCore::CreateItemHandle(ASSession* session, int64_t param1, int64_t param2, uint32_t type,
                                uint32_t subtype) {
  try {
    return DoCreateItemHandle(session, param1, param2, type, subtype);
  } catch (...) {
    FailedTo("create item handle");
  }
  return nullptr;
}

ASItem* CCore::DoCreateItemHandle(ASSession* session, int64_t param1, int64_t param2, uint32_t type,
                                  uint32_t subtype) {
  if (!session)
    AS_THROW(ASBadPtrException, "ASBadPtrException - MESSAGE: Invalid session handle, cannot proceed with analysis");
  const uint64_t id = session->id;
  AS_TRACE(4, ">>> Will create an item handle (session: %d, entity type: %d, entity subtype: %d)", (int)id,
           (int)type, (int)subtype);
  ASItem* item = TakeItem();
  if (!item) AS_THROW(ASMemException, "ASMemException - MESSAGE: Not enough memory for a new item.");
  ItemGuard guard(item);
  item->stream = nullptr;
  item->breaker_index = 0;
  item->entity_type = type;

  CAStreamer* streamer = nullptr;
  for (CAStreamer* candidate : streamers_) {
    if (candidate->GetEntityType() == type) {
      streamer = candidate;
      break;
    }
  }
  if (!streamer) {
    DisposeItem(guard.Release());
    AS_THROW(ASInternalException,
             "ASInternalException - MESSAGE: Cannot find suitable streamer for the given Entity Type (%d)", (int)type);
  }

  auto_locker session_lock(&session->locker, auto_locker::READ_ONLY);
  AS_TRACE(4, "Streaming a new item with [%s]", NameOf(streamer));
  item->stream = streamer->CreateStream(id, param1, param2, subtype);
  if (!item->stream) {
    // Whatever the streamer recorded in the error state stays the outcome.
    AS_TRACE(4, "Error occured while getting stream");
    return nullptr;
  }
  AS_TRACE(4, "<<< Item created (handle: %p, session: %d, entity type: %d, entity subtype: %d)", (void*)item,
           (int)id, (int)type, (int)subtype);
  return guard.Release();
}

int CCore::ProcessItemHandle(ASSession* session, ASItem* item, uint32_t verb, CBlackBox* bb) {
  try {
    return DoProcessItemHandle(session, item, verb, bb);
  } catch (const std::exception& e) {
    return _as_set_err(-104, "Failed to process item with message: %s", e.what());
  } catch (...) {
    return _as_set_err(-104, "Failed to process item with message: %s", "unknown exception");
  }
}

int CCore::DoProcessItemHandle(ASSession* session, ASItem* item, uint32_t verb, CBlackBox* bb) {
  if (!session)
    AS_THROW(ASBadPtrException, "ASBadPtrException - MESSAGE: Invalid session handle, cannot proceed with analysis");
  if (!item)
    AS_THROW(ASBadPtrException, "ASBadPtrException - MESSAGE: Invalid item handle, cannot proceed with analysis");
  const uint64_t id = session->id;
  AS_TRACE(4, ">>> Process Item (handle: %p, session: %d, verb: %d)", (void*)item, (int)id, (int)verb);
  CBlackBox* temporary = nullptr;
  if (!bb) {
    temporary = NewBox();
    if (!temporary) AS_THROW(ASMemException, "ASMemException - MESSAGE: allocating input/output blackbox failed");
    bb = temporary;
  }
  try {
    CSettingsLock::Reader processing(&processing_lock_);
    auto_locker session_lock(&session->locker, auto_locker::READ_ONLY);
    MutexHold item_lock(&item->mutex);
    CurrentBoxScope current(item, bb);
    // The dispatcher's status is not the outcome: the error state is.
    disp_mgr_.PassItemToDispatcher(id, item, verb);
  } catch (const ASException& e) {
    ReleaseBox(temporary);
    AS_TRACE(1, "AS Exception in Core::ProcessItemHandle():\n%s", e.what());
    throw;
  } catch (const std::exception& e) {
    ReleaseBox(temporary);
    AS_TRACE(1, "STD Exception in Core::ProcessItemHandle():\n%s", e.what());
    AS_THROW(ASException, "ASException - MESSAGE: std exception in Core::ProcessItemHandle():\n%s", e.what());
  } catch (...) {
    ReleaseBox(temporary);
    AS_THROW(ASInternalException, "ASInternalException - MESSAGE: Unexpected exception in Core::ProcessItemHandle()");
  }
  ReleaseBox(temporary);
  AS_TRACE(4, "<<< Process Item (handle: %p, session: %d, verb: %d)", (void*)item, (int)id, (int)verb);
  return CurrentCode();
}

int CCore::ReleaseItem(ASSession* session, ASItem* item) {
  if (!session) return _as_set_err(-101, "invalid session");
  if (!item) return _as_set_err(-101, "invalid item");
  const uint64_t id = session->id;
  AS_TRACE(4, ">>> Releasing Item (handle: %p, session: %d)", (void*)item, (int)id);
  bool item_locked = false;
  try {
    auto_locker session_lock(&session->locker, auto_locker::READ_ONLY);
    pthread_mutex_lock(&item->mutex);
    item_locked = true;
    disp_mgr_.ReleaseItem(id, item);
    CAStream* stream = item->stream;
    item->stream = nullptr;
    delete stream;
    pthread_mutex_unlock(&item->mutex);
    item_locked = false;
    KeepItem(item);
    return CurrentCode();
  } catch (const ASException& e) {
    AS_TRACE(1, "Exception while releasing the item: %s", e.what());
    if (item_locked) pthread_mutex_unlock(&item->mutex);
    DisposeItem(item);
    return _as_set_err(-104, "%s", e.what());
  } catch (const std::exception& e) {
    AS_TRACE(1, "Exception(std) while releasing an item: %s", e.what());
    if (item_locked) pthread_mutex_unlock(&item->mutex);
    DisposeItem(item);
    return _as_set_err(-104, "%s", e.what());
  } catch (...) {
    AS_TRACE(1, "Unexpected exception while releasing the item.");
    if (item_locked) pthread_mutex_unlock(&item->mutex);
    if (item->stream) AS_TRACE(1, "Deleting the stream...");
    AS_TRACE(1, "Deleting the item...");
    DisposeItem(item);
    return _as_set_err(-104, "catch all exception on ReleaseItem");
  }
}

int CCore::ProcessCommand(ASSession* session, uint32_t type, uint32_t verb, CBlackBox* bb) {
  try {
    return DoProcessCommand(session, type, verb, bb);
  } catch (...) {
    return FailedTo("process command");
  }
}

int CCore::DoProcessCommand(ASSession* session, uint32_t type, uint32_t verb, CBlackBox* bb) {
  if (!session) AS_THROW(ASInternalException, "ASInternalException - MESSAGE: Invalid Session handle in ProcessCommand!");
  const uint64_t id = session->id;
  AS_TRACE(4, "Process Command (session: %d, entity type: %d, verb: %d)", (int)id, (int)type, (int)verb);
  // A command runs alone: no item of any session is being processed and no
  // item operation of its own session is in progress.
  CSettingsLock::Writer processing(&processing_lock_);
  auto_locker session_lock(&session->locker, auto_locker::EXCLUSIVE);
  AS_TRACE(4, "Session event signaled ( in ProcessCommand() )");
  try {
    disp_mgr_.PassCommandToDispatcher(id, type, verb, bb);
  } catch (const ASException& e) {
    AS_TRACE(1, "AS Exception in Core::ProcessCommand(): %s", e.what());
    throw;
  } catch (const std::exception& e) {
    AS_TRACE(1, "exception& in Core::ProcessCommand(): %s", e.what());
    AS_THROW(ASInternalException, "ASInternalException - MESSAGE: exception& in Core::ProcessCommand(): [%s]",
             e.what());
  } catch (...) {
    AS_TRACE(1, "UNEXPECTED Exception in Core::ProcessCommand()");
    AS_THROW(ASInternalException, "ASInternalException - MESSAGE: Unexpected exception in Core::ProcessCommand()");
  }
  return CurrentCode();
}

CBlackBox* CCore::GetBlackBox() {
  try {
    return DoGetBlackBox();
  } catch (...) {
    FailedTo("get new blackbox");
  }
  return nullptr;
}

CBlackBox* CCore::DoGetBlackBox() {
  ClearCode();
  CBlackBox* box = NewBox();
  if (!box) AS_THROW(ASException, "ASException - MESSAGE: Not enough memory for a new black box!");
  AS_TRACE(4, "GetBlackBox returns %p", (void*)box);
  return box;
}

int CCore::ReleaseBlackBox(CBlackBox** blackbox) {
  ClearCode();
  if (!blackbox) return CurrentCode();
  CBlackBox* box = *blackbox;
  if (box) {
    try {
      box->Empty();
    } catch (const ASException& e) {
      AS_TRACE(1, "CORE WARNING: Exception caught while releasing black box: %s", e.what());
    } catch (const std::exception& e) {
      AS_TRACE(1, "CORE WARNING: Generic (non-as) exception caught while releasing black box: %s", e.what());
    } catch (...) {
      AS_TRACE(1, "CORE ERROR: Unknown exception caught while releasing black box!");
    }
    delete box;
  }
  *blackbox = nullptr;
  return CurrentCode();
}

// ---------------------------------------------------------------------------
// Settings

int CCore::SetSetting(const char* key, const char* value, ASSession* session) {
  if (!key || !value) return _as_set_err(-101, "invalid handles");
  try {
    if (!session) {
      AS_TRACE(1, "GLOBAL: %s = %s", key, value);
      CSettingsLock::Writer settings(&settings_lock_);
      if (configurer_.StoreSetting(key, value, 0) == AS_ERR_MEMORY) return NotStored();
    } else {
      AS_TRACE(1, "SESSION %d: %s = %s", (int)session->id, key, value);
      auto_locker session_lock(&session->locker, auto_locker::READ_ONLY);
      CSettingsLock::Writer settings(&settings_lock_);
      // The store reports a refused write (a session it does not know) only
      // in the trace; the status then stays what the error state holds. A
      // write it could not store for want of memory is not refused: it failed.
      if (configurer_.StoreSetting(key, value, session->id) == AS_ERR_MEMORY) return NotStored();
    }
  } catch (...) {
    return FailedTo("modify setting");
  }
  return CurrentCode();
}

const char* CCore::GetSetting(const char* key, ASSession* session) {
  ClearCode();
  return ReadSetting(key, session);
}

const char* CCore::ReadSetting(const char* key, ASSession* session) {
  if (!key) return nullptr; // nothing is stored under no key
  try {
    if (!session) {
      CSettingsLock::Reader settings(&settings_lock_);
      return configurer_.GetSetting(key, 0);
    }
    auto_locker session_lock(&session->locker, auto_locker::READ_ONLY);
    CSettingsLock::Reader settings(&settings_lock_);
    // The store falls back to the global value when the session has none.
    return configurer_.GetSetting(key, session->id);
  } catch (const std::exception& e) {
    _as_set_err(-104, "Failed to process item with message: %s", e.what());
  } catch (...) {
    _as_set_err(-104, "Failed to process item with message: %s", "unknown exception");
  }
  return nullptr;
}

int CCore::ApplySettings(uint64_t product_mask, ASSession* session) {
  try {
    if (!session) {
      // Waits until no item is being processed and no command runs.
      CSettingsLock::Writer processing(&processing_lock_);
      // Exclusive, not read-only: the application re-reads the preset files
      // and writes their values into the store, which a concurrent
      // as_core_setting_get would otherwise read mid-write.
      CSettingsLock::Writer settings(&settings_lock_);
      AS_TRACE(4, "Apply global settings");
      return configurer_.ApplySettings(product_mask, 0);
    }
    if (session->owner != GetOwnerCore())
      return _as_set_err(-104, "This session wasn't created by this instance of ascore");
    AS_TRACE(4, "Apply settings for session with ID: %d", (int)session->id);
    CSettingsLock::Writer processing(&processing_lock_);
    auto_locker session_lock(&session->locker, auto_locker::EXCLUSIVE);
    CSettingsLock::Writer settings(&settings_lock_); // presets write the store, see above
    // The store records its outcome in the error state.
    configurer_.ApplySettings(product_mask, session->id);
  } catch (...) {
    return FailedTo("apply settings");
  }
  return CurrentCode();
}

int CCore::CopyGlobalSettings(ASCore* source) {
  if (!source) return _as_set_err(-101, "invalid input for ASCore");
  if (source == this) return _as_set_err(-101, "Same instance of ASCore");
  CCore* other = dynamic_cast<CCore*>(source);
  if (!other) return _as_set_err(-101, "invalid input for ASCore");
  try {
    // The source's own locks are not taken: the host must not change the
    // source core's settings while it copies from it.
    CSettingsLock::Writer settings(&settings_lock_);
    return configurer_.CopyGlobalSettings(&other->configurer_);
  } catch (...) {
    return FailedTo("copy settings");
  }
}

int CCore::CopySessionSettings(ASCore* source, uint64_t source_session, uint64_t dest_session) {
  if (!source) return _as_set_err(-101, "invalid input for ASCore");
  if (source == this) return _as_set_err(-101, "Same instance of ASCore");
  CCore* other = dynamic_cast<CCore*>(source);
  if (!other) return _as_set_err(-101, "invalid input for ASCore");
  try {
    CSettingsLock::Writer settings(&settings_lock_);
    return configurer_.CopySessionSettings(&other->configurer_, source_session, dest_session);
  } catch (...) {
    return FailedTo("copy settings");
  }
}
