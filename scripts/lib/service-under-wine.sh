# Functions for running the installed service under Wine: sourced by the
# demonstration and the end-to-end tests.
#   engines_prefix BIN PREFIX    lays a fresh prefix with the simulated engines,
#                                PowerShell and curl at their real paths
#   service_install BIN PREFIX   engines_prefix, then places the service and the
#                                pipe tool, installs and starts the service
#                                MorvexVPN
#   service_request JSON         sends one request with the trusted pipe tool,
#                                prints the reply body; a failed call says its
#                                exit status on standard error, after the
#                                tool's own words
#   service_stop                 stops and deletes the service, ends the prefix
#                                and checks every request and reply logged
#                                since engines_prefix against the published
#                                schemas (docs/protocol); a fault fails the run
# After engines_prefix: $drive is the prefix's C: drive, $install_dir the
# installation folder, $runtime the service's private-runtime folder,
# $openvpn_bin, $wireguard_dir and
# $powershell_dir the folders of the simulated programs (and their
# scenario.txt), $system32 the folder of the simulated curl.
# Every exchange of service_request, and every reply that the hostile and load
# clients receive, goes to the log folder $exchange_log (C:\exchanges, named
# to Windows programs by MORVEX_EXCHANGE_LOG).

service_lib_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
wine=/usr/lib/wine/wine64
install_windows_path='C:\Program Files\Morvex VPN'

engines_prefix() {
  local bin="$1"
  export WINEPREFIX="$2"
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  "$service_lib_root/scripts/wine-prefix.sh" start "$WINEPREFIX"
  drive="$WINEPREFIX/drive_c"
  install_dir="$drive/Program Files/Morvex VPN"
  runtime="$install_dir/private-runtime"
  wireguard_dir="$drive/Program Files/WireGuard"
  openvpn_bin="$drive/Program Files/OpenVPN/bin"
  system32="$drive/windows/system32"
  powershell_dir="$system32/WindowsPowerShell/v1.0"
  exchange_log="$drive/exchanges"
  export MORVEX_EXCHANGE_LOG='C:\exchanges'
  mkdir -p "$wireguard_dir" "$openvpn_bin" "$powershell_dir" "$exchange_log"
  cp "$bin/simulated-wireguard.exe" "$wireguard_dir/wireguard.exe"
  cp "$bin/simulated-wg.exe" "$wireguard_dir/wg.exe"
  cp "$bin/simulated-openvpn.exe" "$openvpn_bin/openvpn.exe"
  cp "$bin/simulated-tapctl.exe" "$openvpn_bin/tapctl.exe"
  cp "$bin/simulated-powershell.exe" "$powershell_dir/powershell.exe"
  cp "$bin/simulated-curl.exe" "$system32/curl.exe"
}

service_install() {
  local bin="$1"
  engines_prefix "$bin" "$2"
  mkdir -p "$install_dir"
  cp "$bin/morvex_vpn_platform_service.exe" "$bin/morvex_pipe_tool.exe" "$install_dir/"
  "$wine" sc create MorvexVPN binPath= "$install_windows_path\\morvex_vpn_platform_service.exe" \
    </dev/null >/dev/null
  "$wine" sc start MorvexVPN </dev/null >/dev/null
}

service_request() {
  local reply status=0
  reply="$(printf '%s' "$1" | "$wine" "$install_windows_path\\morvex_pipe_tool.exe")" || status=$?
  # The tool's standard error, if any, came just before: say which call it was.
  ((status == 0)) || printf 'pipe tool: exit %s for %.60s\n' "$status" "$1" >&2
  [[ -z "$reply" ]] && return $status
  printf '%s\n' "$reply"
  # One write per exchange, so that requests sent side by side stay paired.
  if [[ "$1" == *$'\n'* ]]; then
    printf '< %s\n' "$reply" >>"$exchange_log/scripts.log"
  else
    printf '> %s\n< %s\n' "$1" "$reply" >>"$exchange_log/scripts.log"
  fi
  return $status
}

# Writes a simulated program's scenario file in FOLDER.
scenario() { printf '%s\n' "$2" >"$1/scenario.txt"; }  # scenario FOLDER TEXT

# Removes every scenario file: all simulated programs back to healthy.
healthy() {
  rm -f "$openvpn_bin/scenario.txt" "$wireguard_dir/scenario.txt" \
    "$powershell_dir/scenario.txt" "$system32/scenario.txt"
}

service_stop() {
  "$wine" sc stop MorvexVPN </dev/null >/dev/null 2>&1 || true
  "$wine" sc delete MorvexVPN </dev/null >/dev/null 2>&1 || true
  "$service_lib_root/scripts/wine-prefix.sh" stop "$WINEPREFIX"
  "$service_lib_root/tests/protocol/check_protocol.py" exchanges "$exchange_log" || exit 1
}

# Connect requests for the simulated engines. A backslash-n in the profile
# texts is the JSON escape of a line feed.
wireguard_profile_text='[Interface]\nPrivateKey = yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=\nAddress = 10.64.0.2/32\n[Peer]\nPublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\nAllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = 198.51.100.7:51820\n'
openvpn_profile_text='client\nremote 198.51.100.7 1194 udp\n'

connect_request() {  # connect_request PROTOCOL LOCATION DNS
  local config="$wireguard_profile_text"
  [[ "$1" == openvpn ]] && config="$openvpn_profile_text"
  printf '{"action":"connect","profile":{"serverId":7,"location":"%s","protocol":"%s","config":"%s","dns":"%s","username":"demo","password":"demo-secret"}}' \
    "$2" "$1" "$config" "$3"
}

source "$(dirname "${BASH_SOURCE[0]}")/checks.sh"

# Linux process ids of this prefix's Windows processes whose command line
# holds PATTERN (other prefixes on the machine are left out).
prefix_pids() {
  local p
  for p in /proc/[0-9]*; do
    {
      tr '\0' '\n' <"$p/environ" | grep -qx "WINEPREFIX=$WINEPREFIX" &&
        tr '\0' ' ' <"$p/cmdline" | grep -qi -- "$1" && echo "${p#/proc/}"
    } 2>/dev/null
  done
}
running() { [[ -n "$(prefix_pids "$1")" ]] && echo running || echo gone; }
# "gone" once no such process is left, waiting up to 10 s for it to end.
ends() {
  local i
  for i in $(seq 100); do [[ "$(running "$1")" == gone ]] && break; sleep 0.1; done
  running "$1"
}
# What the private folder holds, in one line.
private_files() { ls "$runtime" 2>/dev/null | tr '\n' ' ' | sed 's/ $//'; }
service_query() {  # the state word of a service, or "missing"
  local state
  state="$("$wine" sc query "$1" </dev/null 2>/dev/null | tr -d '\r' | awk '/STATE/ {print $4}')"
  echo "${state:-missing}"
}
