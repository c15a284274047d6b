// loader_test.cpp - CCoreLoader over the test plug-in directories with the
// real dlopen: what is loaded, refused, released and closed, the trace lines
// that say so, and allocation failures.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <sstream>

#include "alloc_hooks.h"
#include "loader_test_util.h"
#include "trace_log.h"

using namespace loader_test;

namespace {

// Library tags whose GetClassFactory ran, in order.
Strings FactoryTags() {
  Strings out;
  for (const astest_call& c : astest::Calls(ASTEST_OP_FACTORY_GET)) out.push_back(c.module);
  return out;
}

struct Traced {
  Strings loader;     // messages of the lines written by loader.cpp
  Strings all;        // messages of every line
  std::string thrown; // the text of the load's exception, if any
};

std::string g_thrown;

// Splits "[ANTISPAM          ] [TTTTTTTT][   file.cpp:12  ] - text" into file
// and message; exception lines get "EXCEPTION: ", 0x... pointers "PTR".
void Parse(const std::string& text, Traced* t) {
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    bool exception = line.rfind("[ANTISPAM EXCEPTION] [", 0) == 0;
    if (!exception && line.rfind("[ANTISPAM          ] [", 0) != 0) continue;
    size_t file_start = 32, colon = line.find(':', file_start), dash = line.find("] - ", file_start);
    if (colon == std::string::npos || dash == std::string::npos || colon > dash) continue;
    std::string file = line.substr(file_start, colon - file_start);
    std::string message = exception ? "EXCEPTION: " : "";
    for (size_t i = dash + 4; i < line.size();) {
      if (line.compare(i, 2, "0x") == 0 && i + 2 < line.size() && std::isxdigit((unsigned char)line[i + 2])) {
        message += "PTR";
        for (i += 2; i < line.size() && std::isxdigit((unsigned char)line[i]);) ++i;
      } else {
        message += line[i++];
      }
    }
    t->all.push_back(message);
    if (file.substr(file.find_first_not_of(' ')) == "loader.cpp") t->loader.push_back(message);
  }
}

// Runs body with tracing on at the given level and reads back what it wrote.
Traced RunTraced(const char* level, const std::function<void()>& body) {
  TraceLog log(level);
  EXPECT_TRUE(log.started());
  g_thrown.clear();
  body();
  Traced t;
  Parse(log.Since(), &t);
  t.thrown = g_thrown;
  return t;
}

// Loads and cleans up; the exception text, if any, goes to g_thrown.
void LoadAndUnload(const std::string& dir, uint64_t mask, const char* path = "") {
  CCoreLoader loader;
  try {
    loader.Load(path ? dir.c_str() : nullptr, mask);
  } catch (const InternalLoaderException& e) {
    EXPECT_EQ(-1, e.GetCode()) << "the number after CODE: is message text only";
    EXPECT_FALSE(loader.IsLoaded());
    g_thrown = e.what();
  }
  loader.CleanUp();
}

// The lines from the first `from` to the following `to`, both included.
Strings Slice(const Strings& lines, const std::string& from, const std::string& to) {
  auto begin = std::find(lines.begin(), lines.end(), from);
  auto end = std::find(begin, lines.end(), to);
  return begin == lines.end() || end == lines.end() ? Strings{} : Strings(begin, end + 1);
}

size_t Count(const Strings& lines, const std::string& line) { return std::count(lines.begin(), lines.end(), line); }

// Fails the nth (from 1) allocation of `size` bytes made while it lives.
class SizeFailure {
public:
  SizeFailure(uint64_t size, long nth) : saved_(_as_new) {
    size_ = size;
    nth_ = nth;
    seen_ = 0;
    next_ = saved_;
    _as_new = Hook;
  }
  ~SizeFailure() { _as_new = saved_; }

private:
  static void* Hook(uint64_t size, bool throwing) {
    if (size != size_ || ++seen_ != nth_) return next_(size, throwing);
    if (throwing) throw std::bad_alloc();
    return nullptr;
  }
  as_new_fn saved_;
  static inline uint64_t size_;
  static inline long nth_, seen_;
  static inline as_new_fn next_;
};

} // namespace

