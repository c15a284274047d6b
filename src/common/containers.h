// containers.h - the foundation containers: CArray, CMap and CList.
//
// They report allocation failures through status values (-2) and never throw
// for them; only an index out of range (InvalidIndexException, -301) and
// reading an empty list (EmptyListException, -400) throw, without a trace
// line. All memory comes from the _as_new/_as_delete hooks, never from the
// global allocation operators, because a container filled on one side of the
// plug-in boundary is often emptied on the other (bbobject.h): the containers
// and their nodes have hook-routed class operators, and array buffers are hook
// blocks with the elements constructed in place. Plug-ins embed a CMap at a
// fixed place in every module object, so the field order of each class is
// binary contract.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "bbobject.h"
#include "exceptions.h"
#include "hooks.h"
#include "sstring.h"
#include "ustring.h"

namespace ascommon {

enum { AS_CONT_OK = 0, AS_CONT_NOMEM = -2, AS_MAP_ABSENT = -450, AS_MAP_DUPLICATE = -451 };

// ---------------------------------------------------------------------------
// CArray<T, STEP>: growable array. Class element types live in a buffer of
// capacity-many constructed elements; scalars and pointers in raw storage.
// Either way the buffer is one hook block: not new T[], whose operator may be
// the global one, which in a plug-in is not the core's heap.
template <class T, uint64_t STEP = 64>
class CArray : public CBlackBoxObject {
  static constexpr bool kRaw = std::is_trivially_copyable<T>::value && std::is_trivially_destructible<T>::value;

public:
  CArray() : data_(nullptr), count_(0), capacity_(0), step_(STEP) {}
  CArray(const CArray& other) : CArray() { SetAll(other.data_, (size_t)other.count_); }
  CArray& operator=(const CArray& other) {
    if (this != &other) SetAll(other.data_, (size_t)other.count_);
    return *this;
  }
  ~CArray() override { FreeBuffer(data_, capacity_); }

  // Appends a copy. Returns 0, or -2 when the buffer cannot grow (the array is
  // then unchanged). Grows when the array would become exactly full.
  // `value` may be an element of this array: it is copied before the old
  // buffer goes.
  int Add(const T& value) {
    uint64_t n = count_ + 1;
    if (n >= capacity_) {
      uint64_t cap = (n / step_ + 1) * step_;
      T* buf = AllocBuffer(cap);
      if (!buf) return AS_CONT_NOMEM;
      for (uint64_t i = 0; i < count_; ++i) buf[i] = data_[i];
      buf[count_] = value;
      FreeBuffer(data_, capacity_);
      data_ = buf;
      capacity_ = cap;
    } else {
      data_[count_] = value;
    }
    ++count_;
    return AS_CONT_OK;
  }

  T& operator[](uint64_t index) {
    if (index >= count_) throw InvalidIndexException();
    return data_[index];
  }
  const T& operator[](uint64_t index) const {
    if (index >= count_) throw InvalidIndexException();
    return data_[index];
  }
  T& GetAt(uint64_t index) { return (*this)[index]; }
  const T& GetAt(uint64_t index) const { return (*this)[index]; }

  // Replaces the whole content with n elements copied from src: capacity
  // becomes (n / step + 1) * step. Returns 0 or -2 (content then unchanged).
  // src may point into this array's own buffer: the old buffer is freed only
  // after the copy.
  int SetAll(const T* src, size_t n) {
    uint64_t cap = ((uint64_t)n / step_ + 1) * step_;
    T* buf = AllocBuffer(cap);
    if (!buf) return AS_CONT_NOMEM;
    T* old = data_;
    uint64_t old_capacity = capacity_;
    data_ = buf;
    capacity_ = cap;
    count_ = n;
    for (uint64_t i = 0; i < n; ++i) (*this)[i] = src[i];
    FreeBuffer(old, old_capacity);
    return AS_CONT_OK;
  }

