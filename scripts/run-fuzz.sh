#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for the given seconds each.
# A finding (crash, leak, timeout, one allocation above the malloc limit)
# fails the run: decoders must bound what they allocate by the bytes given.
set -euo pipefail
dir="$1"; secs="$2"
list="$dir/fuzz_targets.txt"
[[ -f "$list" ]] || { echo "fuzz: no targets"; exit 0; }
while read -r t; do
  [[ -z "$t" ]] && continue
  exe="$(find "$dir" -type f -name "$t" -perm -u+x | head -1)"
  corpus="$dir/corpus/$t"; mkdir -p "$corpus"
  echo "fuzz: $t for ${secs}s"
  "$exe" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb="${ZV_FUZZ_MALLOC_LIMIT_MB:-64}" -print_final_stats=0 "$corpus" >"$dir/$t.log" 2>&1 \
    || { tail -50 "$dir/$t.log"; echo "fuzz: $t found a failure"; exit 1; }
done < "$list"
echo "fuzz: all targets clean"
