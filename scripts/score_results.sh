#!/usr/bin/env bash
# Reads ascan's JSON lines and prints accuracy per corpus folder: a folder
# whose name contains "spam" holds spam, every other folder ham.
set -euo pipefail
awk '
  {
    path = $0; sub(/^\{"path":"/, "", path); sub(/".*/, "", path)
    n = split(path, parts, "/"); folder = (n >= 2) ? parts[n - 1] : "."
    verdict = "error"
    # An empty message is not spam: it counts with the ham.
    if ($0 ~ /"verdict":"spam"/) verdict = "spam"; else if ($0 ~ /"verdict":"(ham|empty)"/) verdict = "ham"
    total[folder]++; count[folder, verdict]++
  }
  END {
    printf "%-12s %8s %8s %8s %8s\n", "folder", "messages", "as spam", "as ham", "errors"
    for (f in total) {
      printf "%-12s %8d %8d %8d %8d\n", f, total[f], count[f, "spam"], count[f, "ham"], count[f, "error"]
      if (f ~ /spam/) { ns += total[f]; fn += count[f, "ham"] + count[f, "error"]; caught += count[f, "spam"] }
      else { nh += total[f]; fp += count[f, "spam"] }
    }
    printf "false positives: %d of %d ham (%.2f%%)\n", fp, nh, nh ? 100 * fp / nh : 0
    printf "false negatives: %d of %d spam; spam caught: %.1f%%\n", fn, ns, ns ? 100 * caught / ns : 0
  }' "$1"
