// Applying settings to in-process modules: dependency order, product
// selection, failure counting and reports, the optimisation, module state.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "as_errno.h"
#include "config_test_util.h"

namespace {

typedef std::vector<std::string> Names;

// Modules registered in the given order, all of one kind; `optimised` off
// applies shared settings to every live module every time.
struct Rig {
  explicit Rig(const Names& names, uint32_t kind = AS_KIND_FILTER, bool optimised = true) {
    for (const std::string& n : names) Add(n, kind);
    if (!optimised) c.SetSetting("/core/configurer/ApplyOptimizedGlobalSettings", "0", 0);
  }
  TestModule& Add(const std::string& name, uint32_t kind) {
    mods.emplace_back(new TestModule(name, kind, &journal));
    c.AddNotifiableObject(mods.back().get());
    return *mods.back();
  }
  TestModule& operator[](size_t i) { return *mods[i]; }
  Names Order(uint64_t mask = AS_PRODUCT_ALL, int* result = nullptr) {
    ASOrderList list;
    int r = c.BuildFilterOrder(mask, list, 0);
    if (result) *result = r;
    Names out;
    for (ASOrderRecord* rec = list.Head(); rec; rec = rec->next) out.push_back(rec->name.c_str());
    return out;
  }
  Names journal;
  std::vector<std::unique_ptr<TestModule>> mods;
  CConfigurer c;
};

std::string Msg() { return _as_get_err()->GetMessage(); }

} // namespace

TEST(FilterOrder, DependenciesMoveBeforeTheirDependent) {
  const struct {
    Names names;
    std::vector<Names> deps;
    Names order;
  } cases[] = {
      {{"F1", "F2"}, {{"F2"}}, {"F2", "F1"}},
      {{"F1", "F2", "F3"}, {{"F2", "F3"}}, {"F3", "F2", "F1"}},
      {{"A", "B", "C", "D"}, {{"B"}, {"C"}}, {"C", "B", "A", "D"}},
      // Unknown names, names already earlier, and no answer leave the order alone.
      {{"X", "Y", "Z"}, {{}, {"nobody", "X"}}, {"X", "Y", "Z"}},
  };
  for (const auto& tc : cases) {
    Rig r(tc.names);
    for (size_t i = 0; i < tc.deps.size(); ++i) r[i].deps = tc.deps[i];
    EXPECT_EQ(tc.order, r.Order());
  }
}

TEST(FilterOrder, CycleFailsBeforeAnyModuleIsCalled) {
  Rig r({"F1", "F2"}, AS_KIND_FILTER, false);
  r[0].deps = {"F2"};
  r[1].deps = {"F1"};
  EXPECT_EQ(-105, r.c.ApplySettings(AS_PRODUCT_ALL, 0));
  EXPECT_EQ(-105, _as_get_err()->GetCode());
  EXPECT_EQ("Can't build filter dependencies order", Msg());
  EXPECT_TRUE(r.journal.empty());
}

TEST(FilterOrder, BudgetOfOneThousandSteps) {
  // Without dependencies each module costs one step: 999 fit, 1000 do not.
  for (int n : {999, 1000}) {
    SCOPED_TRACE(n);
    Rig r({});
    for (int i = 0; i < n; ++i) r.Add("M" + std::to_string(i), AS_KIND_FILTER);
    int result = 0;
    EXPECT_EQ((size_t)n, r.Order(AS_PRODUCT_ALL, &result).size());
    EXPECT_EQ(n == 999 ? 0 : -105, result);
  }
}

TEST(FilterOrder, ProductPrefixSelection) {
  Rig r({"EmlA", "ImA", "HttpA", "AphA", "PCA", "SENDA", "emlLower", "Other"});
  EXPECT_EQ((Names{"emlLower", "Other"}), r.Order(0));
  EXPECT_EQ((Names{"EmlA", "emlLower", "Other"}), r.Order(AS_PRODUCT_EML));
  EXPECT_EQ((Names{"HttpA", "AphA", "emlLower", "Other"}), r.Order(AS_PRODUCT_APH));
  EXPECT_EQ((Names{"HttpA", "PCA", "emlLower", "Other"}), r.Order(AS_PRODUCT_PC));
  EXPECT_EQ((Names{"ImA", "emlLower", "Other"}), r.Order(AS_PRODUCT_IM));
  EXPECT_EQ((Names{"SENDA", "emlLower", "Other"}), r.Order(AS_PRODUCT_SEND));
  EXPECT_EQ(8u, r.Order(AS_PRODUCT_ALL).size());
}

TEST(ApplyShared, FailuresGiveAReportAndFatalThresholdsByKind) {
  Rig one({"Good", "Bad"}, AS_KIND_FILTER, false);
  one[1].shared_result = 3;
  EXPECT_EQ(-104, one.c.ApplySettings(AS_PRODUCT_ALL, 0));
  EXPECT_EQ("1 filter(s) failed to apply global settings:\n"
            "    [Disabled filter:     Bad]\n"
            "        Bad cannot read its settings\n",
            Msg());
  EXPECT_EQ(AS_STATE_ACTIVE, one[0].GetState());
  EXPECT_EQ(AS_STATE_DEFERRED, one[1].GetState());

  // Four failing filters stay -104; the fifth makes it fatal.
  for (int failing : {4, 5}) {
    SCOPED_TRACE(failing);
    Rig r({}, AS_KIND_FILTER, false);
    for (int i = 0; i < failing; ++i) r.Add("F" + std::to_string(i), AS_KIND_FILTER).shared_result = 1;
    EXPECT_EQ(failing == 4 ? -104 : -105, r.c.ApplySettings(AS_PRODUCT_ALL, 0));
    EXPECT_EQ(0u, Msg().find(failing == 4 ? "4 filter(s) failed to apply global settings:\n    [Disabled filter:     F0]\n"
                                          : "Failed to apply global settings: 1 fatal exception(s) occured:\n"));
  }
  // Any other known kind is fatal at once; an unknown kind is not counted.
  const struct {
    uint32_t kind;
    const char* prefix;
  } kinds[] = {{AS_KIND_BREAKER, "    [Disabled breaker:    "},
               {AS_KIND_DISPATCHER, "    [Disabled dispatcher: "},
               {AS_KIND_PERFORMER, "    [Disabled performer:  "},
               {AS_KIND_STREAMER, "    [Disabled streamer:   "},
               {7, nullptr}};
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.kind);
    Rig r({"M"}, k.kind, false);
    r[0].shared_result = 1;
    EXPECT_EQ(k.prefix ? -105 : 0, r.c.ApplySettings(AS_PRODUCT_ALL, 0));
    if (k.prefix) {
      EXPECT_EQ(std::string("Failed to apply global settings: 1 fatal exception(s) occured:\n") + k.prefix +
                    "M]\n        M cannot read its settings\n",
                Msg());
    }
  }
}

