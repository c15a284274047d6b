#!/usr/bin/env bash
# Builds everything into build/ and runs the whole test suite.
# Extra CMake options may be passed in ASCORE_CMAKE_FLAGS.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake -S . -B build -G Ninja -DASCORE_TESTS=ON ${ASCORE_CMAKE_FLAGS:-}
cmake --build build
ctest --test-dir build --output-on-failure -j2
