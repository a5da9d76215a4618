#!/usr/bin/env bash
# End-to-end scenarios against the service as installed: Wine's Service
# Control Manager runs it, the simulated engines, PowerShell and curl lie at
# their real paths, and the trusted pipe tool plays the desktop app.
#   service_end_to_end.sh BIN_FOLDER PREFIX_FOLDER
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$root/scripts/lib/service-under-wine.sh"

passed=0
failed=0
check() {  # check NAME ACTUAL EXPECTED
  if [[ "$2" == "$3" ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED %s\n  expected: %s\n  actual:   %s\n' "$1" "$3" "$2"
  fi
}
check_contains() {  # check_contains NAME ACTUAL PART
  if [[ "$2" == *"$3"* ]]; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    printf 'FAILED %s\n  expected to contain: %s\n  actual: %s\n' "$1" "$3" "$2"
  fi
}
lines() { [[ -f "$1" ]] && wc -l <"$1" || echo 0; }

disconnected='{"result":{"activeProfile":null,"connectedAt":null,"connection":null,"message":"VPN is disconnected.","platform":"windows","publicAddress":null,"state":"disconnected"}}'
status='{"action":"status"}'
traffic='{"action":"traffic"}'
disconnect='{"action":"disconnect"}'

bin_folder="$(cd "$1" && pwd)"
service_install "$1" "$2"
trap service_stop EXIT

# Capabilities with both simulated engines present.
check "capabilities" "$(service_request '{"action":"capabilities"}')" \
  '{"result":{"openvpn":true,"wireguard":true,"wireguardMessage":"The installer supplies the Windows VPN engines."}}'
check "idle traffic is null" "$(service_request "$traffic")" '{"result":null}'

# WireGuard connects, verifies, and later status requests reuse the checks.
reply="$(service_request "$(connect_request wireguard Oslo quad9)")"
check_contains "wireguard connects" "$reply" '"publicAddress":"203.0.113.7","state":"connected"'
check_contains "wireguard reports itself" "$reply" '"activeProfile":"WireGuard"'
# Demand start (3) in the registry, where Wine's sc (without qc) cannot tell.
check "the tunnel service starts only when asked" "$("$wine" reg query \
  'HKLM\System\CurrentControlSet\Services\WireGuardTunnel$MorvexVPN' /v Start </dev/null |
  tr -d '\r' | awk '$1 == "Start" {print $3}')" 0x3
check "forced DNS reaches the check" "$(head -n 1 "$powershell_dir/powershell-runs.txt")" \
  '{"adapter":"MorvexVPN","dns":["9.9.9.9","149.112.112.112"]}'
scripts_before=$(lines "$powershell_dir/powershell-runs.txt")
traces_before=$(lines "$system32/curl-runs.txt")
for _ in 1 2 3; do service_request "$status" >/dev/null; done
check "status reuses the route check" "$(lines "$powershell_dir/powershell-runs.txt")" "$scripts_before"
check "status reuses the public address" "$(lines "$system32/curl-runs.txt")" "$traces_before"
check "wireguard traffic" "$(service_request "$traffic")" '{"result":[1024,2048]}'

# A tunnel service that takes 1.5 s to stop, which the manager does not wait
# for: a server switch, a connect during a disconnect and a restore wait for it.
scenario "$wireguard_dir" 'tunnel_stop_ms=1500'
check_contains "wireguard server switch" \
  "$(service_request "$(connect_request wireguard Bergen quad9)")" '"state":"connected"'
service_request "$disconnect" >/dev/null &
for _ in $(seq 50); do [[ "$(service_query 'WireGuardTunnel$MorvexVPN')" == STOP_PENDING ]] && break; done
check_contains "connect right after a disconnect" \
  "$(service_request "$(connect_request wireguard Oslo quad9)")" '"state":"connected"'
wait $!

# An OpenVPN engine below the lowest release is refused; WireGuard stays up.
scenario "$openvpn_bin" 'openvpn_version=2.6.0'
check "version gate refuses" "$(service_request "$(connect_request openvpn Rome server)")" \
  '{"error":"The Windows OpenVPN engine needs a security update. Install a Morvex release with patched engines."}'
check_contains "wireguard still up after the refusal" "$(service_request "$status")" '"location":"Oslo"'
healthy

# OpenVPN replaces WireGuard; the credentials file is gone once it is torn down.
reply="$(service_request "$(connect_request openvpn Rome cloudflare)")"
check_contains "openvpn connects" "$reply" '"activeProfile":"OpenVPN"'
check_contains "openvpn verified" "$reply" '"state":"connected"'
check_contains "openvpn traffic is an array" "$(service_request "$traffic")" '{"result":['

# A new connect whose engine stops at once restores the previous connection.
check_contains "back to wireguard" "$(service_request "$(connect_request wireguard Oslo quad9)")" \
  '"state":"connected"'
scenario "$openvpn_bin" 'openvpn=exit'
scenario "$wireguard_dir" 'tunnel_stop_ms=1500'
check "restore" "$(service_request "$(connect_request openvpn Milan server)")" \
  '{"error":"The new VPN connection failed; your previous connection has been restored."}'
healthy
check_contains "restored connection reported" "$(service_request "$status")" '"location":"Oslo"'

# The restore fails as well: nothing stays up.
scenario "$openvpn_bin" 'openvpn=exit'
scenario "$wireguard_dir" 'install=fail'
check "restore fails" "$(service_request "$(connect_request wireguard Bergen quad9)")" \
  '{"error":"The new VPN connection and restoration failed. Select Connect to try again."}'
healthy
check "nothing up after the failed restore" "$(service_request "$status")" "$disconnected"

# OpenVPN exiting during the wait, with nothing to restore.
scenario "$openvpn_bin" 'openvpn=exit'
check "openvpn stops during the wait" "$(service_request "$(connect_request openvpn Rome server)")" \
  '{"error":"The OpenVPN connection stopped. Try reconnecting."}'
healthy

# A tunnel that is only "checking" is not restored: the new failure is reported.
service_request "$(connect_request wireguard Oslo quad9)" >/dev/null
scenario "$powershell_dir" 'powershell=fail'
sleep 10
check_contains "route check fails after its lifetime" "$(service_request "$status")" '"state":"checking"'
scenario "$openvpn_bin" 'openvpn=exit'
check "checking tunnel not restored" "$(service_request "$(connect_request openvpn Rome server)")" \
  '{"error":"The OpenVPN connection stopped. Try reconnecting."}'
healthy
check "idle after the failed connect" "$(service_request "$status")" "$disconnected"

# A cancel during the engine wait ends the connect disconnected and removes
# the half-built tunnel's files.
scenario "$openvpn_bin" 'openvpn=never_ready'
slow_reply="$(mktemp)"
service_request "$(connect_request openvpn Rome server)" >"$slow_reply" &
slow=$!
for _ in $(seq 100); do [[ -f "$runtime/openvpn.ovpn" ]] && break; sleep 0.1; done
check "cancel is answered at once" "$(service_request '{"action":"cancel"}')" '{"result":null}'
wait "$slow"
check "cancelled connect" "$(cat "$slow_reply")" "$disconnected"
check "half-built tunnel removed" "$(ls "$runtime" | grep -c -E '^openvpn\.(ovpn|auth)$')" "0"

# A tunnel starting for 4 s takes no stop: a cancel 0.8 s into it waits.
scenario "$wireguard_dir" 'tunnel_start_ms=4000'
rm -f "$wireguard_dir/wireguard-runs.txt"
service_request "$(connect_request wireguard Bergen quad9)" >"$slow_reply" &
slow=$!
for _ in $(seq 100); do [[ "$(service_query 'WireGuardTunnel$MorvexVPN')" == START_PENDING ]] && break; done
sleep 0.8
cancelled_at=$(date +%s%N)
service_request '{"action":"cancel"}' >/dev/null
wait "$slow"
check "cancel during a tunnel start" "$(cat "$slow_reply")" "$disconnected"
check "within 12 s, no tunnel left, the uninstall's stop taken" "$((($(date +%s%N) - \
  cancelled_at) / 1000000000 < 12))/$(service_query 'WireGuardTunnel$MorvexVPN')/$(ends \
  '/tunnelservice')/$(cat "$wireguard_dir/wireguard-runs.txt")" "1/missing/gone/uninstall: stop taken"
healthy

# A second connect cancels the first and runs itself.
service_request "$(connect_request openvpn Rome server)" >"$slow_reply" &
slow=$!
for _ in $(seq 100); do [[ -f "$runtime/openvpn.ovpn" ]] && break; sleep 0.1; done
healthy
check_contains "second connect runs" "$(service_request "$(connect_request wireguard Oslo quad9)")" \
  '"state":"connected"'
wait "$slow"
check "first connect cancelled" "$(cat "$slow_reply")" "$disconnected"
check "disconnect" "$(service_request "$disconnect")" "$disconnected"
check "idle traffic after disconnect" "$(service_request "$traffic")" '{"result":null}'

# The C interface from a program built for Microsoft's ABI, in the service's folder.
cp "$bin_folder/morvex_client.dll" "$bin_folder/msvc_client.exe" "$install_dir/"
check "C interface" "$("$wine" "$install_windows_path\\msvc_client.exe")" \
  "$(printf 'status disconnected\nconnect connected 203.0.113.7\ndisconnect disconnected')"
# Disconnect, through the library, while a connect waits for its handshake.
scenario "$wireguard_dir" 'latest_handshakes=peer\t0\n'
check "disconnect during a connect, through the library" \
  "$("$wine" "$install_windows_path\\msvc_client.exe" during)" \
  "$(printf 'disconnect disconnected\nwithin 5 s\nconnect disconnected')"
healthy

# Another program holds a private file open without delete sharing: the
# disconnect fails after the engine has stopped. Status and traffic must not
# report the stopped engine as live, and once the file is free a retried
# disconnect cleans up.
stopped_status() {  # the error status with SENTENCE
  printf '{"result":{"activeProfile":null,"connectedAt":null,"connection":null,"message":"%s","platform":"windows","publicAddress":null,"state":"error"}}' "$1"
}
held_file_scenario() {  # held_file_scenario PROTOCOL FILE ENGINE_NAME
  local marker="$drive/held.marker"
  rm -f "$marker"
  check_contains "$1 connects before $2 is held" \
    "$(service_request "$(connect_request "$1" Rome quad9)")" '"state":"connected"'
  "$wine" "$bin_folder/hold-file.exe" "$install_windows_path\\private-runtime\\$2" 'C:\held.marker' &
  local holder=$!
  for _ in $(seq 100); do [[ -f "$marker" ]] && break; sleep 0.1; done
  check "$2 held: disconnect fails" "$(service_request "$disconnect")" \
    '{"error":"Cannot clear private VPN files."}'
  check "$2 held: status says the connection stopped" "$(service_request "$status")" \
    "$(stopped_status "The $3 connection stopped. Try reconnecting.")"
  check "$2 held: no stale traffic" "$(service_request "$traffic")" '{"result":null}'
  rm -f "$marker"
  wait "$holder"
  check "$2 free again: disconnect cleans up" "$(service_request "$disconnect")" "$disconnected"
  check "$2 free again: idle" "$(service_request "$status")" "$disconnected"
  check "$2 free again: deleted" "$(ls "$runtime" | grep -c -F -x "$2")" "0"
}

held_file_scenario openvpn openvpn.log OpenVPN
held_file_scenario wireguard MorvexVPN.conf WireGuard

# A stop during a connect ends the connect and leaves no engine files.
scenario "$openvpn_bin" 'openvpn=never_ready'
service_request "$(connect_request openvpn Rome server)" >"$slow_reply" &
slow=$!
for _ in $(seq 100); do [[ -f "$runtime/openvpn.ovpn" ]] && break; sleep 0.1; done
"$wine" sc stop MorvexVPN </dev/null >/dev/null
wait "$slow"
check "connect during stop ends disconnected" "$(cat "$slow_reply")" "$disconnected"
for _ in $(seq 100); do [[ -f "$runtime/openvpn.ovpn" ]] || break; sleep 0.1; done
check "stop tore the tunnel down" "$(ls "$runtime" | grep -c -E '^openvpn\.(ovpn|auth)$')" "0"
rm -f "$slow_reply"

# The service stopped, another program takes the pipe name: a copy of the
# service under another service name. The app's connect, with its
# credentials, never reaches it, and its reply is not taken for the service's.
for _ in $(seq 100); do [[ "$(service_query MorvexVPN)" == STOPPED ]] && break; sleep 0.1; done
"$wine" sc create MorvexVPNOther binPath= "$install_windows_path\\morvex_vpn_platform_service.exe" \
  </dev/null >/dev/null
"$wine" sc start MorvexVPNOther </dev/null >/dev/null
check "another program's pipe not taken for the service" \
  "$(service_request "$(connect_request wireguard Oslo quad9)" 2>&1 | tr -d '\r' | head -n 1)" \
  'Another program is answering in place of the Morvex VPN service. Restart the computer.'
check "the connect did not reach it" "$(ls "$runtime" | grep -c -F -x MorvexVPN.conf)" "0"
"$wine" sc stop MorvexVPNOther </dev/null >/dev/null

echo "end to end: $passed passed, $failed failed"
[[ $failed -eq 0 ]]
