// configurer.cpp - the settings store, the product preset files and the
// application of settings to the registered modules.
//
// Every value is kept twice, as the bytes given (narrow maps) and as wide text
// (wide maps); a session set holds only what was written for its session and
// reads fall back to the global maps. Reads of an existing key allocate
// nothing: keys are looked up by their text, never copied into a key object.
//
// Threading: no lock of its own. The core holds its settings locker around
// every call; modules read settings from inside the core's calls into them.
// The modules' session maps change while settings are applied (sessions come
// and go meanwhile), so their entries are read and written under the core's
// session map guard, never while a module is being called.
#include "configurer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <sys/stat.h>

#include "as_errno.h"
#include "blackbox.h"
#include "convert.h"
#include "exceptions.h"
#include "inifile.h"
#include "inifile2.h"
#include "time_utils.h"
#include "trace.h"

using ascommon::CArray;
using ascommon::CMap;
using ascommon::sstring;
using ascommon::usstring;

namespace {

const char kOptimizeKey[] = "/core/configurer/ApplyOptimizedGlobalSettings";
const char kBenchmarkKey[] = "/eml/dispatcher/benchmark/LogFilterRunTime";

// Texts handed to "%s"/"%S" are never null.
const char* Txt(const char* s) { return s ? s : ""; }
const wchar_t* WTxt(const wchar_t* s) { return s ? s : L""; }
const char* NameOf(CNotifiableObject* m) { return Txt(m->GetDisplayName().c_str()); }

// The sstring hash of a NUL-terminated text (must stay in step with
// sstring::hash: bytes sign-extended, 0 for the empty text); also measures it.
uint32_t KeyHash(const char* s, size_t* length) {
  uint32_t h = 5381;
  size_t n = 0;
  for (; s[n]; ++n) h = (h * 33u) ^ (uint32_t)(int32_t)(signed char)s[n];
  *length = n;
  return n ? h : 0;
}

// A key object for a write; throws when its copy cannot be made.
sstring MakeKey(const char* key) {
  sstring k(key);
  if (k.is_null() || k.status() != 0)
    AS_THROW(CASConfigurerBadEx, "CASConfigurerBadEx - CODE: %d MESSAGE: Bad allocation exception modifing a setting",
             -10);
  return k;
}

// Wide form of a value written through SetSetting: strict UTF-8 conversion,
// whose result is deliberately ignored (an illegal sequence leaves what was
// converted before it). A null value stays a null string.
usstring WideOf(const char* value) {
  usstring w;
  if (value) ascommon::utf8_to_usstring(value, std::strlen(value), w, true);
  return w;
}

bool StartsWith(const char* name, const char* prefix) {
  return name && std::strncmp(name, prefix, std::strlen(prefix)) == 0;
}

void Elapsed(const ascommon::as_time_t& start, ascommon::as_time_t* d) {
  ascommon::as_time_t now;
  ascommon::as_time_now(&now);
  ascommon::as_time_diff(now, start, d);
}

struct BlackBoxDeleter {
  void operator()(CBlackBoxInt* bb) const { delete bb; }
};

} // namespace

// ---------------------------------------------------------------------------
// ASOrderList

int ASOrderList::Append(CNotifiableObject* module) {
  ASOrderRecord* r = new (std::nothrow) ASOrderRecord{module, module->GetDisplayName(), tail_, nullptr};
  if (!r) return ascommon::AS_CONT_NOMEM;
  if (tail_)
    tail_->next = r;
  else
    head_ = r;
  tail_ = r;
  ++count_;
  return 0;
}

void ASOrderList::MoveBefore(ASOrderRecord* record, ASOrderRecord* before) {
  if (record == before || record->next == before) return;
  // unlink
  if (record->prev)
    record->prev->next = record->next;
  else
    head_ = record->next;
  if (record->next)
    record->next->prev = record->prev;
  else
    tail_ = record->prev;
  // link before `before`
  record->next = before;
  record->prev = before->prev;
  if (before->prev)
    before->prev->next = record;
  else
    head_ = record;
  before->prev = record;
}

void ASOrderList::Clear() {
  ASOrderRecord* r = head_;
  while (r) {
    ASOrderRecord* next = r->next;
    delete r;
    r = next;
  }
  head_ = tail_ = nullptr;
  count_ = 0;
}

// ---------------------------------------------------------------------------
// Construction and destruction

CConfigurer::CConfigurer()
    : session_wide_(32), session_narrow_(32), wide_by_id_(), narrow_by_id_(), global_wide_(32), global_narrow_(32),
      map_guard_(nullptr) {
  AS_TRACE(4, "creating configurer");
}

