/* bb_c_host.c - black-box round trips written the way a C host writes them.
 *
 * Compiled as C so that the header, the variadic promotions (int for bool and
 * int, int64_t, double) and the argument layouts are exercised from C. Each
 * function answers 0, or the source line of the first check that failed.
 */
#include <stdbool.h>
#include <stdint.h>
#include <string.h>
#include <wchar.h>

#include "ascore/ascore.h"
#include "bb_c_host.h"

#define CHECK(cond)        \
  do {                     \
    if (!(cond)) {         \
      failed = __LINE__;   \
      goto done;           \
    }                      \
  } while (0)

int c_host_scalars(void) {
  int failed = 0;
  as_blackbox_t* bb = as_blackbox_create();
  if (!bb) return __LINE__;

  CHECK(as_blackbox_set(bb, 1, BB_TYPE_BOOL, 5) == 0);
  CHECK(as_blackbox_set(bb, 2, BB_TYPE_INT, -7) == 0);
  CHECK(as_blackbox_set(bb, 3, BB_TYPE_LONG, (int64_t)-5000000000LL) == 0);
  CHECK(as_blackbox_set(bb, 4, BB_TYPE_ULONG, (uint64_t)0xFFFFFFFFFFFFFFF0ULL) == 0);
  CHECK(as_blackbox_set(bb, 5, BB_TYPE_DOUBLE, 2.5) == 0);
  CHECK(as_blackbox_set(bb, 6, BB_TYPE_STRING, "narrow") == 0);
  CHECK(as_blackbox_set(bb, 7, BB_TYPE_WSTRING, L"wide") == 0);
  CHECK(as_blackbox_set(bb, 8, BB_TYPE_POINTER, (void*)&failed) == 0);
  CHECK(as_blackbox_set(bb, 9, BB_TYPE_UTF8, "caf\xC3\xA9") == 0);

  {
    bool b = false;
    CHECK(as_blackbox_get(bb, 1, BB_TYPE_BOOL, &b, 0) == &b);
    CHECK(b == true);
    /* The stored byte is 0 or 1, whatever non-zero value was set. */
    CHECK(*(unsigned char*)as_blackbox_get(bb, 1, BB_TYPE_BOOL, NULL, 0) == 1);
  }
  {
    int v = 0;
    CHECK(as_blackbox_get(bb, 2, BB_TYPE_INT, &v, 0) == &v && v == -7);
  }
  {
    int64_t v = 0;
    CHECK(as_blackbox_get(bb, 3, BB_TYPE_LONG, &v, (int64_t)0) == &v && v == -5000000000LL);
  }
  {
    uint64_t v = 0;
    CHECK(as_blackbox_get(bb, 4, BB_TYPE_ULONG, &v, (uint64_t)0) == &v && v == 0xFFFFFFFFFFFFFFF0ULL);
  }
  {
    double v = 0;
    CHECK(as_blackbox_get(bb, 5, BB_TYPE_DOUBLE, &v, 0.0) == &v && v == 2.5);
  }
  {
    const char* s = NULL;
    const char* r = (const char*)as_blackbox_get(bb, 6, BB_TYPE_STRING, &s);
    CHECK(r == s && r && strcmp(r, "narrow") == 0);
  }
  {
    const wchar_t* s = NULL;
    const wchar_t* r = (const wchar_t*)as_blackbox_get(bb, 7, BB_TYPE_WSTRING, &s);
    CHECK(r == s && r && wcscmp(r, L"wide") == 0);
  }
  CHECK(as_blackbox_get(bb, 8, BB_TYPE_POINTER) == (void*)&failed);
  {
    const char* s = NULL;
    const wchar_t* w = NULL;
    CHECK(as_blackbox_get(bb, 9, BB_TYPE_UTF8, &s) == s && s && strcmp(s, "caf\xC3\xA9") == 0);
    CHECK(as_blackbox_get(bb, 9, BB_TYPE_WSTRING, &w) == w && w && wcscmp(w, L"caf\x00E9") == 0);
  }
  CHECK(as_core_err() == 0);

done:
  as_blackbox_release(bb);
  return failed;
}

