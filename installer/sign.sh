#!/usr/bin/env bash
# Signs Windows programs and packages in place with Authenticode (SHA-256).
#   sign.sh [--timestamp URL] CERTIFICATE FILE...
# CERTIFICATE is a PKCS#12 file with the signing key and its certificate
# chain; its password comes from the environment variable
# MORVEX_SIGNING_PASSWORD (none when not set), never from the command line,
# where other users could read it. URL is an RFC 3161 time-stamp service that
# countersigns each signature, so that it stays valid after the certificate
# expires. Needs osslsigncode.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
timestamp_url=""
if [[ "${1:-}" == --timestamp ]]; then
  timestamp_url="${2:-}"
  shift 2 || true
fi
if [[ $# -lt 2 ]]; then
  echo "usage: $0 [--timestamp URL] CERTIFICATE FILE..." >&2
  exit 2
fi
certificate="$1"
shift
if [[ ! -f "$certificate" ]]; then
  echo "$0: the signing certificate $certificate does not exist" >&2
  exit 2
fi

# Without a time-stamp service the signature's signing time is the moment of
# the source (as for the package's dates), so that signing the same files
# with the same certificate gives the same bytes. A time-stamp service
# answers with its own time and its own signature, which no rebuild repeats.
time_options=()
if [[ -n "$timestamp_url" ]]; then
  time_options=(-ts "$timestamp_url")
else
  source "$here/source_time.sh"
  epoch="$(source_time)"
  time_options=(-time "$epoch")
fi

for file in "$@"; do
  # The program writes only a new file.
  signed="$(mktemp -u "$file.XXXXXX")"
  # The password travels through a pipe; the program reads its first line.
  if ! osslsigncode sign -pkcs12 "$certificate" -readpass /dev/stdin -h sha256 \
    -n "Morvex VPN" "${time_options[@]}" -in "$file" -out "$signed" \
    >"$signed.log" 2>&1 <<<"${MORVEX_SIGNING_PASSWORD:-}"; then
    cat "$signed.log" >&2
    rm -f "$signed" "$signed.log"
    echo "$0: signing $file failed (a wrong MORVEX_SIGNING_PASSWORD shows as a PKCS#12 error)" >&2
    exit 1
  fi
  rm -f "$signed.log"
  chmod --reference="$file" "$signed"
  mv "$signed" "$file"
done
