/* bb_c_host.c - every type code set and read back the way a C host writes it:
 * C's variadic promotions (int for bool, int64_t, double) and argument
 * layouts, through the header compiled as C. */
#include <stdbool.h>
#include <string.h>

#include "ascore/ascore.h"

#define CHECK(cond) do { if (!(cond)) { failed = __LINE__; goto done; } } while (0)

/* 0 when every check passed, else the line of the first failed check. */
int c_host_round_trip(void);
int c_host_round_trip(void) {
  int failed = 0;
  as_blackbox_t* bb = as_blackbox_create();
  if (!bb) return __LINE__;
  const char bytes[] = {1, -2, 3};
  const int ints[] = {10, -20};
  const long longs[] = {-1L, 1L << 40};
  const unsigned long ulongs[] = {0UL, ~0UL};
  const double doubles[] = {0.5, -1.25};
  const char* texts[] = {"a", ""};
  const wchar_t* wtexts[] = {L"x", L"yz"};
  unicode_carr_string_t handles[] = {(void*)0x10, (void*)&failed};
  const char* utf8[] = {"\xC3\xA9t\xC3\xA9", "plain"};
  bool b = false;
  int i = 0;
  int64_t l = 0;
  uint64_t u = 0;
  double d = 0;
  const char* s = NULL;
  const wchar_t* w = NULL;
  union { char c[4]; int i[2]; long l[2]; unsigned long u[2]; double d[2]; void* p[2]; } out;
  size_t n;

  CHECK(as_blackbox_set(bb, 0, BB_TYPE_BOOL, 5) == 0);
  CHECK(as_blackbox_set(bb, 1, BB_TYPE_INT, -7) == 0);
  CHECK(as_blackbox_set(bb, 2, BB_TYPE_LONG, (int64_t)-5000000000LL) == 0);
  CHECK(as_blackbox_set(bb, 3, BB_TYPE_ULONG, (uint64_t)0xFFFFFFFFFFFFFFF0ULL) == 0);
  CHECK(as_blackbox_set(bb, 4, BB_TYPE_DOUBLE, 2.5) == 0);
  CHECK(as_blackbox_set(bb, 5, BB_TYPE_STRING, "narrow") == 0);
  CHECK(as_blackbox_set(bb, 6, BB_TYPE_WSTRING, L"wide") == 0);
  CHECK(as_blackbox_set(bb, 7, BB_TYPE_POINTER, (void*)&failed) == 0);
  CHECK(as_blackbox_set(bb, 8, BB_TYPE_UTF8, "caf\xC3\xA9") == 0);
  CHECK(as_blackbox_set(bb, 9, BB_TYPE_BYTE_ARRAY, bytes, (size_t)3) == 0);
  CHECK(as_blackbox_set(bb, 10, BB_TYPE_INT_ARRAY, ints, (size_t)2) == 0);
  CHECK(as_blackbox_set(bb, 11, BB_TYPE_LONG_ARRAY, longs, (size_t)2) == 0);
  CHECK(as_blackbox_set(bb, 12, BB_TYPE_ULONG_ARRAY, ulongs, (size_t)2) == 0);
  CHECK(as_blackbox_set(bb, 13, BB_TYPE_DOUBLE_ARRAY, doubles, (size_t)2) == 0);
  CHECK(as_blackbox_set(bb, 14, BB_TYPE_STRING_ARRAY, texts, (size_t)2) == 0);
  CHECK(as_blackbox_set(bb, 15, BB_TYPE_WSTRING_ARRAY, wtexts, (size_t)2) == 0);
  CHECK(as_blackbox_set(bb, 16, BB_TYPE_HANDLE_ARRAY, handles, (size_t)2) == 0);
  CHECK(as_blackbox_set(bb, 17, BB_TYPE_UTF8_ARRAY, utf8, (size_t)2) == 0);

  CHECK(as_blackbox_get(bb, 0, BB_TYPE_BOOL, &b, 0) == &b && b);
  CHECK(*(unsigned char*)as_blackbox_get(bb, 0, BB_TYPE_BOOL, NULL, 0) == 1); /* stored as 1, not 5 */
  CHECK(as_blackbox_get(bb, 1, BB_TYPE_INT, &i, 0) == &i && i == -7);
  CHECK(as_blackbox_get(bb, 2, BB_TYPE_LONG, &l, (int64_t)0) == &l && l == -5000000000LL);
  CHECK(as_blackbox_get(bb, 3, BB_TYPE_ULONG, &u, (uint64_t)0) == &u && u == 0xFFFFFFFFFFFFFFF0ULL);
  CHECK(as_blackbox_get(bb, 4, BB_TYPE_DOUBLE, &d, 0.0) == &d && d == 2.5);
  CHECK(as_blackbox_get(bb, 5, BB_TYPE_STRING, &s) == s && strcmp(s, "narrow") == 0);
  CHECK(as_blackbox_get(bb, 6, BB_TYPE_WSTRING, &w) == w && wcscmp(w, L"wide") == 0);
  CHECK(as_blackbox_get(bb, 7, BB_TYPE_POINTER) == (void*)&failed);
  CHECK(as_blackbox_get(bb, 8, BB_TYPE_UTF8, &s) == s && strcmp(s, "caf\xC3\xA9") == 0);
  n = 4;
  CHECK(as_blackbox_get(bb, 9, BB_TYPE_BYTE_ARRAY, out.c, &n) == out.c && n == 3 && memcmp(out.c, bytes, 3) == 0);
  n = 2;
  CHECK(as_blackbox_get(bb, 10, BB_TYPE_INT_ARRAY, out.i, &n) == out.i && n == 2 && out.i[1] == -20);
  CHECK(as_blackbox_get(bb, 11, BB_TYPE_LONG_ARRAY, out.l, &n) == out.l && out.l[1] == 1L << 40);
  CHECK(as_blackbox_get(bb, 12, BB_TYPE_ULONG_ARRAY, out.u, &n) == out.u && out.u[1] == ~0UL);
  CHECK(as_blackbox_get(bb, 13, BB_TYPE_DOUBLE_ARRAY, out.d, &n) == out.d && out.d[1] == -1.25);
  CHECK(as_blackbox_get(bb, 14, BB_TYPE_STRING_ARRAY, out.p, &n) == out.p && strcmp(out.p[0], "a") == 0);
  CHECK(out.p[0] != (void*)texts[0] && strcmp(out.p[1], "") == 0); /* the box keeps copies */
  CHECK(as_blackbox_get(bb, 15, BB_TYPE_WSTRING_ARRAY, out.p, &n) == out.p && wcscmp(out.p[1], L"yz") == 0);
  CHECK(as_blackbox_get(bb, 16, BB_TYPE_HANDLE_ARRAY, out.p, &n) == out.p && out.p[1] == (void*)&failed);
  CHECK(as_blackbox_get(bb, 17, BB_TYPE_UTF8_ARRAY, out.p, &n) == out.p && strcmp(out.p[0], utf8[0]) == 0);
  CHECK(n == 2 && as_core_err() == 0);

done:
  as_blackbox_release(bb);
  return failed;
}
