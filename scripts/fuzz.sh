#!/usr/bin/env bash
# Runs every fuzz target (or the ones named) for SECONDS each, starting from a
# copy of its committed corpus, and prints executions and findings per target.
# A crash input is left in build/fuzz/findings/<target>/. With RUNS set, a
# target stops after that many executions (SECONDS still caps its time).
#   [RUNS=N] scripts/fuzz.sh SECONDS [TARGET...]
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds="${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}"
shift
bin="$root/build/fuzz/fuzz"
if (($#)); then
  targets=("$@")
else
  targets=()
  for program in "$bin"/fuzz_*; do
    [[ -x "$program" ]] && targets+=("$(basename "$program" | sed 's/^fuzz_//')")
  done
fi

failed=0
printf '%-28s %14s %s\n' target executions result
for target in "${targets[@]}"; do
  work="$root/build/fuzz/work/$target"
  findings="$root/build/fuzz/findings/$target"
  rm -rf "$work" && mkdir -p "$work" "$findings"
  cp -r "$root/fuzz/corpus/$target/." "$work/"
  dict=()
  [[ -f "$root/fuzz/$target.dict" ]] && dict=(-dict="$root/fuzz/$target.dict")
  log="$root/build/fuzz/work/$target.log"
  runs=()
  [[ -n "${RUNS:-}" ]] && runs=(-runs="$RUNS")
  "$bin/fuzz_$target" "$work" "${dict[@]}" "${runs[@]}" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/" -max_len=140000 -timeout=10 -rss_limit_mb=4096 >"$log" 2>&1
  status=$?
  executions=$(grep -m1 'stat::number_of_executed_units' "$log" | awk '{print $2}')
  if ((status == 0)); then
    result="0 findings"
  else
    result="FINDING (see $findings and $log)"
    failed=1
  fi
  printf '%-28s %14s %s\n' "$target" "${executions:-?}" "$result"
done
exit "$failed"
