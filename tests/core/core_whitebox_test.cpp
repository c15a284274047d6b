// CCore objects built directly: how start-up files the modules, settings
// copies between two cores, sessions of another core, the trace of a
// shutdown with sessions left open, and item records kept for reuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "alloc_hooks.h"
#include "ascore/ascore.h"
#include "as_errno.h"
#include "blackbox.h"
#include "astest_control.h"
#include "astest_paths.h"
#include "core.h"
#include "trace_log.h"

namespace {

std::string Msg() {
  const char* text = _as_get_err()->GetMessage();
  return text ? text : "";
}

template <class T>
std::vector<const void*> Items(const ascommon::CArray<T*, 64>& a) {
  return std::vector<const void*>(a.begin(), a.end());
}

std::vector<std::string> Names(const ascommon::CArray<CAFilter*, 64>& a) {
  std::vector<std::string> names;
  for (CAFilter* f : a) names.push_back(f->GetDisplayName().c_str());
  return names;
}

int Start(CCore& core, const char* dir) {
  as_entry_reset();
  return core.Init(dir, AS_PRODUCT_ALL);
}

} // namespace

TEST(CoreDistribution, EveryModuleIsFiledOnceByKind) {
  astest::Scope scope;
  CCore core;
  ASSERT_EQ(0, Start(core, ASTEST_DIR("full")));
  CDispManager& dm = core.DispManager();
  std::vector<const void*> filed;
  for (auto part : {Items(core.Streamers()), Items(core.Dispatchers()), Items(core.Filters()),
                    Items(core.Performers())})
    filed.insert(filed.end(), part.begin(), part.end());
  filed.push_back(core.Breaker());
  ASSERT_EQ(8u, filed.size());
  for (CAModule* m : core.Modules()) {
    SCOPED_TRACE(m->GetDisplayName().c_str());
    EXPECT_EQ(1, std::count(filed.begin(), filed.end(), m));
    EXPECT_EQ(&core.Configurer(), m->GetConfigurer());
  }
  EXPECT_EQ((std::vector<std::string>{"TestFilterA", "TestFilterB", "TestFilterC", "TestSecondName"}),
            Names(core.Filters()));
  // The dispatch manager sees the same modules in the same order.
  std::vector<const void*> routed;
  for (auto part : {Items(dm.Streamers()), Items(dm.Dispatchers()), Items(dm.Filters()), Items(dm.Performers())})
    routed.insert(routed.end(), part.begin(), part.end());
  routed.push_back(dm.GetBreaker());
  EXPECT_EQ(filed, routed);
  EXPECT_EQ(8u, core.Configurer().NotifiableObjects().GetCount());
}

TEST(CoreDistribution, InvalidKindFailsNamingTheModuleAndEmptiesTheCore) {
  for (int kind : {0, 6}) {
    SCOPED_TRACE(kind);
    astest::Scope scope;
    CCore core;
    std::string name = "BadKind" + std::to_string(kind);
    EXPECT_EQ(-104, Start(core, kind ? ASTEST_DIR("bad_kind6") : ASTEST_DIR("bad_kind0")));
    EXPECT_EQ("Exception while loading / distributing components: ASInternalException - MESSAGE: Invalid module "
              "type: " + std::to_string(kind) + ", index: 1, name: " + name, Msg());
    EXPECT_EQ(0u, core.Modules().GetCount() + core.Filters().GetCount() + core.DispManager().Filters().GetCount());
    EXPECT_EQ(nullptr, core.Breaker());
  }
  CCore core;
  as_entry_reset();
  EXPECT_EQ(-101, core.Init(nullptr, AS_PRODUCT_ALL));
  EXPECT_EQ("path to modules is invalid", Msg());
}

// What a copy keeps and overwrites is the store's business (tests/config);
// here: the core hands the right stores over, and keeps foreign sessions away
// from its modules.
TEST(CoreTwoCores, SettingsCopyAndForeignSessions) {
  astest::Scope scope;
  CCore loaded; // modules: a foreign session must never reach them
  ASSERT_EQ(0, Start(loaded, ASTEST_DIR("full")));
  CCore bare; // settings and sessions need no modules
  ASSERT_EQ(0, loaded.SetSetting("/k/global", "g", nullptr));
  EXPECT_EQ(0, bare.CopyGlobalSettings(&loaded));
  EXPECT_STREQ("g", bare.GetSetting("/k/global", nullptr));
  ASSession* mine = loaded.CreateSession();
  ASSession* theirs = bare.CreateSession();
  ASSERT_EQ(0, loaded.SetSetting("/k/session", "v", mine));
  EXPECT_EQ(0, bare.CopySessionSettings(&loaded, mine->id, theirs->id));
  EXPECT_STREQ("v", bare.GetSetting("/k/session", theirs));
  EXPECT_EQ(-101, bare.CopyGlobalSettings(&bare));
  EXPECT_EQ("Same instance of ASCore", Msg());
  EXPECT_EQ(-101, bare.CopySessionSettings(nullptr, 1, 1));
  EXPECT_EQ("invalid input for ASCore", Msg());

  astest_reset();
  EXPECT_EQ(-104, loaded.ApplySettings(AS_PRODUCT_ALL, theirs));
  EXPECT_EQ("This session wasn't created by this instance of ascore", Msg());
  EXPECT_TRUE(astest::Calls().empty());
  EXPECT_EQ(-101, loaded.ReleaseSession(theirs));
  EXPECT_EQ("ERROR: This session wasn't created by this core", Msg());
  EXPECT_EQ(-103, loaded.ReleaseSession(nullptr));
  as_entry_reset(); // a release answers the code left, and the bare core has no module to reset it
  EXPECT_EQ(0, bare.ReleaseSession(theirs));
  EXPECT_EQ(0, loaded.ReleaseSession(mine));
}