TEST(LoaderLoad, WellFormedLibraryLoadsInFactoryOrderAndTracesEachStep) {
  std::string dir = Dir("full"), lib = dir + "/astest_full.mdl";
  const Strings names = {"TestStreamer",   "TestDispatcher", "TestFilterA", "TestFilterB",
                         "TestFilterC",    "TestSecondName", "TestPerformer", "TestBreaker"};
  Traced r = RunTraced("debug", [&] {
    astest::Scope scope;
    CCoreLoader loader;
    Modules* modules = loader.Load(dir.c_str(), AS_PRODUCT_ALL);
    EXPECT_TRUE(loader.IsLoaded());
    EXPECT_EQ(names, Names(modules));
    std::vector<uint32_t> kinds;
    for (CAModule* m : *modules) kinds.push_back(m->GetKind());
    EXPECT_EQ((std::vector<uint32_t>{5, 3, 1, 1, 1, 1, 4, 2}), kinds);
    EXPECT_EQ((Strings{"astest_full"}), FactoryTags());
    EXPECT_EQ(8u, astest_count(nullptr, ASTEST_OP_CREATE));
    loader.CleanUp();
  });
  Strings expected = {"Core Loader was created.", "Load Plugins", "Loading class factories...",
                      "class factories path: : " + dir, "building plugin libraries list...",
                      "found 1 plugin libraries", "extracting plugin class factories", "processing library " + lib,
                      "[Loader] Loaded library " + lib + " at PTR", "astest_full.mdl - version 2.15.10.1294",
                      "Loaded Class Factories", "querying class factories...",
                      "1 class factories found. Starting iteration."};
  for (const std::string& name : names) expected.push_back("[CF 0] found module: " + name);
  for (const char* line : {"successfully queried the class factories", "instantiating plugins...", "plugins created",
                           "success.", "cleaning up.", "[Loader] Unload library PTR",
                           "the loader module was destructed."})
    expected.push_back(line);
  EXPECT_EQ(expected, r.loader);
}

