// parse_request on a connect request near the frame limit, against the JSON
// library's own validation of the same bytes.
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>
#include <string>

#include "dispatch/messages.hpp"

namespace {

std::string large_connect_request() {
  std::string config;
  while (config.size() < 127 * 1024) {
    config += "remote vpn.example.net 1194 udp\\nverb 3\\n";
  }
  return R"({"action":"connect","profile":{"serverId":7,"location":"Oslo","protocol":"openvpn",)"
         R"("dns":"quad9","username":"user","password":"secret","config":")" +
         config + "\"}}";
}

const std::string& request_body() {
  static const std::string body = large_connect_request();
  return body;
}

void BM_JsonAccept(benchmark::State& state) {
  const auto& body = request_body();
  for (auto _ : state) {
    benchmark::DoNotOptimize(nlohmann::json::accept(body));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}

void BM_ParseRequest(benchmark::State& state) {
  const auto& body = request_body();
  if (!morvex::parse_request(body)) state.SkipWithError("request did not parse");
  for (auto _ : state) {
    auto request = morvex::parse_request(body);
    benchmark::DoNotOptimize(request);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * body.size()));
}

BENCHMARK(BM_JsonAccept);
BENCHMARK(BM_ParseRequest);

}  // namespace
