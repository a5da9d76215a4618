#!/usr/bin/env bash
# A hostile OpenVPN server against the profile policy, with real peers.
#
# Debian's OpenVPN runs as a server in one network namespace and as a client
# in another, joined by a veth pair; the client namespace's default routes
# point at the server namespace, which stands for the local network's router.
# For each row of the table the client runs the policy's own output (made by
# the program named by the first argument) for one profile and DNS provider,
# and the server pushes a set of options. From the client's log, its routes
# and the settings OpenVPN hands to the system, each pushed option must be:
#   filtered  removed by one of the profile's pull filters,
#   refused   rejected by OpenVPN's option checks and without effect,
#   applied   in effect;
#   dns       filtered with a forced DNS provider, applied with "server".
# After every row the IPv4 and IPv6 default routes and the DNS servers must
# lie inside the tunnel, except where a row names the one known way out.
#
# OpenVPN applies DNS settings itself on Windows; on Linux it hands them to an
# up script. The client here gets a recording up script (on its command line,
# never in the profile) as a stand-in for that step, so its environment shows
# what Windows would be told. Windows-only options the engine adds on its
# command line (--dev-node, --service, --block-outside-dns) are left out.
#
# Addresses: 192.0.2.0/24 and 2001:db8:1::/64 on the veth pair, 198.51.100.0/24
# inside the tunnel, other documentation addresses only in route lookups, which
# send nothing. Every OpenVPN process and both namespaces are removed on every
# exit; every wait is bounded. Without root, network namespaces or
# /dev/net/tun the test is skipped (exit 77), except under CI=true.
set -euo pipefail

policy_output=${1:?usage: run_hostile_server.sh OPENVPN-POLICY-OUTPUT-PROGRAM}

skip() {
  if [[ "${CI:-}" == true ]]; then
    echo "FAIL: the hostile OpenVPN server test cannot run: $*" >&2
    exit 1
  fi
  echo "SKIP: the hostile OpenVPN server test cannot run here: $*"
  exit 77
}

[[ $(id -u) == 0 ]] || skip "it needs root to make network namespaces"
[[ -c /dev/net/tun ]] || skip "/dev/net/tun is missing"
for program in openvpn openssl ip; do
  command -v "$program" >/dev/null || skip "$program is not installed (scripts/setup.sh installs it)"
done

server_ns="morvex-hs-$$"
client_ns="morvex-hc-$$"
work="$(mktemp -d)"
server_pid=""
client_pid=""

