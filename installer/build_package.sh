#!/usr/bin/env bash
# Builds the Windows Installer package of the service from morvex_vpn.wxs.
#   build_package.sh VERSION BIN_FOLDER OUTPUT
# VERSION is major.minor.build; BIN_FOLDER holds the two built programs and
# morvex_service_actions.exe, which the package carries. Needs wixl and msibuild
# (msitools) and faketime.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
if [[ $# -ne 3 ]]; then
  echo "usage: $0 VERSION BIN_FOLDER OUTPUT" >&2
  exit 2
fi
version="$1"
bin="$(cd "$2" && pwd)"
output="$(realpath -m "$3")"

# One upgrade code for every version: it is how a newer package finds and
# replaces an older one.
upgrade_code=6F1C2B9E-4D7A-4E35-9C08-2A5B7E13D4F6

# Windows Installer compares the first three fields: major and minor up to
# 255, build up to 65535.
if [[ ! "$version" =~ ^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,5})$ ]] ||
  ((BASH_REMATCH[1] > 255 || BASH_REMATCH[2] > 255 || BASH_REMATCH[3] > 65535)); then
  echo "$0: version must be major.minor.build within 255.255.65535, not '$version'" >&2
  exit 2
fi

# The product code is derived from the upgrade code and the version
# (SHA-1, laid out as a version-5 UUID): each version is a product of its own,
# so an upgrade replaces it, and a rebuild of the same version is the same
# product, so installing it again repairs instead of adding a second copy.
uuid_of() {  # uuid_of TEXT: a UUID derived from TEXT
  local hash variant
  hash="$(printf '%s' "$1" | sha1sum | cut -c1-32)"
  variant="$(printf '%x' $((0x${hash:16:1} & 0x3 | 0x8)))"
  hash="${hash:0:8}-${hash:8:4}-5${hash:13:3}-${variant}${hash:17:3}-${hash:20:12}"
  echo "${hash^^}"
}
product_code="$(uuid_of "$upgrade_code/$version")"

programs=(morvex_vpn_platform_service.exe morvex_vpn_service.exe morvex_service_actions.exe)
for program in "${programs[@]}"; do
  if [[ ! -f "$bin/$program" ]]; then
    echo "$0: $bin/$program is missing" >&2
    exit 2
  fi
done

# The same programs give the same package, byte for byte, wherever and
# whenever it is built. Its dates (the files' dates in the cabinet, the
# package's creation and save times) are one fixed moment, the source's
# (source_time.sh); the tools take the clock and the local time zone, so
# both are fixed around them. Its package code, which Windows Installer
# requires to differ between packages that differ, is derived from
# everything that goes into it.
source "$here/source_time.sh"
epoch="$(source_time)"
export TZ=UTC
at_build_time=(faketime -f "$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')")
package_code="$(uuid_of "$product_code/$(cd "$bin" && sha256sum "${programs[@]}")/$(
  sha256sum <"$here/morvex_vpn.wxs")/$(sha256sum <"$here/build_package.sh")")"

mkdir -p "$(dirname "$output")"
staging="$(mktemp "$output.XXXXXX")"
programs_copy="$(mktemp -d "$output.programs.XXXXXX")"
trap 'rm -rf "$staging" "$programs_copy"' EXIT
for program in "${programs[@]}"; do
  cp "$bin/$program" "$programs_copy/"
  touch -d "@$epoch" "$programs_copy/$program"
done
# The compiler finds the programs named in the source in its working folder.
(cd "$programs_copy" && "${at_build_time[@]}" wixl --arch x64 -D Version="$version" \
  -D ProductCode="$product_code" \
  -D UpgradeCode="$upgrade_code" -o "$staging" "$here/morvex_vpn.wxs")

