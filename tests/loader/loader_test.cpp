// loader_test.cpp - CCoreLoader over the test plug-in directories, with the
// real dlopen: what is loaded, created, refused, released and closed.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "loader_test_util.h"

using loader_test::Dir;
using loader_test::FactoryTags;
using loader_test::IsMapped;
using loader_test::Names;
using Strings = std::vector<std::string>;

namespace {

// Loads and returns the exception text ("" when the load succeeded).
std::string LoadError(CCoreLoader& loader, const std::string& dir, uint64_t mask = AS_PRODUCT_ALL) {
  try {
    loader.Load(dir.c_str(), mask);
  } catch (const InternalLoaderException& e) {
    EXPECT_EQ(-1, e.GetCode()) << "the number after CODE: is message text only";
    return e.what();
  }
  return "";
}

} // namespace

TEST(LoaderLoad, CreatesEveryModuleOfAWellFormedLibraryInFactoryOrder) {
  astest::Scope scope;
  CCoreLoader loader;
  ascommon::CArray<CAModule*, 64>* modules = loader.Load(Dir("full").c_str(), AS_PRODUCT_ALL);
  ASSERT_NE(nullptr, modules);
  EXPECT_TRUE(loader.IsLoaded());
  EXPECT_EQ((Strings{"TestStreamer", "TestDispatcher", "TestFilterA", "TestFilterB", "TestFilterC", "TestSecondName",
                     "TestPerformer", "TestBreaker"}),
            Names(modules));
  std::vector<uint32_t> kinds;
  for (CAModule* m : *modules) kinds.push_back(m->GetKind());
  EXPECT_EQ((std::vector<uint32_t>{5, 3, 1, 1, 1, 1, 4, 2}), kinds);
  EXPECT_EQ(1u, astest_count("astest_full", ASTEST_OP_FACTORY_GET));
  EXPECT_EQ(8u, astest_count(nullptr, ASTEST_OP_CREATE));
}

TEST(LoaderLoad, SecondLoadReturnsTheSameArrayWithoutTouchingLibraries) {
  astest::Scope scope;
  CCoreLoader loader;
  ascommon::CArray<CAModule*, 64>* first = loader.Load(Dir("full").c_str(), AS_PRODUCT_ALL);
  ascommon::CArray<CAModule*, 64>* second = loader.Load(Dir("duplicates").c_str(), AS_PRODUCT_ALL);
  EXPECT_EQ(first, second);
  EXPECT_EQ(8u, second->GetCount());
  EXPECT_EQ((Strings{"astest_full"}), FactoryTags());
}

TEST(LoaderLoad, DuplicateNamesKeepTheFirstLibrarysModule) {
  astest::Scope scope;
  CCoreLoader loader;
  ascommon::CArray<CAModule*, 64>* modules = loader.Load(Dir("duplicates").c_str(), AS_PRODUCT_ALL);
  // a_dup offers DupModule, UniqueA; b_dup offers UniqueB, DupModule, UniqueB.
  EXPECT_EQ((Strings{"DupModule", "UniqueA", "UniqueB"}), Names(modules));
  std::vector<astest_call> created = astest::Calls(ASTEST_OP_CREATE);
  ASSERT_EQ(3u, created.size());
  EXPECT_STREQ("a_dup", created[0].library);
  EXPECT_EQ(1u, (*modules)[0]->GetKind()) << "DupModule must be a_dup's filter, not b_dup's performer";
  EXPECT_STREQ("b_dup", created[2].library);
}

TEST(LoaderLoad, NullCreateModuleSkipsOnlyThatIndex) {
  astest::Scope scope;
  CCoreLoader loader;
  EXPECT_EQ((Strings{"Create0", "Create2"}), Names(loader.Load(Dir("null_create").c_str(), AS_PRODUCT_ALL)));
}

TEST(LoaderLoad, FactoryRefusingAModuleAtRunTimeSkipsIt) {
  astest::Scope scope;
  astest_set_null("TestFilterB", ASTEST_OP_CREATE, ASTEST_ANY);
  CCoreLoader loader;
  Strings names = Names(loader.Load(Dir("full").c_str(), AS_PRODUCT_ALL));
  EXPECT_EQ((Strings{"TestStreamer", "TestDispatcher", "TestFilterA", "TestFilterC", "TestSecondName",
                     "TestPerformer", "TestBreaker"}),
            names);
}

