// plugin_core_test.cpp - plug-ins driven by the real core through the
// exported interface of libascore.so: the one built from the contract alone,
// the scriptable ones as the other tests use them, the heap plug-in and the
// documented example.
//
// The executable links libascore.so only, so the process-wide operator new is
// the C++ run-time's (under the sanitizers, theirs): a plug-in's std::string
// grown by members the run-time instantiates is released by the plug-in's
// inline code, and the sanitizer build reports it if the two disagree.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ascore/ascore.h"
#include "astest_control.h"
#include "astest_paths.h"

using Strings = std::vector<std::string>;

namespace {

// Core, global and session settings applied, one session: what every case
// below starts from.
class CoreWith {
public:
  explicit CoreWith(const char* dir) {
    init_ = as_core_instance_init(dir, AS_PRODUCT_ALL);
    if (init_ != 0) return;
    as_core_settings_apply(nullptr);
    session_ = as_core_session_create();
    if (session_) as_core_settings_apply(session_);
    box_ = as_blackbox_create();
  }
  ~CoreWith() {
    if (box_) as_blackbox_release(box_);
    if (session_) as_core_session_release(session_);
    as_core_instance_release();
  }
  bool ok() const { return init_ == 0 && session_ && box_; }
  as_session_t* session() const { return session_; }
  as_blackbox_t* box() const { return box_; }

private:
  int init_ = -1;
  as_session_t* session_ = nullptr;
  as_blackbox_t* box_ = nullptr;
};

int IntResult(as_blackbox_t* box, uint32_t key) {
  int out = -1;
  as_blackbox_get(box, key, BB_TYPE_INT, &out, -1);
  return out;
}

} // namespace

TEST(RawPluginInCore, ItemAndCommandTravelThroughItsModules) {
  astest::Scope scope;
  {
    CoreWith core(ASTEST_DIR("raw"));
    ASSERT_TRUE(core.ok()) << as_core_errmsg();
    as_item_descriptor_t descriptor = {1, 2, 77, 5};
    as_item_t* item = as_core_item_create(core.session(), &descriptor);
    ASSERT_NE(nullptr, item) << as_core_errmsg();
    EXPECT_EQ(0, as_core_item_process(core.session(), item, 3, core.box())) << as_core_errmsg();
    EXPECT_EQ(1, IntResult(core.box(), 4242)) << "RawFilter writes into the item's current black box";
    EXPECT_EQ(-777, as_core_command_process(core.session(), 77, 9, core.box()));
    EXPECT_STREQ("raw filter refused command 9", as_core_errmsg());
    EXPECT_EQ(0, as_core_item_release(core.session(), item));
    EXPECT_EQ(1u, astest_count("RawStreamer", ASTEST_OP_STREAM_DESTROYED));
  }
  EXPECT_EQ((Strings{"RawStreamer:CreateStream", "RawDispatcher:DispatchItem", "RawFilter:FilterItem",
                     "RawDispatcher:DispatchCommand", "RawFilter:FilterCommand", "RawStreamer:StreamDestroyed"}),
            astest::Trail({ASTEST_OP_CREATE_STREAM, ASTEST_OP_DISPATCH_ITEM, ASTEST_OP_FILTER_ITEM,
                           ASTEST_OP_DISPATCH_COMMAND, ASTEST_OP_FILTER_COMMAND, ASTEST_OP_STREAM_DESTROYED}));
  EXPECT_EQ(1u, astest_count("raw", ASTEST_OP_FACTORY_RELEASE));
  EXPECT_EQ(3u, astest_count(nullptr, ASTEST_OP_DESTROY)) << "the release destroys every module";
}

