// CArray, CMap and CList: growth boundaries, index and empty-list exceptions,
// bucket chain order, duplicate/absent results, Resize, allocation failures,
// and element lifetimes counted with an instrumented element type.
#include <gtest/gtest.h>

#include <vector>

#include "alloc_hooks.h"
#include "containers.h"

using namespace ascommon;

namespace {

// Counts live instances and catches destruction of a dead one.
struct Counted {
  static inline int live = 0, bad_destroys = 0;
  int value;
  bool alive = true;
  Counted(int v = 0) : value(v) { ++live; }
  Counted(const Counted& o) : value(o.value) { ++live; }
  Counted& operator=(const Counted& o) = default;
  ~Counted() {
    bad_destroys += !alive;
    alive = false;
    --live;
  }
};

// A failed growth leaves the array as it was; the next Add grows it.
TEST(CArray, GrowsByTheStepWhenItWouldBecomeFull) {
  CArray<int, 64> a;
  CArray<sstring, 64> cls;
  for (int i = 0; i < 63; ++i) a.Add(i), cls.Add(sstring("x"));
  int rc_raw, rc_cls;
  {
    ScopedAllocFailure fail(0, true);
    rc_raw = a.Add(63);
    rc_cls = cls.Add(sstring("y"));
  }
  EXPECT_EQ(rc_raw, -2);
  EXPECT_EQ(rc_cls, -2);
  EXPECT_EQ(cls.GetCount(), 63u);
  EXPECT_EQ(a.GetCount(), 63u);
  EXPECT_EQ(a.GetCapacity(), 64u);
  a.Add(63);
  EXPECT_EQ(a.GetCount(), 64u);
  EXPECT_EQ(a.GetCapacity(), 128u);
  for (int i = 0; i < 64; ++i) ASSERT_EQ(a[i], i);

  std::vector<int> src(130, 7); // SetAll sizes by the step, even from its own buffer
  EXPECT_EQ(a.SetAll(src.data(), src.size()), 0);
  EXPECT_EQ(a.GetCapacity(), 192u);
  EXPECT_EQ(a.SetAll(a.GetData() + 1, 5), 0);
  EXPECT_EQ(a.GetCount(), 5u);
  EXPECT_EQ(a.GetCapacity(), 64u);
  EXPECT_EQ(a[4], 7);
}

TEST(CArray, IndexErrorThrowsMinus301WithoutText) {
  CArray<int, 64> a;
  a.Add(1);
  try {
    (void)a[1];
    FAIL() << "no exception";
  } catch (const InvalidIndexException& e) {
    EXPECT_EQ(e.GetCode(), -301);
    EXPECT_STREQ(e.what(), "unknown exception");
  }
  const CArray<int, 64>& c = a;
  EXPECT_THROW((void)c[UINT64_MAX], ASException);
}

TEST(CArray, ClassElementsLiveForTheWholeCapacity) {
  Counted::live = Counted::bad_destroys = 0;
  {
    CArray<Counted, 64> a;
    for (int i = 0; i < 64; ++i) a.Add(Counted(i));
    EXPECT_EQ(Counted::live, 128); // capacity-many constructed elements
    CArray<Counted, 64> copy(a);
    EXPECT_EQ(copy.GetCapacity(), 128u); // (64 / 64 + 1) * 64
    EXPECT_EQ(copy[63].value, 63);
  }
  EXPECT_EQ(Counted::live, 0);
  EXPECT_EQ(Counted::bad_destroys, 0);

  CArray<sstring, 64> s;
  for (int i = 0; i < 63; ++i) s.Add(sstring("an element long enough for the heap"));
  s.Add(s[0]); // this Add reallocates under its own argument
  EXPECT_STREQ(s[63].c_str(), "an element long enough for the heap");
}

uint32_t SameBucket(const unsigned int&) { return 0; }
uint32_t Identity(const unsigned int& k) { return k; }

std::vector<unsigned> Keys(const CMap<unsigned int, int>& m) {
  std::vector<unsigned> keys;
  for (auto& node : m) keys.push_back(node.key);
  return keys;
}

TEST(CMap, CollisionsKeepInsertionOrderOrSortWhenOrdered) {
  CMap<unsigned int, int> plain(8, SameBucket), ordered(8, SameBucket, true);
  for (unsigned k : {5u, 1u, 3u, 9u, 4u}) plain.Add(k, 0), ordered.Add(k, 0);
  EXPECT_EQ(Keys(ordered), (std::vector<unsigned>{1, 3, 4, 5, 9}));
  // Removing the tail must leave a tail that further appends follow.
  EXPECT_EQ(plain.Remove(4), 0);
  EXPECT_EQ(plain.Add(7, 70), 0);
  EXPECT_EQ(plain.Remove(5), 0);
  EXPECT_EQ(Keys(plain), (std::vector<unsigned>{1, 3, 9, 7}));
}

TEST(CMap, DuplicateAndAbsentResults) {
  CMap<unsigned int, int> m(64);
  EXPECT_EQ(m.Add(1, 10), 0);
  EXPECT_EQ(m.Add(1, 11), -451);
  EXPECT_EQ(*m.Find(1), 10);
  EXPECT_EQ(m.Reassign(1, 12), 0);
  EXPECT_EQ(*m.Find(1), 12);
  EXPECT_EQ(m.Reassign(2, 1), -450);
  EXPECT_EQ(m.Remove(2), -450);
  EXPECT_EQ(m.Find(2), nullptr);
  EXPECT_EQ(m.Remove(1), 0);
  EXPECT_EQ(m.GetCount(), 0u);

  CMap<sstring, int> s(16); // two null strings are not equal
  EXPECT_EQ(s.Add(sstring(), 1), 0);
  EXPECT_EQ(s.Add(sstring(), 2), 0);
  EXPECT_EQ(s.Find(sstring()), nullptr);
  EXPECT_EQ(s.GetCount(), 2u);
}

TEST(CMap, ResizeMovesBucketByBucketInChainOrder) {
  CMap<unsigned int, int> m(4, Identity);
  for (unsigned k = 0; k < 10; ++k) m.Add(k, (int)k);
  EXPECT_EQ(m.Resize(3), 0);
  EXPECT_EQ(m.GetBucketCount(), 3u);
  // Old buckets 0..3 hold {0,4,8} {1,5,9} {2,6} {3,7}; each node is appended
  // to bucket k % 3 in that visiting order.
  EXPECT_EQ(Keys(m), (std::vector<unsigned>{0, 9, 6, 3, 4, 1, 7, 8, 5, 2}));
  for (unsigned k = 0; k < 10; ++k) ASSERT_NE(m.Find(k), nullptr);
  int rc;
  {
    ScopedAllocFailure fail(1); // the second bucket array
    rc = m.Resize(16);
  }
  EXPECT_EQ(rc, -2);
  EXPECT_EQ(m.GetBucketCount(), 3u);
  EXPECT_EQ(m.GetCount(), 10u);
}

TEST(CMap, NodesDestroyTheirCopiesOnce) {
  Counted::live = Counted::bad_destroys = 0;
  {
    CMap<unsigned int, Counted> m(4);
    for (unsigned k = 0; k < 20; ++k) m.Add(k, Counted((int)k));
    m.Remove(3);
    m.Reassign(4, Counted(44));
    EXPECT_EQ(m.Find(4)->value, 44);
    EXPECT_EQ(Counted::live, 19);
  }
  EXPECT_EQ(Counted::live, 0);
  EXPECT_EQ(Counted::bad_destroys, 0);
}

TEST(CMap, AllocationFailures) {
  {
    ScopedAllocFailure fail(0); // first bucket array: a map without buckets
    CMap<unsigned int, int> m(8);
    EXPECT_FALSE(m.HasBuckets());
    EXPECT_EQ(m.Add(1, 1), -2);
    EXPECT_EQ(m.Remove(1), -2);
    EXPECT_EQ(m.Reassign(1, 1), -2);
    EXPECT_EQ(m.Find(1), nullptr);
  }
  int held;
  {
    ScopedAllocCounter counter;
    ScopedAllocFailure fail(1); // second bucket array: bad_alloc, nothing kept
    EXPECT_THROW((CMap<unsigned int, int>(8)), std::bad_alloc);
    held = ScopedAllocCounter::held();
  }
  EXPECT_EQ(held, 0);
  CMap<unsigned int, int> m(8);
  int rc;
  {
    ScopedAllocFailure fail(0);
    rc = m.Add(1, 1);
  }
  EXPECT_EQ(rc, -2);
  EXPECT_EQ(m.GetCount(), 0u);
}

TEST(CList, AppendsInOrderAndRefusesToReadWhenEmpty) {
  CList<int> l;
  try {
    l.GetValue(l.GetHeadNode());
    FAIL() << "no exception";
  } catch (const EmptyListException& e) {
    EXPECT_EQ(e.GetCode(), -400);
  }
  for (int v : {3, 1, 2}) EXPECT_EQ(l.AddTail(v), 0);
  int rc;
  {
    ScopedAllocFailure fail(0);
    rc = l.AddTail(4);
  }
  EXPECT_EQ(rc, -2);
  std::vector<int> seen;
  for (auto* n = l.GetHeadNode(); n; n = n->next) seen.push_back(l.GetValue(n));
  EXPECT_EQ(seen, (std::vector<int>{3, 1, 2}));
  EXPECT_EQ(l.GetCount(), 3u);
}

// Core and plug-ins each compile the map's default hashes into their own
// code and then walk the same session maps: the values are contract, so they
// are pinned here as literals worked out independently.
TEST(CMap, DefaultHashesHaveFixedValues) {
  const struct {
    unsigned long key;
    uint32_t hash;
  } ints[] = {
      {0, 0x0}, {1, 0xaf227bb7}, {2, 0x5e54f76f}, {1000, 0x0c162ca5}, {0xdeadbeef, 0x688cd63e},
      {0x100000001ul, 0xaf227bb7}, // only the low 32 bits take part
  };
  for (const auto& row : ints) {
    SCOPED_TRACE(row.key);
    EXPECT_EQ(row.hash, CMapDefaultHash<unsigned long>::Hash(row.key));
    EXPECT_EQ(row.hash, CMapDefaultHash<unsigned int>::Hash((unsigned int)row.key));
  }
  EXPECT_EQ(0x0b873285u, sstring("abc").hash());
  EXPECT_EQ(0xfffd4a4cu, sstring("\xE9").hash()); // bytes above 0x7F are sign-extended
  EXPECT_EQ(0x5250a1b1u, sstring("/eml/global/SharedDataPath").hash());
  EXPECT_EQ(0u, sstring("").hash());
  EXPECT_EQ(0u, sstring().hash());
  const wchar_t wide[] = {0x41, 0xE9, 0x10FFFF, 0};
  EXPECT_EQ(0x0b973bd2u, usstring(wide).hash());
}

} // namespace