CConfigurer::~CConfigurer() {
  AS_TRACE(4, "releasing configurer resources");
  AS_TRACE(4, "releasing %d session map(s)", (int)session_wide_.GetCount());
  for (auto& node : session_wide_) delete node.value;
  session_wide_.RemoveAll();
  for (auto& node : session_narrow_) delete node.value;
  session_narrow_.RemoveAll();
}

bool CConfigurer::HasStorage() const {
  return session_wide_.HasBuckets() && session_narrow_.HasBuckets() && global_wide_.HasBuckets() &&
         global_narrow_.HasBuckets();
}

// ---------------------------------------------------------------------------
// The two halves of the store
//
// Every value is kept as the bytes given (narrow) and as wide text. The code
// that reads, writes and copies is the same for both; what differs is the
// value type and the trace lines that print a value, "%s" for the narrow
// half and "%S" for the wide one. A Half names one half's maps and lines.

namespace {

template <class V>
struct HalfTraces;

template <>
struct HalfTraces<sstring> {
  static void Hit(const char* key, const sstring& v) { AS_TRACE(3, "[key = %s] => [value = %s]", key, v.c_str()); }
  static void SessionHit(uint64_t session, const char* key, const sstring& v) {
    AS_TRACE(3, "[session = %d] [key = %s] => [value = %s]", (int)session, key, v.c_str());
  }
  static void FallbackHit(const char* key, const sstring& v) {
    AS_TRACE(3, "[session = ALL] [key = %s] => [value = %s]", key, v.c_str());
  }
  static void Write(const char* key, const sstring& v) {
    AS_TRACE(3, "[key = %s] <= [value = %s]", Txt(key), Txt(v.c_str()));
  }
  static void SessionWrite(uint64_t session, const char* key, const sstring& v) {
    AS_TRACE(3, "[session = %d] [key = %s] <= [value = %s]", (int)session, Txt(key), Txt(v.c_str()));
  }
  static void Skip(const sstring& key, const sstring& v) {
    AS_TRACE(1, "skipping setting %s for %s", Txt(v.c_str()), Txt(key.c_str()));
  }
};

template <>
struct HalfTraces<usstring> {
  static void Hit(const char* key, const usstring& v) { AS_TRACE(3, "[key = %s] => [value = %S]", key, v.c_str()); }
  static void SessionHit(uint64_t session, const char* key, const usstring& v) {
    AS_TRACE(3, "[session = %d] [key = %s] => [value = %S]", (int)session, key, v.c_str());
  }
  static void FallbackHit(const char* key, const usstring& v) {
    AS_TRACE(3, "[session = ALL] [key = %s] => [value = %S]", key, v.c_str());
  }
  static void Write(const char* key, const usstring& v) {
    AS_TRACE(3, "[key = %s] <= [value = %S]", Txt(key), WTxt(v.c_str()));
  }
  static void SessionWrite(uint64_t session, const char* key, const usstring& v) {
    AS_TRACE(3, "[session = %d] [key = %s] <= [value = %S]", (int)session, Txt(key), WTxt(v.c_str()));
  }
  // The wide line prints the key as wide text too.
  static void Skip(const sstring& key, const usstring& v) {
    usstring wide_key;
    if (!key.is_null()) ascommon::sstring_to_usstring(key, wide_key, false);
    AS_TRACE(1, "skipping setting %S for %S", WTxt(v.c_str()), WTxt(wide_key.c_str()));
  }
};

template <class V>
struct Half {
  typedef SettingMap<V> Map;
  typedef HalfTraces<V> Traces;
  Map& global;
  CMap<unsigned long, Map*>& sets;
  Map* const* by_id; // kDirectSessions entries

