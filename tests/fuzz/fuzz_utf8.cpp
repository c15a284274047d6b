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
typedef std::vector<uint32_t> Units;

namespace {

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}

bool IsScalar(uint32_t u) { return u <= 0x10FFFF && (u < 0xD800 || u > 0xDFFF); }

Units Decode(const void* data, size_t size, bool strict, size_t capacity, int* status) {
  std::vector<wchar_t> out(capacity ? capacity : 1);
  size_t n = capacity;
  *status = utf8_to_wide(static_cast<const char*>(data), size, out.data(), &n, strict);
  Check(n <= capacity, "decoder reports more units than its capacity");
  return Units(out.begin(), out.begin() + n);
}

std::vector<uint8_t> Encode(const Units& units, int* status) {
  std::vector<wchar_t> in(units.begin(), units.end());
  in.push_back(0); // never a null source, even for no units
  size_t need = 0;
  Check(wide_to_utf8(in.data(), units.size(), nullptr, &need) == 0, "size query failed");
  std::vector<uint8_t> out(need ? need : 1);
  *status = wide_to_utf8(in.data(), units.size(), reinterpret_cast<char*>(out.data()), &need);
  Check(*status != AS_CONV_INCOMPLETE, "size query too small for the encoder");
  out.resize(need);
  return out;
}

void FuzzUtf8(const uint8_t* data, size_t size) {
  int strict_status, lenient_status, status;
  Units strict = Decode(data, size, true, size, &strict_status);
  Units lenient = Decode(data, size, false, size, &lenient_status);
  Check(strict_status == 0 || strict_status == AS_CONV_ILLEGAL || strict_status == AS_CONV_INCOMPLETE,
        "unexpected strict status");
  Check(lenient_status != AS_CONV_ILLEGAL || strict_status == AS_CONV_ILLEGAL,
        "lenient decoding refused input that strict decoding accepted");
  // Strict output is a prefix of the lenient one; both yield scalar values
  // only (surrogates and values above U+10FFFF become U+FFFD).
  Check(strict.size() <= lenient.size() && std::equal(strict.begin(), strict.end(), lenient.begin()),
        "strict units are not a prefix of the lenient units");
  for (uint32_t u : lenient) Check(IsScalar(u), "decoding produced a non-scalar unit");

  if (strict_status == 0) { // well-formed UTF-8 re-encodes to the very same bytes
    Check(lenient_status == 0 && lenient == strict, "lenient decoding differs on valid input");
    std::vector<uint8_t> again = Encode(strict, &status);
    Check(status == 0 && again.size() == size && std::memcmp(again.data(), data, size) == 0,
          "valid UTF-8 did not round-trip");
  }
  // Whatever lenient decoding yields re-encodes to UTF-8 that decodes back.
  std::vector<uint8_t> bytes = Encode(lenient, &status);
  Check(status == 0, "lenient units failed to re-encode");
  Check(Decode(bytes.data(), bytes.size(), false, lenient.size(), &status) == lenient && status == 0,
        "re-encoded lenient units changed");

  // A smaller output buffer yields a prefix and reports it as incomplete
  // (or illegal, when illegal input comes first).
  if (!lenient.empty()) {
    size_t cap = lenient.size() / 2;
    Units cut = Decode(data, size, false, cap, &status);
    Check(cut.size() == cap && std::equal(cut.begin(), cut.end(), lenient.begin()), "cut output is not a prefix");
    Check(status == AS_CONV_INCOMPLETE || status == AS_CONV_ILLEGAL, "cut output not reported");
  }
  // The string conversion agrees with the core converter.
  usstring w;
  Check(utf8_to_usstring(reinterpret_cast<const char*>(data), size, w, true) == strict_status,
        "string conversion status differs");
  Check(w.length() <= strict.size(), "string conversion produced too many units");
}

void FuzzWide(const uint8_t* data, size_t size) {
  Units units(size / 4);
  if (!units.empty()) std::memcpy(units.data(), data, units.size() * 4);
  bool all_scalar = true, any_invalid = false;
  for (uint32_t u : units) all_scalar &= IsScalar(u), any_invalid |= u > 0x10FFFF;
  int status;
  std::vector<uint8_t> bytes = Encode(units, &status);
  Check(status == (any_invalid ? AS_CONV_ILLEGAL : 0), "encoder status disagrees with its input");
  Units back = Decode(bytes.data(), bytes.size(), all_scalar, units.size(), &status);
  Check(status == 0 && back.size() == units.size(), "encoded units did not decode fully");
  for (size_t i = 0; i < units.size(); ++i)
    Check(back[i] == (IsScalar(units[i]) ? units[i] : 0xFFFD), "wide units did not round-trip");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzUtf8(data, size);
  FuzzWide(data, size);
  return 0;
}