TEST(ApplyShared, OptimisationSkipsModulesNoSessionEnables) {
  Rig r({"Unused", "Used", "Lonely"});
  for (uint64_t s : {1, 2, 3}) {
    r.c.CreateSet(s);
    r[0].AddSession(s);
    r[1].AddSession(s);
    r[1].enabled.insert(s);
  }
  EXPECT_EQ(0, r.c.ApplySettings(AS_PRODUCT_ALL, 0));
  EXPECT_EQ(3, r[0].enabled_calls); // one question per session
  EXPECT_EQ(0, r[0].shared_calls);
  EXPECT_EQ(AS_STATE_DEFERRED, r[0].GetState());
  EXPECT_EQ(1, r[1].enabled_calls); // the walk stops at the first yes
  EXPECT_EQ(1, r[1].shared_calls);
  EXPECT_EQ(AS_STATE_ACTIVE, r[1].GetState());
  EXPECT_EQ(0, r[2].enabled_calls + r[2].shared_calls);

  // The first session that enables a deferred module applies shared settings
  // first, then the session's.
  r[0].enabled.insert(2);
  r.journal.clear();
  EXPECT_EQ(0, r.c.ApplySettings(AS_PRODUCT_ALL, 2));
  EXPECT_EQ((Names{"shared:Unused", "session:Unused", "session:Used"}), r.journal);
  EXPECT_EQ(AS_STATE_ACTIVE, r[0].GetState());
  EXPECT_TRUE(r[0].Flag(2));
  EXPECT_FALSE(r[2].Flag(2));
}

TEST(ApplyShared, WithoutOptimisationEveryLiveModuleIsAppliedEveryTime) {
  Rig r({"A", "B"}, AS_KIND_FILTER, false);
  r[1].SetState(AS_STATE_ACTIVE);
  for (int round = 0; round < 2; ++round) EXPECT_EQ(0, r.c.ApplySettings(AS_PRODUCT_ALL, 0));
  EXPECT_EQ(2, r[0].shared_calls);
  EXPECT_EQ(2, r[1].shared_calls);
  EXPECT_EQ(0, r[0].enabled_calls);
}

TEST(ApplyShared, DisabledModuleIsReportedNeverCalled) {
  Rig r({"Dead"});
  r[0].SetState(AS_STATE_DISABLED);
  r[0].AddSession(1);
  r[0].enabled.insert(1);
  r.c.CreateSet(1);
  EXPECT_EQ(-104, r.c.ApplySettings(AS_PRODUCT_ALL, 0));
  EXPECT_EQ(0u, Msg().find("1 filter(s) failed to apply global settings:\n    [Disabled filter:     Dead]\n"));
  EXPECT_EQ(0, r.c.ApplySettings(AS_PRODUCT_ALL, 1));
  EXPECT_FALSE(r[0].Flag(1));
  EXPECT_EQ(AS_STATE_DISABLED, r[0].GetState());
  EXPECT_TRUE(r.journal.empty());
}

TEST(ApplySession, FailureClearsFlagAndCounts) {
  Rig r({"S1", "S2"});
  r.c.CreateSet(4);
  for (int i = 0; i < 2; ++i) {
    r[i].AddSession(4);
    r[i].enabled.insert(4);
    r[i].SetState(AS_STATE_ACTIVE);
  }
  r[0].session_result = 1;
  EXPECT_EQ(-104, r.c.ApplySettings(AS_PRODUCT_ALL, 4));
  EXPECT_EQ("1 filter(s) failed to apply session settings:\n"
            "    [Disabled filter:     S1]\n"
            "        S1 refused session 4\n",
            Msg());
  EXPECT_FALSE(r[0].Flag(4));
  EXPECT_TRUE(r[1].Flag(4));
  EXPECT_EQ(0, r[0].shared_calls); // already active: not applied again

  // Not enabled by the user: skipped, flag cleared, no call.
  r[1].enabled.clear();
  r.journal.clear();
  r[0].session_result = 0;
  EXPECT_EQ(0, r.c.ApplySettings(AS_PRODUCT_ALL, 4));
  EXPECT_EQ((Names{"session:S1"}), r.journal);
  EXPECT_FALSE(r[1].Flag(4));
}

TEST(ApplySession, ModuleExceptionPropagatesAndLeaksNothing) {
  Rig r({"Calm", "Thrower", "After"}, AS_KIND_FILTER, false);
  r[0].shared_result = 1; // something in the report already
  r[1].throw_on_shared = true;
  EXPECT_THROW(r.c.ApplySettings(AS_PRODUCT_ALL, 0), ASException);
  EXPECT_EQ(0, r[2].shared_calls);
}
