#!/usr/bin/env bash
# The main job: builds (Release), fetches the public corpus if it is not
# cached, trains the token model on the training split (easy-ham-1, spam-1),
# scans the evaluation split (easy-ham-2, hard-ham-1, spam-2) with two
# threads and prints accuracy per folder and messages per second.
#
# Environment: BUILD_DIR (default build-release), JOBS (default 2),
# ASCAN_CORPUS_DIR (corpus cache, see scripts/fetch_corpus.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build-release}"
JOBS="${JOBS:-2}"

scripts/deps.sh >/dev/null
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DASCORE_TESTS=OFF -DASCORE_BENCH=OFF >/dev/null
cmake --build "$BUILD_DIR" --target ascan >/dev/null

CORPUS="$(scripts/fetch_corpus.sh)"
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
ASCAN="$BUILD_DIR/bin/ascan"

echo "== training on easy-ham-1 and spam-1"
"$ASCAN" train --glob '*.txt' --ham "$CORPUS/easy-ham-1" --spam "$CORPUS/spam-1" -o "$WORK/model.bin"

echo "== scanning easy-ham-2, hard-ham-1 and spam-2 with -j $JOBS"
set +e
"$ASCAN" scan -j "$JOBS" --model "$WORK/model.bin" --glob '*.txt' \
  "$CORPUS/easy-ham-2" "$CORPUS/hard-ham-1" "$CORPUS/spam-2" >"$WORK/results.jsonl" 2>"$WORK/summary.txt"
rc=$?
set -e
if [ "$rc" -ge 2 ]; then
  cat "$WORK/summary.txt" >&2
  echo "main: ascan failed (exit $rc)" >&2
  exit 2
fi
grep -v '^ascan: warning' "$WORK/summary.txt" || true
scripts/score_results.sh "$WORK/results.jsonl"