  // The session's map, or null when it has no set.
  Map* SetOf(uint64_t session) const {
    if (session < CConfigurer::kDirectSessions) return by_id[session];
    Map** set = sets.Find((unsigned long)session);
    return set ? *set : nullptr;
  }
};

// A value whose own text could not be allocated arrives as a null string with
// a failure status; storing it would silently turn the setting into "absent".
template <class S>
void ThrowIfValueLost(const S& value) {
  if (value.status() == ascommon::AS_STR_NOMEM)
    AS_THROW(CASConfigurerBadEx, "CASConfigurerBadEx - CODE: %d MESSAGE: Bad allocation exception modifing a setting",
             -10);
}

void ThrowBadAllocation(int code) {
  AS_THROW(CASConfigurerBadEx, "CASConfigurerBadEx - CODE: %d MESSAGE: Bad allocation exception modifing a setting",
           code);
}

// One lookup of a read: the key is measured and mixed once, whichever maps
// it is looked up in; the map's own hash is worked out only for a map that
// has no index.
struct Probe {
  explicit Probe(const char* text) : key(text), length(std::strlen(text)) {
    mix = SettingMap<sstring>::Mix(text, length);
  }
  template <class V>
  const V* In(const SettingMap<V>& map) {
    const V* v;
    if (map.Indexed()) {
      v = map.FindIndexed(key, length, mix);
    } else {
      if (!hashed) hash = KeyHash(key, &length), hashed = true;
      const char* k = key;
      size_t n = length;
      v = map.FindHashed(hash, [k, n](const sstring& stored) {
        return stored.length() == n && !stored.is_null() && std::memcmp(stored.c_str(), k, n) == 0;
      });
    }
    return v && !v->is_null() ? v : nullptr;
  }
  const char* key;
  size_t length;
  uint64_t mix;
  uint32_t hash = 0;
  bool hashed = false;
};

template <class V>
auto Read(const Half<V>& half, const char* key, uint64_t session) -> decltype(half.global.Find(sstring())->c_str()) {
  if (!key) return nullptr;
  Probe probe(key);
  if (session == 0) {
    AS_TRACE(4, "[key = %s]", key);
    if (const V* v = probe.In(half.global)) {
      Half<V>::Traces::Hit(key, *v);
      return v->c_str();
    }
    AS_TRACE(3, "[key = %s] Value not found!", key);
    return nullptr;
  }
  AS_TRACE(4, "[session = %d] [key = %s]", (int)session, key);
  typename Half<V>::Map* set = half.SetOf(session);
  if (!set) {
    AS_TRACE(3, "session = %d was not found!", (int)session);
    return nullptr;
  }
  if (const V* v = probe.In(*set)) {
    Half<V>::Traces::SessionHit(session, key, *v);
    return v->c_str();
  }
  if (const V* v = probe.In(half.global)) {
    Half<V>::Traces::FallbackHit(key, *v);
    return v->c_str();
  }
  AS_TRACE(3, "[session = %d/ALL] [key = %s] Value not found!", (int)session, key);
  return nullptr;
}

template <class V>
void WriteGlobal(const Half<V>& half, const char* key, const V& value) {
  Half<V>::Traces::Write(key, value);
  ThrowIfValueLost(value);
  sstring k = MakeKey(key);
  int r = half.global.Reassign(k, value);
  if (r == ascommon::AS_MAP_ABSENT) {
    int a = half.global.Add(k, value);
    if (a == ascommon::AS_CONT_NOMEM) ThrowBadAllocation(-10);
    if (a == ascommon::AS_MAP_DUPLICATE)
      AS_THROW(CASConfigurerBadEx,
               "CASConfigurerBadEx - CODE: %d MESSAGE: Duplicate entry in ModifyGlobalSetting after Reassign failed",
               -451);
  } else if (r == ascommon::AS_CONT_NOMEM) {
    ThrowBadAllocation(-10);
  }
  const V* stored = half.global.Find(k);
  if (stored && stored->status() != 0) ThrowBadAllocation(stored->status());
}

template <class V>
void WriteSession(const Half<V>& half, const char* key, const V& value, uint64_t session) {
  Half<V>::Traces::SessionWrite(session, key, value);
  typename Half<V>::Map* map = half.SetOf(session);
  if (!map) AS_THROW(CASConfigurerSpecialEx, "CASConfigurerSpecialEx - CODE: %d MESSAGE: Session does not exist", -250);
  ThrowIfValueLost(value);
  sstring k = MakeKey(key);
  if (map->Find(k)) {
    int r = map->Reassign(k, value);
    if (r == ascommon::AS_MAP_ABSENT)
      AS_THROW(CASConfigurerSpecialEx, "CASConfigurerSpecialEx - MESSAGE: Setting path not found");
    if (r == ascommon::AS_CONT_NOMEM) ThrowBadAllocation(-10);
  } else if (map->Add(k, value) == ascommon::AS_CONT_NOMEM) {
    ThrowBadAllocation(-10);
  }
  const V* stored = map->Find(k);
  if (stored && stored->status() != 0) ThrowBadAllocation(-10);
}

template <class V>
int CopyInto(const SettingMap<V>* source, SettingMap<V>* dest) {
  if (!source || !dest) return _as_set_err(-101, "NULL input");
  for (auto& node : *source) {
    if (dest->Find(node.key)) {
      HalfTraces<V>::Skip(node.key, node.value);
      continue;
    }
    dest->Add(node.key, node.value);
  }
  return 0;
}

// A new empty session map of one half, added to the half's table under
// session; throws when either cannot be had (nothing is added then).
template <class V>
SettingMap<V>* AddSessionMap(CMap<unsigned long, SettingMap<V>*>& sets, uint64_t session) {
  SettingMap<V>* map = nullptr;
  try {
    map = new SettingMap<V>(64);
  } catch (const std::bad_alloc&) {
    map = nullptr;
  }
  if (!map || !map->HasBuckets()) {
    delete map;
    AS_THROW(CASConfigurerBadEx, "CASConfigurerBadEx - MESSAGE: CConfigurer::CreateSet - Could not allocate session map");
  }
  int r = sets.Add((unsigned long)session, map);
  if (r != 0) {
    delete map;
    AS_THROW(CASConfigurerBadEx, "CASConfigurerBadEx - CODE: %d MESSAGE: CConfigurer::CreateSet - Could not add session map",
             r);
  }
  return map;
}

} // namespace

