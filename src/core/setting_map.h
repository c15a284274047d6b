// setting_map.h - SettingMap, the settings store's map from key path to
// value: a CMap, which decides everything an iteration sees (copies between
// stores, their trace lines), plus an index that finds a key without the
// map's string hash.
//
// The string hash takes the key one byte at a time, each step waiting for the
// one before; on a setting read it cost more than the rest of the read
// together. The index files every node under a hash that takes the key eight
// bytes at a time, in an open-addressed table of node pointers. The store only
// ever adds keys or gives them new values in place, never removes one (a
// session's maps go as a whole), so a node once filed stays where it is for
// the life of the map; Remove and Link are hidden for that reason.
//
// The index is a help, never a condition: when it cannot grow for want of
// memory it is dropped, the add still succeeds, and reads go through the map's
// own hash until a later add manages to build the index again.
//
// No lock of its own: the store's callers serialise writes against reads.
#pragma once

#include <cstdint>
#include <cstring>

#include "containers.h"
#include "hooks.h"
#include "sstring.h"

template <class V>
class SettingMap : public ascommon::CMap<ascommon::sstring, V> {
  using Base = ascommon::CMap<ascommon::sstring, V>;

public:
  using Node = typename Base::Node;

  explicit SettingMap(uint32_t buckets) : Base(buckets) {}
  ~SettingMap() override { DropIndex(); }

  // The index's hash of a key of n bytes.
  static uint64_t Mix(const char* text, size_t n) {
    const uint64_t k = 0x9E3779B97F4A7C15ull;
    uint64_t h = (uint64_t)n * k;
    const char* end = text + n;
    if (n >= 8) {
      for (; end - text > 8; text += 8) h = Round(h, Load<uint64_t>(text));
      h = Round(h, Load<uint64_t>(end - 8)); // the last 8 bytes, overlapping
    } else if (n >= 4) {
      h = Round(h, Load<uint32_t>(text) | (uint64_t)Load<uint32_t>(end - 4) << 32);
    } else if (n > 0) {
      h = Round(h, (uint8_t)text[0] | (uint64_t)(uint8_t)text[n / 2] << 8 | (uint64_t)(uint8_t)end[-1] << 16);
    }
    h ^= h >> 32;
    h *= k;
    return h ^ (h >> 29);
  }

  // As CMap::Add; a new node is filed in the index as well.
  int Add(const ascommon::sstring& key, const V& value) {
    int r = Base::Add(key, value);
    if (r == ascommon::AS_CONT_OK) File(Base::FindNode(key));
    return r;
  }
  int Remove(const ascommon::sstring& key) = delete;
  int Link(Node* node, Node** replaced) = delete;

  // Whether reads may use FindIndexed; otherwise the map's own lookup.
  bool Indexed() const { return slots_ != nullptr; }

  // The value under the key of n bytes whose Mix is mix, or null.
  V* FindIndexed(const char* key, size_t n, uint64_t mix) const {
    for (uint32_t i = (uint32_t)mix & (capacity_ - 1);; i = (i + 1) & (capacity_ - 1)) {
      const Slot& s = slots_[i];
      if (!s.node) return nullptr;
      const ascommon::sstring& stored = s.node->key;
      if (s.mix == mix && stored.length() == n && !stored.is_null() && std::memcmp(stored.c_str(), key, n) == 0)
        return &s.node->value;
    }
  }

private:
  struct Slot {
    uint64_t mix;
    Node* node; // null: free
  };

  template <class T>
  static T Load(const char* at) {
    T w;
    std::memcpy(&w, at, sizeof w);
    return w;
  }

  static uint64_t Round(uint64_t h, uint64_t w) {
    h ^= w;
    h = (h << 31) | (h >> 33);
    return h * 0xC2B2AE3D27D4EB4Full;
  }

  // Files a node just added: in the index when there is one with room (grown
  // if need be), else by building the index anew from the whole map.
  void File(Node* node) {
    if (!node) return;
    if (!slots_ || (filed_ + 1) * 2 > capacity_) {
      Build();
      return;
    }
    Put(node);
  }

  void Put(Node* node) {
    uint64_t mix = Mix(node->key.c_str(), node->key.length());
    uint32_t i = (uint32_t)mix & (capacity_ - 1);
    while (slots_[i].node) i = (i + 1) & (capacity_ - 1);
    slots_[i] = Slot{mix, node};
    ++filed_;
  }

  // An index of every node, at most half full; the map is left without one
  // when the table cannot be had.
  void Build() {
    DropIndex();
    uint32_t capacity = 16;
    while (capacity < 2 * (uint64_t)Base::GetCount() + 2) capacity *= 2;
    void* block = nullptr;
    try {
      block = _as_new(sizeof(Slot) * (uint64_t)capacity, false);
    } catch (...) {
      block = nullptr; // a replaced hook that throws anyway
    }
    if (!block) return;
    std::memset(block, 0, sizeof(Slot) * (size_t)capacity);
    slots_ = static_cast<Slot*>(block);
    capacity_ = capacity;
    for (auto& node : *this)
      if (!node.key.is_null()) Put(&node);
  }

  void DropIndex() {
    if (slots_) _as_delete(slots_);
    slots_ = nullptr;
    capacity_ = 0;
    filed_ = 0;
  }

  Slot* slots_ = nullptr;
  uint32_t capacity_ = 0; // a power of two when there is an index
  uint32_t filed_ = 0;
};
