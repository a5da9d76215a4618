#!/usr/bin/env bash
# Verifies the Authenticode signature of each signed program and package
# against the certificate authorities in CA_FILE (the system's when empty):
# present, SHA-256, whole-file digest matching, chain trusted. A copy with one
# byte changed must then fail, so that a check that accepts anything cannot
# pass.   check_signatures.sh CA_FILE FILE...
set -uo pipefail
ca_file="${1:-/etc/ssl/certs/ca-certificates.crt}"
shift
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib/checks.sh"
verify() {  # verify FILE: "verified SHA256" or what went wrong
  local report
  if ! report="$(osslsigncode verify -CAfile "$ca_file" -in "$1" 2>&1)"; then
    echo "refused: $(grep -m1 -iE 'fail|error|mismatch|no signature' <<<"$report")"
  elif ! grep -q '^Signature verification: ok' <<<"$report"; then
    echo "no verified signature"
  else
    echo "verified $(sed -n 's/^Message digest algorithm *: *//p' <<<"$report" | head -n 1)"
  fi
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
for file in "$@"; do
  name="$(basename "$file")"
  check "$name: signature verified" "$(verify "$file")" "verified SHA256"
  # One byte in the middle of the file, inside what the signature covers.
  cp "$file" "$work/$name"
  offset=$(($(stat -c %s "$file") / 3))
  byte="$(od -An -tu1 -j "$offset" -N1 "$file" | tr -d ' ')"
  printf "\\$(printf '%03o' $(((byte + 1) % 256)))" |
    dd of="$work/$name" bs=1 seek="$offset" conv=notrunc 2>/dev/null
  check "$name: a changed copy is refused" \
    "$(verify "$work/$name" | cut -d: -f1)" refused
done
checks_summary signatures