// ---------------------------------------------------------------------------
// Session sets

int CConfigurer::CreateSet(uint64_t session) {
  WideMap* wide = nullptr;
  try {
    wide = AddSessionMap(session_wide_, session);
    NarrowMap* narrow = AddSessionMap(session_narrow_, session);
    if (session < kDirectSessions) {
      wide_by_id_[session] = wide;
      narrow_by_id_[session] = narrow;
    }
    return 0;
  } catch (...) {
    // Undo only what this call added: a set that existed before stays.
    if (wide) {
      session_wide_.Remove((unsigned long)session);
      delete wide;
    }
    return -1;
  }
}

int CConfigurer::ReleaseSet(uint64_t session) {
  if (session < kDirectSessions) {
    wide_by_id_[session] = nullptr;
    narrow_by_id_[session] = nullptr;
  }
  try {
    if (WideMap** w = session_wide_.Find((unsigned long)session)) {
      WideMap* map = *w;
      session_wide_.Remove((unsigned long)session);
      delete map;
    }
    if (NarrowMap** n = session_narrow_.Find((unsigned long)session)) {
      NarrowMap* map = *n;
      session_narrow_.Remove((unsigned long)session);
      delete map;
    }
    return 0;
  } catch (const ASException& e) {
    AS_TRACE(1, "Exception releasing session set %d: %s", (int)session, e.what());
  } catch (const std::exception& e) {
    AS_TRACE(1, "STD exception releasing session set %d: %s", (int)session, e.what());
  } catch (...) {
    AS_TRACE(1, "Unknown exception releasing session set %d", (int)session);
  }
  return -1;
}

// ---------------------------------------------------------------------------
// Reads

const char* CConfigurer::GetSetting(const char* key, uint64_t session) {
  return Read(Half<sstring>{global_narrow_, session_narrow_, narrow_by_id_}, key, session);
}

const wchar_t* CConfigurer::GetSettingW(const char* key, uint64_t session) {
  return Read(Half<usstring>{global_wide_, session_wide_, wide_by_id_}, key, session);
}

// Goes through the virtual table, so that it answers exactly what GetSetting
// answers, also in a store derived from this one.
const char* CConfigurer::LookupSetting(const char* key, uint64_t session) { return GetSetting(key, session); }

int CConfigurer::GetSettingInt(const char* key, int default_value, uint64_t session) {
  const char* text = GetSetting(key, session);
  if (!text) return default_value;
  // atol semantics (blanks and a sign accepted, stops at the first non-digit)
  // without its undefined behaviour on overflow; kept to the low 32 bits.
  long v = std::strtol(text, nullptr, 10);
  return (int)(uint32_t)(unsigned long)v;
}

// ---------------------------------------------------------------------------
// Writes

void CConfigurer::ModifyGlobalSetting(const char* key, const sstring& value) {
  WriteGlobal(Half<sstring>{global_narrow_, session_narrow_, narrow_by_id_}, key, value);
}

void CConfigurer::ModifyGlobalSetting(const char* key, const usstring& value) {
  WriteGlobal(Half<usstring>{global_wide_, session_wide_, wide_by_id_}, key, value);
}

void CConfigurer::ModifySessionSetting(const char* key, const sstring& value, uint64_t session) {
  if (session == 0) return ModifyGlobalSetting(key, value);
  WriteSession(Half<sstring>{global_narrow_, session_narrow_, narrow_by_id_}, key, value, session);
}

void CConfigurer::ModifySessionSetting(const char* key, const usstring& value, uint64_t session) {
  if (session == 0) return ModifyGlobalSetting(key, value);
  WriteSession(Half<usstring>{global_wide_, session_wide_, wide_by_id_}, key, value, session);
}

