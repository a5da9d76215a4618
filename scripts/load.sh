#!/usr/bin/env bash
# Load on the service installed under Wine with the simulated engines:
# CLIENTS concurrent clients (16) sending REQUESTS mixed requests each (1000).
#   scripts/load.sh [CLIENTS [REQUESTS]]
# Builds the Windows programs first; the prefix is left in build/load.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
"$root/scripts/setup.sh"
cmake --preset windows >/dev/null
cmake --build --preset windows -j2 --target load_clients >/dev/null
exec "$root/bench/load/run_load.sh" "$root/build/windows/bin" "$root/build/load/wine-prefix" \
  "${1:-16}" "${2:-1000}"
