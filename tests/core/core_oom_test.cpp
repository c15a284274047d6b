// core_oom_test.cpp - a whole host scenario with one allocation failing.
//
// For N = 0, 1, 2, ... the Nth allocation of the scenario fails: start-up
// (the core's own blocks and the test plug-in's, whose SDK reports memory
// running out), a global setting, the global application, a session and a
// setting of its own, an item created, processed and released, the session
// released, the instance released. Every call must either fail with a status
// or answer 0 having done all it was asked (a start-up that answers 0 has all
// eight modules); nothing may crash, and at the end every block is given
// back. Outcomes are recorded while the failure is armed and checked
// afterwards: no test-framework call runs inside the window.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "alloc_hooks.h"
#include "ascore/ascore.h"
#include "astest_control.h"
#include "astest_paths.h"
#include "core.h"

namespace {

const char kPathKey[] = "/eml/global/SharedLibsPathNew";
const char kGlobalKey[] = "/eml/global/a-global-key-beyond-the-inline-area";
const char kSessionKey[] = "/eml/global/a-session-key-beyond-the-inline-area";
const char kValue[] = "a value long enough to need a block of its own";

// One call: its status, and whether what it answered holds.
struct Step {
  const char* name;
  int status = 1; // 1: not reached
  bool holds = true;
};

struct Outcomes {
  Step init{"instance init"}, set{"global setting"}, apply{"global apply"}, session{"session create"},
      session_set{"session setting"}, item{"item"}, session_release{"session release"},
      release{"instance release"};
  Step* all[8] = {&init, &set, &apply, &session, &session_set, &item, &session_release, &release};
};

bool Is(const char* text, const char* expected) { return text && std::strcmp(text, expected) == 0; }

CCore* Core() { return dynamic_cast<CCore*>(reinterpret_cast<ASCore*>(as_core_instance_get())); }

// Every module has an entry for the session ID, or (wanted false) none has.
bool EntriesEverywhere(CCore* core, uint64_t id, bool wanted) {
  for (CAModule* m : core->Modules())
    if ((m->FindSession(id) != nullptr) != wanted) return false;
  return true;
}

const char* const kDir = ASTEST_DIR("full");

void StartUp(Outcomes& r) {
  const char* dir = kDir; // no std::string: it would allocate in the window
  r.init.status = as_core_instance_init(dir, AS_PRODUCT_ALL);
  CCore* core = Core();
  if (r.init.status != 0) {
    r.init.holds = r.init.status < 0 && !core;
    return;
  }
  // Loaded, stored and registered: all eight modules, the path readable.
  r.init.holds = core && core->Modules().GetCount() == 8 &&
                 core->Configurer().NotifiableObjects().GetCount() == 8 &&
                 Is(as_core_setting_get(nullptr, kPathKey), dir);
}

// Everything after start-up, down to the instance release.
void Scenario(Outcomes& r) {
  CCore* core = Core();
  if (!core) return;
  r.set.status = as_core_setting_set(nullptr, kGlobalKey, kValue);
  r.set.holds = r.set.status == 0 ? Is(as_core_setting_get(nullptr, kGlobalKey), kValue) : r.set.status < 0;

  r.apply.status = as_core_settings_apply(nullptr);
  r.apply.holds = r.apply.status <= 0;

  as_session_t* session = as_core_session_create();
  r.session.status = as_core_err();
  if (!session) {
    // Nothing left behind: no entry anywhere, the count and the ID free.
    r.session.holds = r.session.status < 0 && core->GetSessionCount() == 0 && EntriesEverywhere(core, 1, false);
  } else {
    // The test modules never refuse session data, so every one has it, and
    // the session reads the global settings through its own set.
    r.session.holds = EntriesEverywhere(core, 1, true) &&
                      (r.set.status != 0 || Is(as_core_setting_get(session, kGlobalKey), kValue));
    r.session_set.status = as_core_setting_set(session, kSessionKey, kValue);
    r.session_set.holds = r.session_set.status == 0 ? Is(as_core_setting_get(session, kSessionKey), kValue)
                                                    : r.session_set.status < 0;

    as_blackbox_t* bb = as_blackbox_create();
    const as_item_descriptor_t descriptor = {0, 0, 1, 0};
    as_item_t* item = bb ? as_core_item_create(session, &descriptor) : nullptr;
    if (item) {
      r.item.status = as_core_item_process(session, item, 1, bb);
      int released = as_core_item_release(session, item);
      r.item.holds = r.item.status <= 0 && released <= 0;
    }
    as_blackbox_release(bb);

    r.session_release.status = as_core_session_release(session);
    r.session_release.holds = core->GetSessionCount() == 0 && EntriesEverywhere(core, 1, false);
  }
  r.release.status = as_core_instance_release();
  r.release.holds = r.release.status == 0 && !as_core_instance_get();
}

} // namespace

TEST(CoreOutOfMemory, WholeHostScenarioFailsCleanlyAtEveryAllocation) {
  int runs = EveryFailingAllocation(
      [](int n) {
        astest::Scope scope;
        Outcomes r;
        {
          ScopedAllocFailure failure(n);
          StartUp(r);
          Scenario(r);
        }
        for (const Step* s : r.all) {
          EXPECT_TRUE(s->holds) << s->name << " answered " << s->status;
          if (ScopedAllocFailure::failures() == 0) {
            EXPECT_EQ(0, s->status) << s->name;
          }
        }
      },
      2000);
  EXPECT_GT(runs, 50) << "the scenario allocates more than a handful of blocks";
}