  // Drops the last element (its slot is reset to a default value).
  void RemoveLast() {
    if (count_ == 0) return;
    --count_;
    data_[count_] = T();
  }

  // Frees the buffer; the array is empty and holds no memory.
  void RemoveAll() {
    FreeBuffer(data_, capacity_);
    data_ = nullptr;
    count_ = 0;
    capacity_ = 0;
  }

  uint64_t GetCount() const { return count_; }
  uint64_t GetCapacity() const { return capacity_; }
  uint64_t GetStep() const { return step_; }
  T* GetData() { return data_; }
  const T* GetData() const { return data_; }

  T* begin() { return data_; }
  T* end() { return data_ + count_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + count_; }

private:
  friend struct LayoutCheck;
  // Null when the block cannot be had, even from a replaced hook that throws.
  // An element constructor that throws destroys what was made, frees the
  // block and passes the exception on.
  static T* AllocBuffer(uint64_t cap) {
    if (cap > UINT64_MAX / sizeof(T)) return nullptr;
    T* buf = nullptr;
    try {
      buf = static_cast<T*>(_as_new(cap * sizeof(T), false));
    } catch (...) {
      return nullptr;
    }
    if constexpr (!kRaw) {
      if (!buf) return nullptr;
      uint64_t made = 0;
      try {
        for (; made < cap; ++made) ::new (static_cast<void*>(buf + made)) T();
      } catch (...) {
        while (made > 0) buf[--made].~T();
        _as_delete(buf);
        throw;
      }
    }
    return buf;
  }
  // Destroys all cap elements, last to first, then frees the block.
  static void FreeBuffer(T* buf, uint64_t cap) {
    if (!buf) return;
    if constexpr (!kRaw) {
      while (cap > 0) buf[--cap].~T();
    }
    _as_delete(buf);
  }

  T* data_;
  uint64_t count_;
  uint64_t capacity_;
  uint64_t step_;
};

// ---------------------------------------------------------------------------
// Default hashes of CMap keys.
inline uint32_t as_int_hash(uint32_t x) {
  x = x + (x << 12);
  x = x ^ (x >> 22);
  x = x + (x << 4);
  x = x ^ (x >> 9);
  x = x + (x << 10);
  x = x ^ (x >> 2);
  x = x + (x << 7);
  x = x ^ (x >> 12);
  return x;
}

template <class K>
struct CMapDefaultHash;
template <>
struct CMapDefaultHash<unsigned int> {
  static uint32_t Hash(const unsigned int& k) { return as_int_hash(k); }
};
template <>
struct CMapDefaultHash<unsigned long> {
  static uint32_t Hash(const unsigned long& k) { return as_int_hash((uint32_t)k); }
};
template <>
struct CMapDefaultHash<sstring> {
  static uint32_t Hash(const sstring& k) { return k.hash(); }
};
template <>
struct CMapDefaultHash<usstring> {
  static uint32_t Hash(const usstring& k) { return k.hash(); }
};

// Whether a copy made into a container lost its text for want of memory (a
// string copy never throws: it stays null and records the failure).
template <class T>
bool CopyLost(const T&) {
  return false;
}
inline bool CopyLost(const sstring& s) { return s.status() == AS_STR_NOMEM; }
inline bool CopyLost(const usstring& s) { return s.status() == AS_STR_NOMEM; }

// ---------------------------------------------------------------------------
// CMap<K, V>: hash table with chained buckets. Iteration order: buckets from
// 0 upwards, each chain from head to tail.
template <class K, class V>
class CMap : public CBlackBoxObject {
public:
  typedef uint32_t (*HashFn)(const K& key);

  struct Node : CHookAllocated<Node> {
    Node(const K& k, const V& v) : key(k), value(v), next(nullptr) {}
    K key;
    V value;
    Node* next;
  };