TEST(LoaderLoad, ZeroModulesStillKeepsTheLibraryOpenUntilUnload) {
  astest::Scope scope;
  std::string lib = Dir("zero_modules") + "/aszero.mdl";
  {
    CCoreLoader loader;
    EXPECT_EQ(0u, loader.Load(Dir("zero_modules").c_str(), AS_PRODUCT_ALL)->GetCount());
    EXPECT_TRUE(loader.IsLoaded());
    EXPECT_TRUE(IsMapped(lib));
  }
  EXPECT_FALSE(IsMapped(lib));
  EXPECT_EQ(1u, astest_count("aszero", ASTEST_OP_FACTORY_RELEASE));
}

TEST(LoaderLoad, OnlyMajorAndMinorVersionDecide) {
  astest::Scope scope;
  CCoreLoader loader;
  // a_v1_15, b_v2_14, c_v2_15_0_0, d_v2_16, e_v3_15: only 2.15.0.0 is accepted.
  EXPECT_EQ((Strings{"V2_15_0_0"}), Names(loader.Load(Dir("versions").c_str(), AS_PRODUCT_ALL)));
  EXPECT_EQ((Strings{"c_v2_15_0_0"}), FactoryTags()) << "a refused library's factory is never asked for";
  for (const char* f : {"a_v1_15", "b_v2_14", "d_v2_16", "e_v3_15"})
    EXPECT_FALSE(IsMapped(Dir("versions") + "/" + f + ".mdl")) << f;
  EXPECT_TRUE(IsMapped(Dir("versions") + "/c_v2_15_0_0.mdl"));
}