# Ends one process started here: a polite signal, up to 5 s, then SIGKILL.
stop_process() {
  local pid=$1
  [[ -n "$pid" ]] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

stop_peers() {
  stop_process "$client_pid"
  stop_process "$server_pid"
  client_pid=""
  server_pid=""
}

cleanup() {
  stop_peers
  local ns pid
  for ns in "$client_ns" "$server_ns"; do
    # Whatever still runs inside a namespace made here was started here.
    for pid in $(ip netns pids "$ns" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
    ip netns delete "$ns" 2>/dev/null || true
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

ip netns add "$server_ns" 2>/dev/null || skip "network namespaces cannot be made"
entered=$(ip netns exec "$server_ns" true 2>&1) ||
  skip "a network namespace cannot be entered: ${entered%%$'\n'*}"
ip netns add "$client_ns" || skip "network namespaces cannot be made"
ip link add "mvxs$$" type veth peer name "mvxc$$" || skip "a veth pair cannot be made"
ip link set "mvxs$$" netns "$server_ns"
ip link set "mvxc$$" netns "$client_ns"
ip -n "$server_ns" link set lo up
ip -n "$client_ns" link set lo up
ip -n "$server_ns" address add 192.0.2.1/24 dev "mvxs$$"
ip -n "$client_ns" address add 192.0.2.2/24 dev "mvxc$$"
ip -n "$server_ns" address add 2001:db8:1::1/64 dev "mvxs$$" nodad
ip -n "$client_ns" address add 2001:db8:1::2/64 dev "mvxc$$" nodad
ip -n "$server_ns" link set "mvxs$$" up
ip -n "$client_ns" link set "mvxc$$" up
ip -n "$client_ns" route add default via 192.0.2.1
ip -n "$client_ns" -6 route add default via 2001:db8:1::1
lan_device="mvxc$$"

# A throwaway CA with one server and one client certificate.
make_certificates() {
  cat >"$work/extensions.cnf" <<'EOF'
[server]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature,keyEncipherment
extendedKeyUsage=serverAuth
[client]
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=clientAuth
EOF
  local curve=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
  openssl req -x509 "${curve[@]}" -keyout "$work/ca.key" -out "$work/ca.pem" -days 2 \
    -subj /CN=morvex-test-ca -addext basicConstraints=critical,CA:TRUE \
    -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
  local name
  for name in server client; do
    openssl req "${curve[@]}" -keyout "$work/$name.key" -out "$work/$name.csr" \
      -subj "/CN=morvex-test-$name" 2>/dev/null
    openssl x509 -req -in "$work/$name.csr" -CA "$work/ca.pem" -CAkey "$work/ca.key" \
      -CAcreateserial -days 2 -extfile "$work/extensions.cnf" -extensions "$name" \
      -out "$work/$name.pem" 2>/dev/null
  done
}
make_certificates
printf 'user\npassword\n' >"$work/auth"
chmod 600 "$work/auth" "$work"/*.key
cat >"$work/record-settings.sh" <<EOF
#!/bin/sh
env >"$work/settings"
EOF
chmod 700 "$work/record-settings.sh"

# Profiles as the back end would send them (the remote is the test server).
# Fields: name | DNS provider | lines before the inline keys.
profiles=(
  'forced quad9|quad9|client\ndev tun\nproto udp\nremote 192.0.2.1 1194\nnobind\n'
  'server DNS|server|client\ndev tun\nproto udp\nremote 192.0.2.1 1194\nnobind\n'
  'own policy lines, forced cloudflare|cloudflare|client\ndev tun0\nproto udp\nremote 192.0.2.1 1194\nnobind\nredirect-gateway def1\nblock-outside-dns\ndhcp-option DNS 10.8.0.1\npull-filter ignore "dns "\npull-filter ignore "dhcp-option DNS"\nblock-ipv6\n'
)
declare -A provider_servers=([quad9]="9.9.9.9 149.112.112.112" [cloudflare]="1.1.1.1 1.0.0.1")

# Pushed option sets. Fields: expectation | option as pushed.
hostile=(
  'filtered|redirect-gateway'
  'filtered|redirect-gateway !ipv4'
  'filtered|redirect-gateway local bypass-dhcp'
  'filtered|redirect-private !ipv4'
  'filtered|redirect-private local'
  'filtered|route 203.0.113.0 255.255.255.0'
  'filtered|route 0.0.0.0 0.0.0.0 net_gateway'
  'filtered|route-ipv6 ::/1'
  'filtered|route-ipv6 2001:db8:99::/48'
  'filtered|ifconfig-ipv6 2001:db8:77::2/64 2001:db8:77::1'
  'dns|dhcp-option DNS 198.51.100.53'
  'dns|dhcp-option DNS6 2001:db8:53::53'
  'dns|dns server 0 address 198.51.100.54'
  'dns|dns search-domains hostile.example'
  'applied|dhcp-option DOMAIN hostile.example'
  'applied|dhcp-option WINS 198.51.100.55'
  'applied|setenv-safe HOSTILE pushed'
  'refused|block-outside-dns'
  'refused|route-nopull'
  'refused|pull-filter accept "route "'
  'refused|setenv opt route-nopull'
  'refused|setenv HOSTILE_PLAIN pushed'
)
# A server that names the local network's router as the tunnel's gateway.
gateway=(
  'applied|route-gateway 192.0.2.1'
)
# Compression, which the client refuses and then never comes up.
compression=(
  'refused|compress lz4'
)

# Rows. Fields: profile name | push set | server kind | outcome.
#   server kind: pool (the usual server macro) or manual (pushes its own
#   route-gateway and ifconfig); outcome: up, up-ipv4-outside (the IPv4
#   redirection follows the pushed gateway out of the tunnel), never-up.
rows=(
  'forced quad9|hostile|pool|up'
  'server DNS|hostile|pool|up'
  'own policy lines, forced cloudflare|hostile|pool|up'
  'forced quad9|gateway|manual|up-ipv4-outside'
  'forced quad9|compression|pool|never-up'
)

failures=0
checks=0
fail() {
  echo "  FAIL: $*"
  failures=$((failures + 1))
}
pass() { checks=$((checks + 1)); }
expect() { # expect DESCRIPTION COMMAND...: the command must succeed.
  local description=$1
  shift
  if "$@"; then pass; else fail "$description"; fi
}

profile_fields() { # profile_fields NAME: sets provider and head.
  local entry
  for entry in "${profiles[@]}"; do
    if [[ "${entry%%|*}" == "$1" ]]; then
      local rest=${entry#*|}
      provider=${rest%%|*}
      head=${rest#*|}
      return 0
    fi
  done
  echo "no profile named $1" >&2
  exit 1
}

write_server_config() { # write_server_config KIND PUSH-SET-NAME
  local kind=$1 entry option
  local -n pushes=$2
  {
    echo "port 1194"
    echo "proto udp"
    echo "dev tun"
    echo "topology subnet"
    echo "ca $work/ca.pem"
    echo "cert $work/server.pem"
    echo "key $work/server.key"
    echo "dh none"
    echo "keepalive 2 10"
    echo "verb 3"
    if [[ $kind == pool ]]; then
      echo "server 198.51.100.0 255.255.255.0"
    else
      echo "mode server"
      echo "tls-server"
      echo "ifconfig 198.51.100.1 255.255.255.0"
      echo "ifconfig-pool 198.51.100.2 198.51.100.99 255.255.255.0"
      echo 'push "topology subnet"'
    fi
    for entry in "${pushes[@]}"; do
      option=${entry#*|}
      echo "push \"${option//\"/\\\"}\""
    done
  } >"$work/server.conf"
}

# Waits up to SECONDS for a line matching a pattern in a file.
wait_for_text() { # wait_for_text FILE PATTERN SECONDS
  local deadline=$((SECONDS + $3))
  while ((SECONDS < deadline)); do
    grep -q -- "$2" "$1" 2>/dev/null && return 0
    sleep 0.2
  done
  return 1
}

start_peers() {
  rm -f "$work/server.log" "$work/client.log" "$work/client.status" "$work/settings"
  ip -n "$client_ns" route show >"$work/routes-before"
  ip netns exec "$server_ns" openvpn --config "$work/server.conf" --log "$work/server.log" \
    --suppress-timestamps </dev/null >/dev/null 2>&1 &
  server_pid=$!
  wait_for_text "$work/server.log" "Initialization Sequence Completed" 15 ||
    { cat "$work/server.log" >&2; fail "the test server did not start"; return 1; }
  ip netns exec "$client_ns" openvpn --config "$work/client.ovpn" \
    --auth-user-pass "$work/auth" --verb 4 --suppress-timestamps --log "$work/client.log" \
    --script-security 2 --up "$work/record-settings.sh" --disable-dco --status-version 2 \
    --status "$work/client.status" 2 </dev/null >/dev/null 2>&1 &
  client_pid=$!
}

# The device the client namespace would send a packet for this address to.
route_device() { # route_device ADDRESS
  ip -n "$client_ns" route get "$1" 2>/dev/null | sed -n 's/.* dev \([^ ]*\).*/\1/p' | head -n 1
}

# A setting as the client hands it to the system (the recording up script).
setting_present() { # setting_present NAME-PATTERN VALUE
  grep -qE "^$1=$2\$" "$work/settings" 2>/dev/null
}

# A route that the client namespace did not have before the client started.
new_route() { # new_route NETWORK
  local route
  route=$(ip -n "$client_ns" route show exact "$1" 2>/dev/null)
  [[ -n $route ]] && ! grep -qxF -- "$route" "$work/routes-before"
}

# Whether the client shows an effect of this pushed option.
in_effect() { # in_effect OPTION
  local option=$1 words
  read -ra words <<<"$option"
  case "$option" in
    "dhcp-option "*) setting_present 'foreign_option_[0-9]+' "$option" ;;
    "dns server "*) setting_present 'dns_server_[0-9]+_address_[0-9]+' "${words[4]}" ;;
    "dns search-domains "*) setting_present 'dns_search_domain_[0-9]+' "${words[2]}" ;;
    "setenv-safe "*) setting_present "OPENVPN_${words[1]}" "${words[2]}" ;;
    # `setenv opt` would make the option after it optional.
    "setenv opt "*) in_effect "${option#setenv opt }" ;;
    "setenv "*) setting_present "${words[1]}" "${words[2]}" ;;
    "route-gateway "*) setting_present route_vpn_gateway "${words[1]}" ;;
    # In effect, it would drop the pushed DNS suffix with the pushed routes.
    "route-nopull") ! setting_present 'foreign_option_[0-9]+' 'dhcp-option DOMAIN hostile.example' ;;
    "pull-filter "*) new_route 203.0.113.0/24 ;;
    # In effect: IPv4 no longer redirected, or no route kept for the server
    # itself outside the tunnel (the local flag).
    "redirect-gateway"* | "redirect-private"*)
      [[ $(route_device 203.0.113.1) != "$tun" ]] || ! new_route 192.0.2.1 ;;
    "route "*) new_route "${words[1]}/${words[2]}" ;;
    "route-ipv6 "*) [[ -n $(ip -n "$client_ns" -6 route show exact "${words[1]}") ]] ;;
    "ifconfig-ipv6 "*) [[ $(ip -n "$client_ns" -6 address show) == *" ${words[1]%/*}/"* ]] ;;
    # Linux has no such setting; the Windows engine passes it on its own.
    "block-outside-dns") false ;;
    "compress "*) grep -qF "Initialization Sequence Completed" "$work/client.log" ;;
    *)
      echo "the table names an option without a check of its effect: $option" >&2
      exit 1
      ;;
  esac
}

