// configurer.h - CConfigurer, the settings store: global and per-session
// values under key paths, preset files, and the application of settings to
// the registered modules in dependency order. It has no lock of its own: the
// core serialises every call.
#pragma once

#include <cstdint>
#include <wchar.h>

#include "caconfigurer.h"
#include "containers.h"
#include "notifobj.h"
#include "sstring.h"
#include "ustring.h"

class CConfigurer : public CAConfigurer {
public:
  CConfigurer();
  ~CConfigurer() override;

  // CAConfigurer, in slot order.
  int CreateSet(uint64_t session) override;
  int ReleaseSet(uint64_t session) override;
  int SetSetting(const char* key, const char* value, uint64_t session) override;
  const char* LookupSetting(const char* key, uint64_t session) override;
  const wchar_t* GetSettingW(const char* key, uint64_t session) override;
  const char* GetSetting(const char* key, uint64_t session) override;
  int GetSettingInt(const char* key, int default_value, uint64_t session) override;
  int AddNotifiableObject(CNotifiableObject* object) override;
  int ApplySettings(uint64_t product_mask, uint64_t session) override;

  // Copies between stores; values already present in this store win.
  int CopyGlobalSettings(CConfigurer* source);
  int CopySessionSettings(CConfigurer* source, uint64_t source_session, uint64_t dest_session);

  // Single-map writes; throw CASConfigurerBadEx / CASConfigurerSpecialEx.
  void ModifyGlobalSetting(const char* key, const ascommon::sstring& value);
  void ModifyGlobalSetting(const char* key, const ascommon::usstring& value);
  void ModifySessionSetting(const char* key, const ascommon::sstring& value, uint64_t session);
  void ModifySessionSetting(const char* key, const ascommon::usstring& value, uint64_t session);

  // Ini files and presets.
  void LoadIniFile(const char* path);
  void LoadProductIniFile(const char* dir_key, const char* file_name);
  void LoadProductSections(const char* dir_key, const char* file_name, const char* prefix, uint64_t session);

  // Settings application.
  int ApplyGlobalSettings(uint64_t product_mask);
  int ApplySettingsForSession(uint64_t product_mask, uint64_t session);

  const ascommon::CList<CNotifiableObject*>& NotifiableObjects() const { return notifiables_; }

private:
  ascommon::CList<CNotifiableObject*> notifiables_;
  ascommon::CMap<unsigned long, ascommon::CMap<ascommon::sstring, ascommon::usstring>*> session_wide_;
  ascommon::CMap<unsigned long, ascommon::CMap<ascommon::sstring, ascommon::sstring>*> session_narrow_;
  ascommon::CMap<ascommon::sstring, ascommon::usstring> global_wide_;
  ascommon::CMap<ascommon::sstring, ascommon::sstring> global_narrow_;
};
