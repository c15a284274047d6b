#!/usr/bin/env bash
# Hostile inputs against the built ascan: endless devices, link loops, FIFOs,
# huge lines, broken models, mailboxes of empty messages. Every run must end
# within its time limit, stay under the memory bound (peak resident set, KiB;
# 0 skips that check, as under AddressSanitizer) and exit as documented.
#
# usage: hostile_test.sh ASCAN SAMPLES MODULES MEMORY_BOUND_KIB
set -u
ASCAN="$1"; SAMPLES="$2"; MODULES="$3"; BOUND="${4:-262144}"
LIMIT=60   # seconds per run, generous for a loaded machine
TMP="$(mktemp -d)"; trap 'rm -rf "$TMP"' EXIT
pass=0; fail=0

# run NAME EXPECTED_STATUSES CMD...: runs CMD under the time limit with its
# peak memory measured; stdout to $TMP/out, stderr to $TMP/err.
run() {
  local name="$1" want="$2"; shift 2
  local start=$SECONDS
  timeout -s KILL "$LIMIT" /usr/bin/time -f %M -o "$TMP/mem" "$@" >"$TMP/out" 2>"$TMP/err"
  local rc=$? kib
  kib="$(tail -n 1 "$TMP/mem" 2>/dev/null)"
  local why=""
  if [ "$rc" -eq 137 ]; then why="did not end within ${LIMIT} s"
  elif ! [[ " $want " == *" $rc "* ]]; then why="exit $rc, expected one of: $want"
  elif [ "$BOUND" -gt 0 ] && [ "${kib:-0}" -gt "$BOUND" ]; then why="peak memory ${kib} KiB > ${BOUND} KiB"
  fi
  if [ -z "$why" ]; then
    pass=$((pass + 1))
    echo "ok: $name (exit $rc, ${kib:-?} KiB, $((SECONDS - start)) s)"
    return 0
  fi
  fail=$((fail + 1))
  echo "FAILED: $name: $why"; head -c 400 "$TMP/err"
  return 1
}
# expect NAME CONDITION: one more check on the last run's output.
expect() { if eval "$2"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAILED: $1"; fi; }

S=(--modules "$MODULES")
HAM="$SAMPLES/ham/01-meeting.eml"

# Devices and endless input.
run "/dev/zero named on the command line is not read" 3 "$ASCAN" scan "${S[@]}" /dev/zero
expect "its error line says why" 'grep -q "\"path\":\"/dev/zero\",\"error\":\"not read: a character device" "$TMP/out"'
run "/dev/zero with --read-special is read up to the cap" "0 1" "$ASCAN" scan "${S[@]}" --read-special /dev/zero
expect "and marked truncated" 'grep -q "\"truncated\":true" "$TMP/out"'
run "check on endless standard input stops at the cap" "0 1" sh -c '"$0" check --modules "$1" </dev/zero' "$ASCAN" "$MODULES"
# A file larger than the memory bound: one line of 320 MiB (sparse, so it
# costs no disk), which a tool that reads whole files cannot hold.
truncate -s 320M "$TMP/huge-line"
run "a 320 MiB single line" "0 1" "$ASCAN" scan "${S[@]}" "$TMP/huge-line"
expect "is scanned truncated" 'grep -q "\"truncated\":true" "$TMP/out"'
run "filter passes a 320 MiB message on whole" 0 \
  bash -c 'set -o pipefail; "$0" filter --modules "$1" <"$2" | wc -c' "$ASCAN" "$MODULES" "$TMP/huge-line"
expect "every byte of it, plus the fields" '[ "$(cat "$TMP/out")" -gt $((320 << 20)) ]'

# Folders with link loops, FIFOs and device links.
mkdir -p "$TMP/loops/sub"; cp "$HAM" "$TMP/loops/m.eml"
ln -s . "$TMP/loops/self"; ln -s . "$TMP/loops/self2"; ln -s .. "$TMP/loops/sub/up"
mkfifo "$TMP/loops/pipe.eml"; ln -s /dev/zero "$TMP/loops/zero.eml"
for follow in "" --follow-links; do
  run "folder with link loops, a FIFO and a device link ${follow:-(links not followed)}" 3 \
    "$ASCAN" scan "${S[@]}" $follow "$TMP/loops"
  expect "the message is reported once ${follow}" '[ "$(grep -c "m.eml\"" "$TMP/out")" -eq 1 ]'
  expect "the FIFO and the device get error lines ${follow}" \
    '[ "$(grep -c "\"error\":\"not read: a" "$TMP/out")" -eq 2 ]'
done
mkdir -p "$TMP/train-spam"; cp "$SAMPLES"/spam/* "$TMP/train-spam/"; mkfifo "$TMP/train-spam/pipe"
run "train over a folder with a FIFO ends and says so" 3 \
  "$ASCAN" train --spam "$TMP/train-spam" --ham "$SAMPLES/ham" -o "$TMP/model.bin"
expect "the model is written" '[ -s "$TMP/model.bin" ]'
mkfifo "$TMP/named-pipe"
run "a named FIFO without --read-special is not opened" 3 "$ASCAN" scan "${S[@]}" "$TMP/named-pipe"

# Models that cannot be used stop the run before scanning.
head -c 1048576 /dev/urandom >"$TMP/random.bin"
head -c 100 "$TMP/model.bin" >"$TMP/cut.bin"
for m in /dev/zero "$TMP/named-pipe" "$TMP/random.bin" "$TMP/cut.bin" "$TMP/absent.bin"; do
  run "model $(basename "$m") is refused" 2 "$ASCAN" scan "${S[@]}" --model "$m" "$HAM"
  expect "with nothing scanned ($(basename "$m"))" '[ ! -s "$TMP/out" ] && grep -q "is not usable" "$TMP/err"'
done

# Many empty messages: their own verdict, never spam.
awk 'BEGIN { for (i = 0; i < 100000; i++) print "From a@b Thu Aug 22 12:36:23 2002" }' >"$TMP/bare.mbox"
run "an mbox of 100,000 bare separator lines" 0 "$ASCAN" scan "${S[@]}" -q "$TMP/bare.mbox"
expect "gives 100,000 empty verdicts" 'grep -q "100000 messages: 0 spam, 0 ham, 100000 empty" "$TMP/err"'

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