int CConfigurer::StoreSetting(const char* key, const char* value, uint64_t session) {
  if (!key) return -1;
  try {
    if (session != 0) {
      AS_TRACE(3, "[session = %d] [key = %s] <= [value = %s]", (int)session, key, Txt(value));
      ModifySessionSetting(key, sstring(value), session);
      ModifySessionSetting(key, WideOf(value), session);
    } else {
      AS_TRACE(3, "[key = %s] <= [value = %s]", key, Txt(value));
      ModifyGlobalSetting(key, sstring(value));
      ModifyGlobalSetting(key, WideOf(value));
    }
    return 0;
  } catch (const CASConfigurerBadEx&) {
    // already traced where it was thrown; every one of them is a lost copy
    return AS_ERR_MEMORY;
  } catch (const ASException&) {
    // already traced where it was thrown
  } catch (const std::bad_alloc& e) {
    AS_TRACE(1, "STD exception writing setting %s: %s", key, e.what());
    return AS_ERR_MEMORY;
  } catch (const std::exception& e) {
    AS_TRACE(1, "STD exception writing setting %s: %s", key, e.what());
  } catch (...) {
    AS_TRACE(1, "Unknown exception writing setting %s", key);
  }
  return -1;
}

int CConfigurer::SetSetting(const char* key, const char* value, uint64_t session) {
  return StoreSetting(key, value, session) == 0 ? 0 : -1;
}

int CConfigurer::AddNotifiableObject(CNotifiableObject* object) {
  if (!object) return -1;
  if (notifiables_.AddTail(object) != 0) return -2;
  return 0;
}

// ---------------------------------------------------------------------------
// Copies between stores

int CConfigurer::CopyGlobalSettings(CConfigurer* source) {
  if (!source) return _as_set_err(-101, "NULL input");
  int r = CopyInto(&source->global_wide_, &global_wide_);
  if (r == 0) r = CopyInto(&source->global_narrow_, &global_narrow_);
  return r;
}

int CConfigurer::CopySessionSettings(CConfigurer* source, uint64_t source_session, uint64_t dest_session) {
  if (!source) return _as_set_err(-101, "NULL input");
  WideMap** sw = source->session_wide_.Find((unsigned long)source_session);
  WideMap** dw = session_wide_.Find((unsigned long)dest_session);
  if (!sw || !dw) return _as_set_err(-101, "some session doesn't exist");
  int r = CopyInto(*sw, *dw);
  if (r != 0) return r;
  NarrowMap** sn = source->session_narrow_.Find((unsigned long)source_session);
  NarrowMap** dn = session_narrow_.Find((unsigned long)dest_session);
  if (!sn || !dn) return _as_set_err(-101, "some session doesn't exist");
  return CopyInto(*sn, *dn);
}

// ---------------------------------------------------------------------------
// Ini files and product presets

void CConfigurer::LoadIniFile(const char* path) {
  AS_TRACE(1, "Load Ini file %s", Txt(path));
  ascommon::CIniFile ini;
  if (ini.ReadFile(path) != 0) AS_THROW(ASException, "ASException - MESSAGE: error loading ini file");
  CMap<usstring, usstring> wide(32);
  if (ini.ToWideMap(wide) != 0) AS_THROW(ASException, "ASException - MESSAGE: error getting the settings");
  for (auto& node : wide) {
    if (node.key.is_null() || node.value.is_null()) {
      // to_usstring could not read the text in the current locale.
      AS_TRACE(3, "Ini file %s: a setting unreadable in the current locale was skipped", Txt(path));
      continue;
    }
    sstring key;
    sstring value;
    ascommon::usstring_to_sstring(node.key, key);
    ascommon::usstring_to_sstring(node.value, value);
    try {
      AS_TRACE(3, "[key = %s] <= [value = %s]", Txt(key.c_str()), Txt(value.c_str()));
      ModifyGlobalSetting(key.c_str(), value);
      ModifyGlobalSetting(key.c_str(), WideOf(value.c_str()));
    } catch (const ASException& e) {
      AS_TRACE(4, "Error adding setting from ini file (%s)", e.what());
    }
  }
}

namespace {

// Directory value of a preset (no trace for this lookup) joined with the
// file name; an absent or null directory gives a null path.
sstring PresetPath(const CConfigurer::NarrowMap& global, const char* dir_key, const char* file_name) {
  const sstring* dir = Probe(dir_key).In(global);
  if (!dir) return sstring();
  AS_TRACE(3, "Try loading ini file %s", dir->c_str());
  sstring path(*dir);
  path.append("/", 1);
  path.append(file_name, std::strlen(file_name));
  struct stat st;
  if (::stat(Txt(path.c_str()), &st) != 0) {
    AS_TRACE(1, "Nu exista %s", Txt(path.c_str()));
    // Created empty so that later applications find it; failure is not fatal.
    if (FILE* f = std::fopen(Txt(path.c_str()), "wt")) std::fclose(f);
  }
  return path;
}

} // namespace

