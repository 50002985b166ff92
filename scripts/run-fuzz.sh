#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build within one total time budget:
# the targets share the wall-clock seconds given and the machine's cores, each
# getting at least 10 s. A finding (crash, leak, timeout, one allocation above
# the malloc limit) fails the run: decoders must bound what they allocate by
# the bytes given.
set -euo pipefail
dir="$1"; budget="$2"
list="$dir/fuzz_targets.txt"
[[ -f "$list" ]] || { echo "fuzz: no targets"; exit 0; }
mapfile -t targets < <(grep -v '^$' "$list" || true)
n=${#targets[@]}
((n > 0)) || { echo "fuzz: no targets"; exit 0; }
jobs=$(nproc); ((jobs > n)) && jobs=$n
secs=$(( budget * jobs / n )); ((secs < 10)) && secs=10
echo "fuzz: $n targets, ${secs}s each, $jobs at a time"

run_one() {
  local dir="$1" secs="$2" t="$3"
  local exe corpus
  exe="$(find "$dir" -type f -name "$t" -perm -u+x | head -1)"
  corpus="$dir/corpus/$t"; mkdir -p "$corpus"
  if "$exe" -max_total_time="$secs" -timeout=10 -rss_limit_mb=2048 -malloc_limit_mb=${FUZZ_MALLOC_LIMIT_MB:-64} \
       -print_final_stats=0 "$corpus" >"$dir/$t.log" 2>&1; then
    echo "fuzz: $t clean"
  else
    tail -50 "$dir/$t.log"; echo "fuzz: $t found a failure"; return 1
  fi
}
export -f run_one
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ "$dir" "$secs" {}
echo "fuzz: all targets clean"
