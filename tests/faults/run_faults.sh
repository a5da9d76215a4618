#!/usr/bin/env bash
# Faults around the installed service: outside programs that hang, crash,
# print garbage or too much; the service killed during an OpenVPN connect,
# while a WireGuard tunnel is up, during a check and during a slow WireGuard
# install; a WireGuard tunnel service of another program under our tunnel's
# name.   run_faults.sh BIN_FOLDER PREFIX
# Each failure is reported with the exact sentence the app would show.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$root/scripts/lib/service-under-wine.sh"

error() { printf '{"error":"%s"}' "$1"; }
request() { service_request "$1" | tr -d '\r'; }

disconnected='{"result":{"activeProfile":null,"connectedAt":null,"connection":null,"message":"VPN is disconnected.","platform":"windows","publicAddress":null,"state":"disconnected"}}'
status='{"action":"status"}'
openvpn_connect="$(connect_request openvpn Rome server)"
wireguard_connect="$(connect_request wireguard Oslo quad9)"
not_verified="$(error 'The VPN could not verify protection. Try another location.')"

service_install "$(cd "$1" && pwd)" "$(realpath -m "$2")"
trap service_stop EXIT
request '{"action":"capabilities"}' >/dev/null

# ---- the adapter tool, before any adapter exists
scenario "$openvpn_bin" "tapctl_output=$(head -c 131073 /dev/zero | tr '\0' 'x')"
check "adapter tool printing one byte over the output cap" "$(request "$openvpn_connect")" \
  "$(error 'VPN response exceeded its size limit.')"
scenario "$openvpn_bin" "tapctl_output=$(head -c 131072 /dev/zero | tr '\0' 'x')"
check "adapter tool printing exactly the cap of garbage" "$(request "$openvpn_connect")" \
  "$(error 'Windows returned an invalid VPN adapter identifier.')"
scenario "$openvpn_bin" $'tapctl_output=\xff\xfe\xfd not text'
check "adapter tool printing invalid UTF-8" "$(request "$openvpn_connect")" \
  "$(error 'Invalid VPN response.')"
scenario "$openvpn_bin" 'tapctl_output={0123ABCD-89ab-cdef-0123-456789ABCDEF}\tMorvexOpenVPN\tovpn-dco'
check "adapter tool printing another hardware id" "$(request "$openvpn_connect")" \
  "$(error 'Windows returned an unexpected VPN adapter.')"
scenario "$openvpn_bin" 'tapctl_exit=-1073741819'
check "adapter tool crashing (access violation status)" "$(request "$openvpn_connect")" \
  "$(error 'The VPN component could not complete the operation.')"
check "no connection files and no adapter after the adapter failures" "$(private_files)" ""
scenario "$openvpn_bin" 'openvpn_version=two.seven'
check "OpenVPN printing a garbled version banner" "$(request "$openvpn_connect")" \
  "$(error 'The Windows OpenVPN engine needs a security update. Install a Morvex release with patched engines.')"
healthy

# ---- WireGuard's manager hangs past its 15 s: ended, and never installs later
scenario "$wireguard_dir" 'install=slow'
check "WireGuard manager hanging in its install" "$(request "$wireguard_connect")" \
  "$(error 'VPN component timed out. Please try again.')"
check "the hanging manager was ended" "$(ends 'wireguard.exe')" gone
healthy
sleep 17  # past the hanging manager's own 30 s
check "no tunnel service appears after the hang" "$(service_query 'WireGuardTunnel$MorvexVPN')" \
  missing

# ---- verification that hangs or prints garbage: bounded by the 30 s wait
scenario "$powershell_dir" 'powershell=hang'
check "PowerShell hanging" "$(request "$wireguard_connect")" "$not_verified"
check "no PowerShell left running" "$(ends 'powershell.exe')" gone
healthy
scenario "$powershell_dir" 'powershell=garbage'
check "PowerShell printing garbage" "$(request "$wireguard_connect")" "$not_verified"
healthy
scenario "$system32" 'curl=hang'
check "curl hanging" "$(request "$wireguard_connect")" "$not_verified"
check "no curl left running" "$(ends '\\curl.exe')" gone
healthy
scenario "$wireguard_dir" 'latest_handshakes=garbage'
check "WireGuard query tool printing garbage" "$(request "$wireguard_connect")" "$not_verified"
healthy
check "each failed connect took its tunnel down" "$(service_query 'WireGuardTunnel$MorvexVPN')" \
  missing
check "nothing left in private storage but the adapter" "$(private_files)" ""
check "idle after the engine faults" "$(request "$status")" "$disconnected"