void CConfigurer::LoadProductIniFile(const char* dir_key, const char* file_name) {
  sstring path = PresetPath(global_narrow_, dir_key, file_name);
  if (path.is_null()) return;
  LoadIniFile(path.c_str());
}

void CConfigurer::LoadProductSections(const char* dir_key, const char* file_name, const char* prefix,
                                      uint64_t session) {
  sstring path = PresetPath(global_narrow_, dir_key, file_name);
  if (path.is_null()) return;
  ascommon::CIniFile2 ini;
  if (ini.Load(path.c_str(), "global_fixed") != 0)
    AS_THROW(ASException, "ASException - MESSAGE: error loading ini file");

  sstring section(prefix);
  section.append("_fixed", 6);
  ascommon::CIniSection pairs;
  ini.GetSection(section.c_str(), pairs);
  for (auto& p : pairs) {
    try {
      ModifySessionSetting(p.first.c_str(), p.second, session);
    } catch (const ASException& e) {
      AS_TRACE(4, "Error adding setting from ini file (%s)", e.what());
    } catch (...) {
      AS_TRACE(4, "Error adding setting from ini file");
    }
  }

  pairs.clear();
  section = prefix;
  section.append("_default", 8);
  ini.GetSection(section.c_str(), pairs);
  for (auto& p : pairs) {
    // Defaults never replace a value, be it the session's or the global one.
    if (LookupSetting(p.first.c_str(), session)) continue;
    try {
      ModifySessionSetting(p.first.c_str(), p.second, session);
    } catch (const ASException& e) {
      AS_TRACE(4, "Error adding setting from ini file (%s)", e.what());
    } catch (...) {
      AS_TRACE(4, "Error adding setting from ini file");
    }
  }
}

void CConfigurer::LoadPresets(uint64_t mask, uint64_t session) {
  struct Preset {
    uint64_t bit;
    const char* dir_key;
    const char* file;
    bool sectioned;
  };
  static const Preset kPresets[] = {
      {AS_PRODUCT_EML, "/eml/global/SharedDataPath", "asconf.ini", true},
      {AS_PRODUCT_SEND, "/send/global/SharedDataPath", "sendconf.ini", true},
      {AS_PRODUCT_PC, "/http/general/ParentalSharedDataPath", "pcconf.ini", false},
      {AS_PRODUCT_APH, "/http/general/PhishingSharedDataPath", "phconf.ini", false},
  };
  const char* prefix = session ? "session" : "global";
  for (const Preset& p : kPresets) {
    if (!(mask & p.bit)) continue;
    if (!p.sectioned && session != 0) continue; // flat presets hold global values only
    try {
      if (p.sectioned)
        LoadProductSections(p.dir_key, p.file, prefix, session);
      else
        LoadProductIniFile(p.dir_key, p.file);
    } catch (const ASException& e) {
      AS_TRACE(1, "Error loading %s. Some fine tuning settings may not be available: %s", p.file, e.what());
    }
  }
}

// ---------------------------------------------------------------------------
// Applying settings to modules

int CConfigurer::ApplySettings(uint64_t product_mask, uint64_t session) {
  if (session == 0) return ApplyGlobalSettings(product_mask);
  return ApplySettingsForSession(product_mask, session);
}

int CConfigurer::BuildFilterOrder(uint64_t mask, ASOrderList& list, uint64_t session) {
  for (auto* node = notifiables_.GetHeadNode(); node; node = node->next) {
    CNotifiableObject* m = node->value;
    const char* name = m->GetDisplayName().c_str();
    if (StartsWith(name, "Eml") && !(mask & AS_PRODUCT_EML)) continue;
    if (StartsWith(name, "Im") && !(mask & AS_PRODUCT_IM)) continue;
    if (StartsWith(name, "Http") && !(mask & (AS_PRODUCT_APH | AS_PRODUCT_PC))) continue;
    if (StartsWith(name, "Aph") && !(mask & AS_PRODUCT_APH)) continue;
    if (StartsWith(name, "PC") && !(mask & AS_PRODUCT_PC)) continue;
    if (StartsWith(name, "SEND") && !(mask & AS_PRODUCT_SEND)) continue;
    if (list.Append(m) != 0)
      AS_THROW(ASMemException, "ASMemException - MESSAGE: Not enough memory to order the modules.");
  }

  int budget = kOrderBudget;
  ASOrderRecord* pos = list.Head();
  while (pos && budget > 0) {
    --budget;
    std::unique_ptr<CBlackBoxInt, BlackBoxDeleter> bb(CBlackBoxInt::Create());
    if (!bb) AS_THROW(ASMemException, "ASMemException - MESSAGE: Not enough memory to order the modules.");
    bb->Set(BB_ID_DEPENDENCY_REQUEST, BB_TYPE_BOOL, BB_FLAGS_RAW, 1);
    if (session == 0)
      pos->module->HandleGlobalRequest(bb.get());
    else
      pos->module->HandleSessionRequest(session, bb.get());

    auto* deps = static_cast<CArray<sstring, 64>*>(
        bb->Get(BB_ID_DEPENDENCIES, BB_TYPE_STRING_ARRAY, BB_FLAGS_OBJECT, (const char**)nullptr, (size_t*)nullptr));
    bool moved = false;
    if (deps) {
      for (uint64_t i = 0; i < deps->GetCount(); ++i) {
        const sstring& want = (*deps)[i];
        for (ASOrderRecord* r = pos->next; r; r = r->next) {
          if (!(r->name == want)) continue;
          list.MoveBefore(r, pos);
          pos = r;
          moved = true;
          break;
        }
      }
    }
    // After a move, stay: the moved module's own dependencies come next.
    if (!moved) pos = pos->next;
  }
  if (budget > 0) return 0;
  return _as_set_err(-105, "Can't build filter dependencies order");
}

