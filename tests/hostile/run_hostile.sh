#!/usr/bin/env bash
# Installs the service in a throwaway prefix and sends it the hostile clients:
# a copy inside the installation folder plays the desktop app, a copy outside
# plays a stranger.   run_hostile.sh BIN_FOLDER PREFIX
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
source "$root/scripts/lib/service-under-wine.sh"
bin="$(cd "$1" && pwd)"

service_install "$bin" "$(realpath -m "$2")"
trap service_stop EXIT
cp "$bin/hostile_clients.exe" "$drive/Program Files/Morvex VPN/"
mkdir -p "$drive/stranger"
cp "$bin/hostile_clients.exe" "$drive/stranger/"
# Ready once it answers.
service_request '{"action":"capabilities"}' >/dev/null
"$wine" "$install_windows_path\\hostile_clients.exe" trusted 'C:\stranger\hostile_clients.exe' \
  </dev/null | tr -d '\r'
