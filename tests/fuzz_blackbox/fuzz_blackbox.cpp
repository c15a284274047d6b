// fuzz_blackbox.cpp - random sequences of set/get/clone/empty/release on a few
// boxes through the exported functions, checked against a plain model of what
// each key should hold.
//
//   bin/fuzz_blackbox -max_total_time=60
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "ascore/ascore.h"

namespace {

class Reader {
public:
  Reader(const uint8_t* data, size_t size) : p_(data), end_(data + size) {}
  bool more() const { return p_ < end_; }
  uint8_t byte() { return p_ < end_ ? *p_++ : 0; }
  // Raw bytes for values (zero-filled past the end of the input).
  void fill(void* out, size_t n) {
    uint8_t* o = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < n; ++i) o[i] = byte();
  }
  std::string text() {
    size_t n = byte() % 40;
    std::string s;
    for (size_t i = 0; i < n; ++i) {
      char c = (char)byte();
      s.push_back(c ? c : 'z'); // the box measures texts with strlen
    }
    return s;
  }
  std::wstring wtext() {
    size_t n = byte() % 12;
    std::wstring s;
    for (size_t i = 0; i < n; ++i) {
      uint32_t u = 0;
      fill(&u, 3);
      s.push_back((wchar_t)(u % 0x10FFFF ? u % 0x10FFFF : 1));
    }
    return s;
  }

private:
  const uint8_t* p_;
  const uint8_t* end_;
};

// What a key holds, as far as the model tracks it.
struct Value {
  uint32_t type = 0;
  std::vector<uint8_t> raw;       // scalars and scalar arrays, element bytes
  std::vector<std::string> texts; // narrow texts (types 5, 8, 14, 17)
  std::vector<std::wstring> wtexts;
};
using Model = std::map<uint32_t, Value>;

size_t ElementSize(uint32_t type) {
  switch (type) {
  case BB_TYPE_BYTE_ARRAY: return 1;
  case BB_TYPE_INT_ARRAY: return sizeof(int);
  case BB_TYPE_LONG_ARRAY: return sizeof(long);
  case BB_TYPE_ULONG_ARRAY: return sizeof(unsigned long);
  case BB_TYPE_DOUBLE_ARRAY: return sizeof(double);
  case BB_TYPE_HANDLE_ARRAY: return sizeof(void*);
  default: return 0;
  }
}

void Fail(const char* what) {
  fprintf(stderr, "fuzz_blackbox: %s\n", what);
  abort();
}

