#!/usr/bin/env bash
# Installs and prepares everything the builds and tests need on a Debian 12
# machine, as root, printing a line for each step it takes. Idempotent: a
# second run only checks and returns. With --without-powershell (the demo runs
# none) it leaves out PowerShell and Pester, which only the tests use.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cache="$root/.cache"
mkdir -p "$cache"

packages=(
  build-essential cmake ninja-build pkg-config
  nlohmann-json3-dev libsodium-dev libgtest-dev libgmock-dev googletest libbenchmark-dev
  clang-19 libclang-rt-19-dev lld-19
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-tools
  wine wine64
  dpkg-dev autoconf automake libtool
  wixl msitools openvpn python3-jsonschema
  iproute2 openssl osslsigncode llvm faketime
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  echo "setup: installing ${#missing[@]} Debian packages (a few minutes)"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

# Source entries mirroring the machine's own Debian archive entries, so that
# the libsodium source package can be fetched from wherever this machine's
# packages come from.
ensure_debian_sources() {
  local list=/etc/apt/sources.list.d/morvex-build-src.sources
  [[ -f "$list" ]] && return 0
  : >"$list.tmp"
  local file
  for file in /etc/apt/sources.list.d/*.sources; do
    [[ -f "$file" ]] || continue
    # Copy each Debian archive stanza (deb822) with its type set to deb-src.
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /Signed-By:[^\n]*debian-archive-keyring/ && /Types:[^\n]*deb/ {
           sub(/Types:[^\n]*/, "Types: deb-src"); print }' "$file" >>"$list.tmp"
  done
  if [[ -f /etc/apt/sources.list ]]; then
    local line
    while read -r line; do
      printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: %s\n\n' \
        "$(awk '{print $2}' <<<"$line")" "$(awk '{print $3}' <<<"$line")" \
        "$(cut -d' ' -f4- <<<"$line")" >>"$list.tmp"
    done < <(grep -E '^deb\s+[a-z]+://' /etc/apt/sources.list | grep -v '\[' || true)
  fi
  if [[ ! -s "$list.tmp" ]]; then
    rm -f "$list.tmp"
    echo "setup: no Debian archive entry found to derive a source entry from" >&2
    return 1
  fi
  mv "$list.tmp" "$list"
  apt-get update -qq
}

# Static libsodium for mingw, built once from Debian's source package.
sodium_prefix="$cache/mingw-sodium"
if [[ ! -f "$sodium_prefix/lib/libsodium.a" ]]; then
  echo "setup: building libsodium for Windows from Debian's source package (a few minutes)"
  ensure_debian_sources
  work="$cache/libsodium-src"
  rm -rf "$work" && mkdir -p "$work"
  (cd "$work" && apt-get source -qq libsodium >/dev/null 2>&1)
  src_dir="$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'libsodium-*' | head -n 1)"
  log="$cache/libsodium-build.log"
  if ! (
    # Conditions switch off errexit, so every step is chained explicitly.
    cd "$src_dir" &&
      autoreconf -fi &&
      ./configure --host=x86_64-w64-mingw32 --enable-minimal --disable-shared \
        --prefix="$sodium_prefix" CC=x86_64-w64-mingw32-gcc-posix &&
      make -j"$(nproc)" &&
      make install
  ) >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "setup: building libsodium for Windows failed" >&2
    exit 1
  fi
  rm -rf "$work"
fi

# A template 64-bit Wine prefix; test runs copy it instead of booting Wine anew.
wine_template="$cache/wine-template"
if [[ ! -f "$wine_template/.ready" ]]; then
  echo "setup: initialising the Wine prefix"
  rm -rf "$wine_template"
  WINEPREFIX="$wine_template" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    /usr/lib/wine/wine64 wineboot --init >/dev/null 2>&1
  WINEPREFIX="$wine_template" /usr/lib/wine/wineserver -w
  touch "$wine_template/.ready"
fi

[[ "${1:-}" == --without-powershell ]] && exit 0

# PowerShell and Pester, to run the verification script and its tests for
# real. Both come from NuGet through the .NET SDK. Without them those tests
# are skipped, except under CI, where that is a failure.
pwsh_version=7.6.10
pester_version=5.7.1
install_powershell() {
  local pwsh_dir="$cache/pwsh" pester_dir="$cache/pester"
  export DOTNET_CLI_TELEMETRY_OPTOUT=1 DOTNET_NOLOGO=1
  if [[ ! -d "$pwsh_dir/.store/powershell/$pwsh_version" || ! -x "$pwsh_dir/pwsh" ]]; then
    echo "setup: installing PowerShell $pwsh_version"
    rm -rf "$pwsh_dir"
    dotnet tool install --tool-path "$pwsh_dir" PowerShell --version "$pwsh_version" >/dev/null ||
      return 1
  fi
  [[ -f "$pester_dir/pester/$pester_version/tools/Pester.psd1" ]] && return 0
  echo "setup: fetching Pester $pester_version"
  # A throwaway project whose only item downloads the package into the cache.
  local work status=0
  work="$(mktemp -d)"
  cat >"$work/pester.csproj" <<PROJECT
<Project Sdk="Microsoft.NET.Sdk">
  <PropertyGroup><TargetFramework>net$(dotnet --version | cut -d. -f1).0</TargetFramework></PropertyGroup>
  <ItemGroup><PackageDownload Include="Pester" Version="[$pester_version]" /></ItemGroup>
</Project>
PROJECT
  rm -rf "$pester_dir"
  dotnet restore "$work/pester.csproj" --packages "$pester_dir" >"$work/restore.log" 2>&1 ||
    { tail -n 20 "$work/restore.log" >&2; status=1; }
  rm -rf "$work"
  return "$status"
}
powershell_missing=""
if ! command -v dotnet >/dev/null 2>&1; then
  powershell_missing="PowerShell and Pester come from NuGet through the .NET SDK, which is not installed; install it from Microsoft's packages for Debian (learn.microsoft.com/dotnet/core/install/linux-debian), then run scripts/setup.sh again"
elif ! install_powershell; then
  powershell_missing="PowerShell or Pester could not be installed from NuGet (see above)"
fi
if [[ -n "$powershell_missing" ]]; then
  if [[ "${CI:-}" == true ]]; then
    echo "setup: the PowerShell tests cannot run: $powershell_missing" >&2
    exit 1
  fi
  echo "setup: PowerShell tests skipped: $powershell_missing"
fi
