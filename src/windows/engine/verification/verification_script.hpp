#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace morvex {

// The HTTPS endpoint that reports the caller's public address. It is reached
// at 1.1.1.1 through curl's resolve pin, so no DNS lookup is involved.
inline constexpr std::string_view trace_host = "one.one.one.one";
inline constexpr std::string_view trace_address = "1.1.1.1";

// The PowerShell script that checks the adapter, its DNS servers, the DNS
// policy and route ownership, then prints the source address as JSON. It uses
// no double quote, so it travels through command-line quoting unchanged.
extern const std::string_view verification_script;

// Arguments of the PowerShell run; the script's only input is its JSON on
// standard input.
std::vector<std::wstring> powershell_arguments();

// Arguments of the curl trace request, bound to the adapter's own address.
std::vector<std::wstring> curl_arguments(std::string_view source_address);

}  // namespace morvex
