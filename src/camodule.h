// camodule.h - the plug-in interfaces: class factory, module kinds, stream.
//
// Virtual operations are called by slot number across separately built
// libraries; the slot of each operation is noted beside it and pinned by the
// slot tests. Slots 0 to 11 come from CNotifiableObject.
#pragma once

#include <cstdint>

#include "asitem.h"
#include "notifobj.h"
#include "sstring.h"

class CADispManager;
class CBlackBox;

// A module: the module base plus nothing of its own.
class CAModule : public CNotifiableObject {
public:
  ~CAModule() override {}
};

// The stream object a streamer makes for an item; the core destroys it
// through its deleting destructor (slot 1) when the item is released.
class CAStream {
public:
  virtual ~CAStream() {} // slots 0, 1
};

class CAStreamer : public CAModule {
public:
  virtual CAStream* CreateStream(uint64_t session, int64_t param1, int64_t param2, uint32_t subtype) = 0; // 12
  virtual uint32_t GetEntityType() = 0;                                                               // 13
};

class CADispatcher : public CAModule {
public:
  virtual int DispatchItem(uint64_t session, ASItem* item, uint32_t verb, CADispManager* manager) = 0;       // 12
  virtual int DispatchCommand(uint64_t session, uint32_t verb, CBlackBox* blackbox, CADispManager* manager) = 0; // 13
  virtual uint32_t GetEntityType() = 0;                                                                    // 14
};

class CAFilter : public CAModule {
public:
  virtual int GetBreakerIndex(uint32_t verb) = 0;                                // 12
  virtual int FilterItem(uint64_t session, ASItem* item, uint32_t verb) = 0;      // 13
  virtual int FilterCommand(uint64_t session, uint32_t command, void* argument) = 0; // 14
};

class CAPerformer : public CAModule {
public:
  virtual int PerformItem(uint64_t session, ASItem* item, uint32_t verb) = 0; // 12
  virtual int GetBreakerIndex(uint32_t verb) = 0;                            // 13
};

// The breaker has no interface name in the contract; this is ours.
class CABreaker : public CAModule {
public:
  virtual int Reserved12() { return 0; }                                           // 12 (never called)
  virtual void BreakItem(uint64_t session, uint32_t index, ASItem* item) = 0;     // 13
  virtual void ReleaseLevel(uint64_t session, uint32_t index, ASItem* item) = 0;  // 14
  virtual void CommitItem(uint64_t session, uint32_t index, ASItem* item) = 0;    // 15
};

class CAClassFactory {
public:
  virtual ~CAClassFactory() {}                                   // 0, 1 (never called by the core)
  virtual uint64_t GetModuleCount() = 0;                          // 2
  virtual const ascommon::sstring* GetModuleName(uint64_t index) = 0; // 3: the core copies it at once
  virtual CAModule* CreateModule(uint64_t index) = 0;             // 4: null when it cannot
};
