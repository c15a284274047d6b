// core.h - CCore, the engine behind the exported interface.
//
// One object per core instance. It owns the settings store, the plug-in
// loader, the dispatch manager, the session table and two lockers, and keeps
// the modules the loader produced filed by kind. The module objects belong to
// their class factories; every array here holds references only.
//
// Lock order, outermost first (a thread never takes them in another order):
// sessions mutex, processing lock, a session's locker, settings lock, an
// item's mutex, session map guard. Session creation and release take the
// sessions mutex and, only while they change the modules' session maps, the
// guard: never the processing lock, so they do not wait for items being
// processed, and a late call on a session being released reaches that
// session's locker and is refused there. The virtual slots never let an
// exception out: each catches and turns what it caught into a status and a
// message in the calling thread's error state.
#pragma once

#include <pthread.h>
#include <atomic>
#include <cstdint>

#include "ascore_iface.h"
#include "camodule.h"
#include "configurer.h"
#include "containers.h"
#include "disp_mgr.h"
#include "loader.h"
#include "session_map_guard.h"
#include "settings_lock.h"
#include "shared_locker.h"

class CCore : public ASCore {
public:
  // Session IDs run from 1 to kMaxSessions - 1; index 0 of the table is the
  // global settings set and never a session.
  static const uint64_t kMaxSessions = 1000;

  CCore();
  ~CCore() override;
  CCore(const CCore&) = delete;
  CCore& operator=(const CCore&) = delete;

  // Stores the module path under the three path keys, loads the plug-ins and
  // files the modules by kind. Applies no settings. Returns the calling
  // thread's code afterwards (negative: the core is emptied again and must be
  // destroyed).
  int Init(const char* modules_path, uint64_t product_mask) override;

  ASSession* CreateSession() override;
  int ReleaseSession(ASSession* session) override;
  uint64_t GetSessionCount() override;
  ASItem* CreateItemHandle(ASSession* session, int64_t param1, int64_t param2, uint32_t type,
                           uint32_t subtype) override;
  int ProcessItemHandle(ASSession* session, ASItem* item, uint32_t verb, CBlackBox* bb) override;
  int ReleaseItem(ASSession* session, ASItem* item) override;
  int ProcessCommand(ASSession* session, uint32_t type, uint32_t verb, CBlackBox* bb) override;
  int SetSetting(const char* key, const char* value, ASSession* session) override;
  const char* GetSetting(const char* key, ASSession* session) override;
  // GetSetting without clearing the error code first, for a caller that has
  // just reset the error state (the exported read).
  const char* ReadSetting(const char* key, ASSession* session);
  int ApplySettings(uint64_t product_mask, ASSession* session) override;
  CBlackBox* GetBlackBox() override;
  int ReleaseBlackBox(CBlackBox** blackbox) override;
  ASCore* GetOwnerCore() override;
  int CopyGlobalSettings(ASCore* source) override;
  int CopySessionSettings(ASCore* source, uint64_t source_session, uint64_t dest_session) override;

  // White-box views for tests and tools; valid while the core is loaded.
  const ascommon::CArray<CAModule*, 64>& Modules() const { return modules_; }
  const ascommon::CArray<CAStreamer*, 64>& Streamers() const { return streamers_; }
  const ascommon::CArray<CADispatcher*, 64>& Dispatchers() const { return dispatchers_; }
  const ascommon::CArray<CAFilter*, 64>& Filters() const { return filters_; }
  const ascommon::CArray<CAPerformer*, 64>& Performers() const { return performers_; }
  CABreaker* Breaker() const { return breaker_; }
  CDispManager& DispManager() { return disp_mgr_; }
  CConfigurer& Configurer() { return configurer_; }

private:
  // The throwing bodies behind the catching slots.
  ASSession* DoCreateSession();
  ASItem* DoCreateItemHandle(ASSession* session, int64_t param1, int64_t param2, uint32_t type,
                             uint32_t subtype);
  int DoProcessItemHandle(ASSession* session, ASItem* item, uint32_t verb, CBlackBox* bb);
  int DoProcessCommand(ASSession* session, uint32_t type, uint32_t verb, CBlackBox* bb);
  CBlackBox* DoGetBlackBox();

  // A record for a new item: a spare one when there is one, else a fresh one
  // (null when it cannot be had).
  ASItem* TakeItem();
  // Gives a released item's record (its stream gone) back: it is emptied and
  // kept as a spare when a slot is free, else freed.
  void KeepItem(ASItem* item);

  void Distribute(const ascommon::CArray<CAModule*, 64>& loaded);
  void DropModules();
  // Under the session map guard: whether the module's map holds the session,
  // and, when the entry has data, that data with the entry taken out.
  void* TakeSessionData(CAModule* module, uint64_t id, bool* known);
  int ReleaseModuleSessionData(uint64_t id);

  uint64_t session_count_;
  pthread_mutex_t sessions_mutex_;
  // Declared before the store and the dispatch manager, which keep pointers
  // to it.
  CSessionMapGuard session_map_guard_;
  uint8_t session_used_[kMaxSessions];
  CConfigurer configurer_;
  CSettingsLock settings_lock_;
  CSettingsLock processing_lock_;
  CDispManager disp_mgr_;
  CCoreLoader loader_;
  ascommon::CArray<CAModule*, 64> modules_;
  ascommon::CArray<CAStreamer*, 64> streamers_;
  ascommon::CArray<CADispatcher*, 64> dispatchers_;
  ascommon::CArray<CAFilter*, 64> filters_;
  ascommon::CArray<CAPerformer*, 64> performers_;
  CABreaker* breaker_;
  // Released item records kept for the next creates, so that a host's steady
  // create-process-release cycle allocates nothing in the core; freed with the
  // core. One record per thread slot of the settings lock (settings_lock.h):
  // only the thread that holds the slot touches its record, so reuse takes no
  // atomic operation, and threads never write each other's lines. A thread
  // without a slot (past the 64th) allocates every record.
  struct SpareItem {
    ASItem* item;
    char pad[64 - sizeof(ASItem*)];
  };
  SpareItem spare_items_[CSettingsLock::kSlots + 1]; // [0] is never dealt
};