  // Allocates both bucket arrays. If the first cannot be had the map is left
  // without buckets (Add/Remove answer -2, Find null); if the second cannot be
  // had the first is freed and std::bad_alloc propagates.
  explicit CMap(uint32_t buckets = 32, HashFn hash = nullptr, bool ordered = false)
      : bucket_count_(buckets), count_(0), heads_(nullptr), tails_(nullptr), ordered_(ordered), hash_(hash) {
    if (bucket_count_ == 0) bucket_count_ = 1;
    heads_ = AllocBuckets(bucket_count_, true);
    if (!heads_) return;
    tails_ = AllocBuckets(bucket_count_, false);
    if (!tails_) {
      _as_delete(heads_);
      heads_ = nullptr;
      throw std::bad_alloc();
    }
  }
  CMap(const CMap&) = delete;
  CMap& operator=(const CMap&) = delete;
  ~CMap() override {
    RemoveAll();
    if (heads_) _as_delete(heads_);
    if (tails_) _as_delete(tails_);
  }

  // 0; -451 if the key is present (nothing changes); -2 without buckets, or
  // when a node or the copy of a string key or value cannot be allocated.
  int Add(const K& key, const V& value) {
    if (!heads_) return AS_CONT_NOMEM;
    uint32_t b = Bucket(key);
    Node* prev = nullptr;
    Node* at = nullptr; // insert before this node (ordered chains)
    for (Node* n = heads_[b]; n; prev = n, n = n->next) {
      if (n->key == key) return AS_MAP_DUPLICATE;
      if (ordered_ && !at && !(n->key < key)) {
        at = n;
        break;
      }
    }
    if (at) {
      // Keep looking for a duplicate further down the chain.
      for (Node* n = at->next; n; n = n->next)
        if (n->key == key) return AS_MAP_DUPLICATE;
    }
    Node* node = new (std::nothrow) Node(key, value);
    if (!node) return AS_CONT_NOMEM;
    if (CopyLost(node->key) || CopyLost(node->value)) {
      // A node whose key lost its text could never be found or removed again.
      delete node;
      return AS_CONT_NOMEM;
    }
    LinkBefore(b, node, at, at ? prev : tails_[b]);
    ++count_;
    return AS_CONT_OK;
  }

  // Files a node the caller made, with its key and value set. It must come
  // from the hooks like the map's own nodes (the map frees it with delete),
  // possibly as the head of a larger block that the caller keeps more in. A
  // node already filed under the key is put out of the chain and handed back
  // in *replaced, the new node taking its place; otherwise the node goes where
  // Add would put it. 0, or -2 without buckets (nothing filed). Never
  // allocates.
  int Link(Node* node, Node** replaced) {
    *replaced = nullptr;
    if (!heads_) return AS_CONT_NOMEM;
    uint32_t b = Bucket(node->key);
    Node* prev = nullptr;
    for (Node* n = heads_[b]; n; prev = n, n = n->next) {
      if (!(n->key == node->key)) continue;
      node->next = n->next;
      if (prev)
        prev->next = node;
      else
        heads_[b] = node;
      if (tails_[b] == n) tails_[b] = node;
      n->next = nullptr;
      *replaced = n;
      return AS_CONT_OK;
    }
    Node* at = nullptr;
    if (ordered_) {
      prev = nullptr;
      for (Node* n = heads_[b]; n; prev = n, n = n->next)
        if (!(n->key < node->key)) {
          at = n;
          break;
        }
    }
    LinkBefore(b, node, at, at ? prev : tails_[b]);
    ++count_;
    return AS_CONT_OK;
  }

  V* Find(const K& key) const {
    Node* n = FindNode(key);
    return n ? &n->value : nullptr;
  }

  // The node filed under key, or null. It stays where it is until its key is
  // removed, whatever values the key is given meanwhile.
  Node* FindNode(const K& key) const {
    if (!heads_) return nullptr;
    for (Node* n = heads_[Bucket(key)]; n; n = n->next)
      if (n->key == key) return n;
    return nullptr;
  }

