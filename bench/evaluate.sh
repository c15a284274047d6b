#!/usr/bin/env bash
# The filter evaluation: ascan and bogofilter side by side, on the same
# folds, in one run.
#
#   1. Stratified K-fold cross-validation (K = 5) over every folder of the
#      public corpus (6,046 messages), with three fixed seeds: each fold
#      trains a fresh model of each tool on the other folds and classifies
#      the held-out one.
#   2. The learning curve: the same folds, each model trained on only N
#      messages drawn from its training folds (a new user's filter).
#   3. The fixed split: train on easy-ham-1 + spam-1, test on the rest.
#
# Per tool it prints false positives, spam caught and unsure at the tool's
# default settings, 1-ROCA (area above the ROC curve, %), spam caught at
# <= 0.1 % and <= 1 % false-positive rate (ranges over the seeds), scanning
# speed (ascan with -j 1 and -j JOBS, bogofilter as one process in bulk
# mode), the model's size on disk and a scan's peak memory.
#
# Environment: BUILD_DIR (default build-release), JOBS (default 2), SEEDS
# (default "1 2 3"), FOLDS (default 5), CURVE (training sizes, default
# "200 500"), ASCAN_CORPUS_DIR (see scripts/fetch_corpus.sh), KEEP=1 keeps
# the work directory.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build-release}"
JOBS="${JOBS:-2}"
SEEDS="${SEEDS:-1 2 3}"
FOLDS="${FOLDS:-5}"
CURVE="${CURVE:-200 500}"

scripts/deps.sh >/dev/null
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=Release -DASCORE_TESTS=OFF -DASCORE_BENCH=ON >/dev/null
cmake --build "$BUILD_DIR" --target ascan mail_eval >/dev/null
CORPUS="$(scripts/fetch_corpus.sh)"
ASCAN="$BUILD_DIR/bin/ascan"
EVAL="$BUILD_DIR/bin/mail_eval"
WORK="$(mktemp -d)"
[ "${KEEP:-0}" = 1 ] && echo "work directory: $WORK" || trap 'rm -rf "$WORK"' EXIT

now() { date +%s.%N; }
add() { awk -v a="$1" -v b="$2" -v c="$3" 'BEGIN { printf "%.6f", a + c - b }'; }

# A directory of links to the files of a list, for tools that read folders.
link_dir() {
  mkdir -p "$2"
  xargs -a "$1" -d '\n' ln -s -t "$2"
}

# Per run (a name and a fold directory with train-ham.list, train-spam.list
# and test.list): trains both tools, classifies the test list, appends
# "label score verdict" lines to $WORK/<tool>.<name> and the scan times to
# $WORK/time.<tool>.
run_fold() {
  local name="$1" d="$2" n
  cut -d' ' -f2- "$d/test.list" >"$d/test.files"
  n=$(wc -l <"$d/test.files")
  # ascan
  link_dir "$d/train-ham.list" "$d/ham"
  link_dir "$d/train-spam.list" "$d/spam"
  "$ASCAN" train --ham "$d/ham" --spam "$d/spam" -o "$d/model" 2>"$d/train.log" ||
    { cat "$d/train.log" >&2; exit 2; }
  link_dir "$d/test.files" "$d/test"
  local t0 t1 rc=0
  t0=$(now)
  "$ASCAN" scan -j "$JOBS" --model "$d/model" "$d/test" >"$d/ascan.jsonl" 2>"$d/scan.log" || rc=$?
  t1=$(now)
  [ "$rc" -lt 2 ] || { cat "$d/scan.log" >&2; exit 2; }
  echo "$n $t0 $t1" >>"$WORK/time.ascan"
  # One worker too, for the per-process rate (sharing the machine with
  # nothing else of ours).
  t0=$(now)
  "$ASCAN" scan -j 1 --model "$d/model" --quiet "$d/test" 2>/dev/null || true
  t1=$(now)
  echo "$n $t0 $t1" >>"$WORK/time.ascan1"
  awk 'NR == FNR { split($0, p, " "); f = substr($0, length(p[1]) + 2); n = split(f, q, "/"); lab[q[n]] = p[1]; next }
       /"verdict"/ {
         path = $0; sub(/^\{"path":"/, "", path); sub(/".*/, "", path)
         n = split(path, q, "/"); score = $0; sub(/.*"score":/, "", score); sub(/[,}].*/, "", score)
         v = "H"; if ($0 ~ /"verdict":"spam"/) v = "S"; else if ($0 ~ /"verdict":"unsure"/) v = "U"
         print lab[q[n]], score, v
       }' "$d/test.list" "$d/ascan.jsonl" >>"$WORK/ascan.$name"
  # bogofilter
  mkdir -p "$d/bf"
  xargs -a "$d/train-spam.list" -d '\n' bogofilter -d "$d/bf" -s -B
  xargs -a "$d/train-ham.list" -d '\n' bogofilter -d "$d/bf" -n -B
  t0=$(now)
  xargs -a "$d/test.files" -d '\n' bogofilter -d "$d/bf" -T -B >"$d/bf.verdicts" || true
  t1=$(now)
  echo "$n $t0 $t1" >>"$WORK/time.bogofilter"
  xargs -a "$d/test.files" -d '\n' bogofilter -d "$d/bf" -TT -B >"$d/bf.scores" || true
  paste -d' ' <(cut -d' ' -f1 "$d/test.list") <(awk '{ print $NF }' "$d/bf.scores") \
    <(awk '{ print $(NF - 1) }' "$d/bf.verdicts") >>"$WORK/bogofilter.$name"
}