int c_host_arrays(void) {
  int failed = 0;
  as_blackbox_t* bb = as_blackbox_create();
  if (!bb) return __LINE__;

  const char bytes[] = {1, 2, 3};
  const int ints[] = {10, -20, 30, 40};
  const long longs[] = {-1L, 1L << 40};
  const unsigned long ulongs[] = {0UL, ~0UL};
  const double doubles[] = {0.5, -1.25};
  const char* texts[] = {"a", "bc", ""};
  const wchar_t* wtexts[] = {L"x", L"yz"};
  unicode_carr_string_t handles[] = {(void*)0x10, (void*)0x20};
  const char* utf8[] = {"\xC3\xA9t\xC3\xA9", "plain"};

  CHECK(as_blackbox_set(bb, 1, BB_TYPE_BYTE_ARRAY, bytes, (size_t)3) == 0);
  CHECK(as_blackbox_set(bb, 2, BB_TYPE_INT_ARRAY, ints, (size_t)4) == 0);
  CHECK(as_blackbox_set(bb, 3, BB_TYPE_LONG_ARRAY, longs, (size_t)2) == 0);
  CHECK(as_blackbox_set(bb, 4, BB_TYPE_ULONG_ARRAY, ulongs, (size_t)2) == 0);
  CHECK(as_blackbox_set(bb, 5, BB_TYPE_DOUBLE_ARRAY, doubles, (size_t)2) == 0);
  CHECK(as_blackbox_set(bb, 6, BB_TYPE_STRING_ARRAY, texts, (size_t)3) == 0);
  CHECK(as_blackbox_set(bb, 7, BB_TYPE_WSTRING_ARRAY, wtexts, (size_t)2) == 0);
  CHECK(as_blackbox_set(bb, 8, BB_TYPE_HANDLE_ARRAY, handles, (size_t)2) == 0);
  CHECK(as_blackbox_set(bb, 9, BB_TYPE_UTF8_ARRAY, utf8, (size_t)2) == 0);

  {
    char out[8] = {0};
    size_t n = 8;
    CHECK(as_blackbox_get(bb, 1, BB_TYPE_BYTE_ARRAY, out, &n) == out && n == 3);
    CHECK(memcmp(out, bytes, 3) == 0);
  }
  {
    int out[4] = {0};
    size_t n = 4;
    CHECK(as_blackbox_get(bb, 2, BB_TYPE_INT_ARRAY, out, &n) == out && n == 4);
    CHECK(memcmp(out, ints, sizeof ints) == 0);
  }
  {
    long out[2] = {0};
    size_t n = 2;
    CHECK(as_blackbox_get(bb, 3, BB_TYPE_LONG_ARRAY, out, &n) == out && n == 2);
    CHECK(out[0] == -1L && out[1] == (1L << 40));
  }
  {
    unsigned long out[2] = {1, 1};
    size_t n = 2;
    CHECK(as_blackbox_get(bb, 4, BB_TYPE_ULONG_ARRAY, out, &n) == out && n == 2);
    CHECK(out[0] == 0UL && out[1] == ~0UL);
  }
  {
    double out[2] = {0};
    size_t n = 2;
    CHECK(as_blackbox_get(bb, 5, BB_TYPE_DOUBLE_ARRAY, out, &n) == out && n == 2);
    CHECK(out[0] == 0.5 && out[1] == -1.25);
  }
  {
    const char* out[3] = {0};
    size_t n = 3;
    CHECK(as_blackbox_get(bb, 6, BB_TYPE_STRING_ARRAY, (void*)out, &n) == (void*)out && n == 3);
    CHECK(strcmp(out[0], "a") == 0 && strcmp(out[1], "bc") == 0 && strcmp(out[2], "") == 0);
    /* The box keeps copies, not the caller's pointers. */
    CHECK(out[0] != texts[0]);
  }
  {
    const wchar_t* out[2] = {0};
    size_t n = 2;
    CHECK(as_blackbox_get(bb, 7, BB_TYPE_WSTRING_ARRAY, (void*)out, &n) == (void*)out && n == 2);
    CHECK(wcscmp(out[0], L"x") == 0 && wcscmp(out[1], L"yz") == 0);
  }
  {
    unicode_carr_string_t out[2] = {0};
    size_t n = 2;
    CHECK(as_blackbox_get(bb, 8, BB_TYPE_HANDLE_ARRAY, out, &n) == out && n == 2);
    CHECK(out[0] == handles[0] && out[1] == handles[1]);
  }
  {
    const char* out[2] = {0};
    const wchar_t* wout[2] = {0};
    size_t n = 2;
    CHECK(as_blackbox_get(bb, 9, BB_TYPE_UTF8_ARRAY, (void*)out, &n) == (void*)out && n == 2);
    CHECK(strcmp(out[0], utf8[0]) == 0 && strcmp(out[1], "plain") == 0);
    n = 2;
    CHECK(as_blackbox_get(bb, 9, BB_TYPE_WSTRING_ARRAY, (void*)wout, &n) == (void*)wout && n == 2);
    CHECK(wcscmp(wout[0], L"\x00E9t\x00E9") == 0 && wcscmp(wout[1], L"plain") == 0);
  }
  CHECK(as_core_err() == 0);

done:
  as_blackbox_release(bb);
  return failed;
}
