#!/usr/bin/env bash
# Checks the Debian packages that cpack made: names and version, contents,
# the library's SONAME, the computed dependencies, the control files of the
# library package, that the packaged ascan runs from the unpacked files, and
# lintian (no error allowed; warnings are listed).
#
#   check_debs.sh PACKAGE_DIR VERSION SAMPLES
#
# Prints a closing "N passed, N failed" line.
set -u
DIR="$1"; VERSION="$2"; SAMPLES="$3"
SOVERSION="${VERSION%%.*}"
ARCH="$(dpkg --print-architecture)"; MA="$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
LIBPKG="libascore$SOVERSION"
WORK="$(mktemp -d)"; trap 'rm -rf "$WORK"' EXIT
pass=0; fail=0
check() { if eval "$2"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAILED: $1"; fi; }
deb() { echo "$DIR/${1}_${VERSION}_${ARCH}.deb"; }
files() { dpkg-deb -c "$(deb "$1")" | awk '{print $6}' | sed 's|^\./|/|'; }
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
has() { files "$1" | grep -qx "$2"; }

check "CHANGELOG has an entry for $VERSION" '[ "$(dpkg-parsechangelog -l "$(dirname "$0")/../../CHANGELOG" -S Version)" = "$VERSION" ]'
check "exactly three packages" '[ "$(ls "$DIR"/*.deb | wc -l)" -eq 3 ]'
for p in "$LIBPKG" libascore-dev ascore-tools; do
  check "$p: built as version $VERSION" '[ -f "$(deb $p)" ] && [ "$(field $p Version)" = "$VERSION" ]'
  check "$p: copyright and change log" 'has $p /usr/share/doc/$p/copyright && has $p /usr/share/doc/$p/changelog.gz'
done

check "each package has its own synopsis" \
  '[ "$(for p in $LIBPKG libascore-dev ascore-tools; do field $p Description | head -n1; done | sort -u | wc -l)" -eq 3 ]'

# Contents: each file in the package it belongs to, the core's internals nowhere.
L="/usr/lib/$MA"
check "$LIBPKG: the library and its SONAME link, no development link" \
  'has $LIBPKG $L/libascore.so.$VERSION && has $LIBPKG $L/libascore.so.$SOVERSION && ! has $LIBPKG $L/libascore.so'
check "$LIBPKG: nothing but the library and its documents" \
  '[ -z "$(files $LIBPKG | grep -v -e "^$L/libascore\.so\." -e "^/usr/share/doc/$LIBPKG/" -e "/$")" ]'
for f in $L/libascore.so /usr/include/ascore/ascore.h /usr/include/ascore/aseml.h /usr/include/ascore/version.h \
  /usr/include/ascore/sdk/plugin_sdk.h $L/libascore_plugin_sdk.a $L/cmake/ascore/ascoreConfig.cmake \
  $L/cmake/ascore/ascoreConfigVersion.cmake $L/cmake/ascore/plugins.cmake $L/cmake/ascore/plugin.map \
  $L/pkgconfig/ascore.pc $L/pkgconfig/ascore-sdk.pc; do
  check "libascore-dev: $f" 'has libascore-dev $f'
done
check "libascore-dev: none of the core's internal headers" \
  '! files libascore-dev | grep -E "/(core|loader|disp_mgr|configurer|ascore_iface|inifile2?|tracer|shared_locker|x_file_utils)\.h$"'
for f in /usr/bin/ascan $L/ascore/modules/aseml.mdl /usr/share/man/man1/ascan.1.gz \
  /usr/share/doc/ascore-tools/examples/ascan.ini /usr/sbin/ascand /etc/ascand/ascand.conf \
  /usr/lib/systemd/system/ascand.service /usr/share/man/man8/ascand.8.gz /usr/share/doc/ascore-tools/examples/ascand.conf; do
  check "ascore-tools: $f" 'has ascore-tools $f'
done

# The library as packaged.
for p in "$LIBPKG" libascore-dev ascore-tools; do dpkg-deb -x "$(deb $p)" "$WORK/root"; done
check "SONAME libascore.so.$SOVERSION" \
  'readelf -d "$WORK/root$L/libascore.so.$VERSION" | grep -q "(SONAME).*\[libascore\.so\.$SOVERSION\]"'
check "development link points at the SONAME link" '[ "$(readlink "$WORK/root$L/libascore.so")" = "libascore.so.$SOVERSION" ]'
check "library and tools stripped" \
  '! file "$WORK/root$L/libascore.so.$VERSION" "$WORK/root/usr/bin/ascan" "$WORK/root/usr/sbin/ascand" | grep -q "not stripped"'

# Dependencies: system libraries from dpkg-shlibdeps, our own packages by version.
check "$LIBPKG depends on the C and C++ run-times" \
  'field $LIBPKG Depends | grep -q "libc6 (>=" && field $LIBPKG Depends | grep -q "libstdc++6 (>="'
check "ascore-tools depends on $LIBPKG of its version and on the run-times" \
  'field ascore-tools Depends | grep -qF "$LIBPKG (= $VERSION)" && field ascore-tools Depends | grep -q "libc6 (>="'
check "libascore-dev depends on $LIBPKG of its version" 'field libascore-dev Depends | grep -qF "$LIBPKG (= $VERSION)"'
dpkg-deb -e "$(deb $LIBPKG)" "$WORK/control"
check "$LIBPKG: shlibs file" 'grep -qx "libascore $SOVERSION $LIBPKG (>= $VERSION)" "$WORK/control/shlibs"'
check "$LIBPKG: ldconfig trigger" 'grep -q "activate-noawait ldconfig" "$WORK/control/triggers"'

# The packaged ascan runs from the unpacked tree and finds the packaged modules.
check "packaged ascan reports the version" '[ "$("$WORK/root/usr/bin/ascan" --version)" = "ascan $VERSION" ]'
env -u ASCORE_MODULES "$WORK/root/usr/bin/ascan" scan "$SAMPLES" >/dev/null 2>"$WORK/scan.err"
check "packaged ascan scans the samples with its own modules" '[ $? -eq 1 ] && grep -q " 0 errors" "$WORK/scan.err"'
env -u ASCORE_MODULES "$WORK/root/usr/sbin/ascand" -c "$WORK/root/etc/ascand/ascand.conf" --check >"$WORK/check.out" 2>&1
check "packaged ascand checks its configuration with its own modules" '[ $? -eq 0 ] && grep -q "configuration OK" "$WORK/check.out"'
check "the unit starts the packaged ascand" 'grep -qx "ExecStart=/usr/sbin/ascand -c /etc/ascand/ascand.conf" "$WORK/root/usr/lib/systemd/system/ascand.service"'

lintian --fail-on error --suppress-tags-from-file /dev/null "$DIR"/*.deb >"$WORK/lintian.txt" 2>&1; rc=$?
check "lintian: no errors" '[ $rc -eq 0 ] && ! grep -q "^E:" "$WORK/lintian.txt"'
cat "$WORK/lintian.txt"

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
