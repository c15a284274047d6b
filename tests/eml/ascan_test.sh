#!/usr/bin/env bash
# ascan end to end on the bundled samples: argument handling, exit codes,
# per-message errors, training and the whole pipeline, check and filter
# modes, settings errors, JSON for any file name, interruption, and the
# manual page against --help. Prints a closing "N passed, N failed" line.
set -u
ASCAN="$1"; SAMPLES="$2"; MODULES="$3"; MANPAGE="${4:-}"
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
check "summary on stderr" 'grep -q "3 messages: 0 spam, 3 ham, 0 empty, 0 unsure, 0 errors" "$TMP/ham.err"'

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

# Fail closed: runs that could not look exit 2 (nothing scanned) or 3.
M=(--modules "$MODULES")
HAM="$SAMPLES/ham/01-meeting.eml"; SPAM="$SAMPLES/spam/01-pills.eml"
cp "$TMP/model.bin" "$TMP/v2.bin"; printf '\011' | dd of="$TMP/v2.bin" bs=1 seek=8 conv=notrunc 2>/dev/null
head -c 200 "$TMP/model.bin" >"$TMP/cut.bin"; : >"$TMP/empty.bin"
printf '[EmlVerdictPerformer]\nSpamTreshold = 0.7\n' >"$TMP/typo.ini"
while IFS='|' read -r name want pattern args; do
  eval "set -- $args"
  "$ASCAN" "$@" >"$TMP/o" 2>"$TMP/e"; rc=$?
  check "$name: exit $want" '[ $rc -eq $want ]'
  check "$name: says '$pattern'" 'grep -qF -- "$pattern" "$TMP/o" "$TMP/e"'
done <<'CASES'
missing input|3|"error":"cannot open: No such file|scan "${M[@]}" "$TMP/none.eml" "$HAM"
refused value|2|SpamThreshold: expected a number in (0, 1)|scan "${M[@]}" -s EmlVerdictPerformer/SpamThreshold=5 "$HAM"
misspelt key|2|unknown setting 'EmlVerdictPerformer/SpamTreshold'|scan "${M[@]}" -s EmlVerdictPerformer/SpamTreshold=0.5 "$HAM"
misspelt key in a config file|2|typo.ini:2: unknown setting|scan "${M[@]}" --config "$TMP/typo.ini" "$HAM"
empty model|2|is not usable|scan "${M[@]}" --model "$TMP/empty.bin" "$HAM"
truncated model|2|is not usable|scan "${M[@]}" --model "$TMP/cut.bin" "$HAM"
model of another version|2|format version 9 is not supported|scan "${M[@]}" --model "$TMP/v2.bin" "$HAM"
train takes no -j|2|-j|train -j 2 --spam "$SAMPLES/spam" --ham "$SAMPLES/ham" -o "$TMP/x.bin"
train takes no --model|2|--model|train --model "$TMP/model.bin" --spam "$SAMPLES/spam" --ham "$SAMPLES/ham" -o "$TMP/x.bin"
every --spam is used|0|trained on 4 spam|train --spam "$SAMPLES/spam" --spam "$HAM" --ham "$SAMPLES/ham" -o "$TMP/x.bin"
version|0|ascan 2.|--version
learn needs one mode|2|Exactly 1 option|learn "${M[@]}" --model "$TMP/model.bin" "$HAM"
learn needs a model|2|learn needs a model file|learn "${M[@]}" --spam "$HAM"
learn refuses a corrupt model|2|is not usable|learn "${M[@]}" --spam --model "$TMP/cut.bin" "$HAM"
train keeps an existing model|2|--force replaces it|train --spam "$SAMPLES/spam" --ham "$HAM" -o "$TMP/cut.bin"
CASES
check "refused models are left as they were" '[ "$(head -c 200 "$TMP/model.bin" | cmp - "$TMP/cut.bin" && echo same)" = same ]'
for cmd in "" scan check filter train learn; do
  "$ASCAN" $cmd --help >"$TMP/help" 2>&1; rc=$?
  check "--help ${cmd:-(top)} exits 0 and gives the exit codes" '[ $rc -eq 0 ] && grep -q "Exit status" "$TMP/help"'
  [ -n "$MANPAGE" ] || continue
  for opt in $(grep -oE -- "--[a-z][a-z-]+" "$TMP/help" | sort -u); do
    [ "$opt" = --help ] && continue
    check "manual page documents ${cmd:-ascan} $opt" 'grep -qF -- "$opt" "$MANPAGE"'
  done