void CConfigurer::ReportDisabledModule(CNotifiableObject* module, ASApplyReport& report) {
  static const char* const kPrefixes[] = {
      nullptr,
      "    [Disabled filter:     ",
      "    [Disabled breaker:    ",
      "    [Disabled dispatcher: ",
      "    [Disabled performer:  ",
      "    [Disabled streamer:   ",
  };
  uint32_t kind = module->GetKind();
  if (kind < AS_KIND_FILTER || kind > AS_KIND_STREAMER) {
    AS_TRACE(3, "Exception (unknown module)");
    return;
  }
  const char* name = NameOf(module);
  const char* message = _as_get_err()->GetMessage();
  sstring& t = report.text;
  t.append(kPrefixes[kind], std::strlen(kPrefixes[kind]));
  t.append(name, std::strlen(name));
  t.append("]\n", 2);
  t.append("        ", 8);
  if (message) t.append(message, std::strlen(message));
  t.append("\n", 1);

  if (kind == AS_KIND_FILTER) {
    ++report.failed_filters;
    if (report.failed_filters >= 5) {
      ++report.fatal_count;
      AS_TRACE(3, "%d filter(s) failed to apply settings: %s", (int)report.failed_filters, Txt(t.c_str()));
    }
    return;
  }
  AS_TRACE(3, "%s", Txt(t.c_str()));
  ++report.fatal_count;
}

void CConfigurer::ApplySharedSettingsToModule(CNotifiableObject* module, ASApplyReport& report) {
  if (module->GetState() == AS_STATE_DISABLED) {
    ReportDisabledModule(module, report);
    return;
  }
  if (GetSettingInt(kOptimizeKey, 1, 0) == 1) {
    bool enabled_somewhere = false;
    for (unsigned long session : SessionsOf(module)) {
      bool on = module->IsEnabledForSession(session);
      if (SetEnabled(module, session, on) && on) {
        enabled_somewhere = true;
        break;
      }
    }
    if (!enabled_somewhere) {
      module->SetState(AS_STATE_DEFERRED);
      AS_TRACE(3, "will skip shared settings application for module '%s' (module is not enabled on any session)",
               NameOf(module));
      return;
    }
  }
  AS_TRACE(4, "will apply shared settings for module '%s'", NameOf(module));
  if (module->ApplySharedSettings() == 0) {
    module->SetState(AS_STATE_ACTIVE);
    return;
  }
  AS_TRACE(2, "module '%s' failed to apply shared settings - will disable module", NameOf(module));
  module->SetState(AS_STATE_DEFERRED);
  ReportDisabledModule(module, report);
}

void CConfigurer::ApplySessionSettingsToModule(uint64_t session, CNotifiableObject* module, ASApplyReport& report) {
  bool enabled = module->IsEnabledForSession(session);
  bool applicable = module->GetState() != AS_STATE_DISABLED && enabled;
  if (!SetEnabled(module, session, applicable)) AS_TRACE(2, "invalid session ID (%d)", (int)session);
  if (!applicable) {
    AS_TRACE(3, "will skip session settings application for module '%s' on session %d (%s)", NameOf(module),
             (int)session,
             enabled ? "filter was previously disabled due to shared settings application failure"
                     : "filter was not specifically enabled by the user");
    return;
  }
  if (module->GetState() == AS_STATE_DEFERRED) ApplySharedSettingsToModule(module, report);
  AS_TRACE(4, "will apply session settings for module '%s' on session %d", NameOf(module), (int)session);
  if (module->ApplySessionSettings(session) == 0) return;
  AS_TRACE(2, "module %s failed to apply session settings - will disable module on session %d", NameOf(module),
           (int)session);
  if (!SetEnabled(module, session, false)) AS_TRACE(2, "invalid session ID (%d)", (int)session);
  ReportDisabledModule(module, report);
}

