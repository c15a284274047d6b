#!/usr/bin/env bash
# Side by side on the same split: bogofilter (Debian package, sqlite backend,
# default settings) and ascan. Both train on easy-ham-1 + spam-1 and classify
# easy-ham-2 + hard-ham-1 + spam-2; prints each tool's accuracy (a binary
# verdict: bogofilter's "S" is spam, "H" and "U" are not) and its messages per
# second measured as the wall time of one classification run (bogofilter: one
# process in bulk mode; ascan: -j 2, or JOBS).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build-release}"
JOBS="${JOBS:-2}"

if ! command -v bogofilter >/dev/null; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq bogofilter-sqlite bogofilter
fi
scripts/deps.sh >/dev/null
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DASCORE_TESTS=OFF -DASCORE_BENCH=OFF >/dev/null
cmake --build "$BUILD_DIR" --target ascan >/dev/null
CORPUS="$(scripts/fetch_corpus.sh)"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
EVAL=(easy-ham-2 hard-ham-1 spam-2)

now() { date +%s.%N; }
rate() { awk -v n="$1" -v a="$2" -v b="$3" 'BEGIN { printf "%.0f", n / (b - a) }'; }

# --- bogofilter
mkdir -p "$WORK/bf"
bogofilter -d "$WORK/bf" -s -B "$CORPUS"/spam-1/*.txt
bogofilter -d "$WORK/bf" -n -B "$CORPUS"/easy-ham-1/*.txt
files=()
for f in "${EVAL[@]}"; do files+=("$CORPUS/$f"/*.txt); done
t0=$(now)
bogofilter -d "$WORK/bf" -t -B "${files[@]}" >"$WORK/bf.out" || true
t1=$(now)
bf_rate=$(rate "${#files[@]}" "$t0" "$t1")
paste -d' ' <(printf '%s\n' "${files[@]}") "$WORK/bf.out" | awk '
  { n = split($1, p, "/"); f = p[n - 1]; total[f]++; v[f, $2]++ }
  END {
    for (f in total) {
      printf "  %-12s %5d messages: %5d S, %5d U, %5d H\n", f, total[f], v[f, "S"], v[f, "U"], v[f, "H"]
      if (f ~ /spam/) { ns += total[f]; caught += v[f, "S"] } else { nh += total[f]; fp += v[f, "S"] }
    }
    printf "  false positives %d of %d ham; spam caught %d of %d (%.1f%%)\n", fp, nh, caught, ns, 100 * caught / ns
  }' >"$WORK/bf.summary"

# --- ascan
ASCAN="$BUILD_DIR/bin/ascan"
"$ASCAN" train --glob '*.txt' --ham "$CORPUS/easy-ham-1" --spam "$CORPUS/spam-1" -o "$WORK/model.bin" 2>/dev/null
t0=$(now)
"$ASCAN" scan -j "$JOBS" --model "$WORK/model.bin" --glob '*.txt' "${EVAL[@]/#/$CORPUS/}" \
  >"$WORK/ascan.jsonl" 2>/dev/null || true
t1=$(now)
as_rate=$(rate "${#files[@]}" "$t0" "$t1")

echo "bogofilter $(bogofilter -V 2>&1 | head -n1 | awk '{print $NF}') (one process): ${bf_rate} messages/s"
cat "$WORK/bf.summary"
echo "ascan (-j $JOBS): ${as_rate} messages/s"
scripts/score_results.sh "$WORK/ascan.jsonl" | sed 's/^/  /'
awk -v a="$as_rate" -v b="$bf_rate" 'BEGIN { printf "speed ratio ascan/bogofilter: %.2f\n", a / b }'