  // Lookup by a probe that is not a K, so a hot read need not build (and
  // allocate) a key object. `hash` must be what the map's hash function gives
  // for a key equal to the probe; `equal(key)` must agree with K's operator==.
  template <class Eq>
  V* FindHashed(uint32_t hash, Eq equal) const {
    if (!heads_) return nullptr;
    for (Node* n = heads_[Slot(hash)]; n; n = n->next)
      if (equal(n->key)) return &n->value;
    return nullptr;
  }

  // 0; -450 if the key is absent; -2 without buckets.
  int Reassign(const K& key, const V& value) {
    if (!heads_) return AS_CONT_NOMEM;
    Node* n = FindNode(key);
    if (!n) return AS_MAP_ABSENT;
    n->value = value;
    return AS_CONT_OK;
  }

  // 0; -450 if the key is absent; -2 without buckets.
  int Remove(const K& key) {
    if (!heads_) return AS_CONT_NOMEM;
    uint32_t b = Bucket(key);
    Node* prev = nullptr;
    for (Node* n = heads_[b]; n; prev = n, n = n->next) {
      if (!(n->key == key)) continue;
      if (prev)
        prev->next = n->next;
      else
        heads_[b] = n->next;
      if (tails_[b] == n) tails_[b] = prev;
      delete n;
      --count_;
      return AS_CONT_OK;
    }
    return AS_MAP_ABSENT;
  }

  // 0, or -2 when a new bucket array cannot be allocated (map unchanged).
  int Resize(uint32_t buckets) {
    if (buckets == 0) buckets = 1;
    Node** heads = AllocBuckets(buckets, true);
    if (!heads) return AS_CONT_NOMEM;
    Node** tails = AllocBuckets(buckets, false);
    if (!tails) {
      _as_delete(heads);
      return AS_CONT_NOMEM;
    }
    Node** old_heads = heads_;
    Node** old_tails = tails_;
    uint32_t old_count = bucket_count_;
    heads_ = heads;
    tails_ = tails;
    bucket_count_ = buckets;
    for (uint32_t ob = 0; old_heads && ob < old_count; ++ob) {
      Node* n = old_heads[ob];
      while (n) {
        Node* next = n->next;
        n->next = nullptr;
        uint32_t b = Bucket(n->key);
        Node* prev = nullptr;
        Node* at = nullptr;
        if (ordered_) {
          for (Node* m = heads_[b]; m; prev = m, m = m->next)
            if (!(m->key < n->key)) {
              at = m;
              break;
            }
        }
        LinkBefore(b, n, at, at ? prev : tails_[b]);
        n = next;
      }
    }
    _as_delete(old_heads);
    _as_delete(old_tails);
    return AS_CONT_OK;
  }

  // Frees every node; the bucket arrays stay, so the map stays usable.
  void RemoveAll() {
    // An empty map has every chain empty already; every item's black box is
    // emptied and destroyed, mostly without elements, so skip the sweep.
    if (!heads_ || count_ == 0) return;
    for (uint32_t b = 0; b < bucket_count_; ++b) {
      Node* n = heads_[b];
      while (n) {
        Node* next = n->next;
        delete n;
        n = next;
      }
      heads_[b] = nullptr;
      tails_[b] = nullptr;
    }
    count_ = 0;
  }

  uint32_t GetCount() const { return count_; }
  uint32_t GetBucketCount() const { return bucket_count_; }
  bool HasBuckets() const { return heads_ != nullptr; }
  bool IsOrdered() const { return ordered_; }

  class iterator {
  public:
    iterator(const CMap* map, uint32_t bucket, Node* node) : map_(map), bucket_(bucket), node_(node) { Settle(); }
    Node& operator*() const { return *node_; }
    Node* operator->() const { return node_; }
    iterator& operator++() {
      node_ = node_->next;
      if (!node_) {
        ++bucket_;
        Settle();
      }
      return *this;
    }
    bool operator!=(const iterator& o) const { return node_ != o.node_; }
    bool operator==(const iterator& o) const { return node_ == o.node_; }

