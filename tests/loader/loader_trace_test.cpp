// loader_trace_test.cpp - the loader's trace lines and exception lines, and
// its behaviour when an allocation fails. Tracing is process-wide state, so
// every traced case runs in a forked child and the parent reads the log back.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "loader_test_util.h"

using loader_test::ChildOut;
using loader_test::ChildResult;
using loader_test::CountingHeap;
using loader_test::Dir;
using loader_test::HeapScope;
using loader_test::IsMapped;
using loader_test::LoadAndUnload;
using loader_test::RunTraced;
using Strings = std::vector<std::string>;

namespace {

// The lines between the first occurrence of `from` and `to`, both included.
Strings Slice(const Strings& lines, const std::string& from, const std::string& to) {
  auto begin = std::find(lines.begin(), lines.end(), from);
  auto end = std::find(begin, lines.end(), to);
  if (begin == lines.end() || end == lines.end()) return {};
  return Strings(begin, end + 1);
}

size_t Count(const Strings& lines, const std::string& line) { return std::count(lines.begin(), lines.end(), line); }

bool Contains(const Strings& lines, const std::string& line) { return Count(lines, line) > 0; }

} // namespace

TEST(LoaderTrace, WellFormedLoadAndCleanUp) {
  std::string dir = Dir("full");
  std::string lib = dir + "/astest_full.mdl";
  ChildResult r = RunTraced("debug", [&] { return LoadAndUnload(dir, AS_PRODUCT_ALL); });
  ASSERT_EQ(0, r.status);
  Strings expected = {
      "Core Loader was created.",
      "Load Plugins",
      "Loading class factories...",
      "class factories path: : " + dir,
      "building plugin libraries list...",
      "found 1 plugin libraries",
      "extracting plugin class factories",
      "processing library " + lib,
      "[Loader] Loaded library " + lib + " at PTR",
      "astest_full.mdl - version 2.15.10.1294",
      "Loaded Class Factories",
      "querying class factories...",
      "1 class factories found. Starting iteration.",
      "[CF 0] found module: TestStreamer",
      "[CF 0] found module: TestDispatcher",
      "[CF 0] found module: TestFilterA",
      "[CF 0] found module: TestFilterB",
      "[CF 0] found module: TestFilterC",
      "[CF 0] found module: TestSecondName",
      "[CF 0] found module: TestPerformer",
      "[CF 0] found module: TestBreaker",
      "successfully queried the class factories",
      "instantiating plugins...",
      "plugins created",
      "success.",
      "cleaning up.",
      "[Loader] Unload library PTR",
      "the loader module was destructed.",
  };
  EXPECT_EQ(expected, r.trace.loader);
  // The file list is built from the directory and the mask between these two.
  Strings list = Slice(r.trace.all, "building plugin libraries list...", "found 1 plugin libraries");
  ASSERT_GE(list.size(), 3u);
  EXPECT_EQ("Building from mask: " + dir + "/*.mdl", list[1]);
}

TEST(LoaderTrace, PatternFromDirectoryAndMask) {
  struct Case {
    std::string dir;
    uint64_t mask;
    std::string pattern;
  };
  const std::string product = Dir("product");
  const Case cases[] = {
      {product, 1, product + "/aseml*.mdl"},
      {product + "/", 1, product + "/aseml*.mdl"}, // no doubled slash
      {product, 8, product + "/asim*.mdl"},
      {product, 16, product + "/send*.mdl"},
      {product, 2, product + "/ashttp*.mdl"},
      {product, 24, product + "/*.mdl"},
      {"", 1, "/aseml*.mdl"}, // the root directory
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    ChildResult r = RunTraced("debug", [&] { return LoadAndUnload(c.dir, c.mask); });
    ASSERT_EQ(0, r.status);
    EXPECT_TRUE(Contains(r.trace.all, "Building from mask: " + c.pattern));
  }
}

TEST(LoaderTrace, SkippedHttpLibrariesProduceNoLine) {
  std::string dir = Dir("product");
  ChildResult aph = RunTraced("debug", [&] { return LoadAndUnload(dir, AS_PRODUCT_APH); });
  ChildResult pc = RunTraced("debug", [&] { return LoadAndUnload(dir, AS_PRODUCT_PC); });
  auto processed = [](const ChildResult& r) {
    Strings out;
    for (const std::string& line : r.trace.loader)
      if (line.rfind("processing library ", 0) == 0) out.push_back(line.substr(line.rfind('/') + 1));
    return out;
  };
  EXPECT_EQ((Strings{"ashttp1.mdl", "ashttpph1.mdl"}), processed(aph));
  EXPECT_EQ((Strings{"ashttp1.mdl", "ashttpf.mdl", "ashttpprl1.mdl"}), processed(pc));
  // All four matched the mask; the skip is silent.
  EXPECT_TRUE(Contains(aph.trace.loader, "found 4 plugin libraries"));
}

