#!/usr/bin/env bash
# Builds the release again from the same sources in another folder, later,
# and compares the result with the release folder of an existing Windows
# build, printing every file that differs. Only the shipped programs and the
# package are built, not the tests. The signing settings are taken over from
# the existing build (its certificate's password from MORVEX_SIGNING_PASSWORD,
# as for that build).
#   rebuild.sh [BUILD_FOLDER]     (default build/windows)
# Exits 0 when both release folders are identical, 1 when not.
set -uo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
first="$(realpath -m "${1:-$root/build/windows}")"
if [[ ! -f "$first/CMakeCache.txt" || ! -d "$first/release" ]]; then
  echo "$0: $first is not a built Windows build folder" >&2
  exit 2
fi
cached() { sed -n "s/^$1:[A-Z]*=//p" "$first/CMakeCache.txt"; }

# The moment that dates the first build (its package's creation time), which
# may be an earlier commit's when the checkout moved on since.
package="$(find "$first/release" -maxdepth 1 -name '*.msi' | head -n 1)"
created="$(TZ=UTC msiinfo suminfo "$package" 2>/dev/null | sed -n 's/^Created: //p')"
if ! SOURCE_DATE_EPOCH="$(TZ=UTC date -d "$created" +%s 2>/dev/null)" || [[ -z "$created" ]]; then
  echo "$0: cannot read the creation time of the package in $first/release" >&2
  exit 2
fi
export SOURCE_DATE_EPOCH
work="$(mktemp -d /tmp/morvex-rebuild.XXXXXX)"
trap 'rm -rf "$work"' EXIT

# The sources as they are in the checkout (committed or not, ignored files
# left out), in a folder of another name and depth.
mkdir -p "$work/elsewhere/source"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
  while IFS= read -r -d "" file; do if [[ -e "$file" ]]; then printf "%s\0" "$file"; fi; done |
  tar --null -cf - -T -) | tar -xf - -C "$work/elsewhere/source" || exit 1

start="$(date +%s)"
second="$work/elsewhere/source/out"
if ! (cmake -S "$work/elsewhere/source" -B "$second" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$work/elsewhere/source/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE="$(cached CMAKE_BUILD_TYPE)" -DMORVEX_TESTS=OFF \
  -DMORVEX_CACHE="$(cached MORVEX_CACHE)" \
  -DMORVEX_SIGNING_CERTIFICATE="$(cached MORVEX_SIGNING_CERTIFICATE)" \
  -DMORVEX_TIMESTAMP_URL="$(cached MORVEX_TIMESTAMP_URL)" >"$work/build.log" 2>&1 &&
  cmake --build "$second" -j"$(nproc)" --target morvex_installer >>"$work/build.log" 2>&1); then
  tail -n 30 "$work/build.log" >&2
  echo "$0: the second build failed" >&2
  exit 1
fi
echo "rebuilt in $(($(date +%s) - start)) s in another folder"
"$root/scripts/compare-builds.sh" "$first/release" "$second/release"
