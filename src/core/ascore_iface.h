// ascore_iface.h - ASCore, the interface the exported layer calls the core
// through, and the session record.
#pragma once

#include <cstdint>

#include "shared_locker.h"

class CBlackBox;
struct ASItem;
class ASCore;

// The session handle points to one of these. Every item call reads the ID and
// writes the locker's word; the pads keep both off the cache lines of whatever
// the allocator puts next to the record (most often another session, used by
// another thread), so that threads on separate sessions do not slow each other.
struct ASSession {
  char lead_pad[64];
  uint64_t id;          // 1 to 999
  ASCore* owner;        // GetOwnerCore() of the creating core
  shared_locker locker; // read-only: item operations, setting change/read;
                        // exclusive: commands, session settings application
  char tail_pad[64];
};

class ASCore {
public:
  virtual int Init(const char* modules_path, uint64_t product_mask) = 0;                           // 0
  virtual ~ASCore() {}                                                                              // 1, 2
  virtual ASSession* CreateSession() = 0;                                                           // 3
  virtual int ReleaseSession(ASSession* session) = 0;                                               // 4
  virtual uint64_t GetSessionCount() = 0;                                                           // 5
  virtual ASItem* CreateItemHandle(ASSession* session, int64_t param1, int64_t param2, uint32_t type,
                                   uint32_t subtype) = 0;                                           // 6
  virtual int ProcessItemHandle(ASSession* session, ASItem* item, uint32_t verb, CBlackBox* bb) = 0; // 7
  virtual int ReleaseItem(ASSession* session, ASItem* item) = 0;                                    // 8
  virtual int ProcessCommand(ASSession* session, uint32_t type, uint32_t verb, CBlackBox* bb) = 0;  // 9
  virtual int SetSetting(const char* key, const char* value, ASSession* session) = 0;               // 10
  virtual const char* GetSetting(const char* key, ASSession* session) = 0;                          // 11
  virtual int ApplySettings(uint64_t product_mask, ASSession* session) = 0;                         // 12
  virtual CBlackBox* GetBlackBox() = 0;                                                             // 13
  virtual int ReleaseBlackBox(CBlackBox** blackbox) = 0;                                            // 14
  virtual ASCore* GetOwnerCore() = 0;                                                               // 15
  virtual int CopyGlobalSettings(ASCore* source) = 0;                                               // 16
  virtual int CopySessionSettings(ASCore* source, uint64_t source_session, uint64_t dest_session) = 0; // 17
};