TEST(ScriptedPluginsInCore, DispatcherExceptionFailsACommand) {
  astest::Scope scope;
  astest_script_add("TestDispatcher", ASTEST_SCRIPT_COMMAND, ASTEST_STEP_THROW_STD, "dispatcher gave up", 0);
  CoreWith core(ASTEST_DIR("full"));
  ASSERT_TRUE(core.ok()) << as_core_errmsg();
  EXPECT_EQ(AS_ERR_INTERNAL, as_core_command_process(core.session(), 1, 2, core.box()));
  EXPECT_NE(nullptr, std::strstr(as_core_errmsg(), "dispatcher gave up")) << as_core_errmsg();
}

TEST(PluginHeap, StdStringGrownByTheRunTimeIsReleasedByThePlugin) {
  astest::Scope scope;
  ASSERT_EQ(0, as_core_instance_init(ASTEST_DIR("heap"), AS_PRODUCT_ALL)) << as_core_errmsg();
  EXPECT_EQ(0, as_core_settings_apply(nullptr)) << as_core_errmsg();
  EXPECT_EQ(0, as_core_settings_apply(nullptr)) << "a second application grows and frees another string";
  EXPECT_EQ(0, as_core_instance_release());
  std::vector<astest_call> calls = astest::Calls(ASTEST_OP_GLOBAL_REQUEST, "HeapFilter");
  ASSERT_EQ(2u, calls.size());
  for (const astest_call& c : calls) EXPECT_EQ(200 + 3000 + 1000 + 100, c.result) << "the text came out wrong";
}

// The example of docs/plugins.md, as a host would use it.
namespace {

const uint32_t kExampleEntity = 0x4558;
const uint32_t kExampleCount = 900001;

int CountWords(as_session_t* session, const char* text) {
  as_item_descriptor_t descriptor = {(int64_t)(intptr_t)text, 0, kExampleEntity, 0};
  as_item_t* item = as_core_item_create(session, &descriptor);
  if (!item) return -100;
  as_blackbox_t* box = as_blackbox_create();
  as_core_item_process(session, item, 0, box);
  int count = IntResult(box, kExampleCount);
  as_blackbox_release(box);
  as_core_item_release(session, item);
  return count;
}

} // namespace

TEST(ExampleModule, CountsTheConfiguredWord) {
  ASSERT_EQ(0, as_core_instance_init(ASCORE_EXAMPLE_DIR, AS_PRODUCT_ALL)) << as_core_errmsg();
  ASSERT_EQ(0, as_core_setting_set(nullptr, "/example/filter/Word", "spam"));
  ASSERT_EQ(0, as_core_settings_apply(nullptr)) << as_core_errmsg();
  as_session_t* session = as_core_session_create();
  ASSERT_NE(nullptr, session);
  ASSERT_EQ(0, as_core_settings_apply(session)) << as_core_errmsg();
  EXPECT_EQ(2, CountWords(session, "spam, eggs, and spam"));
  EXPECT_EQ(0, CountWords(session, "eggs only"));
  as_item_descriptor_t no_text = {0, 0, kExampleEntity, 0};
  EXPECT_EQ(nullptr, as_core_item_create(session, &no_text));
  EXPECT_EQ(-101, as_core_err());
  EXPECT_EQ(0, as_core_session_release(session));
  EXPECT_EQ(0, as_core_instance_release());
}

TEST(ExampleModule, WithoutItsSettingTheFilterIsDisabled) {
  ASSERT_EQ(0, as_core_instance_init(ASCORE_EXAMPLE_DIR, AS_PRODUCT_ALL)) << as_core_errmsg();
  as_core_settings_apply(nullptr);
  as_session_t* session = as_core_session_create();
  ASSERT_NE(nullptr, session);
  EXPECT_EQ(AS_ERR_INTERNAL, as_core_settings_apply(session));
  EXPECT_NE(nullptr, std::strstr(as_core_errmsg(), "ExampleWordFilter: /example/filter/Word is not set"))
      << as_core_errmsg();
  EXPECT_EQ(-1, CountWords(session, "spam")) << "a disabled filter is not called";
  as_core_session_release(session);
  as_core_instance_release();
}
