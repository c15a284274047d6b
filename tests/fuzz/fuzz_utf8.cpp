// fuzz_utf8 - round-trip invariants of the UTF-8 <-> wide converters.
//
// The input is read twice: as UTF-8 bytes, and as a sequence of 32-bit wide
// units. Buffers are sized exactly, so any write past a stated capacity is an
// AddressSanitizer report. A broken invariant aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "convert.h"

using namespace ascommon;

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

bool IsScalar(uint32_t u) { return u <= 0x10FFFF && (u < 0xD800 || u > 0xDFFF); }

std::vector<uint32_t> Decode(const uint8_t* data, size_t size, bool strict, size_t capacity, int* status) {
  std::vector<wchar_t> out(capacity ? capacity : 1);
  size_t n = capacity;
  *status = utf8_to_wide(reinterpret_cast<const char*>(data), size, out.data(), &n, strict);
  Check(n <= capacity, "decoder reports more units than its capacity");
  return std::vector<uint32_t>(out.begin(), out.begin() + n);
}

std::vector<uint8_t> Encode(const std::vector<uint32_t>& units, int* status) {
  std::vector<wchar_t> in(units.begin(), units.end());
  in.push_back(0);
  size_t need = 0;
  Check(wide_to_utf8(in.data(), units.size(), nullptr, &need) == 0, "size query failed");
  std::vector<uint8_t> out(need ? need : 1);
  size_t n = need;
  *status = wide_to_utf8(in.data(), units.size(), reinterpret_cast<char*>(out.data()), &n);
  Check(*status != AS_CONV_INCOMPLETE, "size query too small for the encoder");
  out.resize(n);
  return out;
}

void FuzzUtf8(const uint8_t* data, size_t size) {
  int strict_status, lenient_status;
  std::vector<uint32_t> strict = Decode(data, size, true, size, &strict_status);
  std::vector<uint32_t> lenient = Decode(data, size, false, size, &lenient_status);
  Check(strict_status == 0 || strict_status == AS_CONV_ILLEGAL || strict_status == AS_CONV_INCOMPLETE,
        "unexpected strict status");
  Check(lenient_status != AS_CONV_ILLEGAL || strict_status == AS_CONV_ILLEGAL,
        "lenient decoding refused input that strict decoding accepted");

  // Strict output is always a prefix of the lenient one: both stop or
  // continue on the same well-formed sequences.
  Check(strict.size() <= lenient.size() && std::equal(strict.begin(), strict.end(), lenient.begin()),
        "strict units are not a prefix of the lenient units");
  for (uint32_t u : strict) Check(IsScalar(u), "strict decoding produced a non-scalar unit");
  // Surrogates and values above U+10FFFF come out as U+FFFD in both modes.
  for (uint32_t u : lenient) Check(IsScalar(u), "lenient decoding produced a non-scalar unit");

  if (strict_status == 0) {
    // Well-formed UTF-8 re-encodes to exactly the same bytes.
    Check(lenient_status == 0 && lenient == strict, "lenient decoding differs on valid input");
    int enc_status;
    std::vector<uint8_t> again = Encode(strict, &enc_status);
    Check(enc_status == 0, "re-encoding scalar values failed");
    Check(again.size() == size && std::memcmp(again.data(), data, size) == 0, "valid UTF-8 did not round-trip");
  }

  // Whatever lenient decoding yields re-encodes to UTF-8 that decodes back to
  // the same units.
  int enc_status;
  std::vector<uint8_t> bytes = Encode(lenient, &enc_status);
  Check(enc_status == 0, "lenient units failed to re-encode");
  int back_status;
  std::vector<uint32_t> back = Decode(bytes.data(), bytes.size(), false, lenient.size(), &back_status);
  Check(back_status == 0 && back.size() == lenient.size(), "re-encoded lenient units did not decode fully");
  Check(back == lenient, "re-encoded lenient units changed");

  // A smaller output buffer yields a prefix and reports it as incomplete
  // (or illegal, when illegal input comes first).
  if (!lenient.empty()) {
    size_t cap = lenient.size() / 2;
    int cut_status;
    std::vector<uint32_t> cut = Decode(data, size, false, cap, &cut_status);
    Check(cut.size() == cap && std::equal(cut.begin(), cut.end(), lenient.begin()), "cut output is not a prefix");
    Check(cut_status == AS_CONV_INCOMPLETE || cut_status == AS_CONV_ILLEGAL, "cut output not reported");
  }

  // The string conversion agrees with the core converter.
  usstring w;
  int s_status = utf8_to_usstring(reinterpret_cast<const char*>(data), size, w, true);
  Check(s_status == strict_status, "string conversion status differs");
  Check(w.length() <= strict.size(), "string conversion produced too many units");
}

void FuzzWide(const uint8_t* data, size_t size) {
  size_t count = size / sizeof(uint32_t);
  std::vector<uint32_t> units(count);
  if (count) std::memcpy(units.data(), data, count * sizeof(uint32_t));
  bool all_scalar = true;
  bool any_invalid = false;
  for (uint32_t u : units) {
    all_scalar = all_scalar && IsScalar(u);
    any_invalid = any_invalid || u > 0x10FFFF;
  }
  int enc_status;
  std::vector<uint8_t> bytes = Encode(units, &enc_status);
  Check(enc_status == (any_invalid ? AS_CONV_ILLEGAL : 0), "encoder status disagrees with its input");
  int dec_status;
  std::vector<uint32_t> back = Decode(bytes.data(), bytes.size(), all_scalar, count, &dec_status);
  Check(dec_status == 0 && back.size() == count, "encoded units did not decode fully");
  for (size_t i = 0; i < count; ++i) {
    uint32_t want = units[i] > 0x10FFFF || (units[i] >= 0xD800 && units[i] <= 0xDFFF) ? 0xFFFD : units[i];
    Check(back[i] == want, "wide units did not round-trip");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzUtf8(data, size);
  FuzzWide(data, size);
  return 0;
}
