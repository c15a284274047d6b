// loader.cpp - find, open and vet plug-in module libraries, then create the
// modules their class factories offer.
//
// Turns a directory of *.mdl files into created modules for the core to
// distribute. This is the only file that calls dlopen/dlsym/dlclose/dlerror.
// A library is vetted before any of its code runs beyond GetASVersion: it must
// open, export the three entry points and report the core's major and minor
// version; then it gets the hook table and hands over its class factory.
// Libraries that fail a check are closed at once; the ones kept stay open
// until Unload, which releases every class factory before closing any library.
// A load that fails halfway unloads everything it had recorded.
//
// Threading: runs only while the core is being created or destroyed, under
// the instance lock; it has no lock of its own.
#include "loader.h"

#include <dlfcn.h>

#include <cstring>
#include <new>

#include "ascore/ascore.h"
#include "exceptions.h"
#include "hooks.h"
#include "plugin_abi.h"
#include "trace.h"
#include "x_file_utils.h"

using ascommon::CArray;
using ascommon::FileInfoU;
using ascommon::sstring;

namespace {

// The file mask and skip rules a product mask selects. The first rule that
// applies wins, so the exact single-product masks come before the bit tests.
struct LibrarySelection {
  const char* mask;
  bool skip_phishing;      // anti-phishing (bit 2) not wanted
  bool skip_parental;      // parental control (bit 4) not wanted
};

LibrarySelection SelectLibraries(uint64_t product_mask) {
  if (product_mask == AS_PRODUCT_IM) return {"asim*.mdl", false, false};
  if (product_mask == AS_PRODUCT_EML) return {"aseml*.mdl", false, false};
  if (product_mask == AS_PRODUCT_SEND) return {"send*.mdl", false, false};
  if (product_mask & (AS_PRODUCT_EML | AS_PRODUCT_SEND)) return {"*.mdl", false, false};
  if (product_mask & (AS_PRODUCT_APH | AS_PRODUCT_PC))
    return {"ashttp*.mdl", (product_mask & AS_PRODUCT_APH) == 0, (product_mask & AS_PRODUCT_PC) == 0};
  return {"*.mdl", false, false};
}

// The skip rules look anywhere in the full path, directory included.
bool Skipped(const LibrarySelection& selection, const char* path) {
  if (selection.skip_phishing && std::strstr(path, "ashttpph")) return true;
  if (selection.skip_parental && (std::strstr(path, "ashttpf.mdl") || std::strstr(path, "ashttpprl"))) return true;
  return false;
}

const char* BaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

// Module names come from plug-ins; a null one must still print.
const char* Text(const sstring& s) { return s.c_str() ? s.c_str() : "(null)"; }

// The dynamic loader's message for the last failure, copied at once into a
// buffer of our own (it is overwritten by the next dl call).
class DlError {
public:
  DlError() {
    const char* text = dlerror();
    if (!text) return;
    std::strncpy(buffer_, text, sizeof buffer_ - 1);
    buffer_[sizeof buffer_ - 1] = '\0';
    present_ = true;
  }
  bool present() const { return present_; }
  const char* text() const { return buffer_; }

private:
  char buffer_[1000] = {};
  bool present_ = false;
};

} // namespace

CCoreLoader::CCoreLoader() : loaded_(false), names_(32) { AS_TRACE(4, "Core Loader was created."); }

CCoreLoader::~CCoreLoader() {
  if (loaded_) Unload();
  AS_TRACE(4, "the loader module was destructed.");
}

CArray<CAModule*, 64>* CCoreLoader::Load(const char* path, uint64_t product_mask) {
  AS_TRACE(1, "Load Plugins");
  if (loaded_) {
    AS_TRACE(4, "modules already loaded - exiting.");
    return &modules_;
  }
  try {
    LoadClassFactories(path, product_mask);
    QueryClassFactories();
    InstantiatePlugins();
  } catch (...) {
    Unload();
    throw;
  }
  loaded_ = true;
  AS_TRACE(4, "success.");
  return &modules_;
}

