// loader.h - CCoreLoader: finds, opens and vets plug-in module libraries and
// creates the modules their class factories offer.
#pragma once

#include <cstdint>

#include "camodule.h"
#include "containers.h"
#include "sstring.h"

// One record per module offered under a new name.
struct ModuleInfo {
  ascommon::sstring name;
  uint64_t factory_index; // position in the class factory array
  uint64_t module_index;  // index within that factory
};

class CCoreLoader {
public:
  CCoreLoader();  // traces "Core Loader was created."
  ~CCoreLoader(); // unloads if loaded

  // Loads the libraries matching the product mask in the module directory,
  // queries their factories and creates the modules. Returns the modules
  // array (valid until the next unload). Throws InternalLoaderException (and
  // std::bad_alloc) on failure, after unloading whatever was recorded.
  ascommon::CArray<CAModule*, 64>* Load(const char* path, uint64_t product_mask);

  // Unloads if loaded (traces either way). Safe to call at any time.
  void CleanUp();

  // ReleaseClassFactory for every kept library, then closes them, then empties
  // every record and clears the loaded flag. Safe when nothing is loaded.
  // Never throws, whatever the plug-ins do.
  void Unload();

  bool IsLoaded() const { return loaded_; }

private:
  void LoadClassFactories(const char* path, uint64_t product_mask);
  void Record(void* handle, int (*release)(), CAClassFactory* factory);
  void QueryClassFactories();
  void InstantiatePlugins();

  bool loaded_;
  ascommon::CArray<CAClassFactory*, 64> factories_;
  ascommon::CArray<void*, 64> handles_;
  ascommon::CArray<int (*)(), 64> release_procs_;
  ascommon::CArray<ModuleInfo, 64> records_;
  ascommon::CMap<ascommon::sstring, int> names_;
  ascommon::CArray<CAModule*, 64> modules_;
};
