#!/usr/bin/env bash
# Builds the native release configuration and runs every benchmark with
# repetitions, printing the median CPU time of each case. Cases that belong
# together (a subject and its baseline) run side by side in one program, so
# their ratio is measured under the same load.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/setup.sh
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j"$(nproc)"
for program in build/native-release/bench/*_bench; do
  [[ -x "$program" ]] || continue
  echo "== $(basename "$program")"
  "$program" --benchmark_repetitions="${REPETITIONS:-7}" --benchmark_report_aggregates_only=true \
    --benchmark_min_time="${MIN_TIME:-0.2}" 2>/dev/null |
    awk '/_median/ { name = $1; sub(/_median$/, "", name); printf "%-48s %12s %s\n", name, $4, $5 }'
done