void CCoreLoader::LoadClassFactories(const char* path, uint64_t product_mask) {
  AS_TRACE(4, "Loading class factories...");
  if (!path)
    AS_THROW(InternalLoaderException,
             "InternalLoaderException - CODE: %d MESSAGE: Invalid pointer received as input parameter", -11);

  LibrarySelection selection = SelectLibraries(product_mask);
  AS_TRACE(4, "class factories path: : %s", path);

  CArray<FileInfoU, 64> files;
  {
    sstring pattern(path);
    size_t length = std::strlen(path);
    if (length == 0 || path[length - 1] != '/') pattern.append("/", 1);
    pattern.append(selection.mask, std::strlen(selection.mask));
    AS_TRACE(4, "building plugin libraries list...");
    // A pattern that could not be built is as good as no list at all.
    int rc = pattern.status() != 0 ? pattern.status() : ascommon::as_build_file_list(pattern.c_str(), files);
    if (rc != 0)
      AS_THROW(InternalLoaderException, "InternalLoaderException - CODE: %d MESSAGE: Could not build library file list",
               rc);
  }
  AS_TRACE(4, "found %d plugin libraries", (int)files.GetCount());
  if (files.GetCount() == 0)
    AS_THROW(InternalLoaderException,
             "InternalLoaderException - MESSAGE: Could not build library file list (0 files found)");

  uint32_t core_version[4] = {0, 0, 0, 0};
  as_core_version_get(core_version);
  ASHookTable hooks;
  as_hooks_save(&hooks);

  AS_TRACE(4, "extracting plugin class factories");
  for (uint64_t i = 0; i < files.GetCount(); ++i) {
    const char* file = files[i].path.c_str();
    if (!file || Skipped(selection, file)) continue;
    AS_TRACE(4, "processing library %s", file);

    void* handle = dlopen(file, RTLD_LAZY | RTLD_GLOBAL);
    if (!handle) {
      DlError error;
      AS_TRACE(1, "could not get handle to library %s. Skipping...", file);
      if (error.present())
        AS_TRACE(1, "Actual error message is [%s]", error.text());
      else
        AS_TRACE(1, "Could not obtain additional DL Error info!");
      continue;
    }
    AS_TRACE(1, "[Loader] Loaded library %s at %p", file, handle);

    GetClassFactoryFn get_factory = reinterpret_cast<GetClassFactoryFn>(dlsym(handle, AS_ENTRY_GET_FACTORY));
    ReleaseClassFactoryFn release = reinterpret_cast<ReleaseClassFactoryFn>(dlsym(handle, AS_ENTRY_RELEASE_FACTORY));
    GetASVersionFn get_version = reinterpret_cast<GetASVersionFn>(dlsym(handle, AS_ENTRY_GET_VERSION));
    if (!get_factory || !release || !get_version) {
      AS_TRACE(1, "library %s doesn't export AS plugin interface. Will be discarded", file);
      dlclose(handle);
      continue;
    }

    ASVersionRecord version = {0, 0, 0, 0};
    get_version(&version);
    AS_TRACE(1, "%s - version %d.%d.%d.%d", BaseName(file), version.major, version.minor, version.build,
             version.revision);
    if (version.major != (int32_t)core_version[0] || version.minor != (int32_t)core_version[1]) {
      AS_TRACE(1, "module versions not compatible: core: v%d.%d %s: v%d.%d ). Will be discarded",
               (int)core_version[0], (int)core_version[1], file, version.major, version.minor);
      dlclose(handle);
      continue;
    }

    CAClassFactory* factory = get_factory(&hooks);
    if (!factory) {
      AS_TRACE(1, "invalid class factory returned by %s. Closing.", file);
      dlclose(handle);
      continue;
    }
    Record(handle, release, factory);
  }
  AS_TRACE(4, "Loaded Class Factories");
}