TEST(LoaderTrace, RefusedLibrariesAreNamed) {
  std::string v = Dir("versions");
  ChildResult r = RunTraced("debug", [&] { return LoadAndUnload(v, AS_PRODUCT_ALL); });
  ASSERT_EQ(0, r.status);
  for (const char* line : {"a_v1_15.mdl - version 1.15.10.1294", "b_v2_14.mdl - version 2.14.10.1294",
                           "c_v2_15_0_0.mdl - version 2.15.0.0", "d_v2_16.mdl - version 2.16.10.1294",
                           "e_v3_15.mdl - version 3.15.10.1294"})
    EXPECT_TRUE(Contains(r.trace.loader, line)) << line;
  EXPECT_TRUE(Contains(r.trace.loader,
                       "module versions not compatible: core: v2.15 " + v + "/a_v1_15.mdl: v1.15 ). Will be discarded"));
  EXPECT_TRUE(Contains(r.trace.loader,
                       "module versions not compatible: core: v2.15 " + v + "/b_v2_14.mdl: v2.14 ). Will be discarded"));
  EXPECT_TRUE(Contains(r.trace.loader,
                       "module versions not compatible: core: v2.15 " + v + "/d_v2_16.mdl: v2.16 ). Will be discarded"));
  EXPECT_TRUE(Contains(r.trace.loader,
                       "module versions not compatible: core: v2.15 " + v + "/e_v3_15.mdl: v3.15 ). Will be discarded"));
  EXPECT_EQ(1u, Count(r.trace.loader, "[Loader] Unload library PTR")) << "only the accepted library is kept";

  std::string ne = Dir("no_entry");
  r = RunTraced("debug", [&] { return LoadAndUnload(ne, AS_PRODUCT_ALL); });
  EXPECT_EQ((Strings{"[Loader] Loaded library " + ne + "/asnoentry.mdl at PTR",
                     "library " + ne + "/asnoentry.mdl doesn't export AS plugin interface. Will be discarded",
                     "Loaded Class Factories"}),
            Slice(r.trace.loader, "[Loader] Loaded library " + ne + "/asnoentry.mdl at PTR", "Loaded Class Factories"));

  std::string nf = Dir("null_factory");
  r = RunTraced("debug", [&] { return LoadAndUnload(nf, AS_PRODUCT_ALL); });
  EXPECT_EQ((Strings{"asnullcf.mdl - version 2.15.10.1294",
                     "invalid class factory returned by " + nf + "/asnullcf.mdl. Closing.", "Loaded Class Factories",
                     "querying class factories...", "0 class factories found. Starting iteration.",
                     "successfully queried the class factories"}),
            Slice(r.trace.loader, "asnullcf.mdl - version 2.15.10.1294", "successfully queried the class factories"));
}

TEST(LoaderTrace, FileThatIsNotASharedObject) {
  std::string dir = Dir("text_mdl");
  ChildResult r = RunTraced("debug", [&] { return LoadAndUnload(dir, AS_PRODUCT_ALL); });
  ASSERT_EQ(0, r.status);
  EXPECT_TRUE(Contains(r.trace.loader, "found 2 plugin libraries")) << "the directory asdir.mdl is not counted";
  Strings s = Slice(r.trace.loader, "processing library " + dir + "/astext.mdl", "processing library " + dir + "/asvalid.mdl");
  ASSERT_EQ(4u, s.size());
  EXPECT_EQ("could not get handle to library " + dir + "/astext.mdl. Skipping...", s[1]);
  EXPECT_EQ(0u, s[2].rfind("Actual error message is [", 0)) << s[2];
  EXPECT_NE(std::string::npos, s[2].find("astext.mdl")) << "the dynamic loader's own text names the file";
}