filtered_in_log() {
  grep -qF "Pushed option removed by filter: '$1'" "$work/client.log"
}

# OpenVPN names a refused option by its first word; pushed compression has a
# sentence of its own.
refused_in_log() { # refused_in_log OPTION
  local name=${1%% *}
  grep -qE "^Options error: (option '$name' |.*\]:[0-9]+: $name )" "$work/client.log" ||
    { [[ $name == compress ]] && grep -qF "server pushed compression settings that are not allowed" \
      "$work/client.log"; }
}

check_option() { # check_option EXPECTATION OPTION
  local expected=$1 option=$2
  if [[ $expected == dns ]]; then
    # With "server", a pushed `dns` option replaces pushed `dhcp-option DNS`
    # servers, so each is only required to pass; the DNS check of the row
    # shows which servers apply.
    if [[ $provider == server ]]; then expected=accepted; else expected=filtered; fi
  fi
  case "$expected" in
    filtered)
      expect "'$option' was not removed by a pull filter" filtered_in_log "$option"
      expect "'$option' took effect, though a filter should remove it" eval '! in_effect "$option"'
      ;;
    refused)
      expect "'$option' was not refused by OpenVPN" refused_in_log "$option"
      expect "'$option' took effect, though OpenVPN should refuse it" eval '! in_effect "$option"'
      ;;
    applied | accepted)
      expect "'$option' was removed by a filter, though it is expected to pass" \
        eval '! filtered_in_log "$option"'
      expect "'$option' was refused, though it is expected to pass" \
        eval '! refused_in_log "$option"'
      [[ $expected == accepted ]] || expect "'$option' did not take effect" in_effect "$option"
      ;;
  esac
}