// Appends one accepted library to the three parallel arrays, or leaves them
// as they were and throws. Its factory exists already, and after a failure
// nothing would release it later: it is released here, while the library's
// code is still mapped, and then the library is closed.
void CCoreLoader::Record(void* handle, int (*release)(), CAClassFactory* factory) {
  auto abandon = [handle, release] {
    try {
      release();
    } catch (...) {
      // A plug-in that throws from its release still gets closed.
    }
    dlclose(handle);
  };
  int rc = handles_.Add(handle);
  if (rc != 0) {
    abandon();
    AS_THROW(InternalLoaderException,
             "InternalLoaderException - CODE: %d MESSAGE: Could not add library handle to array. [Error code %d]", rc,
             rc);
  }
  rc = release_procs_.Add(release);
  if (rc != 0) {
    handles_.RemoveLast();
    abandon();
    AS_THROW(InternalLoaderException,
             "InternalLoaderException - CODE: %d MESSAGE: Could not add release procedure to array. [Error code %d]",
             rc, rc);
  }
  rc = factories_.Add(factory);
  if (rc != 0) {
    release_procs_.RemoveLast();
    handles_.RemoveLast();
    abandon();
    AS_THROW(InternalLoaderException,
             "InternalLoaderException - CODE: %d MESSAGE: Could not add class factory to array. [Error code %d]", rc,
             rc);
  }
}

void CCoreLoader::QueryClassFactories() {
  AS_TRACE(4, "querying class factories...");
  uint64_t factory_count = factories_.GetCount();
  AS_TRACE(4, "%d class factories found. Starting iteration.", (int)factory_count);
  for (uint64_t f = 0; f < factory_count; ++f) {
    CAClassFactory* factory = factories_[f];
    uint64_t module_count = factory->GetModuleCount();
    for (uint64_t m = 0; m < module_count; ++m) {
      const sstring* offered = factory->GetModuleName(m);
      sstring name;
      if (offered) name = *offered;
      int rc = name.status() != 0 ? name.status() : names_.Add(name, 1);
      if (rc == ascommon::AS_MAP_DUPLICATE) {
        AS_TRACE(1, "[CF %d] module with name %s already exists. Discarding...", (int)f, Text(name));
        continue;
      }
      if (rc != 0)
        AS_THROW(InternalLoaderException,
                 "InternalLoaderException - CODE: %d MESSAGE: could not add element to Module name map [Error code %d]",
                 rc, rc);
      AS_TRACE(4, "[CF %d] found module: %s", (int)f, Text(name));
      ModuleInfo record;
      record.name = name;
      record.factory_index = f;
      record.module_index = m;
      if (record.name.status() != 0 || records_.Add(record) != 0) {
        names_.Remove(name);
        AS_THROW(InternalLoaderException,
                 "InternalLoaderException - CODE: %d MESSAGE: could not add element to ModuleInfo array. [Error code %d]",
                 -2, -2);
      }
    }
  }
  AS_TRACE(4, "successfully queried the class factories");
}

void CCoreLoader::InstantiatePlugins() {
  AS_TRACE(4, "instantiating plugins...");
  for (uint64_t i = 0; i < records_.GetCount(); ++i) {
    const ModuleInfo& record = records_[i];
    CAModule* module = factories_[record.factory_index]->CreateModule(record.module_index);
    if (!module) {
      AS_TRACE(4, "Could not load module %d from class factory %d. Skipping...", (int)record.module_index,
               (int)record.factory_index);
      continue;
    }
    // A module left out of the list would silently be missing; its factory
    // still owns it and releases it with the unload.
    if (modules_.Add(module) != 0) throw std::bad_alloc();
  }
  AS_TRACE(4, "plugins created");
}

void CCoreLoader::Unload() {
  // Every factory goes before any library is closed, so that no module's
  // destruction can call into a library that is already unmapped.
  for (uint64_t i = 0; i < release_procs_.GetCount(); ++i) {
    try {
      release_procs_[i]();
    } catch (...) {
      // A plug-in that throws from its release still gets closed.
    }
  }
  for (uint64_t i = 0; i < handles_.GetCount(); ++i) {
    AS_TRACE(1, "[Loader] Unload library %p", handles_[i]);
    dlclose(handles_[i]);
  }
  handles_.RemoveAll();
  factories_.RemoveAll();
  release_procs_.RemoveAll();
  records_.RemoveAll();
  names_.RemoveAll();
  modules_.RemoveAll();
  loaded_ = false;
}

void CCoreLoader::CleanUp() {
  if (!loaded_) {
    AS_TRACE(4, "components not loaded - no cleaning up to do.");
    return;
  }
  AS_TRACE(4, "cleaning up.");
  Unload();
}
