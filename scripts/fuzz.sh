#!/usr/bin/env bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan into
# build-fuzz/ and runs each for a bounded time. Large inputs are allowed and
# each input has a time limit, so a path that is quadratic in the input size
# shows up as a timeout. Seeds: the sample messages, plus generated large
# messages (many links, near-miss links, long encoded header fields, one huge
# line) that a slow path would choke on, for the mail targets; ascan's
# settings file for the ini reader. Any crash, leak or timeout fails the
# script.
#
# Environment: FUZZ_SECONDS per target (default 30), FUZZ_TIMEOUT per input
# in seconds (default 10), BUILD_DIR (default build-fuzz). The input that
# failed is kept in $BUILD_DIR/fuzz-artifacts/; run the target on it to
# reproduce.
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS_EACH="${FUZZ_SECONDS:-30}"
PER_INPUT="${FUZZ_TIMEOUT:-10}"
BUILD="${BUILD_DIR:-build-fuzz}"
TARGETS=(fuzz_utf8 fuzz_blackbox fuzz_ini fuzz_eml fuzz_ascan)

CC=clang CXX=clang++ cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DASCORE_FUZZ=ON -DASCORE_SANITIZE=ON -DASCORE_TESTS=ON -DASCORE_BENCH=OFF >/dev/null
cmake --build "$BUILD" --target "${TARGETS[@]}"

WORK="$(mktemp -d)"; trap 'rm -rf "$WORK"' EXIT
ARTIFACTS="$BUILD/fuzz-artifacts"; mkdir -p "$ARTIFACTS"
SEEDS="$WORK/seeds"; mkdir -p "$SEEDS"
cp samples/*/* "$SEEDS/"
INI_SEEDS="$WORK/ini-seeds"; mkdir -p "$INI_SEEDS"; cp tools/ascan.ini "$INI_SEEDS/"
{ printf 'Subject: links\n\n'; for i in $(seq 20000); do printf 'see http://a%d.example/p?q=%d www.b%d.example ' "$i" "$i" "$i"; done; } >"$SEEDS/many-links"
{ printf 'Subject:'; for i in $(seq 20000); do printf ' =?utf-8?q?w=C3=A9rd%d?=' "$i"; done; printf '\n\nbody\n'; } >"$SEEDS/long-encoded-header"
{ printf 'Subject: '; head -c 600000 /dev/zero | tr '\0' 'h'; printf '\n\nx\n'; } >"$SEEDS/long-first-line"
# Near-misses for the link finder: "://" with no scheme before it, "www."
# inside words, and no hit of the other kind, so that a finder that searches
# the rest of the body again per candidate takes minutes instead of a second.
{ printf 'Subject: near misses\n\n'; printf ' ://w%.0s' $(seq 180000); } >"$SEEDS/scheme-less-links"
{ printf 'Subject: near misses\n\n'; printf 'xwww.:%.0s' $(seq 150000); } >"$SEEDS/www-in-words"

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
for t in "${TARGETS[@]}"; do
  echo "--- $t: ${SECONDS_EACH} s, at most ${PER_INPUT} s per input"
  corpus="$WORK/corpus-$t"; mkdir -p "$corpus"
  seeds=()
  case "$t" in
    fuzz_eml|fuzz_ascan) seeds=("$SEEDS") ;;
    fuzz_ini) seeds=("$INI_SEEDS") ;;
  esac
  "$BUILD/bin/$t" -max_total_time="$SECONDS_EACH" -timeout="$PER_INPUT" -max_len=1048576 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$ARTIFACTS/" "$corpus" "${seeds[@]}" \
    >"$WORK/$t.log" 2>&1 || {
    # The report without AddressSanitizer's shadow-memory map.
    grep -v -E '^  (0x|[A-Z][A-Za-z ]+:)|^Shadow byte' "$WORK/$t.log" | tail -n 50 || true
    echo "fuzz: $t failed; the input is in $ARTIFACTS/" >&2
    exit 1
  }
  awk '/^stat::number_of_executed_units/ { r = $2 } /^stat::slowest_unit_time_sec/ { s = $2 }
       /^stat::peak_rss_mb/ { m = $2 } END { printf "%s runs, slowest input %s s, peak %s MB\n", r, s, m }' "$WORK/$t.log"
done
echo "fuzz: all ${#TARGETS[@]} targets ran clean"
