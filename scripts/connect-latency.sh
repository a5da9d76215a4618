#!/usr/bin/env bash
# Measures the connect latency under Wine with the simulated engines (see
# bench/connect_latency.cpp).  scripts/connect-latency.sh [CONNECTS]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
scripts/setup.sh
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)" --target connect_latency >/dev/null
prefix="$root/build/connect-latency/wine-prefix"
scripts/wine-prefix.sh start "$prefix"
trap 'scripts/wine-prefix.sh stop "$prefix"' EXIT
WINEPREFIX="$prefix" scripts/wine-run.sh build/windows/bin/connect_latency.exe "${1:-9}"
