#!/usr/bin/env bash
# Makes a throwaway code-signing certificate for tests: a certificate
# authority of its own (FOLDER/ca.pem, to verify signatures against) and a
# signing certificate issued by it with its key (FOLDER/signing.p12, locked
# with MORVEX_SIGNING_PASSWORD, or with none when that is not set). Both are
# valid from a day before the source's time, which dates the signatures, for
# ten years.
#   make-test-certificate.sh FOLDER
# Needs openssl and faketime. Never use it for a release.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [[ $# -ne 1 ]]; then
  echo "usage: $0 FOLDER" >&2
  exit 2
fi
source "$root/installer/source_time.sh"
epoch="$(source_time)"
folder="$1"
mkdir -p "$folder"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# openssl dates a new certificate from the clock.
issued=(env TZ=UTC faketime -f "$(date -u -d "@$((epoch - 86400))" '+%Y-%m-%d %H:%M:%S')")
"${issued[@]}" openssl req -x509 -newkey rsa:3072 -nodes -sha256 -days 3650 \
  -subj "/CN=Morvex VPN test signing authority" \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -keyout "$work/ca.key" -out "$work/ca.pem" 2>/dev/null
"${issued[@]}" openssl req -newkey rsa:3072 -nodes -sha256 -subj "/CN=Morvex VPN test signing" \
  -keyout "$work/signing.key" -out "$work/signing.csr" 2>/dev/null
printf '%s\n' "basicConstraints=critical,CA:FALSE" "keyUsage=critical,digitalSignature" \
  "extendedKeyUsage=codeSigning" >"$work/signing.ext"
"${issued[@]}" openssl x509 -req -sha256 -days 3650 -in "$work/signing.csr" \
  -CA "$work/ca.pem" -CAkey "$work/ca.key" -CAcreateserial -extfile "$work/signing.ext" \
  -out "$work/signing.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/signing.key" -in "$work/signing.pem" \
  -certfile "$work/ca.pem" -passout fd:3 3<<<"${MORVEX_SIGNING_PASSWORD:-}" -out "$work/signing.p12"
mv "$work/ca.pem" "$work/signing.p12" "$folder/"
