// disp_mgr.h - CDispManager: routes items and commands to the dispatcher of
// their entity type and serves the dispatchers' requests, moving items
// between breaker levels through the one breaker module.
#pragma once

#include <cstdint>

#include "cadispmgr.h"
#include "camodule.h"
#include "containers.h"
#include "session_map_guard.h"

class CDispManager : public CADispManager {
public:
  CDispManager();
  ~CDispManager();

  int PassItemToDispatcher(uint64_t session, ASItem* item, uint32_t verb) override;
  int PassToFilter(uint64_t session, const ascommon::sstring& name, ASItem* item, uint32_t verb,
                   ASFilterTiming* timing) override;
  int PassToPerformer(uint64_t session, const ascommon::sstring& name, ASItem* item, uint32_t verb) override;
  void ReleaseItem(uint64_t session, ASItem* item) override;
  int PassCommandToDispatcher(uint64_t session, uint32_t entity_type, uint32_t verb, CBlackBox* bb) override;
  int PassCommandToFilter(uint64_t session, const ascommon::sstring& name, uint32_t command, void* arg) override;
  int RequestModule(uint64_t session, const ascommon::sstring& name, CBlackBox* blackbox) override;
  bool IsFilterEnabled(const ascommon::sstring& name, uint64_t session) override;
  int Reserved8() override;

  // Filled by the core at distribution, emptied at shutdown.
  ascommon::CArray<CAStreamer*, 64>& Streamers() { return streamers_; }
  ascommon::CArray<CADispatcher*, 64>& Dispatchers() { return dispatchers_; }
  ascommon::CArray<CAFilter*, 64>& Filters() { return filters_; }
  ascommon::CArray<CAPerformer*, 64>& Performers() { return performers_; }
  CABreaker* GetBreaker() const { return breaker_; }
  void SetBreaker(CABreaker* breaker) { breaker_ = breaker; }
  // The guard of the modules' session maps, held around every lookup of a
  // session entry; null (the default) when no other thread changes them.
  void SetSessionMapGuard(CSessionMapGuard* guard) { map_guard_ = guard; }
  // Empties the four arrays and drops the breaker.
  void Clear();

private:
  // Throws ASInternalException when no dispatcher serves the type.
  CADispatcher* FindDispatcher(uint32_t entity_type);
  // Null (and a warning line) when no module has that display name.
  CAFilter* FindFilter(const ascommon::sstring& name);
  CAPerformer* FindPerformer(const ascommon::sstring& name);
  // The breaker, or an ASException when none was distributed.
  CABreaker* RequireBreaker(uint32_t index);
  // Active (state 2) and enabled for the session.
  bool UsableOnSession(CNotifiableObject* module, uint64_t session);
  // The breaker protocol; all state lives in the item record.
  void CommitAll(uint64_t session, ASItem* item);
  void BreakTo(uint64_t session, ASItem* item, uint32_t index);
  void SwitchTo(uint64_t session, ASItem* item, uint32_t index, ASFilterTiming* timing,
                ascommon::as_time_t* filter_start);

  ascommon::CArray<CAStreamer*, 64> streamers_;
  ascommon::CArray<CADispatcher*, 64> dispatchers_;
  ascommon::CArray<CAFilter*, 64> filters_;
  ascommon::CArray<CAPerformer*, 64> performers_;
  CABreaker* breaker_;
  CSessionMapGuard* map_guard_;
};
