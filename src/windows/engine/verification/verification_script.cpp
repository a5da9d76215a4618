#include "windows/engine/verification/verification_script.hpp"

namespace morvex {
namespace {

// Every character of the script and of the arguments is ASCII.
std::wstring widen_ascii(std::string_view text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

std::vector<std::wstring> powershell_arguments() {
  return {L"-NoLogo", L"-NoProfile", L"-NonInteractive", L"-Command",
          widen_ascii(verification_script)};
}

std::vector<std::wstring> curl_arguments(std::string_view source_address) {
  const std::string pin = std::string(trace_host) + ":443:" + std::string(trace_address);
  const std::string url = "https://" + std::string(trace_host) + "/cdn-cgi/trace";
  return {L"--disable",
          L"--interface",
          widen_ascii(source_address),
          L"--ipv4",
          L"--noproxy",
          L"*",
          L"--resolve",
          widen_ascii(pin),
          L"--fail",
          L"--silent",
          L"--proto",
          L"=https",
          L"--connect-timeout",
          L"3",
          L"--max-time",
          L"5",
          widen_ascii(url)};
}

}  // namespace morvex
