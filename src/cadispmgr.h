// cadispmgr.h - the dispatch manager as dispatchers see it. Dispatchers call
// it by slot number: the order is contract. It has no virtual destructor;
// the core owns the one object.
#pragma once

#include <cstdint>

#include "asitem.h"
#include "sstring.h"
#include "time_utils.h"

class CBlackBox;

// Optional timing record of PassToFilter.
struct ASFilterTiming {
  ascommon::as_time_t break_time;
  ascommon::as_time_t filter_time;
};

// Statuses of the dispatch manager.
enum {
  AS_DISP_NOT_FOUND = -1,         // performer or filter not found (some operations)
  AS_DISP_FILTER_DISABLED = -560, // filter not usable on the session
  AS_DISP_FILTER_PASSED = -561,   // the item was passed to the filter
  AS_DISP_FILTER_NOT_FOUND = -563
};

class CADispManager {
public:
  virtual int PassItemToDispatcher(uint64_t session, ASItem* item, uint32_t verb) = 0;                      // 0
  virtual int PassToFilter(uint64_t session, const ascommon::sstring& name, ASItem* item, uint32_t verb,
                           ASFilterTiming* timing) = 0;                                                     // 1
  virtual int PassToPerformer(uint64_t session, const ascommon::sstring& name, ASItem* item, uint32_t verb) = 0; // 2
  virtual void ReleaseItem(uint64_t session, ASItem* item) = 0;                                             // 3
  virtual int PassCommandToDispatcher(uint64_t session, uint32_t entity_type, uint32_t verb, CBlackBox* bb) = 0; // 4
  virtual int PassCommandToFilter(uint64_t session, const ascommon::sstring& name, uint32_t command, void* arg) = 0; // 5
  virtual int RequestModule(uint64_t session, const ascommon::sstring& name, CBlackBox* blackbox) = 0;        // 6
  virtual bool IsFilterEnabled(const ascommon::sstring& name, uint64_t session) = 0;                         // 7
  virtual int Reserved8() = 0;                                                                              // 8: always 0

protected:
  ~CADispManager() {}
};
