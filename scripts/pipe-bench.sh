#!/usr/bin/env bash
# Measures the service channel under Wine: a status request through the
# installed service against a raw echo with the same framing, 16 concurrent
# clients, and the service's resident memory idle and under 16 concurrent
# 128 KiB requests. Uses its own Wine prefix inside the build folder.
#   scripts/pipe-bench.sh [BUILD_DIR]   (default build/windows)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(realpath -m "${1:-$root/build/windows}")"
cd "$root"
scripts/setup.sh
[[ -f "$build/CMakeCache.txt" ]] || cmake --preset windows -B "$build" >/dev/null
cmake --build "$build" -j2 --target pipe_roundtrip_bench morvex_vpn_platform_service

prefix="$build/bench-prefix"
scripts/wine-prefix.sh start "$prefix"
trap 'scripts/wine-prefix.sh stop "$prefix"' EXIT
# The benchmark must lie beside the service to be trusted by it.
install="$prefix/drive_c/morvex-bench"
mkdir -p "$install"
cp "$build/bin/morvex_vpn_platform_service.exe" "$build/bin/pipe_roundtrip_bench.exe" "$install/"
WINEPREFIX="$prefix" scripts/wine-run.sh 'C:\morvex-bench\pipe_roundtrip_bench.exe'