std::vector<unsigned long> CConfigurer::SessionsOf(CNotifiableObject* module) {
  std::vector<unsigned long> sessions;
  CSessionMapGuard::Reader read(map_guard_);
  for (const auto& entry : module->SessionMap()) sessions.push_back(entry.key);
  return sessions;
}

bool CConfigurer::SetEnabled(CNotifiableObject* module, uint64_t session, bool enabled) {
  CSessionMapGuard::Writer write(map_guard_);
  ASSessionEntry* entry = module->FindSession(session);
  if (entry) entry->enabled = enabled;
  return entry != nullptr;
}

int CConfigurer::FinishApplication(const ASApplyReport& report, bool global) {
  const char* text = Txt(report.text.c_str());
  if (report.fatal_count != 0) {
    int n = (int)report.fatal_count;
    if (global) {
      AS_TRACE(1, "Failed to apply global settings: %d fatal exception(s) occured:\n%s", n, text);
      return _as_set_err(-105, "Failed to apply global settings: %d fatal exception(s) occured:\n%s", n, text);
    }
    AS_TRACE(1, "Failed to apply session settings: %d fatal exception(s) occured:\n%s", n, text);
    return _as_set_err(-105, "Failed to apply session settings: %d fatal exception(s) occured:\n%s", n, text);
  }
  if (report.failed_filters != 0) {
    int n = (int)report.failed_filters;
    if (global) {
      AS_TRACE(1, "%d filter(s) failed to apply global settings:\n%s", n, text);
      return _as_set_err(-104, "%d filter(s) failed to apply global settings:\n%s", n, text);
    }
    AS_TRACE(1, "%d filter(s) failed to apply session settings:\n%s", n, text);
    return _as_set_err(-104, "%d filter(s) failed to apply session settings:\n%s", n, text);
  }
  return 0;
}

int CConfigurer::ApplyGlobalSettings(uint64_t mask) {
  if (notifiables_.GetCount() == 0) return 0;
  LoadPresets(mask, 0);
  ASOrderList list;
  int r = BuildFilterOrder(mask, list, 0);
  if (r != 0) return r;

  ASApplyReport report;
  bool timing = GetSettingInt(kBenchmarkKey, 0, 0) == 1;
  ascommon::as_time_t start{0, 0};
  if (timing) ascommon::as_time_now(&start);
  for (ASOrderRecord* rec = list.Head(); rec; rec = rec->next) {
    ascommon::as_time_t t0{0, 0};
    if (timing) ascommon::as_time_now(&t0);
    ApplySharedSettingsToModule(rec->module, report);
    if (timing) {
      ascommon::as_time_t d;
      Elapsed(t0, &d);
      AS_TRACE(1, "Time to apply global settings for module [%s] : %ld.%06ld sec", Txt(rec->name.c_str()),
               (long)d.seconds, (long)d.microseconds);
    }
  }
  if (timing) {
    ascommon::as_time_t d;
    Elapsed(start, &d);
    AS_TRACE(1, "Time to apply all global settings: %ld.%06ld seconds", (long)d.seconds, (long)d.microseconds);
  }
  list.Clear();
  return FinishApplication(report, true);
}

int CConfigurer::ApplySettingsForSession(uint64_t mask, uint64_t session) {
  if (notifiables_.GetCount() == 0) return 0;
  LoadPresets(mask, session);
  ASOrderList list;
  int r = BuildFilterOrder(mask, list, session);
  if (r != 0) return r;

  ASApplyReport report;
  bool timing = GetSettingInt(kBenchmarkKey, 0, session) == 1;
  ascommon::as_time_t start{0, 0};
  if (timing) ascommon::as_time_now(&start);
  for (ASOrderRecord* rec = list.Head(); rec; rec = rec->next) {
    ascommon::as_time_t t0{0, 0};
    if (timing) ascommon::as_time_now(&t0);
    ApplySessionSettingsToModule(session, rec->module, report);
    if (timing) {
      ascommon::as_time_t d;
      Elapsed(t0, &d);
      AS_TRACE(1, "Time to apply session settings for module [%s] : %ld.%06ld sec", Txt(rec->name.c_str()),
               (long)d.seconds, (long)d.microseconds);
    }
  }
  if (timing) {
    ascommon::as_time_t d;
    Elapsed(start, &d);
    AS_TRACE(1, "Time to apply all session settings: %ld.%06ld seconds", (long)d.seconds, (long)d.microseconds);
  }
  list.Clear();
  return FinishApplication(report, false);
}