// Sets a random value of a random type (18 and 19 are invalid on purpose).
void DoSet(Reader& in, as_blackbox_t* bb, Model& model) {
  uint32_t key = in.byte() % 8;
  uint32_t type = in.byte() % 20;
  Value v;
  v.type = type;
  int rc;
  switch (type) {
  case BB_TYPE_BOOL:
  case BB_TYPE_INT: {
    int x;
    in.fill(&x, sizeof x);
    rc = as_blackbox_set(bb, key, type, x);
    if (type == BB_TYPE_BOOL) x = x != 0;
    v.raw.assign((uint8_t*)&x, (uint8_t*)&x + (type == BB_TYPE_BOOL ? 1 : 4));
    break;
  }
  case BB_TYPE_LONG:
  case BB_TYPE_ULONG:
  case BB_TYPE_POINTER: {
    int64_t x;
    in.fill(&x, sizeof x);
    rc = type == BB_TYPE_POINTER ? as_blackbox_set(bb, key, type, (void*)(intptr_t)x) : as_blackbox_set(bb, key, type, x);
    v.raw.assign((uint8_t*)&x, (uint8_t*)&x + 8);
    break;
  }
  case BB_TYPE_DOUBLE: {
    double x;
    in.fill(&x, sizeof x);
    rc = as_blackbox_set(bb, key, type, x);
    v.raw.assign((uint8_t*)&x, (uint8_t*)&x + 8);
    break;
  }
  case BB_TYPE_STRING:
  case BB_TYPE_UTF8: {
    std::string s = in.text();
    bool null = in.byte() % 8 == 0;
    rc = as_blackbox_set(bb, key, type, null ? nullptr : s.c_str());
    if (!null) v.texts.push_back(s);
    break;
  }
  case BB_TYPE_WSTRING: {
    std::wstring s = in.wtext();
    rc = as_blackbox_set(bb, key, type, s.c_str());
    v.wtexts.push_back(s);
    break;
  }
  case BB_TYPE_STRING_ARRAY:
  case BB_TYPE_UTF8_ARRAY: {
    size_t n = in.byte() % 70;
    for (size_t i = 0; i < n; ++i) v.texts.push_back(in.text());
    std::vector<const char*> ptrs;
    for (auto& t : v.texts) ptrs.push_back(t.c_str());
    rc = as_blackbox_set(bb, key, type, ptrs.empty() ? (const char**)&n : ptrs.data(), n);
    break;
  }
  case BB_TYPE_WSTRING_ARRAY: {
    size_t n = in.byte() % 10;
    for (size_t i = 0; i < n; ++i) v.wtexts.push_back(in.wtext());
    std::vector<const wchar_t*> ptrs;
    for (auto& t : v.wtexts) ptrs.push_back(t.c_str());
    rc = as_blackbox_set(bb, key, type, ptrs.empty() ? (const wchar_t**)&n : ptrs.data(), n);
    break;
  }
  default: {
    size_t size = ElementSize(type);
    size_t n = size ? in.byte() % 140 : 0;
    v.raw.resize(n * size + 1);
    in.fill(v.raw.data(), n * size);
    v.raw.resize(n * size);
    bool null = in.byte() % 16 == 0;
    rc = as_blackbox_set(bb, key, type, null ? nullptr : (const void*)v.raw.data(), n);
    if (type > BB_TYPE_UTF8_ARRAY) {
      if (rc != AS_ERR_INVALID_INPUT) Fail("type above 17 accepted");
      return;
    }
    if (null) {
      if (rc != AS_ERR_INVALID_POINTER) Fail("null array accepted");
      return;
    }
    break;
  }
  }
  if (rc != 0) Fail("set failed");
  model[key] = v;
}

// Reads key as its modelled type and compares.
void Check(as_blackbox_t* bb, uint32_t key, const Value& v) {
  uint32_t type = v.type;
  switch (type) {
  case BB_TYPE_BOOL:
  case BB_TYPE_INT:
  case BB_TYPE_LONG:
  case BB_TYPE_ULONG:
  case BB_TYPE_DOUBLE: {
    uint8_t out[8] = {0};
    void* r = type == BB_TYPE_DOUBLE ? as_blackbox_get(bb, key, type, out, 0.0)
              : type >= BB_TYPE_LONG ? as_blackbox_get(bb, key, type, out, (int64_t)0)
                                     : as_blackbox_get(bb, key, type, out, 0);
    if (r != out || memcmp(out, v.raw.data(), v.raw.size()) != 0) Fail("scalar differs");
    break;
  }
  case BB_TYPE_POINTER: {
    void* p;
    memcpy(&p, v.raw.data(), sizeof p);
    if (as_blackbox_get(bb, key, type) != p) Fail("pointer differs");
    break;
  }
  case BB_TYPE_STRING:
  case BB_TYPE_UTF8: {
    const char* s = "x";
    const char* r = (const char*)as_blackbox_get(bb, key, type, &s);
    if (r != s) Fail("text result and out differ");
    if (v.texts.empty() ? r != nullptr : (!r || v.texts[0] != r)) Fail("text differs");
    if (type == BB_TYPE_UTF8 && !v.texts.empty()) {
      const wchar_t* w = nullptr;
      if (!as_blackbox_get(bb, key, BB_TYPE_WSTRING, &w) || !w) Fail("UTF-8 without wide copy");
    }
    break;
  }
  case BB_TYPE_WSTRING: {
    const wchar_t* w = nullptr;
    if (!as_blackbox_get(bb, key, type, &w) || !w || v.wtexts[0] != w) Fail("wide text differs");
    break;
  }
  case BB_TYPE_STRING_ARRAY:
  case BB_TYPE_UTF8_ARRAY:
  case BB_TYPE_WSTRING_ARRAY: {
    size_t n = 0;
    if (as_blackbox_get(bb, key, type, nullptr, &n) != &n) Fail("array count missing");
    size_t want = type == BB_TYPE_WSTRING_ARRAY ? v.wtexts.size() : v.texts.size();
    if (n != want) Fail("array count differs");
    std::vector<const void*> out(n + 1, nullptr);
    size_t m = n + 1;
    if (as_blackbox_get(bb, key, type, out.data(), &m) != out.data() || m != n) Fail("array read");
    for (size_t i = 0; i < n; ++i) {
      if (type == BB_TYPE_WSTRING_ARRAY ? v.wtexts[i] != (const wchar_t*)out[i] : v.texts[i] != (const char*)out[i])
        Fail("array text differs");
    }
    if (out[n] != nullptr) Fail("array read past count");
    if (type == BB_TYPE_UTF8_ARRAY) {
      m = n;
      if (as_blackbox_get(bb, key, BB_TYPE_WSTRING_ARRAY, out.data(), &m) != out.data() || m != n)
        Fail("UTF-8 array without wide half");
    }
    break;
  }
  default: {
    size_t size = ElementSize(type);
    size_t n = 0;
    if (as_blackbox_get(bb, key, type, nullptr, &n) != &n || n * size != v.raw.size()) Fail("array count differs");
    size_t half = n / 2;
    std::vector<uint8_t> out(n * size + 1, 0xA5);
    if (as_blackbox_get(bb, key, type, out.data(), &half) != out.data() || half != n / 2) Fail("partial read");
    if (half && memcmp(out.data(), v.raw.data(), half * size) != 0) Fail("array differs");
    if (out[half * size] != 0xA5) Fail("partial read wrote too much");
    break;
  }
  }
}