# Routes and DNS of a client whose tunnel is up.
check_tunnel() { # check_tunnel OUTCOME
  local outcome=$1 address ipv4_device=$tun dns=() server
  [[ $outcome == up-ipv4-outside ]] && ipv4_device=$lan_device
  # Both halves of the IPv4 space, and the pushed route's network.
  for address in 9.9.9.9 203.0.113.1; do
    expect "IPv4 to $address leaves by $(route_device "$address"), not $ipv4_device" \
      test "$(route_device "$address")" == "$ipv4_device"
  done
  # IPv6 stays in the tunnel (where block-ipv6 answers it), also the pushed
  # route's network and the documentation prefix outside 2001:db8::/32.
  for address in 2001:db8:99::1 3fff::1 2606:4700:4700::1111; do
    expect "IPv6 to $address leaves by $(route_device "$address"), not $tun" \
      test "$(route_device "$address")" == "$tun"
  done
  expect "the tunnel lacks the policy's IPv6 address" \
    eval '[[ $(ip -n "$client_ns" -6 address show dev "$tun") == *" fd15:53b6:dead::2/64 "* ]]'
  # DNS as handed to the system.
  mapfile -t dns < <(sed -nE 's/^foreign_option_[0-9]+=dhcp-option DNS6? (.*)$/\1/p;
                              s/^dns_server_[0-9]+_address_[0-9]+=(.*)$/\1/p' \
    "$work/settings" | sort -u)
  if [[ $provider == server ]]; then
    expect "no DNS server applied with the provider \"server\"" test "${#dns[@]}" -gt 0
    for server in "${dns[@]}"; do
      expect "DNS server $server applied, which the server did not push" \
        grep -qE "^(dns|dhcp-option DNS6?) .*$server" <(printf '%s\n' "${hostile[@]#*|}")
    done
  else
    expect "DNS servers ${dns[*]} instead of the provider's ${provider_servers[$provider]}" \
      test "${dns[*]}" == "$(tr ' ' '\n' <<<"${provider_servers[$provider]}" | sort | xargs)"
  fi
  for address in "${dns[@]}"; do
    [[ $address == *:* ]] && continue
    expect "DNS server $address is reached by $(route_device "$address"), not $ipv4_device" \
      test "$(route_device "$address")" == "$ipv4_device"
  done
}

# The service's own readers over the client's files: the log is ready after its
# completion line; the byte totals are the status file's, received as written
# to the TUN device and sent as read from it.
check_engine_files() {
  expect "the log reads not ready" test "$("$policy_output" --log <"$work/client.log")" == ready
  ip netns exec "$client_ns" bash -c 'echo >/dev/udp/198.51.100.1/9' # one datagram into the tunnel
  wait_for_text "$work/client.status" "^TUN/TAP read bytes,[1-9]" 5 || fail "no traffic counted in 5 s"
  cp "$work/client.status" "$work/status"
  expect "byte totals other than the status file's" test "$("$policy_output" --status <"$work/status")" == \
    "$(sed -n 's/^TUN\/TAP write bytes,//p' "$work/status") $(sed -n 's/^TUN\/TAP read bytes,//p' "$work/status")"
}

echo "OpenVPN: $(openvpn --version | head -n 1)"
for row in "${rows[@]}"; do
  IFS='|' read -r profile_name push_set server_kind outcome <<<"$row"
  echo "== $profile_name, server pushing the $push_set set"
  profile_fields "$profile_name"
  {
    printf '%b' "$head"
    printf '<ca>\n%s\n</ca>\n' "$(cat "$work/ca.pem")"
    printf '<cert>\n%s\n</cert>\n' "$(cat "$work/client.pem")"
    printf '<key>\n%s\n</key>\n' "$(cat "$work/client.key")"
  } >"$work/profile.ovpn"
  if ! "$policy_output" "$provider" <"$work/profile.ovpn" >"$work/client.ovpn"; then
    fail "the policy refused the profile"
    continue
  fi
  write_server_config "$server_kind" "$push_set"
  tun=""
  if start_peers; then
    if [[ $outcome == never-up ]]; then
      expect "the client did not refuse the pushed options within 20 s" \
        wait_for_text "$work/client.log" "Failed to apply push options" 20
      expect "the tunnel came up" eval '! grep -qF "Initialization Sequence Completed" "$work/client.log"'
      expect "IPv4 routes were changed by a tunnel that never came up" \
        test "$(ip -n "$client_ns" route show 0.0.0.0/1)" == ""
    elif wait_for_text "$work/client.log" "Initialization Sequence Completed" 20; then
      tun=$(sed -n 's/^TUN\/TAP device \([^ ]*\) opened$/\1/p' "$work/client.log" | head -n 1)
      check_tunnel "$outcome"
      check_engine_files
    else
      sed -n '1,200p' "$work/client.log" >&2
      fail "the tunnel did not come up within 20 s"
    fi
    declare -n pushes=$push_set
    for entry in "${pushes[@]}"; do
      check_option "${entry%%|*}" "${entry#*|}"
    done
    unset -n pushes
  fi
  stop_peers
done

echo "$checks passed, $failures failed"
((failures == 0))
