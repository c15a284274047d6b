#!/usr/bin/env bash
# Builds the consumers of an installed ascore outside the source tree and runs
# them against it:
#   c_host    C, found through pkg-config (ascore.pc): scans the samples with
#             the installed mail modules; its verdicts must equal ascan's
#   plugin    the plug-in guide's example built with find_package(ascore) and
#             ascore_add_plugin(), and once more with pkg-config (ascore-sdk.pc)
#   cxx_host  C++, find_package(ascore): runs texts through both builds of
#             that plug-in in the installed core
# and checks that the installed ascan finds its own modules.
#
#   run.sh PREFIX SAMPLES [WORK_DIR]
#   run.sh --install BUILD_DIR SAMPLES [WORK_DIR]
#
# The second form first installs the build BUILD_DIR into WORK_DIR/prefix.
# WORK_DIR (default: a temporary directory, removed afterwards) holds the
# builds. Prints a closing "N passed, N failed" line.
set -u
INSTALL_FROM=""
if [ "$1" = "--install" ]; then INSTALL_FROM="$2"; shift 2; set -- "" "$@"; fi
SAMPLES="$(cd "$2" && pwd)"
HERE="$(cd "$(dirname "$0")" && pwd)"
EXAMPLE="$HERE/../../modules/example/example.cpp"  # the plug-in guide's example
if [ -n "${3:-}" ]; then mkdir -p "$3"; WORK="$(cd "$3" && pwd)"; else WORK="$(mktemp -d)"; trap 'rm -rf "$WORK"' EXIT; fi
pass=0; fail=0
check() { if eval "$2"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAILED: $1"; fi; }
if [ -n "$INSTALL_FROM" ]; then
  rm -rf "$WORK/prefix"
  cmake --install "$INSTALL_FROM" --prefix "$WORK/prefix" >"$WORK/install.log" 2>&1 ||
    { cat "$WORK/install.log"; echo "0 passed, 1 failed"; exit 1; }
  PREFIX="$WORK/prefix"
  outside="$(awk -v p="$PREFIX/" 'index($0, p) != 1' "$INSTALL_FROM/install_manifest.txt")"
  check "everything installed lands under the prefix" '[ -z "$outside" ] || { echo "$outside"; false; }'
else
  PREFIX="$(cd "$1" && pwd)"
fi
log() { "$@" >>"$WORK/build.log" 2>&1; }

unset ASCORE_MODULES
pc="$(dirname "$(find "$PREFIX" -path '*/pkgconfig/ascore.pc' | head -n1)")"
export PKG_CONFIG_PATH="$pc"
libdir="$(pkg-config --variable=libdir ascore)"
modules="$(pkg-config --variable=modulesdir ascore)"
check "pkg-config finds ascore in the prefix" '[ "$(pkg-config --modversion ascore)" = "$(pkg-config --modversion ascore-sdk)" ] && [ "${libdir#"$PREFIX"}" != "$libdir" ]'

# The installed ascan, with no --modules and no environment variable.
"$PREFIX/bin/ascan" scan "$SAMPLES" >"$WORK/ascan.jsonl" 2>"$WORK/ascan.err"; rc=$?
check "installed ascan scans the samples by itself" '[ $rc -eq 1 ] && grep -q " 0 errors" "$WORK/ascan.err"'
example="$(find "$PREFIX/share/doc" -path '*/examples/ascan.ini' | head -n1)"
"$PREFIX/bin/ascan" scan --config "$example" "$SAMPLES" >/dev/null 2>&1
check "installed ascan accepts the installed example settings" '[ $? -eq 1 ]'
ASCORE_MODULES="$WORK/none" "$PREFIX/bin/ascan" scan "$SAMPLES" >/dev/null 2>"$WORK/env.err"; rc=$?
check "ASCORE_MODULES is honoured" '[ $rc -eq 2 ] && grep -q "$WORK/none" "$WORK/env.err"'
ASCORE_MODULES="$WORK/none" "$PREFIX/bin/ascan" scan --modules "$modules" "$SAMPLES" >/dev/null 2>&1
check "--modules overrides ASCORE_MODULES" '[ $? -eq 1 ]'

# C host through pkg-config.
mkdir -p "$WORK/c_host"
log make -C "$WORK/c_host" -f "$HERE/c_host/Makefile"
check "C host builds with pkg-config" '[ -x "$WORK/c_host/c_host" ]'
LD_LIBRARY_PATH="$libdir" "$WORK/c_host/c_host" "$modules" $(find "$SAMPLES" -type f | sort) >"$WORK/c_host.out" 2>&1
check "C host scans every sample" '[ $? -eq 0 ] && [ "$(wc -l <"$WORK/c_host.out")" -eq "$(find "$SAMPLES" -type f | wc -l)" ]'
sed -E 's/^\{"path":"([^"]*)","verdict":"([a-z]+)".*/\1 \2/' "$WORK/ascan.jsonl" | sort >"$WORK/ascan.verdicts"
cut -d' ' -f1,2 "$WORK/c_host.out" | sort >"$WORK/c_host.verdicts"
check "C host and ascan agree on every verdict" 'diff "$WORK/ascan.verdicts" "$WORK/c_host.verdicts" && grep -q " spam$" "$WORK/c_host.verdicts"'

# The plug-in, with the CMake package and with pkg-config.
log cmake -S "$HERE/plugin" -B "$WORK/plugin" -G Ninja -DCMAKE_PREFIX_PATH="$PREFIX" -DEXAMPLE_SOURCE="$EXAMPLE" && log cmake --build "$WORK/plugin"
check "plug-in builds with find_package" '[ -f "$WORK/plugin/modules/asexample.mdl" ]'
mkdir -p "$WORK/plugin-pc"
log ${CXX:-c++} -std=c++17 -O2 -Wall -Wextra -Werror $(pkg-config --variable=plugin_cflags ascore-sdk) "$EXAMPLE" $(pkg-config --cflags ascore-sdk) $(pkg-config --libs ascore-sdk) -o "$WORK/plugin-pc/asexample.mdl"
check "plug-in builds with pkg-config" '[ -f "$WORK/plugin-pc/asexample.mdl" ]'
for mdl in "$WORK/plugin/modules/asexample.mdl" "$WORK/plugin-pc/asexample.mdl"; do
  exported="$(nm -D --defined-only "$mdl" 2>/dev/null | awk '{print $3}' | sort | tr '\n' ' ')"
  check "$mdl exports only the entry points" '[ "$exported" = "GetASVersion GetClassFactory ReleaseClassFactory " ]'
done

# C++ host through the CMake package, over both plug-in builds.
log cmake -S "$HERE/cxx_host" -B "$WORK/cxx_host" -G Ninja -DCMAKE_PREFIX_PATH="$PREFIX" && log cmake --build "$WORK/cxx_host"
check "C++ host builds with find_package" '[ -x "$WORK/cxx_host/cxx_host" ]'
for dir in "$WORK/plugin/modules" "$WORK/plugin-pc"; do
  "$WORK/cxx_host/cxx_host" "$dir" spam "spam, eggs, and spam" "eggs only" >"$WORK/cxx.out" 2>&1
  check "the installed core runs items through $dir/asexample.mdl" \
    '[ $? -eq 0 ] && [ "$(cat "$WORK/cxx.out")" = "$(printf "2 spam, eggs, and spam\n0 eggs only")" ]'
done

[ "$fail" -eq 0 ] || { echo "--- build log ($WORK/build.log):"; tail -n 40 "$WORK/build.log"; }
echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