# A training list cut down to a stratified random share of N messages.
shrink() {
  local d="$1" size="$2" seed="$3" nh ns
  nh=$(wc -l <"$d/train-ham.list")
  ns=$(wc -l <"$d/train-spam.list")
  local keep_s=$(( (size * ns + (nh + ns) / 2) / (nh + ns) ))
  local keep_h=$(( size - keep_s ))
  for c in ham:$keep_h spam:$keep_s; do
    local f="$d/train-${c%%:*}.list"
    awk -v s="$seed" 'BEGIN { srand(s) } { print rand() "\t" $0 }' "$f" | sort -k1,1 | cut -f2- |
      awk -v n="${c##*:}" 'NR <= n' >"$f.part"
    mv "$f.part" "$f"
  done
}

rate() { awk '{ n += $1; t += $3 - $2 } END { printf "%.0f", (t > 0 ? n / t : 0) }' "$1"; }

report() {
  local title="$1" name="$2" files tool
  echo "== $title"
  for tool in ascan bogofilter; do
    files=()
    for s in $SEEDS; do files+=("$WORK/$tool.$name.$s"); done
    [ -e "${files[0]}" ] || files=("$WORK/$tool.$name")
    "$EVAL" metrics --label "$tool" "${files[@]}"
  done
}

echo "corpus: $CORPUS ($(find "$CORPUS" -mindepth 2 -name '*.txt' | wc -l) messages)"
echo "bogofilter $(bogofilter -V 2>&1 | head -n1 | awk '{ print $NF }'), defaults (spam at >= 0.99, unsure from 0.45)"

# 1. Cross-validation.
for s in $SEEDS; do
  mkdir -p "$WORK/cv$s"
  "$EVAL" folds --corpus "$CORPUS" --seed "$s" --folds "$FOLDS" --out "$WORK/cv$s"
  for ((f = 0; f < FOLDS; f++)); do run_fold "cv.$s" "$WORK/cv$s/fold$f"; done
done
report "$FOLDS-fold cross-validation, seeds $SEEDS" cv
echo "learning rate and passes chosen by ascan train's inner cross-validation:" \
  "$(cat "$WORK"/cv*/fold*/train.log | sed -n 's/.*learning rate \([^;]*\);.*/\1/p' | sort | uniq -c | tr -s ' ' | paste -sd,)"
echo "scan speed (messages/s over all test folds): ascan -j $JOBS $(rate "$WORK/time.ascan"), ascan -j 1 $(rate "$WORK/time.ascan1"), bogofilter one process $(rate "$WORK/time.bogofilter")"
awk -v a="$(rate "$WORK/time.ascan")" -v b="$(rate "$WORK/time.bogofilter")" -v c="$(rate "$WORK/time.ascan1")" \
  'BEGIN { printf "speed ratio ascan/bogofilter: %.2f (-j '"$JOBS"'), %.2f (-j 1)\n", a / b, c / b }'
d="$WORK/cv${SEEDS%% *}/fold0"
echo "model size (one fold): ascan $(stat -c %s "$d/model") bytes, bogofilter $(stat -c %s "$d/bf/wordlist.db") bytes"
mem() { /usr/bin/time -f %M "$@" >/dev/null 2>"$WORK/mem" || true; tail -n1 "$WORK/mem"; }
echo "peak memory of a scan of one test fold: ascan -j $JOBS $(mem "$ASCAN" scan -j "$JOBS" --model "$d/model" --quiet "$d/test") KiB," \
  "bogofilter $(mem xargs -a "$d/test.files" -d '\n' bogofilter -d "$d/bf" -T -B) KiB"

# 2. Learning curve.
for size in $CURVE; do
  rm -f "$WORK"/time.*
  for s in $SEEDS; do
    mkdir -p "$WORK/lc$size.$s"
    "$EVAL" folds --corpus "$CORPUS" --seed "$s" --folds "$FOLDS" --out "$WORK/lc$size.$s"
    for ((f = 0; f < FOLDS; f++)); do
      shrink "$WORK/lc$size.$s/fold$f" "$size" "$s$f"
      run_fold "lc$size.$s" "$WORK/lc$size.$s/fold$f"
    done
  done
  report "learning curve: $size training messages per fold, $FOLDS folds, seeds $SEEDS" "lc$size"
done

# 3. The fixed split.
rm -f "$WORK"/time.*
d="$WORK/fixed"
mkdir -p "$d"
find "$CORPUS/easy-ham-1" -name '*.txt' | sort >"$d/train-ham.list"
find "$CORPUS/spam-1" -name '*.txt' | sort >"$d/train-spam.list"
for f in easy-ham-2 hard-ham-1 spam-2; do
  label=0; [[ "$f" == spam* ]] && label=1
  find "$CORPUS/$f" -name '*.txt' | sort | sed "s|^|$label |"
done >"$d/test.list"
run_fold fixed "$d"
report "fixed split: train easy-ham-1 + spam-1, test easy-ham-2 + hard-ham-1 + spam-2" fixed
echo "scan speed: ascan -j $JOBS $(rate "$WORK/time.ascan"), ascan -j 1 $(rate "$WORK/time.ascan1"), bogofilter one process $(rate "$WORK/time.bogofilter")"
