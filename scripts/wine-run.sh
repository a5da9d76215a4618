#!/usr/bin/env bash
# Runs one Windows program under Wine; the build's emulator for tests.
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export WINEPREFIX="${WINEPREFIX:-$root/build/windows/wine-prefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
# Without address-space randomisation: Wine maps some structures of every
# process at fixed low addresses (the shared user data at 0x7ffe0000), and a
# randomly placed heap now and then takes one of them; the new process then
# dies at its start ("failed to map the shared user data") and the process
# that started it sees its CreateProcess fail with an internal error. Children
# inherit the setting.
exec setarch "$(uname -m)" -R /usr/lib/wine/wine64 "$@"