# ---- a client that holds its end of the pipe across a stop and a start: the
# restarted service answers beside it. On Windows that end keeps the stopped
# service's pipe alive, so the restarted service's claim to the name is
# refused and its first instance joins that pipe, whose owner is its own
# account; Wine ends a pipe with its last server instance.
pipe_marker="$drive/pipe-held.marker"
"$wine" "$(cd "$1" && pwd)/hold-file.exe" '\\.\pipe\MorvexVPN.Service.v1' 'C:\pipe-held.marker' &
pipe_holder=$!
for _ in $(seq 100); do [[ -f "$pipe_marker" ]] && break; sleep 0.1; done
check "a client holds its end of the pipe" "$([[ -f "$pipe_marker" ]] && echo held)" held
"$wine" sc stop MorvexVPN </dev/null >/dev/null 2>&1
for _ in $(seq 100); do [[ "$(service_query MorvexVPN)" == STOPPED ]] && break; sleep 0.1; done
check "the service stops while the client holds its end" "$(service_query MorvexVPN)" STOPPED
"$wine" sc start MorvexVPN </dev/null >/dev/null 2>&1
check "the restarted service answers beside the held end" "$(request "$status")" "$disconnected"
check "the client held its end throughout" "$(running 'hold-file')" running
rm -f "$pipe_marker"
wait "$pipe_holder"
check "the client lets go of its end" "$?" 0

# ---- the service killed during an OpenVPN connect
scenario "$openvpn_bin" 'openvpn=never_ready'
reply_file="$(mktemp)"
service_request "$openvpn_connect" >"$reply_file" 2>/dev/null &
client=$!
for _ in $(seq 200); do [[ -f "$runtime/openvpn.auth" ]] && break; sleep 0.1; done
sleep 1
check "OpenVPN runs during the connect" "$(running 'openvpn.exe')" running
kill -KILL $(prefix_pids morvex_vpn_platform_service)
wait "$client"
check "the connect's client gets no reply" "$(tr -d '\r' <"$reply_file")" ""
rm -f "$reply_file"
check "OpenVPN ends with the killed service (kill-on-close job)" "$(ends 'openvpn.exe')" gone
check "the credentials stay behind until the next start" "$(private_files)" \
  "adapter-tap.id openvpn.auth openvpn.log openvpn.ovpn status.txt"
healthy
# Wine's service manager still reports the killed service as running; a start
# brings it back all the same.
"$wine" sc start MorvexVPN </dev/null >/dev/null 2>&1
check "restart answers" "$(request "$status")" "$disconnected"
check "restart removed the leftovers and kept the adapter" "$(private_files)" "adapter-tap.id"

# ---- the service killed while its WireGuard tunnel is up
request "$wireguard_connect" >/dev/null
check "our tunnel service runs" "$(service_query 'WireGuardTunnel$MorvexVPN')" RUNNING
kill -KILL $(prefix_pids morvex_vpn_platform_service)
sleep 1
check "our tunnel service outlives the killed service" \
  "$(service_query 'WireGuardTunnel$MorvexVPN')" RUNNING
"$wine" sc start MorvexVPN </dev/null >/dev/null 2>&1
check "restart after the kill answers" "$(request "$status")" "$disconnected"
check "restart removed our own tunnel service" "$(service_query 'WireGuardTunnel$MorvexVPN')" \
  missing
check "restart removed the tunnel configuration" "$(private_files)" "adapter-tap.id"

# ---- the service killed while a program of a WireGuard connect runs: every
# program the runner starts is in a kill-on-close job, so it ends with the
# service and cannot act after the restart's cleanup.
# kill_during PATTERN LABEL: starts a WireGuard connect, kills the service
# once a program matching PATTERN runs, checks that the program ends with it,
# and starts the service again.
kill_during() {
  local client orphans seen=gone
  service_request "$wireguard_connect" >/dev/null 2>&1 &
  client=$!
  # The program may be restarted between two polls of the connect (a check
  # that hangs is ended at its deadline), so what a scan saw is kept rather
  # than asked again.
  for _ in $(seq 200); do
    seen="$(running "$1")"
    [[ "$seen" == running ]] && break
    sleep 0.1
  done
  check "$2 runs" "$seen" running
  kill -KILL $(prefix_pids morvex_vpn_platform_service)
  wait "$client"
  check "$2 ends with the killed service" "$(ends "$1")" gone
  orphans="$(prefix_pids "$1")"
  [[ -n "$orphans" ]] && kill -KILL $orphans
  healthy
  "$wine" sc start MorvexVPN </dev/null >/dev/null 2>&1
}

scenario "$powershell_dir" 'powershell=hang'
kill_during 'powershell.exe' "PowerShell of a hanging check"
check "restart after a kill mid-check answers" "$(request "$status")" "$disconnected"
check "restart after a kill mid-check removed the tunnel" \
  "$(service_query 'WireGuardTunnel$MorvexVPN')/$(private_files)" "missing/adapter-tap.id"

scenario "$wireguard_dir" 'install=slow'
kill_during 'installtunnelservice' "the WireGuard manager's slow install"
check "restart after a kill mid-install answers" "$(request "$status")" "$disconnected"
sleep 31  # past the slow manager's own 30 s
check "no tunnel service appears after a kill mid-install" \
  "$(service_query 'WireGuardTunnel$MorvexVPN')" missing