done

# Empty input has its own verdict; tmp outside a Maildir is mail too.
mkdir -p "$TMP/n/tmp"; : >"$TMP/n/zero.eml"; cp "$HAM" "$TMP/n/tmp/kept.eml"
"$ASCAN" scan "${M[@]}" "$TMP/n" >"$TMP/o" 2>/dev/null; rc=$?
check "0-byte file is empty, not spam" '[ $rc -eq 0 ] && grep -q "zero.eml\",\"verdict\":\"empty\",\"score\":0" "$TMP/o"'
check "tmp outside a Maildir is scanned" 'grep -q "tmp/kept.eml" "$TMP/o"'

# Any file name gives valid JSON, and the exact bytes come back from path_hex.
bad="$(printf 'bad\377\376name')"; cp "$HAM" "$TMP/n/$bad"; cp "$HAM" "$TMP/n/q\"uo\\te"
# (jq reads invalid UTF-8 without complaint; iconv does not.)
"$ASCAN" scan "${M[@]}" --model "$TMP/model.bin" "$TMP/n" >"$TMP/o" 2>/dev/null
check "every line is UTF-8 and parses as JSON" \
  'iconv -f UTF-8 -t UTF-8 "$TMP/o" >/dev/null 2>&1 && jq -e . "$TMP/o" >/dev/null && [ "$(jq -s length "$TMP/o")" -eq 4 ]'
check "path_hex holds the bytes of a non-UTF-8 name" \
  '[ "$(jq -r "select(.path_hex) | .path_hex" "$TMP/o")" = "$(printf "%s" "$TMP/n/$bad" | od -An -tx1 | tr -d " \n")" ]'
