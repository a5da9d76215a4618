#!/usr/bin/env bash
# Installs what is missing, builds every configuration and runs every test:
# a short run of each fuzz target, the native tests (with sanitizers, fuzz
# corpora replayed), the Windows tests under Wine and a second build of the
# Windows release compared with the first. Exits non-zero when any build or
# test fails.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root" || exit 1

"$root/scripts/setup.sh" || exit 1

# Each step is named by its command, without this checkout's folder.
failed=()
step() {
  echo "== ${*//"$root/"/}"
  "$@" || failed+=("${*//"$root/"/}")
}
build() {
  cmake --preset "$1" >/dev/null && cmake --build --preset "$1" -j"$(nproc)"
}

step build fuzz
step "$root/scripts/fuzz.sh" "${FUZZ_SECONDS:-10}"
step build native-release
step build native-debug
step ctest --preset native-debug -LE pester
# ctest shows a passing test's output only when verbose: the Pester suite runs
# on its own so that its summary line is printed.
step ctest --preset native-debug -L pester --verbose
# The Windows build signs its release folder with a throwaway certificate
# made afresh for each run, and the tests check those signatures and install
# the signed package.
signing="$root/build/test-signing"
step "$root/scripts/make-test-certificate.sh" "$signing"
step cmake --preset windows -DMORVEX_SIGNING_CERTIFICATE="$signing/signing.p12" \
  -DMORVEX_SIGNING_AUTHORITIES="$signing/ca.pem"
step build windows
step ctest --preset windows
# The release built again from the same sources, in another folder and
# later, must give the same bytes.
step "$root/scripts/rebuild.sh" "$root/build/windows"

if ((${#failed[@]})); then
  printf -v names '%s; ' "${failed[@]}"
  echo "== some builds or tests failed: ${names%; }"
  exit 1
fi
