// notifobj.h - CNotifiableObject, the base of every module object.
//
// The core reads and writes a few data members of every module directly, at
// fixed byte offsets, and calls the virtual operations by slot number. Both
// are binary contract with plug-ins built separately; the static_asserts at
// the end of this file and the slot tests pin them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "caconfigurer.h"
#include "containers.h"
#include "sstring.h"

class CBlackBox;

// Module kinds.
enum ASModuleKind : uint32_t {
  AS_KIND_FILTER = 1,
  AS_KIND_BREAKER = 2,
  AS_KIND_DISPATCHER = 3,
  AS_KIND_PERFORMER = 4,
  AS_KIND_STREAMER = 5
};

// Module states.
enum ASModuleState : int32_t {
  AS_STATE_DISABLED = 0, // never used
  AS_STATE_DEFERRED = 1, // shared settings not applied (deferred or failed)
  AS_STATE_ACTIVE = 2    // shared settings applied
};

// One entry of a module's session map.
struct ASSessionEntry {
  void* data;   // from CreateSessionData, owned by the module
  bool enabled; // set by the settings distribution
};

typedef ascommon::CMap<unsigned long, ASSessionEntry> ASSessionMap;

class CNotifiableObject {
public:
  CNotifiableObject();
  virtual ~CNotifiableObject();                                           // slots 0, 1
  virtual int ApplySessionSettings(uint64_t session);                      // 2
  virtual bool IsEnabledForSession(uint64_t session);                      // 3
  virtual int Reserved4();                                                 // 4 (never called by the core)
  virtual int Reserved5();                                                 // 5 (never called by the core)
  virtual int ApplySharedSettings();                                       // 6
  virtual void* CreateSessionData();                                       // 7
  virtual void ReleaseSessionData(void* data);                             // 8
  virtual int HandleGlobalRequest(CBlackBox* blackbox);                    // 9
  virtual int HandleSessionRequest(uint64_t session, CBlackBox* blackbox); // 10
  virtual int Reserved11();                                                // 11 (never called by the core)

  // The first name when its text is set, otherwise the second name.
  const ascommon::sstring& GetDisplayName() const {
    return m_first_name.c_str() ? m_first_name : m_second_name;
  }
  uint32_t GetKind() const { return m_kind; }
  int32_t GetState() const { return m_state; }
  void SetState(int32_t state) { m_state = state; }
  CAConfigurer* GetConfigurer() const { return m_configurer; }
  void SetConfigurer(CAConfigurer* configurer) { m_configurer = configurer; }
  ASSessionMap& SessionMap() { return m_sessions; }
  ASSessionEntry* FindSession(uint64_t session) { return m_sessions.Find((unsigned long)session); }
  // A module takes part on a session when active and enabled there.
  bool IsUsableOnSession(uint64_t session) {
    if (m_state != AS_STATE_ACTIVE) return false;
    ASSessionEntry* e = FindSession(session);
    return e && e->enabled;
  }

protected:
  ASSessionMap m_sessions;           // offset 8, written by the core
  int32_t m_state;                   // offset 56
  uint8_t m_module_area[156];        // offsets 60..215: free for the module
  uint32_t m_kind;                   // offset 216
  uint8_t m_pad0[4];
  ascommon::sstring m_first_name;    // offset 224
  uint8_t m_module_area2[8];         // free for the module
  ascommon::sstring m_second_name;   // offset 296
  uint8_t m_module_area3[8];         // free for the module
  CAConfigurer* m_configurer;        // offset 368, written by the core

  friend struct ASModuleLayout;
};

// Offsets of the module base, checked at compile time.
struct ASModuleLayout {
  static constexpr size_t kSessions = 8;
  static constexpr size_t kState = 56;
  static constexpr size_t kKind = 216;
  static constexpr size_t kFirstName = 224;
  static constexpr size_t kSecondName = 296;
  static constexpr size_t kConfigurer = 368;
  static constexpr size_t kSize = 376;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
  static_assert(offsetof(CNotifiableObject, m_sessions) == kSessions, "session map at 8");
  static_assert(offsetof(CNotifiableObject, m_state) == kState, "module state at 56");
  static_assert(offsetof(CNotifiableObject, m_kind) == kKind, "kind at 216");
  static_assert(offsetof(CNotifiableObject, m_first_name) == kFirstName, "first name at 224");
  static_assert(offsetof(CNotifiableObject, m_second_name) == kSecondName, "second name at 296");
  static_assert(offsetof(CNotifiableObject, m_configurer) == kConfigurer, "configurer at 368");
#pragma GCC diagnostic pop
};
static_assert(sizeof(CNotifiableObject) == ASModuleLayout::kSize, "module base size");
static_assert(sizeof(ASSessionEntry) == 16, "session entry: data pointer, enabled flag");
