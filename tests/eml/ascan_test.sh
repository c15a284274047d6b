#!/usr/bin/env bash
# ascan end to end on the bundled samples: argument handling, exit codes,
# per-message errors, training and the whole pipeline. Prints a closing
# "N passed, N failed" line.
set -u
ASCAN="$1"; SAMPLES="$2"; MODULES="$3"
TMP="$(mktemp -d)"; trap 'rm -rf "$TMP"' EXIT
pass=0; fail=0
check() { if eval "$2"; then pass=$((pass + 1)); else fail=$((fail + 1)); echo "FAILED: $1"; fi; }

"$ASCAN" >/dev/null 2>&1; check "no command exits 2" '[ $? -eq 2 ]'
"$ASCAN" scan >/dev/null 2>&1; check "scan without PATH exits 2" '[ $? -eq 2 ]'
"$ASCAN" scan -j 0 "$SAMPLES" >/dev/null 2>&1; check "-j 0 is refused" '[ $? -eq 2 ]'
"$ASCAN" scan --bogus "$SAMPLES" >/dev/null 2>&1; check "unknown option exits 2" '[ $? -eq 2 ]'
"$ASCAN" scan -s novalue "$SAMPLES" >/dev/null 2>&1; check "-s without = exits 2" '[ $? -eq 2 ]'
"$ASCAN" scan --modules "$TMP/none" "$SAMPLES" >/dev/null 2>"$TMP/err"; rc=$?
check "missing modules directory exits 2" '[ $rc -eq 2 ] && grep -q "cannot start the core" "$TMP/err"'
"$ASCAN" train --spam "$SAMPLES/spam" -o "$TMP/m.bin" >/dev/null 2>&1; check "train without --ham exits 2" '[ $? -eq 2 ]'

# No --modules: ascan finds the build tree's modules next to its own directory.
ASCORE_MODULES= "$ASCAN" scan "$SAMPLES/ham" >"$TMP/ham.jsonl" 2>"$TMP/ham.err"; rc=$?
check "ham only exits 0" '[ $rc -eq 0 ]'
check "one JSON line per ham sample" '[ "$(grep -c "\"verdict\":\"ham\"" "$TMP/ham.jsonl")" -eq 3 ]'
check "summary on stderr" 'grep -q "3 messages: 0 spam, 3 ham, 0 empty, 0 errors" "$TMP/ham.err"'

printf 'From a@b Thu Aug 22 12:36:23 2002\nSubject: one\n\nx\nFrom c@d Fri Aug 23 01:02:03 2002\nSubject: two\n\ny\n' >"$TMP/box.mbox"
head -c 20000 /dev/urandom >"$TMP/junk.bin"
mkdir -p "$TMP/md/cur" "$TMP/md/new" "$TMP/md/tmp"; cp "$SAMPLES/spam/01-pills.eml" "$TMP/md/new/1"; cp "$SAMPLES/ham/01-meeting.eml" "$TMP/md/tmp/ignored"
"$ASCAN" scan --modules "$MODULES" -j 2 "$TMP/box.mbox" "$TMP/junk.bin" "$TMP/nowhere" "$TMP/md" >"$TMP/mix.jsonl" 2>/dev/null; rc=$?
check "an unreadable input makes the run exit 3" '[ $rc -eq 3 ]'
check "mbox split into two messages" 'grep -q "box.mbox#2" "$TMP/mix.jsonl"'
check "unreadable path reported, run goes on" 'grep -q "nowhere\",\"error\"" "$TMP/mix.jsonl"'
check "binary junk gets a verdict" 'grep -q "junk.bin\",\"verdict\"" "$TMP/mix.jsonl"'
check "Maildir tmp skipped" '! grep -q ignored "$TMP/mix.jsonl"'

# The whole pipeline: train on the samples, then scan them with the model.
"$ASCAN" train --spam "$SAMPLES/spam" --ham "$SAMPLES/ham" -o "$TMP/model.bin" 2>/dev/null
check "train writes a model" '[ -s "$TMP/model.bin" ]'
printf '[EmlBayesFilter]\nModelPath = %s\n' "$TMP/model.bin" >"$TMP/conf.ini"
"$ASCAN" scan --modules "$MODULES" --config "$TMP/conf.ini" -s EmlVerdictPerformer/SpamThreshold=0.5 "$SAMPLES" >"$TMP/all.jsonl" 2>/dev/null; rc=$?
check "pipeline exits 1" '[ $rc -eq 1 ]'
check "every spam sample flagged" '[ "$(grep "/spam/" "$TMP/all.jsonl" | grep -c "\"verdict\":\"spam\"")" -eq 3 ]'
check "no ham sample flagged" '[ "$(grep "/ham/" "$TMP/all.jsonl" | grep -c "\"verdict\":\"spam\"")" -eq 0 ]'
"$ASCAN" scan --modules "$MODULES" --model "$TMP/absent.bin" "$SAMPLES/ham" >/dev/null 2>&1; rc=$?
check "missing model stops the run" '[ $rc -eq 2 ]'

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
