#include "windows/engine/engine_checks.hpp"

#include <chrono>
#include <optional>

#include "windows/engine/engine_locations.hpp"
#include "windows/engine/portable/openvpn_version.hpp"

namespace morvex {
namespace {

constexpr const char* openvpn_needs_update =
    "The Windows OpenVPN engine needs a security update. Install a Morvex release with patched "
    "engines.";
constexpr const char* engines_come_with_installer =
    "The installer supplies the Windows VPN engines.";

constexpr std::chrono::seconds version_query_timeout{3};

}  // namespace

Result<void> check_openvpn_version(CommandRunner& runner) {
  auto command = engine_command(program_files_path(openvpn_program));
  command.arguments = {L"--version"};
  // Why the run failed does not matter: an engine that cannot report its
  // version counts as unpatched.
  const auto output = runner.run(command, std::nullopt, version_query_timeout);
  if (!output || !openvpn_banner_passes(*output)) return fail(openvpn_needs_update);
  return {};
}

EngineCapabilities query_capabilities(CommandRunner& runner) {
  EngineCapabilities capabilities;
  capabilities.openvpn = check_openvpn_version(runner).has_value();
  capabilities.wireguard =
      is_existing_regular_file(program_files_path(wireguard_manager_program)) &&
      is_existing_regular_file(program_files_path(wireguard_query_program));
  capabilities.wireguard_message = engines_come_with_installer;
  return capabilities;
}

}  // namespace morvex
