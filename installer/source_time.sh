# Sourced by the packaging and signing scripts: source_time prints the
# moment that stands for the source in everything they date, in seconds since
# 1970: SOURCE_DATE_EPOCH when given, otherwise the time of the checkout's
# last commit, otherwise the date of the package source file.
source_time() {
  local here epoch
  here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
  if [[ -n "${SOURCE_DATE_EPOCH:-}" ]]; then
    epoch="$SOURCE_DATE_EPOCH"
  elif ! epoch="$(git -C "$here" log -1 --format=%ct 2>/dev/null)" || [[ -z "$epoch" ]]; then
    epoch="$(stat -c %Y "$here/morvex_vpn.wxs")"
  fi
  if [[ ! "$epoch" =~ ^[0-9]{1,12}$ ]]; then
    echo "SOURCE_DATE_EPOCH must be seconds since 1970, not '$epoch'" >&2
    return 2
  fi
  echo "$epoch"
}