TEST(LoaderTrace, DuplicatesAndNullModules) {
  std::string dup = Dir("duplicates");
  ChildResult r = RunTraced("debug", [&] { return LoadAndUnload(dup, AS_PRODUCT_ALL); });
  EXPECT_EQ((Strings{"2 class factories found. Starting iteration.", "[CF 0] found module: DupModule",
                     "[CF 0] found module: UniqueA", "[CF 1] found module: UniqueB",
                     "[CF 1] module with name DupModule already exists. Discarding...",
                     "[CF 1] module with name UniqueB already exists. Discarding...",
                     "successfully queried the class factories"}),
            Slice(r.trace.loader, "2 class factories found. Starting iteration.",
                  "successfully queried the class factories"));
  EXPECT_EQ(2u, Count(r.trace.loader, "[Loader] Unload library PTR"));

  std::string nc = Dir("null_create");
  r = RunTraced("debug", [&] { return LoadAndUnload(nc, AS_PRODUCT_ALL); });
  EXPECT_EQ((Strings{"instantiating plugins...", "Could not load module 1 from class factory 0. Skipping...",
                     "plugins created"}),
            Slice(r.trace.loader, "instantiating plugins...", "plugins created"));
}

TEST(LoaderTrace, StatesAndCleanUp) {
  std::string dir = Dir("zero_modules");
  ChildResult r = RunTraced("debug", [&] {
    CCoreLoader loader;
    loader.CleanUp();
    loader.Load(dir.c_str(), AS_PRODUCT_ALL);
    loader.Load(dir.c_str(), AS_PRODUCT_ALL);
    loader.CleanUp();
    loader.CleanUp();
    return 0;
  });
  ASSERT_EQ(0, r.status);
  Strings& t = r.trace.loader;
  ASSERT_GE(t.size(), 3u);
  EXPECT_EQ("components not loaded - no cleaning up to do.", t[1]);
  EXPECT_EQ((Strings{"success.", "Load Plugins", "modules already loaded - exiting.", "cleaning up.",
                     "[Loader] Unload library PTR", "components not loaded - no cleaning up to do.",
                     "the loader module was destructed."}),
            Slice(t, "success.", "the loader module was destructed."));
}