TEST(LoaderLoad, RefusedLibrariesAreClosedAndLeaveAnEmptyButSuccessfulLoad) {
  struct Case {
    const char* scenario;
    const char* file;
    Strings factories_asked; // GetClassFactory only after the entry points and the version passed
  };
  const Case cases[] = {
      {"version_major", "v3_15.mdl", {}},
      {"version_minor", "v2_14.mdl", {}},
      {"no_entry", "asnoentry.mdl", {}},
      {"null_factory", "asnullcf.mdl", {"asnullcf"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    astest::Scope scope;
    CCoreLoader loader;
    EXPECT_EQ("", LoadError(loader, Dir(c.scenario)));
    EXPECT_TRUE(loader.IsLoaded());
    EXPECT_EQ(0u, loader.Load(Dir(c.scenario).c_str(), AS_PRODUCT_ALL)->GetCount());
    EXPECT_FALSE(IsMapped(Dir(c.scenario) + "/" + c.file));
    EXPECT_EQ(c.factories_asked, FactoryTags());
  }
}

TEST(LoaderLoad, TextFileAndDirectoryNamedMdlAreNotLibraries) {
  astest::Scope scope;
  CCoreLoader loader;
  EXPECT_EQ((Strings{"ValidAfterText"}), Names(loader.Load(Dir("text_mdl").c_str(), AS_PRODUCT_ALL)));
}

TEST(LoaderLoad, ProductMaskSelectsLibraryFiles) {
  struct Case {
    uint64_t mask;
    Strings tags;
  };
  const Strings all = {"aseml1", "ashttp1", "ashttpf", "ashttpph1", "ashttpprl1", "asim1", "other", "send1"};
  const Case cases[] = {
      {1, {"aseml1"}},
      {8, {"asim1"}},
      {16, {"send1"}},
      {2, {"ashttp1", "ashttpph1"}},
      {4, {"ashttp1", "ashttpf", "ashttpprl1"}},
      {6, {"ashttp1", "ashttpf", "ashttpph1", "ashttpprl1"}},
      {3, all},   // bit 1 with others: everything
      {24, all},  // 8 and 16: bit 16 set
      {31, all},
      {0, all},
      {32, all},  // bits outside the five
      {9, all},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mask " << c.mask);
    astest::Scope scope;
    CCoreLoader loader;
    loader.Load(Dir("product").c_str(), c.mask);
    EXPECT_EQ(c.tags, FactoryTags());
  }
}

TEST(LoaderErrors, ExceptionTextsNameTheFailure) {
  struct Case {
    const char* scenario;
    std::string message;
  };
  const Case cases[] = {
      {"empty", "InternalLoaderException - CODE: 3 MESSAGE: Could not build library file list"},
      {"dir_only", "InternalLoaderException - MESSAGE: Could not build library file list (0 files found)"},
      // A directory that cannot be read is a read error, not an empty match.
      {"no_such_directory", "InternalLoaderException - CODE: -600 MESSAGE: Could not build library file list"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.scenario);
    CCoreLoader loader;
    EXPECT_EQ(c.message, LoadError(loader, Dir(c.scenario)));
    EXPECT_FALSE(loader.IsLoaded());
  }
  CCoreLoader loader;
  try {
    loader.Load(nullptr, AS_PRODUCT_ALL);
    ADD_FAILURE() << "null path accepted";
  } catch (const InternalLoaderException& e) {
    EXPECT_STREQ("InternalLoaderException - CODE: -11 MESSAGE: Invalid pointer received as input parameter", e.what());
  }
}

TEST(LoaderErrors, MaskMatchingNothingInAnExistingDirectory) {
  CCoreLoader loader;
  // full/ holds astest_full.mdl only: the mail mask finds nothing there.
  EXPECT_EQ("InternalLoaderException - CODE: 3 MESSAGE: Could not build library file list",
            LoadError(loader, Dir("full"), AS_PRODUCT_EML));
}

TEST(LoaderUnload, ReleasesEveryFactoryThenClosesEveryLibrary) {
  astest::Scope scope;
  CCoreLoader loader;
  loader.Load(Dir("duplicates").c_str(), AS_PRODUCT_ALL);
  EXPECT_EQ(1, astest_alive("DupModule"));
  loader.Unload();
  EXPECT_FALSE(loader.IsLoaded());
  EXPECT_EQ((Strings{"a_dup", "b_dup"}), FactoryTags(ASTEST_OP_FACTORY_RELEASE));
  EXPECT_EQ(0, astest_alive("DupModule"));
  EXPECT_EQ(0, astest_alive("UniqueA"));
  EXPECT_EQ(0, astest_alive("UniqueB"));
  EXPECT_FALSE(IsMapped(Dir("duplicates") + "/a_dup.mdl"));
  EXPECT_FALSE(IsMapped(Dir("duplicates") + "/b_dup.mdl"));
  // Nothing is left to release a second time.
  loader.Unload();
  loader.CleanUp();
  EXPECT_EQ(2u, astest_count(nullptr, ASTEST_OP_FACTORY_RELEASE));
}

TEST(LoaderUnload, ReleaseOrderIsLibraryOrderAndPrecedesEveryClose) {
  astest::Scope scope;
  CCoreLoader loader;
  loader.Load(Dir("duplicates").c_str(), AS_PRODUCT_ALL);
  loader.CleanUp();
  // Modules of both libraries are destroyed by their releases, a_dup's first.
  EXPECT_EQ((Strings{"a_dup:FactoryRelease", "UniqueA:Destroy", "DupModule:Destroy", "b_dup:FactoryRelease",
                     "UniqueB:Destroy"}),
            astest::Trail({ASTEST_OP_FACTORY_RELEASE, ASTEST_OP_DESTROY}))
      << "modules are destroyed last created first, inside their factory's release";
}

TEST(LoaderUnload, LoadAfterCleanUpLoadsAgain) {
  astest::Scope scope;
  CCoreLoader loader;
  loader.Load(Dir("null_create").c_str(), AS_PRODUCT_ALL);
  loader.CleanUp();
  EXPECT_FALSE(loader.IsLoaded());
  EXPECT_EQ((Strings{"ValidAfterText"}), Names(loader.Load(Dir("text_mdl").c_str(), AS_PRODUCT_ALL)));
}