TEST(CoreBlackBoxes, ProcessingWithoutABoxUsesATemporaryOne) {
  astest::Scope scope;
  CCore core;
  ASSERT_EQ(0, Start(core, ASTEST_DIR("full")));
  ASSERT_EQ(0, core.ApplySettings(AS_PRODUCT_ALL, nullptr));
  ASSession* s = core.CreateSession();
  ASSERT_EQ(0, core.ApplySettings(AS_PRODUCT_ALL, s));
  // A module request reaches the module only with a box to carry it.
  astest_script_add("TestDispatcher", ASTEST_SCRIPT_ITEM, ASTEST_STEP_REQUEST, "TestFilterA", 0);
  ASItem* item = core.CreateItemHandle(s, 0, 0, 1, 0);
  ASSERT_NE(nullptr, item);
  size_t before = astest_count("TestFilterA", ASTEST_OP_SESSION_REQUEST);
  EXPECT_EQ(0, core.ProcessItemHandle(s, item, 1, nullptr));
  EXPECT_EQ(before + 1, astest_count("TestFilterA", ASTEST_OP_SESSION_REQUEST));
  EXPECT_EQ(nullptr, item->current_bb);
  EXPECT_EQ(0, core.ReleaseItem(s, item));
  EXPECT_EQ(-101, core.ReleaseItem(s, nullptr));
  EXPECT_EQ("invalid item", Msg());
  CBlackBox* box = core.GetBlackBox();
  ASSERT_NE(nullptr, box);
  EXPECT_EQ(0, core.ReleaseBlackBox(&box));
  EXPECT_EQ(nullptr, box);
  EXPECT_EQ(0, core.ReleaseSession(s));
}

TEST(CoreShutdown, OpenSessionsAreReportedAndTheModulesStillGo) {
  astest::Scope scope;
  TraceLog trace("critical");
  ASSERT_TRUE(trace.started());
  // No module keeps data for the session: the modules go with their
  // libraries and would leave it behind.
  for (const char* name : {"TestStreamer", "TestDispatcher", "TestFilterA", "TestFilterB", "TestFilterC",
                           "TestSecondName", "TestPerformer", "TestBreaker"})
    astest_set_null(name, ASTEST_OP_CREATE_SESSION_DATA, ASTEST_ANY);
  CCore* core = new CCore;
  ASSERT_EQ(0, Start(*core, ASTEST_DIR("full")));
  ASSession* open = core->CreateSession();
  ASSERT_NE(nullptr, open);
  EXPECT_EQ(1u, core->GetSessionCount());
  delete core;
  EXPECT_EQ(1, trace.Count("WARNING: the core is being destroyed but not all the sessions have been released!"));
  EXPECT_EQ(0, astest_alive("TestFilterA"));
  EXPECT_EQ(astest_count(nullptr, ASTEST_OP_FACTORY_GET), astest_count(nullptr, ASTEST_OP_FACTORY_RELEASE));
  // The record is the host's leak by contract; the test gives it back.
  open->~ASSession();
  _as_delete(open);
}

TEST(CoreItems, AReleasedRecordComesBackOnlyAsAFreshOne) {
  astest::Scope scope;
  ScopedAllocCounter blocks;
  {
    CCore core;
    ASSERT_EQ(0, Start(core, ASTEST_DIR("full")));
    ASSession* s = core.CreateSession();
    ASSERT_NE(nullptr, s);
    // Leave behind what a module may leave in a record: an element in the
    // item box, a breaker index, a failed level.
    ASItem* first = core.CreateItemHandle(s, 0, 0, 1, 0);
    ASSERT_NE(nullptr, first);
    CBlackBox* box = first->item_bb;
    ASSERT_EQ(0, box->Set(7, BB_TYPE_INT, BB_FLAGS_RAW, 5));
    first->breaker_index = 3;
    first->states[4].failed = 1;
    first->padding[0] = 9;
    ASSERT_EQ(0, core.ReleaseItem(s, first));
    ASItem* again = core.CreateItemHandle(s, 0, 0, 1, 0);
    ASSERT_EQ(first, again);
    EXPECT_EQ(box, again->item_bb);
    EXPECT_EQ(0u, box->GetCount());
    EXPECT_EQ(again, again->self);
    EXPECT_NE(nullptr, again->stream);
    EXPECT_EQ(nullptr, again->current_bb);
    EXPECT_EQ(1u, again->entity_type);
    const unsigned char zeros[sizeof(ASItem)] = {};
    const size_t tail = offsetof(ASItem, breaker_index); // index, dirty, levels, padding
    EXPECT_EQ(0, std::memcmp(zeros, (const char*)again + tail, sizeof(ASItem) - tail));
    // More items than records kept: the rest are freed at release, the
    // kept ones with the core.
    std::vector<ASItem*> items{again};
    for (int i = 0; i < 9; ++i) items.push_back(core.CreateItemHandle(s, 0, 0, 1, 0));
    for (ASItem* item : items) EXPECT_EQ(0, core.ReleaseItem(s, item));
    EXPECT_EQ(0, core.ReleaseSession(s));
  }
  EXPECT_EQ(0, blocks.held());
}
