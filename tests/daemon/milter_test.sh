#!/usr/bin/env bash
# ascand through the milter protocol, driven by miltertest (milter_cases.lua):
# headers and verdicts, forged headers, aborted and dropped messages, the size
# cap on both sides, a huge body, many recipients, no body, reject and
# error replies, reload (model swap, refused settings), a storm of SIGHUPs,
# stop with a message in progress, a stale socket and a busy one.
# Prints a closing "N passed, N failed" line; exit 77 when miltertest is missing.
set -u
ASCAND="$1"; ASCAN="$2"; MODULES="$3"; SAMPLES="$4"
HERE="$(cd "$(dirname "$0")" && pwd)"
command -v miltertest >/dev/null || { echo "skipped: miltertest is not installed (scripts/deps.sh installs it)"; exit 77; }
TMP="$(mktemp -d)"
SOCK="$TMP/ascand.sock"
PID=""
cleanup() { [ -n "$PID" ] && kill -KILL "$PID" 2>/dev/null; rm -rf "$TMP"; }
trap cleanup EXIT
pass=0; fail=0
check() {
  if eval "$2"; then pass=$((pass + 1)); else
    fail=$((fail + 1)); echo "FAILED: $1"
    [ -f "$TMP/mt.out" ] && sed 's/^/  | /' "$TMP/mt.out" | tail -5
  fi
}

# start NAME [-o key=value]...: a daemon on $SOCK logging to $TMP/NAME.log.
start() {
  local name="$1"; shift
  LOG="$TMP/$name.log"
  "$ASCAND" -c "$TMP/ascand.conf" "$@" >"$LOG" 2>&1 &
  PID=$!
  for _ in $(seq 300); do
    grep -q "info: ready" "$LOG" 2>/dev/null && return 0
    kill -0 "$PID" 2>/dev/null || break
    sleep 0.1
  done
  echo "ascand did not start:"; cat "$LOG"; return 1
}
stop() { kill -TERM "$PID"; wait "$PID"; local rc=$?; PID=""; return $rc; }
mt() { local c="$1"; shift; miltertest -s "$HERE/milter_cases.lua" -D sock="unix:$SOCK" -D case="$c" "$@" >"$TMP/mt.out" 2>&1; }
wait_log() { for _ in $(seq 300); do [ "$(grep -c "$1" "$LOG")" -gt "${2:-0}" ] && return 0; sleep 0.1; done; return 1; }

"$ASCAN" train --spam "$SAMPLES/spam" --ham "$SAMPLES/ham" -o "$TMP/model.bin" 2>/dev/null
printf '[EmlBayesFilter]\nModelPath = %s\n' "$TMP/model.bin" >"$TMP/settings.ini"
cat >"$TMP/ascand.conf" <<CONF
socket = unix:$SOCK
pid_file = $TMP/ascand.pid
log = stderr
log_level = debug
modules = $MODULES
settings = $TMP/settings.ini
max_message_size = 64K
CONF

