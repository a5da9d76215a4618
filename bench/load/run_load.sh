#!/usr/bin/env bash
# Load on the installed service with the simulated engines, then what it left
# behind.   run_load.sh BIN_FOLDER PREFIX CLIENTS REQUESTS_EACH
# Reports replies sent and received, a standstill if any, engine processes
# still running after the final disconnect, files left in private-runtime,
# and the service's memory before and after (Windows' view from the load
# program, the Wine process's resident size from /proc).
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$root/scripts/lib/service-under-wine.sh"
bin="$(cd "$1" && pwd)"

service_install "$bin" "$(realpath -m "$2")"
trap service_stop EXIT
cp "$bin/load_clients.exe" "$drive/Program Files/Morvex VPN/"
service_request '{"action":"capabilities"}' >/dev/null

resident() {  # resident size and peak of the service's Wine process
  local pid
  pid="$(prefix_pids morvex_vpn_platform_service | head -n 1)"
  [[ -n "$pid" ]] && awk '/^VmRSS|^VmHWM/ {printf "%s %s kB  ", $1, $2}' "/proc/$pid/status"
  echo
}

echo "Wine process before: $(resident)"
"$wine" "$install_windows_path\\load_clients.exe" "$3" "$4" </dev/null | tr -d '\r'
load=${PIPESTATUS[0]}
echo "Wine process after:  $(resident)"

failed=0
left=""
for program in openvpn.exe wireguard.exe wg.exe tapctl.exe powershell.exe '\\curl.exe'; do
  [[ -n "$(prefix_pids "$program")" ]] && left+=" $program"
done
echo "engine processes left after the final disconnect:${left:- none}"
[[ -n "$left" ]] && failed=1
tunnel="$("$wine" sc query 'WireGuardTunnel$MorvexVPN' </dev/null 2>/dev/null | grep -c STATE)"
echo "WireGuard tunnel service left: $([[ $tunnel -eq 0 ]] && echo none || echo yes)"
[[ $tunnel -ne 0 ]] && failed=1
files="$(ls "$runtime" | grep -v '^adapter-tap\.id$' | tr '\n' ' ')"
echo "private files left (besides the adapter identifier): ${files:-none}"
[[ -n "$files" ]] && failed=1
[[ $load -eq 0 && $failed -eq 0 ]]
