// Each profile validator on large profiles of a few shapes, against a
// baseline pass that only splits the same text into lines and trims them.
// The counter x_baseline is the validator's time over the baseline's time,
// both measured in the same benchmark; ns_per_byte shows how the time grows
// from 64 KiB to 256 KiB.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "policy/connect_request.hpp"
#include "policy/openvpn_profile.hpp"
#include "policy/profile_lines.hpp"
#include "policy/wireguard_profile.hpp"

namespace {

const std::vector<std::string_view> quad9 = {"9.9.9.9", "149.112.112.112"};

const std::string wireguard_head =
    "[Interface]\r\nPrivateKey = yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=\r\n"
    "Address = 10.2.0.2/32, fd00::2/128\r\nDNS = 10.0.0.1\r\nMTU = 1420\r\n";
const std::string wireguard_peer =
    "[Peer]\r\nPublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\r\n"
    "Endpoint = vpn-7.example.net:51820\r\nPersistentKeepalive = 25\r\n";

// A profile padded with comment lines between its sections.
std::string wireguard_many_lines(std::size_t size) {
  std::string text = wireguard_head;
  const std::string tail = wireguard_peer + "AllowedIPs = 0.0.0.0/0, ::/0\r\n";
  for (int i = 0; text.size() + tail.size() < size; ++i) {
    text += "  # exit node " + std::to_string(i) + ", rotated weekly by the back end\r\n";
  }
  return text + tail;
}

// A profile whose AllowedIPs line is one long list of routes.
std::string wireguard_long_line(std::size_t size) {
  std::string routes = "0.0.0.0/0, ::/0";
  for (int i = 0; wireguard_head.size() + wireguard_peer.size() + routes.size() + 40 < size; ++i) {
    routes += ", 10." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256) + ".0/24";
  }
  return wireguard_head + wireguard_peer + "AllowedIPs = " + routes + "\r\n";
}

const std::string openvpn_head =
    "client\r\ndev tun\r\nproto udp\r\nremote vpn-7.example.net 1194\r\nresolv-retry infinite\r\n"
    "nobind\r\npersist-key\r\npersist-tun\r\nremote-cert-tls server\r\nauth-user-pass\r\n"
    "cipher AES-256-GCM\r\nverb 3\r\ndhcp-option DNS 10.8.0.1\r\n";

// A profile whose bulk is inline certificate blocks of 64-character lines.
std::string openvpn_many_lines(std::size_t size) {
  std::string text = openvpn_head;
  const std::string pem_line =
      "MIIDSzCCAjOgAwIBAgIUQm9yZ2VuIGlzIGEgY2l0eSBpbiBOb3J3YXkuIFRoZSBj\r\n";
  while (text.size() < size) {
    text += "<ca>\r\n-----BEGIN CERTIFICATE-----\r\n";
    for (int i = 0; i < 20; ++i) text += pem_line;
    text += "-----END CERTIFICATE-----\r\n</ca>\r\n";
  }
  return text;
}

// A profile of directive lines close to the longest line allowed.
std::string openvpn_long_lines(std::size_t size) {
  std::string text = openvpn_head;
  std::string ciphers = "tls-cipher TLS-ECDHE-ECDSA-WITH-AES-256-GCM-SHA384";
  while (ciphers.size() < 200) ciphers += ":TLS-ECDHE-RSA-WITH-AES-256-GCM-SHA384";
  while (text.size() < size) text += ciphers + "\r\n";
  return text;
}

// The baseline: split into lines, trim, and look at every line.
std::size_t split_and_trim(std::string_view text) {
  std::size_t kept = 0;
  morvex::ProfileLineReader lines(text);
  while (const auto line = lines.next()) kept += line->size();
  return kept;
}

using Validator = std::function<bool(std::string_view)>;

void run(benchmark::State& state, const std::string& text, const Validator& validate) {
  if (!validate(text)) {
    state.SkipWithError("the profile was refused");
    return;
  }
  // Processor time, so that other work on the machine does not tilt the ratio.
  const auto start = std::clock();
  for (auto _ : state) benchmark::DoNotOptimize(validate(text));
  const auto validator_time = static_cast<double>(std::clock() - start);

  const auto baseline_start = std::clock();
  for (benchmark::IterationCount i = 0; i < state.iterations(); ++i) {
    benchmark::DoNotOptimize(split_and_trim(text));
  }
  const auto baseline_time = static_cast<double>(std::clock() - baseline_start);

  const auto iterations = static_cast<double>(state.iterations());
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
  state.counters["x_baseline"] = validator_time / baseline_time;
  state.counters["ns_per_byte"] =
      validator_time * 1e9 / CLOCKS_PER_SEC / iterations / static_cast<double>(text.size());
}

bool wireguard(std::string_view text) {
  return morvex::validate_wireguard_profile(text, quad9).has_value();
}

bool openvpn(std::string_view text) {
  return morvex::sanitize_openvpn_profile(text, quad9).has_value();
}

bool connect_request(std::string_view text) {
  morvex::Profile profile{7, "Oslo", "openvpn", std::string(text), "quad9", "", "user", "pass"};
  return morvex::validate_connect_request(std::move(profile)).has_value();
}

std::size_t size_of(const benchmark::State& state) {
  return static_cast<std::size_t>(state.range(0)) * 1024;
}

void BM_WireguardManyLines(benchmark::State& state) {
  run(state, wireguard_many_lines(size_of(state)), wireguard);
}
void BM_WireguardLongLine(benchmark::State& state) {
  run(state, wireguard_long_line(size_of(state)), wireguard);
}
void BM_OpenvpnManyLines(benchmark::State& state) {
  run(state, openvpn_many_lines(size_of(state)), openvpn);
}
void BM_OpenvpnLongLines(benchmark::State& state) {
  run(state, openvpn_long_lines(size_of(state)), openvpn);
}
// The whole request check on a profile text just under the 65535-byte limit.
void BM_ConnectRequest(benchmark::State& state) {
  run(state, openvpn_many_lines(63 * 1024), connect_request);
}

}  // namespace

BENCHMARK(BM_WireguardManyLines)->Arg(64)->Arg(256);
BENCHMARK(BM_WireguardLongLine)->Arg(64)->Arg(256);
BENCHMARK(BM_OpenvpnManyLines)->Arg(64)->Arg(256);
BENCHMARK(BM_OpenvpnLongLines)->Arg(64)->Arg(256);
BENCHMARK(BM_ConnectRequest);