TEST(LoaderTrace, ExceptionLinesPrecedeTheThrow) {
  struct Case {
    const char* scenario;
    bool null_path;
    Strings tail; // the last loader lines before the destructor's
  };
  const Case cases[] = {
      {"empty", false,
       {"building plugin libraries list...",
        "EXCEPTION: InternalLoaderException - CODE: 3 MESSAGE: Could not build library file list"}},
      {"dir_only", false,
       {"found 0 plugin libraries",
        "EXCEPTION: InternalLoaderException - MESSAGE: Could not build library file list (0 files found)"}},
      {"full", true,
       {"Loading class factories...",
        "EXCEPTION: InternalLoaderException - CODE: -11 MESSAGE: Invalid pointer received as input parameter"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    std::string dir = Dir(c.scenario);
    ChildResult r = RunTraced("debug", [&] {
      CCoreLoader loader;
      try {
        loader.Load(c.null_path ? nullptr : dir.c_str(), AS_PRODUCT_ALL);
      } catch (const InternalLoaderException& e) {
        ChildOut(e.what());
      }
      loader.CleanUp();
      return 0;
    });
    ASSERT_EQ(0, r.status);
    Strings t = r.trace.loader;
    ASSERT_GE(t.size(), 4u);
    EXPECT_EQ(c.tail, Strings(t.end() - 4, t.end() - 2));
    EXPECT_EQ("components not loaded - no cleaning up to do.", t[t.size() - 2]) << "a failed load stays not loaded";
    EXPECT_EQ(c.tail.back(), "EXCEPTION: " + r.output) << "the exception carries the traced text";
  }
}

TEST(LoaderTrace, CriticalLevelKeepsOnlyMilestones) {
  std::string dir = Dir("full");
  ChildResult r = RunTraced("critical", [&] { return LoadAndUnload(dir, AS_PRODUCT_ALL); });
  ASSERT_EQ(0, r.status);
  EXPECT_EQ((Strings{"Load Plugins", "[Loader] Loaded library " + dir + "/astest_full.mdl at PTR",
                     "astest_full.mdl - version 2.15.10.1294", "[Loader] Unload library PTR"}),
            r.trace.loader);
}

TEST(LoaderTrace, PluginsTraceThroughTheHookTable) {
  std::string dir = Dir("raw");
  ChildResult r = RunTraced("debug", [&] { return LoadAndUnload(dir, AS_PRODUCT_ALL); });
  ASSERT_EQ(0, r.status);
  EXPECT_TRUE(Contains(r.trace.all, "raw plug-in received the hook table"))
      << "the sixth entry of the table is the trace function";
}

// The arrays grow for the 64th library, so a failing allocation hook can make
// recording it fail: each of the three arrays in turn. The 63 libraries
// recorded before are released and closed, and the 64th is closed too.
TEST(LoaderRecording, FailureWhileRecordingUnloadsEverythingRecorded) {
  struct Case {
    int nth;
    std::string message;
    size_t releases;
  };
  const Case cases[] = {
      {1, "InternalLoaderException - CODE: -2 MESSAGE: Could not add library handle to array. [Error code -2]", 63},
      // the failed library's factory is released before it is closed
      {2, "InternalLoaderException - CODE: -2 MESSAGE: Could not add release procedure to array. [Error code -2]", 64},
      {3, "InternalLoaderException - CODE: -2 MESSAGE: Could not add class factory to array. [Error code -2]", 63},
  };
  std::string dir = Dir("many");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    ChildResult r = RunTraced("debug", [&] {
      astest::Scope scope;
      bool loaded = true;
      {
        HeapScope heap;
        CountingHeap::fail_size = 128 * sizeof(void*); // the second buffer of a pointer array
        CountingHeap::fail_size_nth = c.nth;
        CCoreLoader loader;
        try {
          loader.Load(dir.c_str(), AS_PRODUCT_ALL);
        } catch (const InternalLoaderException& e) {
          ChildOut(e.what());
        }
        loaded = loader.IsLoaded();
      }
      EXPECT_FALSE(loaded);
      EXPECT_EQ(64u, astest_count("asmany", ASTEST_OP_FACTORY_GET));
      EXPECT_EQ(c.releases, astest_count("asmany", ASTEST_OP_FACTORY_RELEASE));
      for (int i = 0; i < ASTEST_MANY_COUNT; ++i) {
        char name[16];
        snprintf(name, sizeof name, "/lib%02d.mdl", i);
        EXPECT_FALSE(IsMapped(dir + name)) << name;
      }
      return 0;
    });
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(c.message, r.output);
    EXPECT_EQ(63u, Count(r.trace.loader, "[Loader] Unload library PTR"));
    ASSERT_GE(r.trace.loader.size(), 2u);
    // The throw is the last thing before the unload of the recorded ones.
    auto thrown = std::find(r.trace.loader.begin(), r.trace.loader.end(), "EXCEPTION: " + c.message);
    ASSERT_NE(r.trace.loader.end(), thrown);
    EXPECT_EQ("[Loader] Unload library PTR", *(thrown + 1));
    size_t versions = 0;
    for (const std::string& line : r.trace.loader)
      if (line.find(".mdl - version 2.15.10.1294") != std::string::npos) ++versions;
    EXPECT_EQ(64u, versions) << "loading stops at the library that could not be recorded";
  }
}

// Fails the first, second, ... allocation of a whole load and unload, until
// one runs without reaching the failure. Every run must end in a clean state:
// a load that did not complete leaves nothing loaded, nothing mapped, no module
// alive and no block of the hooks' heap in use; one that completed (with some
// modules or factories refused for want of memory) unloads just as cleanly.
TEST(LoaderRecording, EveryFailedAllocationEndsCleanly) {
  for (const char* scenario : {"full", "duplicates"}) {
    SCOPED_TRACE(scenario);
    std::string dir = Dir(scenario);
    long n = 0;
    for (;; ++n) {
      SCOPED_TRACE(testing::Message() << "failing allocation " << n);
      astest::Scope scope;
      long live = 0, calls = 0;
      bool loaded = false, threw = false;
      {
        HeapScope heap;
        CountingHeap::fail_at = n;
        try {
          CCoreLoader loader;
          try {
            loader.Load(dir.c_str(), AS_PRODUCT_ALL);
            loaded = loader.IsLoaded();
          } catch (const InternalLoaderException&) {
            threw = true;
          } catch (const std::bad_alloc&) {
            threw = true;
          }
          loader.CleanUp();
        } catch (const std::bad_alloc&) {
          threw = true; // the loader itself could not be built
        }
        live = CountingHeap::live;
        calls = CountingHeap::calls;
      }
      EXPECT_EQ(0, live) << "blocks left allocated";
      EXPECT_EQ(0u, astest_count(nullptr, ASTEST_OP_CREATE) - astest_count(nullptr, ASTEST_OP_DESTROY));
      for (const char* lib : {"/astest_full.mdl", "/a_dup.mdl", "/b_dup.mdl"})
        EXPECT_FALSE(IsMapped(dir + lib)) << lib;
      EXPECT_NE(loaded, threw) << "a load either completes or throws";
      if (calls <= n) break; // this run never reached the failure
      if (testing::Test::HasFailure()) break;
    }
    EXPECT_GT(n, 10) << "the load allocates more than a handful of blocks";
  }
}