void CheckAll(as_blackbox_t* bb, const Model& model) {
  for (uint32_t key = 0; key < 8; ++key) {
    auto it = model.find(key);
    if (it != model.end()) {
      Check(bb, key, it->second);
      continue;
    }
    int out = 5;
    if (as_blackbox_get(bb, key, BB_TYPE_INT, &out, 9) != &out || out != 9) Fail("absent key not absent");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in(data, size);
  as_blackbox_t* boxes[3];
  Model models[3];
  for (auto& b : boxes) {
    b = as_blackbox_create();
    if (!b) Fail("create");
  }
  while (in.more()) {
    uint8_t op = in.byte();
    size_t i = op % 3;
    switch ((op / 3) % 6) {
    case 0:
    case 1: DoSet(in, boxes[i], models[i]); break;
    case 2: CheckAll(boxes[i], models[i]); break;
    case 3: { // clone box i over box j; pointer elements do not travel
      size_t j = in.byte() % 3;
      as_blackbox_t* copy = as_blackbox_clone(boxes[i]);
      if (!copy) Fail("clone");
      Model m = models[i];
      for (auto it = m.begin(); it != m.end();)
        it = it->second.type == BB_TYPE_POINTER ? m.erase(it) : std::next(it);
      as_blackbox_release(boxes[j]);
      boxes[j] = copy;
      models[j] = m;
      break;
    }
    case 4:
      if (as_blackbox_empty(boxes[i]) != 0) Fail("empty");
      models[i].clear();
      break;
    case 5: { // a read of a random type must never crash, whatever is stored
      uint32_t key = in.byte() % 8, type = in.byte() % 20;
      uint64_t buf[80] = {0};
      size_t n = in.byte() % 80;
      void* out = in.byte() % 2 ? buf : nullptr;
      if (type == BB_TYPE_BOOL || type == BB_TYPE_INT)
        as_blackbox_get(boxes[i], key, type, out, 1);
      else if (type == BB_TYPE_LONG || type == BB_TYPE_ULONG)
        as_blackbox_get(boxes[i], key, type, out, (int64_t)1);
      else if (type == BB_TYPE_DOUBLE)
        as_blackbox_get(boxes[i], key, type, out, 1.0);
      else if (type == BB_TYPE_POINTER || type > BB_TYPE_UTF8_ARRAY)
        as_blackbox_get(boxes[i], key, type);
      else if (type < BB_TYPE_BYTE_ARRAY)
        as_blackbox_get(boxes[i], key, type, out);
      else
        as_blackbox_get(boxes[i], key, type, out, &n);
      break;
    }
    }
  }
  for (size_t i = 0; i < 3; ++i) {
    CheckAll(boxes[i], models[i]);
    as_blackbox_release(boxes[i]);
  }
  return 0;
}
