#include "windows/engine/verification/verification_text.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command/runner.hpp"
#include "windows/engine/verification/verification_script.hpp"

namespace morvex {
namespace {

TEST(ExpectedDnsServers, ReadsBothProfileKindsInOrder) {
  EXPECT_EQ(
      expected_dns_servers("[Interface]\nDNS = 9.9.9.9, 149.112.112.112\nAddress = 10.0.0.2/32\n"),
      (std::vector<std::string>{"9.9.9.9", "149.112.112.112"}));
  EXPECT_EQ(expected_dns_servers("client\r\ndhcp-option DNS 1.1.1.1\r\ndhcp-option DNS "
                                 "2606:4700:4700::1111\r\ndhcp-option DOMAIN x\n"),
            (std::vector<std::string>{"1.1.1.1", "2606:4700:4700::1111"}));
  // Pieces that are not addresses, and look-alike keys, are skipped.
  EXPECT_EQ(expected_dns_servers("DNS = 1.1.1.1,example.org, ,::1\nDNS=8.8.8.8\nMyDNS = 8.8.4.4\n"
                                 " DNS = 8.8.8.8\ndhcp-option DNS6 ::2"),
            (std::vector<std::string>{"1.1.1.1", "::1"}));
  EXPECT_TRUE(expected_dns_servers("client\nremote a 1194\n").empty());
}

TEST(ScriptInput, IsCompactWithAdapterFirst) {
  EXPECT_EQ(script_input("MorvexVPN", {"9.9.9.9", "149.112.112.112"}),
            R"({"adapter":"MorvexVPN","dns":["9.9.9.9","149.112.112.112"]})");
  EXPECT_EQ(script_input("MorvexOpenVPN", {}), R"({"adapter":"MorvexOpenVPN","dns":[]})");
}

TEST(ScriptSourceAddress, AcceptsOnlyADottedIpv4Source) {
  EXPECT_EQ(script_source_address(R"({"source":"10.64.0.2","destination":"1.1.1.1"})"),
            "10.64.0.2");
  EXPECT_EQ(script_source_address(R"({"destination":"1.1.1.1","source":"10.64.0.2"})"),
            "10.64.0.2");
  // PowerShell ends its output with the line end of the system.
  EXPECT_EQ(script_source_address(R"({"source":"10.64.0.2"})"
                                  "\r\n"),
            "10.64.0.2");
  for (const char* output :
       {"", "not json", "[]", R"({"destination":"1.1.1.1"})", R"({"source":null})",
        R"({"source":167772162})", R"({"source":"fd00::2"})", R"({"source":"10.64.0.256"})",
        R"({"source":"10.64.0.2 "})", R"({"source":"10.64.0.2"} trailing)"}) {
    EXPECT_EQ(script_source_address(output), std::nullopt) << output;
  }
}

TEST(TracePublicAddress, TakesTheFirstIpLine) {
  EXPECT_EQ(trace_public_address("fl=1\nh=one.one.one.one\nip=203.0.113.7\nts=1\n"), "203.0.113.7");
  EXPECT_EQ(trace_public_address("ip=2001:db8::7\r\nip=203.0.113.7\n"), "2001:db8::7");
  // The first ip= line decides, even when a later one would be valid.
  EXPECT_EQ(trace_public_address("ip=unknown\nip=203.0.113.7\n"), std::nullopt);
  for (const char* body :
       {"", "fl=1\n", "ip=\n", "ip= 203.0.113.7\n", " ip=203.0.113.7", "IP=1.2.3.4"}) {
    EXPECT_EQ(trace_public_address(body), std::nullopt) << body;
  }
}

TEST(VerificationScript, TravelsAsOneArgumentWithItsStepsInOrder) {
  const std::string script(verification_script);
  // No double quote: command-line quoting leaves the text as it is.
  EXPECT_EQ(script.find('"'), std::string::npos);
  // The contract: JSON on standard input, JSON with source and destination on
  // standard output, one fixed line on standard error and exit code 1.
  EXPECT_NE(script.find("Invoke-Verification @($input)"), std::string::npos);
  EXPECT_NE(script.find("source = $source; destination = '1.1.1.1'"), std::string::npos);
  EXPECT_NE(script.find("Write-Error -Message 'VPN routes or DNS could not be verified.'"),
            std::string::npos);
  EXPECT_NE(script.find("exit 1"), std::string::npos);
  EXPECT_NE(script.find("$MyInvocation.InvocationName -ne '.'"), std::string::npos);
  const char* steps_in_order[] = {"NetAdapter\\Get-NetAdapter -Name",
                                  "DnsClient\\Get-DnsClientServerAddress -InterfaceIndex",
                                  "DnsClient\\Get-DnsClientNrptPolicy -Effective",
                                  "NetTCPIP\\Find-NetRoute -RemoteIPAddress $Address",
                                  "@('1.1.1.1', '1.0.0.1') + $actual",
                                  "Assert-Ipv6Route $index",
                                  "Get-SourceAddress $index"};
  std::size_t previous = 0;
  for (const char* step : steps_in_order) {
    const auto at = script.find(step, previous);
    EXPECT_NE(at, std::string::npos) << step;
    previous = at == std::string::npos ? previous : at;
  }

  EngineCommand command{L"C:\\Windows\\System32\\WindowsPowerShell\\v1.0\\powershell.exe",
                        powershell_arguments(),
                        0,
                        {}};
  const std::wstring line = command_line(command);
  const std::wstring wide_script(script.begin(), script.end());
  EXPECT_NE(line.find(L" \"" + wide_script + L"\""), std::wstring::npos);
  EXPECT_TRUE(line.ends_with(L"\"" + wide_script + L"\""));
}

TEST(CurlArguments, PinTheTraceHostAndBindTheSource) {
  const std::vector<std::wstring> expected = {L"--disable",
                                              L"--interface",
                                              L"10.64.0.2",
                                              L"--ipv4",
                                              L"--noproxy",
                                              L"*",
                                              L"--resolve",
                                              L"one.one.one.one:443:1.1.1.1",
                                              L"--fail",
                                              L"--silent",
                                              L"--proto",
                                              L"=https",
                                              L"--connect-timeout",
                                              L"3",
                                              L"--max-time",
                                              L"5",
                                              L"https://one.one.one.one/cdn-cgi/trace"};
  EXPECT_EQ(curl_arguments("10.64.0.2"), expected);
  EXPECT_EQ(powershell_arguments().size(), 5u);
  EXPECT_EQ(powershell_arguments()[3], L"-Command");
}

}  // namespace
}  // namespace morvex
