// configurer.h - CConfigurer, the settings store: global and per-session
// values under key paths, preset files, and the application of settings to
// the registered modules in dependency order. It has no lock of its own: the
// core serialises every call.
#pragma once

#include <cstdint>
#include <vector>
#include <wchar.h>

#include "caconfigurer.h"
#include "containers.h"
#include "notifobj.h"
#include "session_map_guard.h"
#include "setting_map.h"
#include "sstring.h"
#include "ustring.h"

// One module in the order of an application, with a copy of its display name
// taken when the list was built (the copy names it in the timing traces).
struct ASOrderRecord {
  CNotifiableObject* module;
  ascommon::sstring name;
  ASOrderRecord* prev;
  ASOrderRecord* next;
};

// Doubly linked order list, built for one application and freed with it (also
// when a module throws halfway through).
class ASOrderList {
public:
  ASOrderList() : head_(nullptr), tail_(nullptr), count_(0) {}
  ASOrderList(const ASOrderList&) = delete;
  ASOrderList& operator=(const ASOrderList&) = delete;
  ~ASOrderList() { Clear(); }

  // 0, or -2 when the record cannot be allocated (list unchanged).
  int Append(CNotifiableObject* module);
  // Unlinks `record` and links it again just before `before`.
  void MoveBefore(ASOrderRecord* record, ASOrderRecord* before);
  void Clear();

  ASOrderRecord* Head() const { return head_; }
  uint64_t Count() const { return count_; }

private:
  ASOrderRecord* head_;
  ASOrderRecord* tail_;
  uint64_t count_;
};

// Counters and report text of one application.
struct ASApplyReport {
  ASApplyReport() : fatal_count(0), failed_filters(0) {}
  uint64_t fatal_count;
  uint64_t failed_filters;
  ascommon::sstring text; // null until the first module is reported
};

class CConfigurer : public CAConfigurer {
public:
  typedef SettingMap<ascommon::usstring> WideMap;
  typedef SettingMap<ascommon::sstring> NarrowMap;

  // Dependency walks stop after this many steps (a cycle always does).
  static const int kOrderBudget = 1000;
  // Session identifiers below this one (a core's sessions all are) find their
  // settings set by index.
  static const uint64_t kDirectSessions = 1024;

  CConfigurer();
  ~CConfigurer() override;

  // CAConfigurer, in slot order. Returned texts point into the store: valid
  // until the same key is written again in the same map, the session set is
  // released or the store is destroyed.
  int CreateSet(uint64_t session) override;
  int ReleaseSet(uint64_t session) override;
  int SetSetting(const char* key, const char* value, uint64_t session) override;
  const char* LookupSetting(const char* key, uint64_t session) override;
  const wchar_t* GetSettingW(const char* key, uint64_t session) override;
  const char* GetSetting(const char* key, uint64_t session) override;
  int GetSettingInt(const char* key, int default_value, uint64_t session) override;
  int AddNotifiableObject(CNotifiableObject* object) override;
  int ApplySettings(uint64_t product_mask, uint64_t session) override;

  // SetSetting with the reason for a failure: 0, AS_ERR_MEMORY when a copy of
  // the key or the value could not be stored (the setting then reads as it
  // did before, or as the new narrow value when only the wide copy was lost),
  // or -1 when the store refused the write (a session without a set).
  int StoreSetting(const char* key, const char* value, uint64_t session);

  // False when a map of the store lost its bucket arrays while being built;
  // such a store refuses every write.
  bool HasStorage() const;

  // Copies between stores; values already present in this store win.
  int CopyGlobalSettings(CConfigurer* source);
  int CopySessionSettings(CConfigurer* source, uint64_t source_session, uint64_t dest_session);

  // Single-map writes; throw CASConfigurerBadEx / CASConfigurerSpecialEx.
  void ModifyGlobalSetting(const char* key, const ascommon::sstring& value);
  void ModifyGlobalSetting(const char* key, const ascommon::usstring& value);
  void ModifySessionSetting(const char* key, const ascommon::sstring& value, uint64_t session);
  void ModifySessionSetting(const char* key, const ascommon::usstring& value, uint64_t session);

  // Ini files and presets. Each throws ASException when its file cannot be read.
  void LoadIniFile(const char* path);
  void LoadProductIniFile(const char* dir_key, const char* file_name);
  void LoadProductSections(const char* dir_key, const char* file_name, const char* prefix, uint64_t session);

  // Settings application. Exceptions thrown by modules are not caught here.
  int ApplyGlobalSettings(uint64_t product_mask);
  int ApplySettingsForSession(uint64_t product_mask, uint64_t session);
  // 0, or -105 (recorded in the error state) when the budget runs out.
  int BuildFilterOrder(uint64_t product_mask, ASOrderList& list, uint64_t session);
  void ApplySharedSettingsToModule(CNotifiableObject* module, ASApplyReport& report);
  void ApplySessionSettingsToModule(uint64_t session, CNotifiableObject* module, ASApplyReport& report);
  void ReportDisabledModule(CNotifiableObject* module, ASApplyReport& report);

  const ascommon::CList<CNotifiableObject*>& NotifiableObjects() const { return notifiables_; }

  // The guard of the modules' session maps, held around every read and write
  // of a session entry; null (the default) when no other thread changes them.
  void SetSessionMapGuard(CSessionMapGuard* guard) { map_guard_ = guard; }

private:
  // Re-reads the preset files the mask selects; unreadable files are traced.
  void LoadPresets(uint64_t product_mask, uint64_t session);
  // Shared tail of both applications: statuses, messages and traces.
  int FinishApplication(const ASApplyReport& report, bool global);
  // The sessions in the module's map, in map order, read under the guard.
  std::vector<unsigned long> SessionsOf(CNotifiableObject* module);
  // Writes the entry's enabled flag under the guard; false when the module
  // has no entry for the session (never created, or released meanwhile).
  bool SetEnabled(CNotifiableObject* module, uint64_t session, bool enabled);

  ascommon::CList<CNotifiableObject*> notifiables_;
  ascommon::CMap<unsigned long, WideMap*> session_wide_;
  ascommon::CMap<unsigned long, NarrowMap*> session_narrow_;
  // The same session maps again, by identifier, for the identifiers below
  // kDirectSessions: a read finds its session's map with one index instead
  // of a hash and a chain. Null where there is no set. Kept in step by
  // CreateSet and ReleaseSet.
  WideMap* wide_by_id_[kDirectSessions];
  NarrowMap* narrow_by_id_[kDirectSessions];
  WideMap global_wide_;
  NarrowMap global_narrow_;
  CSessionMapGuard* map_guard_;
};