  private:
    void Settle() {
      while (!node_ && map_->heads_ && bucket_ < map_->bucket_count_) {
        node_ = map_->heads_[bucket_];
        if (!node_) ++bucket_;
      }
    }
    const CMap* map_;
    uint32_t bucket_;
    Node* node_;
  };
  iterator begin() const { return count_ ? iterator(this, 0, nullptr) : end(); }
  iterator end() const { return iterator(this, bucket_count_, endmarker()); }

private:
  friend struct LayoutCheck;
  static Node* endmarker() { return nullptr; }
  static Node** AllocBuckets(uint32_t n, bool) {
    Node** a = static_cast<Node**>(_as_new(sizeof(Node*) * (uint64_t)n, false));
    if (a) std::memset(a, 0, sizeof(Node*) * (size_t)n);
    return a;
  }
  uint32_t Bucket(const K& key) const { return Slot(hash_ ? hash_(key) : CMapDefaultHash<K>::Hash(key)); }
  // hash % bucket count; a mask for the usual power-of-two counts, which
  // gives the same bucket without a division on every lookup.
  uint32_t Slot(uint32_t hash) const {
    uint32_t n = bucket_count_;
    return (n & (n - 1)) == 0 ? hash & (n - 1) : hash % n;
  }
  // Links node into bucket b before `at` (whose predecessor is prev), or at the
  // tail when `at` is null (prev is then the current tail).
  void LinkBefore(uint32_t b, Node* node, Node* at, Node* prev) {
    node->next = at;
    if (prev)
      prev->next = node;
    else
      heads_[b] = node;
    if (!at) tails_[b] = node;
  }

  uint32_t bucket_count_;
  uint32_t count_;
  Node** heads_;
  Node** tails_;
  bool ordered_;
  HashFn hash_;
};

// ---------------------------------------------------------------------------
// CList<T>: singly linked list. Values are not destroyed with the nodes
// beyond their own destructor (pointer values are not owned).
template <class T>
class CList : public CBlackBoxObject {
public:
  struct Node : CHookAllocated<Node> {
    explicit Node(const T& v) : value(v), next(nullptr) {}
    T value;
    Node* next;
  };

  CList() : head_(nullptr), tail_(nullptr), count_(0) {}
  CList(const CList&) = delete;
  CList& operator=(const CList&) = delete;
  ~CList() override { RemoveAll(); }

  // 0, or -2 when the node cannot be allocated.
  int AddTail(const T& value) {
    Node* node = new (std::nothrow) Node(value);
    if (!node) return AS_CONT_NOMEM;
    if (tail_)
      tail_->next = node;
    else
      head_ = node;
    tail_ = node;
    ++count_;
    return AS_CONT_OK;
  }

  void RemoveAll() {
    Node* n = head_;
    while (n) {
      Node* next = n->next;
      delete n;
      n = next;
    }
    head_ = tail_ = nullptr;
    count_ = 0;
  }

  // Walking: node = GetHeadNode(); while (node) { GetValue(node) ...; node = node->next; }
  Node* GetHeadNode() const { return head_; }
  // Reading the current element of an empty list throws EmptyListException.
  T& GetValue(Node* node) const {
    if (count_ == 0 || !node) throw EmptyListException();
    return node->value;
  }
  uint64_t GetCount() const { return count_; }

private:
  friend struct LayoutCheck;
  Node* head_;
  Node* tail_;
  uint64_t count_;
};

} // namespace ascommon

static_assert(sizeof(ascommon::CArray<int, 64>) == 40, "CArray layout");
static_assert(sizeof(ascommon::CMap<unsigned long, void*>) == 48, "CMap layout");
static_assert(sizeof(ascommon::CMap<unsigned long, void*>::Node) == 24, "node: key, value, next");
static_assert(sizeof(ascommon::CMap<ascommon::sstring, void*>::Node) == 80, "node allocators add no bytes");
static_assert(sizeof(ascommon::CList<void*>) == 32, "CList layout");