check "status after a kill mid-install still says disconnected" "$(request "$status")" \
  "$disconnected"

# ---- a tunnel service of another program under our tunnel's name
mkdir -p "$drive/Other VPN"
printf '[Interface]\n' >"$drive/Other VPN/MorvexVPN.conf"
"$wine" sc create 'WireGuardTunnel$MorvexVPN' \
  binPath= '"C:\Program Files\WireGuard\wireguard.exe" /tunnelservice "C:\Other VPN\MorvexVPN.conf"' \
  </dev/null >/dev/null
"$wine" sc start 'WireGuardTunnel$MorvexVPN' </dev/null >/dev/null
sleep 1
foreign="$(error 'A different VPN owns the Morvex adapter name. Close it before connecting.')"
check "foreign tunnel service: WireGuard connect refused" "$(request "$wireguard_connect")" \
  "$foreign"
check "foreign tunnel service: disconnect refused" "$(request '{"action":"disconnect"}')" "$foreign"
check "foreign tunnel service untouched by the requests" \
  "$(service_query 'WireGuardTunnel$MorvexVPN')" RUNNING
"$wine" sc stop MorvexVPN </dev/null >/dev/null 2>&1
for _ in $(seq 100); do [[ "$(service_query MorvexVPN)" == STOPPED ]] && break; sleep 0.1; done
"$wine" sc start MorvexVPN </dev/null >/dev/null 2>&1
for _ in $(seq 100); do [[ "$(service_query MorvexVPN)" == STOPPED ]] && break; sleep 0.1; done
check "with a foreign tunnel service our service does not start" "$(service_query MorvexVPN)" \
  STOPPED
check "foreign tunnel service untouched by our start" \
  "$(service_query 'WireGuardTunnel$MorvexVPN')" RUNNING
check "the foreign configuration is untouched" "$(cat "$drive/Other VPN/MorvexVPN.conf")" \
  "[Interface]"
"$wine" sc stop 'WireGuardTunnel$MorvexVPN' </dev/null >/dev/null 2>&1
"$wine" sc delete 'WireGuardTunnel$MorvexVPN' </dev/null >/dev/null 2>&1
"$wine" sc start MorvexVPN </dev/null >/dev/null 2>&1
check "once it is gone our service starts and answers" "$(request "$status")" "$disconnected"

# ---- our WireGuard tunnel taken over: our tunnel service stops, is removed and
# another program's takes the name; status and traffic never report that one as
# ours, and a disconnect cleans up once it is gone.
tunnel='WireGuardTunnel$MorvexVPN'
wait_state() {  # wait_state SERVICE STATE: up to 10 s
  for _ in $(seq 100); do [[ "$(service_query "$1")" == "$2" ]] && break; sleep 0.1; done
}
wireguard_stopped='{"result":{"activeProfile":null,"connectedAt":null,"connection":null,"message":"The WireGuard connection stopped. Try reconnecting.","platform":"windows","publicAddress":null,"state":"error"}}'
request "$wireguard_connect" >/dev/null
check "takeover: our tunnel service runs" "$(service_query "$tunnel")" RUNNING
"$wine" sc stop "$tunnel" </dev/null >/dev/null 2>&1
wait_state "$tunnel" STOPPED
check "takeover: our stopped tunnel service reads as stopped" "$(request "$status")" \
  "$wireguard_stopped"
"$wine" sc delete "$tunnel" </dev/null >/dev/null 2>&1
wait_state "$tunnel" missing
"$wine" sc create "$tunnel" \
  binPath= '"C:\Program Files\WireGuard\wireguard.exe" /tunnelservice "C:\Other VPN\MorvexVPN.conf"' \
  </dev/null >/dev/null
"$wine" sc start "$tunnel" </dev/null >/dev/null
wait_state "$tunnel" RUNNING
check "takeover: status with another program's tunnel under the name" "$(request "$status")" \
  "$wireguard_stopped"
check "takeover: no traffic totals of the other tunnel" "$(request '{"action":"traffic"}')" \
  '{"result":null}'
check "takeover: disconnect refused while the other tunnel holds the name" \
  "$(request '{"action":"disconnect"}')" "$foreign"
check "takeover: the other tunnel service untouched" "$(service_query "$tunnel")" RUNNING
"$wine" sc stop "$tunnel" </dev/null >/dev/null 2>&1
wait_state "$tunnel" STOPPED
"$wine" sc delete "$tunnel" </dev/null >/dev/null 2>&1
wait_state "$tunnel" missing
check "takeover: still stopped once the other tunnel is gone" "$(request "$status")" \
  "$wireguard_stopped"
check "takeover: a later disconnect cleans up" "$(request '{"action":"disconnect"}')" \
  "$disconnected"
check "takeover: nothing left in private storage but the adapter" "$(private_files)" \
  "adapter-tap.id"

checks_summary faults
