#!/usr/bin/env bash
# Builds the Windows programs, installs the service with Wine's Service Control
# Manager in a throwaway prefix, with simulated engines, PowerShell and curl at
# their real paths, starts it, and drives one session over the pipe, printing
# every request and reply. The prefix is left in build/demo.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
source "$root/scripts/lib/service-under-wine.sh"

"$root/scripts/setup.sh" --without-powershell
echo "== building the Windows programs (several minutes the first time)"
cmake --preset windows >/dev/null
# The build's output is shown only when it fails.
log="$root/build/demo-build.log"
cmake --build --preset windows -j"$(nproc)" --target morvex_vpn_platform_service morvex_pipe_tool \
  simulated_wireguard simulated_wg simulated_openvpn simulated_tapctl simulated_powershell \
  simulated_curl >"$log" 2>&1 || { tail -n 40 "$log" >&2; echo "== the build failed" >&2; exit 1; }

echo "== installing and starting the service MorvexVPN"
service_install "$root/build/windows/bin" "$root/build/demo/wine-prefix"
trap service_stop EXIT

request() {  # request TITLE JSON
  printf '\n-- %s\n> %s\n' "$1" "$2"
  service_request "$2" | sed 's/^/< /'
}

request "capabilities" '{"action":"capabilities"}'
request "connect WireGuard with forced DNS" "$(connect_request wireguard Oslo quad9)"
request "status" '{"action":"status"}'
request "traffic" '{"action":"traffic"}'
request "connect OpenVPN" "$(connect_request openvpn Rome cloudflare)"
request "traffic" '{"action":"traffic"}'

echo
echo "-- a slow connect (the engine never becomes ready), cancelled after two seconds"
printf 'openvpn=never_ready\n' >"$openvpn_bin/scenario.txt"
request "connect OpenVPN (slow)" "$(connect_request openvpn Milan server)" &
slow=$!
sleep 2
request "cancel" '{"action":"cancel"}'
wait "$slow"
rm -f "$openvpn_bin/scenario.txt"

request "status" '{"action":"status"}'
request "disconnect" '{"action":"disconnect"}'

echo
echo "== stopping the service"
