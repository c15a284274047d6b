#!/usr/bin/env bash
# Builds the Debian packages and checks them and the installation:
#  1. configures BUILD_DIR for the prefix /usr with Debian's build flags
#     (hardening included) and builds the library, modules and tools;
#  2. installs that build into a fresh prefix and builds and runs the
#     consumers against it from outside the source tree, the installed ascan
#     included (tests/consumers/run.sh);
#  3. cpack makes libascore2, libascore-dev and ascore-tools in
#     BUILD_DIR/packages/;
#  4. tests/packaging/check_debs.sh checks their contents, SONAME and
#     dependencies, runs the packaged ascan and lintian.
# Environment: BUILD_DIR (default build-pkg).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build-pkg}"

scripts/deps.sh
CPPFLAGS="$(dpkg-buildflags --get CPPFLAGS)"
export CFLAGS="$(dpkg-buildflags --get CFLAGS) $CPPFLAGS"
export CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $CPPFLAGS"
export LDFLAGS="$(dpkg-buildflags --get LDFLAGS)"
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DASCORE_TESTS=OFF -DASCORE_BENCH=OFF >/dev/null
cmake --build "$BUILD_DIR"
VERSION="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD_DIR/CMakeCache.txt")"

echo "--- consumers of a fresh installation"
tests/consumers/run.sh --install "$BUILD_DIR" samples

echo "--- packages $VERSION"
rm -rf "$BUILD_DIR/packages"
(cd "$BUILD_DIR" && cpack --config CPackConfig.cmake >cpack.log 2>&1) || { cat "$BUILD_DIR/cpack.log"; exit 1; }
ls "$BUILD_DIR/packages"/*.deb
tests/packaging/check_debs.sh "$BUILD_DIR/packages" "$VERSION" samples
