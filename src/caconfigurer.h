// caconfigurer.h - the settings store as plug-ins see it. Plug-ins call these
// operations by their position in the virtual table: the order is contract.
#pragma once

#include <cstdint>
#include <wchar.h>

class CNotifiableObject;

class CAConfigurer {
public:
  virtual ~CAConfigurer() {}                                                        // 0, 1
  virtual int CreateSet(uint64_t session) = 0;                                      // 2
  virtual int ReleaseSet(uint64_t session) = 0;                                     // 3
  virtual int SetSetting(const char* key, const char* value, uint64_t session) = 0; // 4
  virtual const char* LookupSetting(const char* key, uint64_t session) = 0;         // 5
  virtual const wchar_t* GetSettingW(const char* key, uint64_t session) = 0;        // 6
  virtual const char* GetSetting(const char* key, uint64_t session) = 0;            // 7
  virtual int GetSettingInt(const char* key, int default_value, uint64_t session) = 0; // 8
  virtual int AddNotifiableObject(CNotifiableObject* object) = 0;                   // 9
  virtual int ApplySettings(uint64_t product_mask, uint64_t session) = 0;           // 10
};