# Rows the WiX compiler cannot write: remove every file of the private-runtime
# folder and then the folder itself, on uninstall only, through the property
# that the package sets when it is really being removed (not upgraded); and
# remove a pipe tool that an administrator left in the installation folder.
# The files the service and OpenVPN write there are also named one by one, for
# installers that do not expand the wildcard.
remove_rows=(-q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('PrivateRuntimeFiles', 'ServiceProgram', '*', 'PrivateRuntimeToRemove', 2)")
key=0
for name in MorvexVPN.conf openvpn.ovpn openvpn.auth openvpn.log status.txt adapter-tap.id; do
  key=$((key + 1))
  remove_rows+=(-q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('PrivateRuntimeFile$key', 'ServiceProgram', '$name', 'PrivateRuntimeToRemove', 2)")
done
"${at_build_time[@]}" msibuild "$staging" "${remove_rows[@]}" \
  -q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`DirProperty\`, \`InstallMode\`) VALUES ('PrivateRuntimeFolder', 'ServiceProgram', 'PrivateRuntimeToRemove', 2)" \
  -q "INSERT INTO \`RemoveFile\` (\`FileKey\`, \`Component_\`, \`FileName\`, \`DirProperty\`, \`InstallMode\`) VALUES ('LeftPipeTool', 'ServiceProgram', 'morvex_pipe_tool.exe', 'ProductFolder', 2)"
# Stop the service and wait for its process to end, right after the standard
# stop and before any file is removed or replaced: a deferred program from the
# package's Binary table (type 2), run as LocalSystem (no impersonation, 0x800)
# in the install script (0x400); its exit status is not judged (0x40), since a
# service that outlasts the wait leaves Windows Installer its own handling of
# files in use.
"${at_build_time[@]}" msibuild "$staging" \
  -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('StopServiceAndWait', 3138, 'ServiceActionsProgram', 'stop')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('StopServiceAndWait', 'VersionNT', 1950)"

# Delete the TAP adapter that the service created, on uninstall only (the
# condition of the private-runtime removal, which deletes the adapter's
# identifier): left behind, its name would make every later adapter creation
# fail. A deferred program with a working folder (type 34), as LocalSystem, its
# exit status not judged (0x40): without OpenVPN or without the adapter it has
# nothing to do.
"${at_build_time[@]}" msibuild "$staging" \
  -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('DeleteTapAdapter', 3170, 'ProgramFiles64Folder', '\"[ProgramFiles64Folder]OpenVPN\\bin\\tapctl.exe\" delete MorvexOpenVPN')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('DeleteTapAdapter', 'REMOVE~=\"ALL\" AND NOT UPGRADINGPRODUCTCODE', 1960)"

# Windows Installer registers the service's program path without quotes; with
# the spaces of "Program Files" the service manager would then try
# C:\Program.exe first. The carried program sets it again in quotes, after the
# service is installed and before it starts, on install, repair and upgrade
# (type 2 as above, its exit status judged: a failure fails the install).
"${at_build_time[@]}" msibuild "$staging" \
  -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('QuoteServicePath', 3074, 'ServiceActionsProgram', 'quote-path')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('QuoteServicePath', 'NOT REMOVE~=\"ALL\"', 5810)"

# Restart after a crash: restart 5 s after the first and second failure and
# 60 s after any further one, the count starting afresh after a day without
# failures. Windows Installer 5 applies this table (MsiConfigureServices,
# between installing and starting the service) on install and reinstall.
"${at_build_time[@]}" msibuild "$staging" \
  -q "CREATE TABLE \`MsiServiceConfigFailureActions\` (\`MsiServiceConfigFailureActions\` CHAR(72) NOT NULL, \`Name\` CHAR(255) NOT NULL LOCALIZABLE, \`Event\` SHORT NOT NULL, \`ResetPeriod\` LONG, \`RebootMessage\` CHAR(255) LOCALIZABLE, \`Command\` CHAR(255) LOCALIZABLE, \`Actions\` CHAR(255), \`DelayActions\` CHAR(255), \`Component_\` CHAR(72) NOT NULL PRIMARY KEY \`MsiServiceConfigFailureActions\`)" \
  -q "INSERT INTO \`MsiServiceConfigFailureActions\` (\`MsiServiceConfigFailureActions\`, \`Name\`, \`Event\`, \`ResetPeriod\`, \`Actions\`, \`DelayActions\`, \`Component_\`) VALUES ('ServiceRecovery', 'MorvexVPN', 5, 86400, '1[~]1[~]1', '5000[~]5000[~]60000', 'ServiceProgram')" \
  -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Condition\`, \`Sequence\`) VALUES ('MsiConfigureServices', 'VersionNT', 5850)"

# The package code, which the compiler makes up at random. The other
# summary fields are written again as they are: the package's description and
# maker (as in morvex_vpn.wxs) and its platform and language.
"${at_build_time[@]}" msibuild "$staging" -s "Morvex VPN service" Morvex "x64;1033" "{$package_code}"
mv "$staging" "$output"