// Each directory holds libraries the loader must refuse or filter: what is
// kept, which factories are asked for, what is closed at once, and the lines.
TEST(LoaderLoad, RefusalsAndSkipsAreTracedAndLeaveTheRestLoaded) {
  struct Case {
    const char* scenario;
    Strings names;
    Strings factories;
    Strings closed; // files unmapped while the load is still held
    Strings lines;  // consecutive loader lines, in order
  };
  const std::string v = Dir("versions"), ne = Dir("no_entry"), nf = Dir("null_factory"), t = Dir("text_mdl");
  // Only major and minor decide: 2.15.0.0 is accepted, 1.15, 2.14, 2.16, 3.15 not.
  Strings versions;
  for (auto [file, version] : std::vector<std::pair<std::string, std::string>>{
           {"a_v1_15", "1.15.10.1294"}, {"b_v2_14", "2.14.10.1294"}, {"c_v2_15_0_0", "2.15.0.0"},
           {"d_v2_16", "2.16.10.1294"}, {"e_v3_15", "3.15.10.1294"}}) {
    std::string path = v + "/" + file + ".mdl";
    versions.insert(versions.end(), {"processing library " + path, "[Loader] Loaded library " + path + " at PTR",
                                     file + ".mdl - version " + version});
    if (version != "2.15.0.0")
      versions.push_back("module versions not compatible: core: v2.15 " + path + ": v" + version.substr(0, 4) +
                         " ). Will be discarded");
  }
  const Case cases[] = {
      {"versions", {"V2_15_0_0"}, {"c_v2_15_0_0"}, {"a_v1_15.mdl", "b_v2_14.mdl", "d_v2_16.mdl", "e_v3_15.mdl"},
       versions},
      {"no_entry", {}, {}, {"asnoentry.mdl"},
       {"[Loader] Loaded library " + ne + "/asnoentry.mdl at PTR",
        "library " + ne + "/asnoentry.mdl doesn't export AS plugin interface. Will be discarded",
        "Loaded Class Factories"}},
      {"null_factory", {}, {"asnullcf"}, {"asnullcf.mdl"},
       {"asnullcf.mdl - version 2.15.10.1294", "invalid class factory returned by " + nf + "/asnullcf.mdl. Closing.",
        "Loaded Class Factories", "querying class factories...", "0 class factories found. Starting iteration.",
        "successfully queried the class factories"}},
      // The directory asdir.mdl is not counted; the text file fails to open.
      {"text_mdl", {"ValidAfterText"}, {"asvalid"}, {"astext.mdl"},
       {"found 2 plugin libraries", "extracting plugin class factories", "processing library " + t + "/astext.mdl",
        "could not get handle to library " + t + "/astext.mdl. Skipping..."}},
      // The first library to offer a name wins, within one factory too.
      {"duplicates", {"DupModule", "UniqueA", "UniqueB"}, {"a_dup", "b_dup"}, {},
       {"2 class factories found. Starting iteration.", "[CF 0] found module: DupModule",
        "[CF 0] found module: UniqueA", "[CF 1] found module: UniqueB",
        "[CF 1] module with name DupModule already exists. Discarding...",
        "[CF 1] module with name UniqueB already exists. Discarding...", "successfully queried the class factories"}},
      {"null_create", {"Create0", "Create2"}, {"asnullcreate"}, {},
       {"instantiating plugins...", "Could not load module 1 from class factory 0. Skipping...", "plugins created"}},
      // A library offering nothing is still kept open until the unload.
      {"zero_modules", {}, {"aszero"}, {},
       {"1 class factories found. Starting iteration.", "successfully queried the class factories"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    std::string dir = Dir(c.scenario);
    Traced r = RunTraced("debug", [&] {
      astest::Scope scope;
      CCoreLoader loader;
      Modules* modules = loader.Load(dir.c_str(), AS_PRODUCT_ALL);
      EXPECT_TRUE(loader.IsLoaded());
      EXPECT_EQ(c.names, Names(modules));
      EXPECT_EQ(c.factories, FactoryTags()) << "a refused library's factory is never asked for";
      for (const std::string& file : c.closed) EXPECT_FALSE(IsMapped(dir + "/" + file)) << file;
      for (const std::string& tag : c.factories) {
        bool closed = std::find(c.closed.begin(), c.closed.end(), tag + ".mdl") != c.closed.end();
        EXPECT_EQ(!closed, IsMapped(dir + "/" + tag + ".mdl")) << tag;
      }
      if (c.names.size() == 3) { // duplicates: DupModule is a_dup's filter, not b_dup's performer
        EXPECT_EQ(1u, (*modules)[0]->GetKind());
        EXPECT_STREQ("b_dup", astest::Calls(ASTEST_OP_CREATE).at(2).library);
      }
    });
    ASSERT_FALSE(c.lines.empty());
    EXPECT_EQ(c.lines, Slice(r.loader, c.lines.front(), c.lines.back()));
    size_t kept = std::count_if(c.factories.begin(), c.factories.end(), [&](const std::string& f) {
      return std::find(c.closed.begin(), c.closed.end(), f + ".mdl") == c.closed.end();
    });
    EXPECT_EQ(kept, Count(r.loader, "[Loader] Unload library PTR")) << "only accepted libraries stay";
  }
  // The dynamic loader's own text names the file that is not a shared object.
  Traced r = RunTraced("debug", [&] { LoadAndUnload(t, AS_PRODUCT_ALL); });
  Strings s = Slice(r.loader, "could not get handle to library " + t + "/astext.mdl. Skipping...",
                    "processing library " + t + "/asvalid.mdl");
  ASSERT_EQ(3u, s.size());
  EXPECT_EQ(0u, s[1].rfind("Actual error message is [", 0)) << s[1];
  EXPECT_NE(std::string::npos, s[1].find("astext.mdl"));
}

// The mask picks the file pattern; within the http libraries, the two http
// products skip each other's files without a line.
TEST(LoaderLoad, ProductMaskSelectsLibraryFiles) {
  const Strings all = {"aseml1", "ashttp1", "ashttpf", "ashttpph1", "ashttpprl1", "asim1", "other", "send1"};
  const std::string product = Dir("product");
  const struct {
    std::string dir;
    uint64_t mask;
    std::string pattern;
    Strings tags;
  } cases[] = {
      {product, 1, product + "/aseml*.mdl", {"aseml1"}},
      {product + "/", 1, product + "/aseml*.mdl", {"aseml1"}}, // no doubled slash
      {"", 1, "/aseml*.mdl", {}},                               // the root directory
      {product, 8, product + "/asim*.mdl", {"asim1"}},
      {product, 16, product + "/send*.mdl", {"send1"}},
      {product, 2, product + "/ashttp*.mdl", {"ashttp1", "ashttpph1"}},
      {product, 4, product + "/ashttp*.mdl", {"ashttp1", "ashttpf", "ashttpprl1"}},
      {product, 6, product + "/ashttp*.mdl", {"ashttp1", "ashttpf", "ashttpph1", "ashttpprl1"}},
      {product, 3, product + "/*.mdl", all}, // bit 1 with others: everything
      {product, 24, product + "/*.mdl", all},
      {product, 31, product + "/*.mdl", all},
      {product, 0, product + "/*.mdl", all},
      {product, 32, product + "/*.mdl", all}, // bits outside the five
      {product, 9, product + "/*.mdl", all},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.dir << " mask " << c.mask);
    Traced r = RunTraced("debug", [&] {
      astest::Scope scope;
      LoadAndUnload(c.dir, c.mask);
      EXPECT_EQ(c.tags, FactoryTags());
    });
    auto list = std::find(r.all.begin(), r.all.end(), "building plugin libraries list...");
    ASSERT_LT(list + 1, r.all.end());
    EXPECT_EQ("Building from mask: " + c.pattern, *(list + 1));
    if (c.mask == 2) {
      EXPECT_EQ(1u, Count(r.loader, "found 4 plugin libraries")) << "all four match; the skip is silent";
    }
    size_t processed = 0;
    for (const std::string& line : r.loader) processed += line.rfind("processing library ", 0) == 0;
    EXPECT_EQ(c.tags.size(), processed);
  }
}

// A failed load throws the traced text, stays not loaded, and cleans up nothing.
TEST(LoaderLoad, FailuresThrowTheTracedText) {
  const struct {
    const char* scenario;
    uint64_t mask;
    const char* path; // null: the null pointer
    Strings tail;
  } cases[] = {
      {"empty", AS_PRODUCT_ALL, "", {"building plugin libraries list...",
                                     "InternalLoaderException - CODE: 3 MESSAGE: Could not build library file list"}},
      // full/ holds astest_full.mdl only: the mail mask finds nothing there.
      {"full", AS_PRODUCT_EML, "", {"building plugin libraries list...",
                                    "InternalLoaderException - CODE: 3 MESSAGE: Could not build library file list"}},
      {"dir_only", AS_PRODUCT_ALL, "", {"found 0 plugin libraries",
        "InternalLoaderException - MESSAGE: Could not build library file list (0 files found)"}},
      // A directory that cannot be read is a read error, not an empty match.
      {"no_such_directory", AS_PRODUCT_ALL, "", {"building plugin libraries list...",
        "InternalLoaderException - CODE: -600 MESSAGE: Could not build library file list"}},
      {"full", AS_PRODUCT_ALL, nullptr, {"Loading class factories...",
        "InternalLoaderException - CODE: -11 MESSAGE: Invalid pointer received as input parameter"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tail.back());
    Traced r = RunTraced("debug", [&] { LoadAndUnload(Dir(c.scenario), c.mask, c.path); });
    EXPECT_EQ(c.tail.back(), r.thrown);
    ASSERT_GE(r.loader.size(), 4u);
    EXPECT_EQ((Strings{c.tail[0], "EXCEPTION: " + c.tail[1], "components not loaded - no cleaning up to do."}),
              Strings(r.loader.end() - 4, r.loader.end() - 1));
  }
}

TEST(LoaderLoad, RepeatedLoadsAndCleanUpsTouchNothingTwice) {
  std::string dir = Dir("zero_modules");
  Traced r = RunTraced("debug", [&] {
    astest::Scope scope;
    CCoreLoader loader;
    loader.CleanUp();
    Modules* first = loader.Load(dir.c_str(), AS_PRODUCT_ALL);
    EXPECT_EQ(first, loader.Load(Dir("duplicates").c_str(), AS_PRODUCT_ALL));
    EXPECT_EQ((Strings{"aszero"}), FactoryTags());
    loader.CleanUp();
    loader.CleanUp();
    EXPECT_EQ(1u, astest_count(nullptr, ASTEST_OP_FACTORY_RELEASE));
  });
  ASSERT_GE(r.loader.size(), 3u);
  EXPECT_EQ("components not loaded - no cleaning up to do.", r.loader[1]);
  EXPECT_EQ((Strings{"success.", "Load Plugins", "modules already loaded - exiting.", "cleaning up.",
                     "[Loader] Unload library PTR", "components not loaded - no cleaning up to do.",
                     "the loader module was destructed."}),
            Slice(r.loader, "success.", "the loader module was destructed."));
}

TEST(LoaderLoad, CriticalLevelKeepsOnlyMilestonesAndPluginsTraceThroughTheHooks) {
  std::string dir = Dir("full");
  Traced r = RunTraced("critical", [&] { LoadAndUnload(dir, AS_PRODUCT_ALL); });
  EXPECT_EQ((Strings{"Load Plugins", "[Loader] Loaded library " + dir + "/astest_full.mdl at PTR",
                     "astest_full.mdl - version 2.15.10.1294", "[Loader] Unload library PTR"}),
            r.loader);
  r = RunTraced("debug", [&] { LoadAndUnload(Dir("raw"), AS_PRODUCT_ALL); });
  EXPECT_EQ(1u, Count(r.all, "raw plug-in received the hook table")) << "the sixth entry is the trace function";
}

TEST(LoaderUnload, ReleasesFactoriesInLibraryOrderClosesAllAndLoadsAgain) {
  astest::Scope scope;
  CCoreLoader loader;
  loader.Load(Dir("duplicates").c_str(), AS_PRODUCT_ALL);
  EXPECT_EQ(1, astest_alive("DupModule"));
  loader.Unload();
  EXPECT_FALSE(loader.IsLoaded());
  // Modules are destroyed last created first, inside their factory's release.
  EXPECT_EQ((Strings{"a_dup:FactoryRelease", "UniqueA:Destroy", "DupModule:Destroy", "b_dup:FactoryRelease",
                     "UniqueB:Destroy"}),
            astest::Trail({ASTEST_OP_FACTORY_RELEASE, ASTEST_OP_DESTROY}));
  for (const char* m : {"DupModule", "UniqueA", "UniqueB"}) EXPECT_EQ(0, astest_alive(m)) << m;
  EXPECT_FALSE(IsMapped(Dir("duplicates") + "/a_dup.mdl"));
  EXPECT_FALSE(IsMapped(Dir("duplicates") + "/b_dup.mdl"));
  loader.Unload();
  loader.CleanUp();
  EXPECT_EQ(2u, astest_count(nullptr, ASTEST_OP_FACTORY_RELEASE)) << "nothing is released twice";
  EXPECT_EQ((Strings{"ValidAfterText"}), Names(loader.Load(Dir("text_mdl").c_str(), AS_PRODUCT_ALL)));
}

// The arrays grow for the 64th library, so a failing allocation hook can make
// recording it fail: each of the three arrays in turn. The 63 libraries
// recorded before are released and closed, and the 64th, whose factory exists
// already, is released and closed too: every factory got is released once.
TEST(LoaderRecording, FailureWhileRecordingUnloadsEverythingRecorded) {
  const struct {
    int nth;
    std::string message;
  } cases[] = {
      {1, "InternalLoaderException - CODE: -2 MESSAGE: Could not add library handle to array. [Error code -2]"},
      {2, "InternalLoaderException - CODE: -2 MESSAGE: Could not add release procedure to array. [Error code -2]"},
      {3, "InternalLoaderException - CODE: -2 MESSAGE: Could not add class factory to array. [Error code -2]"},
  };
  std::string dir = Dir("many");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    Traced r = RunTraced("debug", [&] {
      astest::Scope scope;
      {
        SizeFailure failure(128 * sizeof(void*), c.nth); // the second buffer of a pointer array
        LoadAndUnload(dir, AS_PRODUCT_ALL);
      }
      EXPECT_EQ(64u, astest_count("asmany", ASTEST_OP_FACTORY_GET));
      EXPECT_EQ(64u, astest_count("asmany", ASTEST_OP_FACTORY_RELEASE));
      for (int i = 0; i < ASTEST_MANY_COUNT; ++i) {
        char name[16];
        snprintf(name, sizeof name, "/lib%02d.mdl", i);
        EXPECT_FALSE(IsMapped(dir + name)) << name;
      }
    });
    EXPECT_EQ(c.message, r.thrown);
    EXPECT_EQ(63u, Count(r.loader, "[Loader] Unload library PTR"));
    // The throw is the last thing before the unload of the recorded ones.
    auto thrown = std::find(r.loader.begin(), r.loader.end(), "EXCEPTION: " + c.message);
    ASSERT_NE(r.loader.end(), thrown);
    EXPECT_EQ("[Loader] Unload library PTR", *(thrown + 1));
    EXPECT_EQ(64, std::count_if(r.loader.begin(), r.loader.end(), [](const std::string& line) {
                return line.find(".mdl - version 2.15.10.1294") != std::string::npos;
              })) << "loading stops at the library that could not be recorded";
  }
}

// Fails the first, second, ... allocation of a whole load and unload, until
// one runs without reaching the failure. Every run must end clean: nothing
// loaded or mapped, no module alive, no block of the hooks' heap in use.
TEST(LoaderRecording, EveryFailedAllocationEndsCleanly) {
  for (const char* scenario : {"full", "duplicates"}) {
    SCOPED_TRACE(scenario);
    std::string dir = Dir(scenario);
    int runs = EveryFailingAllocation([&](int n) {
      astest::Scope scope;
      bool loaded = false, threw = false;
      {
        ScopedAllocFailure failure(n);
        try {
          CCoreLoader loader;
          try {
            loaded = loader.Load(dir.c_str(), AS_PRODUCT_ALL) && loader.IsLoaded();
          } catch (const std::exception&) {
            threw = true;
          }
          loader.CleanUp();
        } catch (const std::bad_alloc&) {
          threw = true; // the loader itself could not be built
        }
      }
      EXPECT_EQ(astest_count(nullptr, ASTEST_OP_CREATE), astest_count(nullptr, ASTEST_OP_DESTROY));
      for (const char* lib : {"/astest_full.mdl", "/a_dup.mdl", "/b_dup.mdl"}) EXPECT_FALSE(IsMapped(dir + lib)) << lib;
      EXPECT_NE(loaded, threw) << "a load either completes or throws";
    });
    EXPECT_GT(runs, 10) << "the load allocates more than a handful of blocks";
  }
}