"$ASCAN" scan "${M[@]}" --explain --model "$TMP/model.bin" "$TMP/n" >"$TMP/o" 2>/dev/null
check "--explain gives rules and tokens" '[ "$(jq -s "map(select(.rules and .tokens)) | length" "$TMP/o")" -eq 4 ] &&
  [ "$(jq -s "map(select(.verdict == \"ham\" and (.tokens | length) > 0)) | length" "$TMP/o")" -eq 3 ]'

# check and filter: one message on standard input.
"$ASCAN" check "${M[@]}" <"$HAM" >"$TMP/o"; rc=$?
check "check: ham exits 0 with one line" \
  '[ $rc -eq 0 ] && [ "$(wc -l <"$TMP/o")" -eq 1 ] && jq -e ".verdict == \"ham\"" "$TMP/o" >/dev/null'
"$ASCAN" check "${M[@]}" <"$SPAM" >/dev/null; check "check: spam exits 1" '[ $? -eq 1 ]'
"$ASCAN" scan "${M[@]}" - <"$SPAM" >"$TMP/o" 2>/dev/null; rc=$?
check "scan - reads standard input" '[ $rc -eq 1 ] && grep -q "\"path\":\"-\",\"verdict\":\"spam\"" "$TMP/o"'
printf 'Subject: hi\r\nX-Spam-Flag: FORGED\r\n\r\nbody \000 bytes\r\n\r\n\r\nFrom x\r\n' >"$TMP/crlf.eml"
"$ASCAN" filter "${M[@]}" <"$TMP/crlf.eml" >"$TMP/o"; rc=$?
check "filter exits 0" '[ $rc -eq 0 ]'
check "filter keeps the body byte for byte" 'cmp -s <(tail -c 27 "$TMP/crlf.eml") <(tail -c 27 "$TMP/o")'
check "filter adds three CRLF fields and drops the forged one" \
  '[ "$(tr -d "\r" <"$TMP/o" | grep -c "^X-Spam-")" -eq 3 ] && [ "$(grep -c "^X-Spam-.*"$(printf "\r")"\$" "$TMP/o")" -eq 3 ] && ! grep -q FORGED "$TMP/o"'
"$ASCAN" filter --modules "$TMP/none" <"$TMP/crlf.eml" >"$TMP/o" 2>"$TMP/e"; rc=$?
check "filter that cannot start passes the message on unchanged, exit 2" '[ $rc -eq 2 ] && cmp -s "$TMP/crlf.eml" "$TMP/o"'
"$ASCAN" filter --no-such-option <"$TMP/crlf.eml" >"$TMP/o" 2>/dev/null; rc=$?
check "filter called wrongly still passes the message on" '[ $rc -eq 2 ] && cmp -s "$TMP/crlf.eml" "$TMP/o"'

# Ctrl-C: lines already decided are out, then the summary.
(cat "$SPAM"; sleep 20) | "$ASCAN" scan "${M[@]}" "$SAMPLES/ham" - >"$TMP/o" 2>"$TMP/e" & pid=$!
seen=0
for _ in $(seq 200); do [ "$(wc -l <"$TMP/o")" -ge 3 ] && { seen=1; break; }; sleep 0.1; done
kill -INT "$pid"; wait "$pid"; rc=$?
check "interrupted scan exits 130" '[ $rc -eq 130 ]'
check "its finished lines were out before the interrupt" \
  '[ $seen -eq 1 ] && [ "$(grep -c "\"verdict\":\"ham\"" "$TMP/o")" -eq 3 ]'
check "and the summary says so" 'grep -q "3 messages: 0 spam, 3 ham.*interrupted" "$TMP/e"'

# learn: corrections through the core; forget restores the file byte for byte.
NEW="$TMP/new.eml"; printf 'From: dan@example.org\nSubject: lunch\n\nlunch on friday at noon, usual place\n' >"$NEW"
cp "$TMP/model.bin" "$TMP/learn.bin"; L=(learn "${M[@]}" --model "$TMP/learn.bin")
verdict() { "$ASCAN" scan "${M[@]}" --model "$TMP/learn.bin" "$NEW" 2>/dev/null | jq -r .verdict; }
before="$(verdict)"
"$ASCAN" "${L[@]}" --spam "$NEW" >"$TMP/o" 2>"$TMP/e"; rc=$?
check "learn --spam: learned, and the verdict turns to spam" \
  '[ $rc -eq 0 ] && jq -e ".learn == \"learned\"" "$TMP/o" >/dev/null && [ "$before" = ham ] && [ "$(verdict)" = spam ]'
check "learn summary gives the model's counts" 'grep -q "1 learned.*the model holds 4 spam and 3 ham" "$TMP/e"'
"$ASCAN" "${L[@]}" --ham "$NEW" >"$TMP/o" 2>/dev/null
check "learn --ham moves it over" 'jq -e ".learn == \"relearned\"" "$TMP/o" >/dev/null && [ "$(verdict)" = ham ]'
"$ASCAN" "${L[@]}" --forget "$NEW" "$NEW" >"$TMP/o" 2>/dev/null; rc=$?
check "forget, then forget again" '[ $rc -eq 0 ] && [ "$(jq -r .learn "$TMP/o" | tr "\n" ,)" = "forgotten,not learned," ]'
check "forget restores the model file exactly" 'cmp -s "$TMP/learn.bin" "$TMP/model.bin"'
printf '\n\n' | "$ASCAN" "${L[@]}" --spam - >"$TMP/o" 2>/dev/null; rc=$?
check "an empty message is not learned" '[ $rc -eq 3 ] && grep -q "cannot learn an empty message" "$TMP/o" && cmp -s "$TMP/learn.bin" "$TMP/model.bin"'
"$ASCAN" train --force --spam "$SAMPLES/spam" --ham "$HAM" -o "$TMP/cut.bin" 2>/dev/null
check "train --force replaces a model" '[ $? -eq 0 ] && "$ASCAN" scan "${M[@]}" --model "$TMP/cut.bin" "$HAM" >/dev/null 2>&1'
# Two learners at once, into a model that does not exist yet: both count.
for p in a b; do
  for i in $(seq 12); do printf 'From %s@x Thu Aug 22 12:36:23 2002\nSubject: %s %s\n\nbody %s %s\n' $p $p $i $p $i; done >"$TMP/$p.mbox"
done
"$ASCAN" learn "${M[@]}" --model "$TMP/fresh.bin" --spam -q "$TMP/a.mbox" 2>/dev/null & pa=$!
"$ASCAN" learn "${M[@]}" --model "$TMP/fresh.bin" --ham -q "$TMP/b.mbox" 2>/dev/null; rb=$?; wait $pa; ra=$?
"$ASCAN" learn "${M[@]}" --model "$TMP/fresh.bin" --forget "$TMP/a.mbox" "$TMP/b.mbox" >"$TMP/o" 2>/dev/null
check "two learners at once: both count" '[ $ra$rb = 00 ] && [ "$(grep -c "\"forgotten\"" "$TMP/o")" -eq 24 ]'

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
