#!/usr/bin/env bash
# start PREFIX: lays a fresh copy of the template prefix and keeps one Wine
# server running for the whole test run; stop PREFIX: ends that server and
# every Windows process left in the prefix.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
prefix="$2"
case "$1" in
  start)
    if [[ -d "$prefix" ]]; then
      WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
      WINEPREFIX="$prefix" /usr/lib/wine/wineserver -w 2>/dev/null || true
    fi
    rm -rf "$prefix"
    mkdir -p "$(dirname "$prefix")"
    cp -a "$root/.cache/wine-template" "$prefix"
    # The server must not hold the test runner's output open.
    WINEPREFIX="$prefix" /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
    # Start Wine's own background processes (services, devices) now, with no
    # terminal or test output attached: a test that started them would leave
    # them holding its output open for as long as the server lives.
    # Without address-space randomisation, as in wine-run.sh: the service
    # manager and every service it starts inherit the setting.
    WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
      setarch "$(uname -m)" -R /usr/lib/wine/wine64 wineboot </dev/null >/dev/null 2>&1
    ;;
  stop)
    WINEPREFIX="$prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true
    WINEPREFIX="$prefix" /usr/lib/wine/wineserver -w 2>/dev/null || true
    ;;
  *)
    echo "usage: $0 start|stop PREFIX" >&2
    exit 2
    ;;
esac
