// fuzz_blackbox.cpp - random sequences of set/get/clone/empty/release on a few
// boxes through the exported functions, checked against a plain model of what
// each key should hold. Wide texts are left to the unit tests; UTF-8 values
// are checked to carry a wide view.
//
//   bin/fuzz_blackbox -max_total_time=60
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "ascore/ascore.h"

namespace {

struct Reader {
  const uint8_t *p, *end;
  uint8_t byte() { return p < end ? *p++ : 0; }
  void fill(void* out, size_t n) {
    for (size_t i = 0; i < n; ++i) static_cast<uint8_t*>(out)[i] = byte();
  }
  std::string text() { // no NULs: the box measures texts with strlen
    std::string s(byte() % 40, 'z');
    for (char& c : s) c = (char)(byte() | 1);
    return s;
  }
};

struct Value {
  uint32_t type;
  std::string raw;                // scalars and scalar arrays, element bytes
  std::vector<std::string> texts; // texts and text arrays (empty for a null text)
};
using Model = std::map<uint32_t, Value>;

void Fail(const char* what) {
  fprintf(stderr, "fuzz_blackbox: %s\n", what);
  abort();
}

// Bytes per value or element; 0 for texts.
size_t Width(uint32_t t) {
  switch (t) {
  case BB_TYPE_BOOL: case BB_TYPE_BYTE_ARRAY: return 1;
  case BB_TYPE_INT: case BB_TYPE_INT_ARRAY: return 4;
  case BB_TYPE_STRING: case BB_TYPE_UTF8: case BB_TYPE_STRING_ARRAY: case BB_TYPE_UTF8_ARRAY: return 0;
  default: return 8;
  }
}
bool IsArray(uint32_t t) { return t >= BB_TYPE_BYTE_ARRAY; }
bool IsText(uint32_t t) { return Width(t) == 0; }

// 18 is an invalid type, on purpose.
const uint32_t kTypes[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11, 12, 13, 14, 16, 17, 18};

void DoSet(Reader& in, as_blackbox_t* bb, Model& model) {
  uint32_t key = in.byte() % 8, type = kTypes[in.byte() % (sizeof kTypes / sizeof *kTypes)];
  Value v{type, "", {}};
  int rc;
  if (type > BB_TYPE_UTF8_ARRAY) {
    if (as_blackbox_set(bb, key, type, 0) != AS_ERR_INVALID_INPUT) Fail("invalid type accepted");
    return;
  } else if (IsText(type) && !IsArray(type)) {
    std::string s = in.text();
    bool null = in.byte() % 8 == 0;
    rc = as_blackbox_set(bb, key, type, null ? nullptr : s.c_str());
    if (!null) v.texts.push_back(s);
  } else if (IsText(type)) {
    size_t n = in.byte() % 70;
    std::vector<const char*> ptrs;
    for (size_t i = 0; i < n; ++i) v.texts.push_back(in.text());
    for (auto& t : v.texts) ptrs.push_back(t.c_str());
    rc = as_blackbox_set(bb, key, type, n ? ptrs.data() : (const char**)&n, n);
  } else if (IsArray(type)) {
    size_t n = in.byte() % 140;
    v.raw.resize(n * Width(type));
    in.fill(&v.raw[0], v.raw.size());
    bool null = in.byte() % 16 == 0;
    rc = as_blackbox_set(bb, key, type, null ? nullptr : v.raw.data(), n);
    if (null) {
      if (rc != AS_ERR_INVALID_POINTER) Fail("null array accepted");
      return;
    }
  } else {
    uint64_t x;
    in.fill(&x, 8);
    double d;
    memcpy(&d, &x, 8);
    int i = (int)x;
    rc = type == BB_TYPE_DOUBLE ? as_blackbox_set(bb, key, type, d)
         : type == BB_TYPE_POINTER ? as_blackbox_set(bb, key, type, (void*)x)
         : type <= BB_TYPE_INT ? as_blackbox_set(bb, key, type, i)
                               : as_blackbox_set(bb, key, type, x);
    if (type == BB_TYPE_BOOL) x = i != 0; // stored as 1 for any non-zero value
    v.raw.assign((const char*)&x, Width(type));
  }
  if (rc != 0) Fail("set failed");
  model[key] = v;
}

void Check(as_blackbox_t* bb, uint32_t key, const Value& v) {
  const uint32_t type = v.type;
  if (type == BB_TYPE_POINTER) {
    void* p;
    memcpy(&p, v.raw.data(), sizeof p);
    if (as_blackbox_get(bb, key, type) != p) Fail("pointer differs");
  } else if (!IsArray(type) && !IsText(type)) {
    uint8_t out[8] = {0};
    void* r = type == BB_TYPE_DOUBLE ? as_blackbox_get(bb, key, type, out, 0.0)
              : type >= BB_TYPE_LONG ? as_blackbox_get(bb, key, type, out, (int64_t)0)
                                     : as_blackbox_get(bb, key, type, out, 0);
    if (r != out || memcmp(out, v.raw.data(), v.raw.size()) != 0) Fail("scalar differs");
  } else if (!IsArray(type)) {
    const char* s = "x";
    const char* r = (const char*)as_blackbox_get(bb, key, type, &s);
    if (r != s) Fail("text result and out differ");
    if (v.texts.empty() ? r != nullptr : (!r || v.texts[0] != r)) Fail("text differs");
    const wchar_t* w = nullptr;
    if (type == BB_TYPE_UTF8 && r && !as_blackbox_get(bb, key, BB_TYPE_WSTRING, &w)) Fail("UTF-8 without wide copy");
  } else {
    const size_t size = Width(type);
    size_t n = 0;
    if (as_blackbox_get(bb, key, type, nullptr, &n) != &n) Fail("array count missing");
    if (size ? n * size != v.raw.size() : n != v.texts.size()) Fail("array count differs");
    size_t half = n / 2;
    std::vector<const char*> out(n + 1, nullptr); // room for any element width
    std::vector<uint8_t> bytes(n * 8 + 1, 0xA5);
    void* buf = size ? (void*)bytes.data() : (void*)out.data();
    if (as_blackbox_get(bb, key, type, buf, &half) != buf || half != n / 2) Fail("partial read");
    if (size && (memcmp(bytes.data(), v.raw.data(), half * size) != 0 || bytes[half * size] != 0xA5))
      Fail("array differs or read past its count");
    for (size_t i = 0; !size && i <= half; ++i)
      if (i == half ? out[i] != nullptr : v.texts[i] != out[i]) Fail("text array differs or read past its count");
    size_t m = n;
    if (type == BB_TYPE_UTF8_ARRAY && (!as_blackbox_get(bb, key, BB_TYPE_WSTRING_ARRAY, out.data(), &m) || m != n))
      Fail("UTF-8 array without wide half");
  }
}

void CheckAll(as_blackbox_t* bb, const Model& model) {
  for (uint32_t key = 0; key < 8; ++key) {
    auto it = model.find(key);
    int out = 5;
    if (it != model.end())
      Check(bb, key, it->second);
    else if (as_blackbox_get(bb, key, BB_TYPE_INT, &out, 9) != &out || out != 9)
      Fail("absent key not absent");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Reader in{data, data + size};
  as_blackbox_t* boxes[3];
  Model models[3];
  for (auto& b : boxes)
    if (!(b = as_blackbox_create())) Fail("create");
  while (in.p < in.end) {
    uint8_t op = in.byte();
    size_t i = op % 3;
    switch ((op / 3) % 6) {
    case 0: case 1: DoSet(in, boxes[i], models[i]); break;
    case 2: CheckAll(boxes[i], models[i]); break;
    case 3: { // clone box i over box j; pointer elements do not travel
      size_t j = in.byte() % 3;
      as_blackbox_t* copy = as_blackbox_clone(boxes[i]);
      if (!copy) Fail("clone");
      Model m = models[i];
      for (auto it = m.begin(); it != m.end();) it = it->second.type == BB_TYPE_POINTER ? m.erase(it) : ++it;
      as_blackbox_release(boxes[j]);
      boxes[j] = copy;
      models[j] = m;
      break;
    }
    case 4:
      if (as_blackbox_empty(boxes[i]) != 0) Fail("empty");
      models[i].clear();
      break;
    case 5: { // a read of any type and buffer must never crash, whatever is stored
      uint32_t key = in.byte() % 8, type = in.byte() % 20;
      uint64_t buf[80] = {0};
      size_t n = in.byte() % 80;
      void* out = in.byte() % 2 ? buf : nullptr;
      if (type > BB_TYPE_UTF8_ARRAY || type == BB_TYPE_POINTER) as_blackbox_get(boxes[i], key, type);
      else if (type == BB_TYPE_DOUBLE) as_blackbox_get(boxes[i], key, type, out, 1.0);
      else if (type <= BB_TYPE_INT) as_blackbox_get(boxes[i], key, type, out, 1);
      else if (type < BB_TYPE_DOUBLE) as_blackbox_get(boxes[i], key, type, out, (int64_t)1);
      else if (type < BB_TYPE_BYTE_ARRAY) as_blackbox_get(boxes[i], key, type, out);
      else as_blackbox_get(boxes[i], key, type, out, &n);
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
