// sdk_oom_test.cpp - the SDK's table factory and module base when memory runs
// out while a plug-in is loaded: for every allocation in turn, what is offered
// is whole (names, session map), and a refusal is reported as -102 in the
// caller's error state rather than passed over.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "plugin_sdk.h"

namespace {

int g_countdown = -1, g_refused = 0, g_code = 0;

void* FailingNew(uint64_t size, bool throwing) {
  if (g_countdown-- == 0) {
    ++g_refused;
    if (throwing) throw std::bad_alloc();
    return nullptr;
  }
  return std::malloc(size ? size : 1);
}
void Free(void* block) { std::free(block); }
int SetErr(int code, const char*, ...) { return g_code = code; }

class Named : public ascore_sdk::CModule<CAFilter> {
public:
  Named() : CModule("a-first-name-beyond-the-inline-area", "a-second-name-beyond-the-inline-area") {}
  int GetBreakerIndex(uint32_t) override { return 0; }
  int FilterItem(uint64_t, ASItem*, uint32_t) override { return 0; }
  int FilterCommand(uint64_t, uint32_t, void*) override { return 0; }
};

const ascore_sdk::ModuleEntry kEntries[] = {
    {"an-offered-name-beyond-the-inline-area", &ascore_sdk::Create<Named>},
    {"short", &ascore_sdk::Create<Named>},
};

bool Whole(CAModule* m) {
  return m && m->GetDisplayName().c_str() &&
         std::strcmp(m->GetDisplayName().c_str(), "a-first-name-beyond-the-inline-area") == 0 &&
         m->SessionMap().HasBuckets();
}

} // namespace

TEST(PluginSdk, MemoryRunningOutWhileLoadingIsReportedNeverHalfMade) {
  const ASHookTable table = {&FailingNew, &Free, nullptr, &SetErr, nullptr, nullptr};
  ascore_sdk::InstallHooks(&table);
  int n = 0;
  for (;; ++n) {
    SCOPED_TRACE(testing::Message() << "failing allocation " << n);
    g_countdown = n, g_refused = 0, g_code = 0;
    ascore_sdk::CTableClassFactory factory(kEntries, 2);
    CAModule* made[2] = {};
    for (uint64_t i = 0; i < factory.GetModuleCount(); ++i) {
      const ascommon::sstring* name = factory.GetModuleName(i);
      ASSERT_TRUE(name && name->c_str() && std::strcmp(name->c_str(), kEntries[i].name) == 0);
      made[i] = factory.CreateModule(i);
      EXPECT_TRUE(!made[i] || Whole(made[i]));
    }
    g_countdown = -1;
    if (g_refused == 0) {
      EXPECT_EQ(0, g_code);
      EXPECT_TRUE(Whole(made[0]) && Whole(made[1]));
      break;
    }
    EXPECT_EQ(AS_ERR_MEMORY, g_code) << "a refusal went unreported";
  }
  ascore_sdk::ResetHooks();
  EXPECT_GT(n, 5);
}