# --- one daemon for the protocol cases
start main
check "PID file written" '[ "$(cat "$TMP/ascand.pid")" = "$PID" ]'
check "socket mode 0660" '[ "$(stat -c %a "$SOCK")" = 660 ]'
# The fields must read exactly as `ascan filter` writes them for the same
# message (folded lines joined at the tab that starts each continuation).
field() { awk -v n="$1:" 'tolower($1) == tolower(n) { v = substr($0, length(n) + 2); f = 1; next }
  f && /^\t/ { v = v $0; next } { f = 0 } END { print v }' "$2"; }
for f in "$SAMPLES"/ham/*.eml "$SAMPLES"/spam/*.eml; do
  "$ASCAN" filter --modules "$MODULES" --config "$TMP/settings.ini" <"$f" | sed '/^\r\?$/q' >"$TMP/filtered"
  mt headers -D file="$f" -D flag="$(field X-Spam-Flag "$TMP/filtered")" -D score="$(field X-Spam-Score "$TMP/filtered")" \
     -D status="$(field X-Spam-Status "$TMP/filtered")"
  check "headers of $(basename "$f") as ascan filter writes them" '[ $? -eq 0 ]'
done
mt forged; check "forged X-Spam-* headers removed" '[ $? -eq 0 ]'
mt abort; check "aborted message, next one scanned" '[ $? -eq 0 ]'
mt drop; check "dropped connection, next one scanned" '[ $? -eq 0 ]'
mt cap -D cap=65536; check "size cap: at the cap scanned, one byte over not" '[ $? -eq 0 ]'
mt huge -D mib=40; check "40 MiB body not scanned, next message scanned" '[ $? -eq 0 ]'
mt recipients -D count=1000; check "1000 recipients" '[ $? -eq 0 ]'
check "recipients logged" 'grep -q "recipients=1000" "$LOG"'
mt nobody; check "no body, and no headers either" '[ $? -eq 0 ]'
check "aborted and dropped messages logged at debug" '[ "$(grep -c "message aborted" "$LOG")" -ge 1 ]'

# --- reload: a new model is read; a refused settings file keeps the old state
spam="$SAMPLES/spam/01-pills.eml"; ham="$SAMPLES/ham/01-meeting.eml"
mt score -D file="$ham"; before=$(tail -n1 "$TMP/mt.out")
cp "$TMP/model.bin" "$TMP/model.good"
"$ASCAN" train --spam "$SAMPLES/ham" --ham "$SAMPLES/spam" -o "$TMP/model.new" 2>/dev/null
mv "$TMP/model.new" "$TMP/model.bin"
kill -HUP "$PID"; wait_log "info: reloaded"
mt score -D file="$ham"; after=$(tail -n1 "$TMP/mt.out")
check "reload reads the new model ($before -> $after)" 'awk -v a="$before" -v b="$after" "BEGIN { exit !(a < 0.5 && b >= 0.5) }"'
printf '[EmlBayesFilter]\nModelPath = %s\nNoSuchKey = 1\n' "$TMP/model.bin" >"$TMP/settings.ini"
kill -HUP "$PID"; wait_log "reload failed"
check "refused reload logged with the reason" 'grep -q "reload failed.*NoSuchKey" "$LOG"'
mt score -D file="$ham"; kept=$(tail -n1 "$TMP/mt.out")
check "refused reload keeps the running state" '[ "$kept" = "$after" ]'
printf '[EmlBayesFilter]\nModelPath = %s\n[EmlVerdictPerformer]\nSpamThreshold = 5\n' "$TMP/model.bin" >"$TMP/settings.ini"
kill -HUP "$PID"; wait_log "reload failed" 1
check "value refused by a module: reload fails naming it" 'grep -q "reload failed.*SpamThreshold" "$LOG"'
mt score -D file="$ham"; kept=$(tail -n1 "$TMP/mt.out")
check "refused value: previous settings still scan" '[ "$kept" = "$after" ]'
printf '[EmlBayesFilter]\nModelPath = %s\n' "$TMP/model.bin" >"$TMP/settings.ini"
mv "$TMP/model.good" "$TMP/model.bin"

# --- SIGHUPs from four senders at once: still serving, never stopped by them
senders=()
for _ in 1 2 3 4; do (for _ in $(seq 300); do kill -HUP "$PID" 2>/dev/null; done) & senders+=($!); done
wait "${senders[@]}"; sleep 1
mt nobody; check "serving after 1200 SIGHUPs" '[ $? -eq 0 ] && kill -0 "$PID"'

# --- a second daemon on the same socket and PID file is refused
"$ASCAND" -c "$TMP/ascand.conf" >"$TMP/second.log" 2>&1; rc=$?
check "second daemon refused (exit 2)" '[ $rc -eq 2 ] && grep -q "held by a running ascand\|listening" "$TMP/second.log"'

# --- SIGTERM while a message is in progress: it is finished, new ones refused
mt slow -D pause=3 & mtpid=$!
sleep 1.5; kill -TERM "$PID"
wait $mtpid; check "message in progress finished at stop, new one refused" '[ $? -eq 0 ]'
wait "$PID"; rc=$?; PID=""
check "clean stop exits 0" '[ $rc -eq 0 ]'
check "socket and PID file removed" '[ ! -e "$SOCK" ] && [ ! -e "$TMP/ascand.pid" ]'
check "stop summary logged" 'grep -q "info: stopped:" "$LOG"'

# --- a socket left behind by a killed daemon does not block the next start
start killed && kill -KILL "$PID" && wait "$PID" 2>/dev/null; PID=""
check "stale socket left behind" '[ -S "$SOCK" ]'
start restarted -o reject_score=0.5; check "starts over a stale socket" '[ -n "$PID" ]'
mt reply -D file="$spam" -D code=550 -D dsn=5.7.1 -D text="Message rejected as spam"; check "spam over reject_score gets 550 5.7.1" '[ $? -eq 0 ]'
mt headers -D file="$SAMPLES/ham/01-meeting.eml" -D flag=NO; check "ham below reject_score accepted" '[ $? -eq 0 ]'
stop

# --- scanning fails (a fault point of test builds): on_error decides
export ASCAND_FAULT=scan
start tempfail -o on_error=tempfail
mt reply -D code=451 -D dsn=4.7.1 -D text="Mail filter failure, try again later"; check "scan failure with on_error=tempfail gets 451 4.7.1" '[ $? -eq 0 ]'
stop
start accept -o on_error=accept
mt unchanged; check "scan failure with on_error=accept passes the message unchanged" '[ $? -eq 0 ]'
check "scan failure logged" 'grep -q "error: .*scan failed" "$LOG"'
stop
unset ASCAND_FAULT

# --- command line and configuration errors
"$ASCAND" --help >"$TMP/help.txt"; check "--help exits 0 and lists the keys" '[ $? -eq 0 ] && grep -q reject_score "$TMP/help.txt"'
printf 'socket = unix:%s\nworkers = 0\n' "$SOCK" >"$TMP/bad.conf"
"$ASCAND" -c "$TMP/bad.conf" 2>"$TMP/bad.err"; rc=$?
check "bad value: exit 2 naming file and line" '[ $rc -eq 2 ] && grep -q "bad.conf:2: workers" "$TMP/bad.err"'
"$ASCAND" -c "$TMP/ascand.conf" -o model="$TMP/none.bin" --check >/dev/null 2>"$TMP/check.err"; rc=$?
check "--check with a missing model exits 2" '[ $rc -eq 2 ] && grep -q "none.bin" "$TMP/check.err"'

echo "$pass passed, $fail failed"
[ "$fail" -eq 0 ]
