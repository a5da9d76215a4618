#!/usr/bin/env bash
# Builds the Windows programs, installs the service with Wine's Service Control
# Manager in a throwaway prefix, with simulated engines, PowerShell and curl at
# their real paths, starts it, and drives one session over the pipe, printing
# every request and reply. The prefix is stopped and left in build/demo.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"

"$root/scripts/setup.sh"
echo "== building"
cmake --preset windows >/dev/null
cmake --build --preset windows -j"$(nproc)" --target morvex_vpn_platform_service morvex_pipe_tool \
  simulated_wireguard simulated_wg simulated_openvpn simulated_tapctl simulated_powershell \
  simulated_curl >/dev/null

bin="$root/build/windows/bin"
export WINEPREFIX="$root/build/demo/wine-prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
wine=/usr/lib/wine/wine64
"$root/scripts/wine-prefix.sh" start "$WINEPREFIX"
trap '"$root/scripts/wine-prefix.sh" stop "$WINEPREFIX"' EXIT

drive="$WINEPREFIX/drive_c"
install_dir="$drive/Program Files/Morvex VPN"
place() {  # place SIMULATED_NAME TARGET_PATH
  mkdir -p "$(dirname "$2")"
  cp "$bin/simulated-$1.exe" "$2"
}
mkdir -p "$install_dir"
cp "$bin/morvex_vpn_platform_service.exe" "$bin/morvex_pipe_tool.exe" "$install_dir/"
place wireguard "$drive/Program Files/WireGuard/wireguard.exe"
place wg "$drive/Program Files/WireGuard/wg.exe"
place openvpn "$drive/Program Files/OpenVPN/bin/openvpn.exe"
place tapctl "$drive/Program Files/OpenVPN/bin/tapctl.exe"
place powershell "$drive/windows/system32/WindowsPowerShell/v1.0/powershell.exe"
place curl "$drive/windows/system32/curl.exe"

echo "== installing and starting the service MorvexVPN"
"$wine" sc create MorvexVPN binPath= "C:\\Program Files\\Morvex VPN\\morvex_vpn_platform_service.exe" \
  </dev/null >/dev/null
"$wine" sc start MorvexVPN </dev/null >/dev/null

request() {  # request TITLE JSON
  printf '\n-- %s\n> %s\n' "$1" "$2"
  printf '%s' "$2" | "$wine" "C:\\Program Files\\Morvex VPN\\morvex_pipe_tool.exe" | sed 's/^/< /'
}

wireguard_config='[Interface]\nPrivateKey = yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=\nAddress = 10.64.0.2/32\n[Peer]\nPublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\nAllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = 198.51.100.7:51820\n'
openvpn_config='client\nremote 198.51.100.7 1194 udp\n'
connect() {  # connect PROTOCOL CONFIG LOCATION DNS
  printf '{"action":"connect","profile":{"serverId":7,"location":"%s","protocol":"%s","config":"%s","dns":"%s","username":"demo","password":"demo-secret"}}' \
    "$3" "$1" "$2" "$4"
}

request "capabilities" '{"action":"capabilities"}'
request "connect WireGuard with forced DNS" "$(connect wireguard "$wireguard_config" Oslo quad9)"
request "status" '{"action":"status"}'
request "traffic" '{"action":"traffic"}'
request "connect OpenVPN" "$(connect openvpn "$openvpn_config" Rome cloudflare)"
request "traffic" '{"action":"traffic"}'

echo
echo "-- a slow connect (the engine never becomes ready), cancelled after two seconds"
printf 'openvpn=never_ready\n' >"$drive/Program Files/OpenVPN/bin/scenario.txt"
request "connect OpenVPN (slow)" "$(connect openvpn "$openvpn_config" Milan server)" &
slow=$!
sleep 2
request "cancel" '{"action":"cancel"}'
wait "$slow"
rm -f "$drive/Program Files/OpenVPN/bin/scenario.txt"

request "status" '{"action":"status"}'
request "disconnect" '{"action":"disconnect"}'

echo
echo "== stopping the service"
"$wine" sc stop MorvexVPN </dev/null >/dev/null
"$wine" sc delete MorvexVPN </dev/null >/dev/null
