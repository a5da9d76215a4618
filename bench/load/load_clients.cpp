// Load on the installed service: CLIENTS threads, each sending REQUESTS mixed
// requests one connection at a time, from the installation folder (trusted).
//   load_clients CLIENTS REQUESTS
// The mix (per 1000): status 300, traffic 200, cancel 150, capabilities 50,
// connect with an invalid profile 150, disconnect 148, connect with a valid
// WireGuard or OpenVPN profile 2. Every reply is checked against what its
// action may answer. Then one tunnel is held up while the other clients send
// REQUESTS/100 status, traffic and capabilities requests each. Prints the
// counts, the latency per action, the service's memory, threads and handles
// before and after, and a closing "N passed, N failed" line; exits non-zero
// when a request went unanswered or was answered wrongly. Measurements are
// reported, never judged.
#include <windows.h>
// Process inspection needs windows.h first.
#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "protocol/exchange_log.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr wchar_t pipe_name[] = L"\\\\.\\pipe\\MorvexVPN.Service.v1";

const std::string disconnected =
    R"({"result":{"activeProfile":null,"connectedAt":null,"connection":null,)"
    R"("message":"VPN is disconnected.","platform":"windows","publicAddress":null,)"
    R"("state":"disconnected"}})";
const std::string capabilities =
    R"({"result":{"openvpn":true,"wireguard":true,)"
    R"("wireguardMessage":"The installer supplies the Windows VPN engines."}})";

const std::string wireguard_connect =
    R"({"action":"connect","profile":{"serverId":7,"location":"Oslo","protocol":"wireguard",)"
    R"("config":"[Interface]\nPrivateKey = yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=\n)"
    R"(Address = 10.64.0.2/32\n[Peer]\nPublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\n)"
    R"(AllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = 198.51.100.7:51820\n","dns":"quad9",)"
    R"("username":"demo","password":"demo-secret"}})";
const std::string openvpn_connect =
    R"({"action":"connect","profile":{"serverId":8,"location":"Rome","protocol":"openvpn",)"
    R"("config":"client\nremote 198.51.100.7 1194 udp\n","dns":"cloudflare",)"
    R"("username":"demo","password":"demo-secret"}})";
const std::string invalid_connect =
    R"({"action":"connect","profile":{"serverId":7,"location":"Oslo","protocol":"openvpn",)"
    R"("config":"client\nremote 198.51.100.7 1194 udp\nup evil.cmd\n","dns":"quad9",)"
    R"("username":"demo","password":"demo-secret"}})";

enum Action { status, traffic, cancel, caps, bad_connect, disconnect, good_connect, action_count };
constexpr std::array<const char*, action_count> action_names = {
    "status",     "traffic",        "cancel", "capabilities", "connect (invalid)",
    "disconnect", "connect (valid)"};
// Out of every 1000 requests.
constexpr std::array<int, action_count> mix = {300, 200, 150, 50, 150, 148, 2};

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Whether `reply` is an answer that `action` may get, whatever the other
// clients are doing at the same time.
bool plausible(Action action, const std::string& reply) {
  const bool status_result = starts_with(reply, R"({"result":{"activeProfile":)") &&
                             reply.find(R"("platform":"windows")") != std::string::npos;
  const bool error = starts_with(reply, R"({"error":")") && reply.ends_with(R"(."})");
  switch (action) {
    case status: return status_result;
    case traffic:
      return reply == R"({"result":null})" ||
             (starts_with(reply, R"({"result":[)") && reply.ends_with("]}"));
    case cancel: return reply == R"({"result":null})";
    case caps: return reply == capabilities;
    case bad_connect:
      return reply ==
             R"({"error":"Morvex returned an unsupported VPN profile. Try another location."})";
    case disconnect: return reply == disconnected || error;
    case good_connect: return status_result || error;
    case action_count: break;
  }
  return false;
}

const std::string& body_of(Action action, int sequence) {
  static const std::string bodies[] = {R"({"action":"status"})", R"({"action":"traffic"})",
                                       R"({"action":"cancel"})", R"({"action":"capabilities"})",
                                       invalid_connect,          R"({"action":"disconnect"})"};
  if (action == good_connect) return sequence % 2 == 0 ? wireguard_connect : openvpn_connect;
  return bodies[action];
}

// Replies received so far, by every phase; the watchdog looks at it.
std::atomic<long> replies_seen{0};

// One exchange; empty when the service did not answer.
std::string exchange(const std::string& body) {
  const auto deadline = Clock::now() + 300s;
  HANDLE pipe = INVALID_HANDLE_VALUE;
  while (pipe == INVALID_HANDLE_VALUE) {
    pipe =
        CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) break;
    if (Clock::now() >= deadline) return {};
    if (GetLastError() == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(pipe_name, 1000);
    } else {
      Sleep(10);
    }
  }
  std::string frame(4, '\0');
  for (int i = 0; i < 4; ++i) frame[i] = static_cast<char>((body.size() >> (8 * i)) & 0xFF);
  frame += body;
  DWORD written = 0;
  std::string reply;
  if (WriteFile(pipe, frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr) &&
      written == frame.size()) {
    // Blocking reads: a request may wait behind a connect for many seconds.
    unsigned char length[4];
    DWORD got = 0;
    std::size_t have = 0;
    while (have < 4 && ReadFile(pipe, length + have, static_cast<DWORD>(4 - have), &got, nullptr) &&
           got > 0) {
      have += got;
    }
    if (have == 4) {
      const std::size_t size = length[0] | (length[1] << 8) | (length[2] << 16) |
                               (static_cast<std::size_t>(length[3]) << 24);
      reply.resize(size);
      have = 0;
      while (have < size &&
             ReadFile(pipe, reply.data() + have, static_cast<DWORD>(size - have), &got, nullptr) &&
             got > 0) {
        have += got;
      }
      if (have != size) reply.clear();
    }
  }
  CloseHandle(pipe);
  if (!reply.empty()) {
    ++replies_seen;
    morvex::testing::log_reply(reply);
  }
  return reply;
}

struct ProcessFigures {
  bool found = false;
  std::size_t working_set = 0;
  std::size_t peak_working_set = 0;
  std::size_t private_bytes = 0;
  DWORD threads = 0;
  DWORD handles = 0;
};

ProcessFigures service_figures() {
  ProcessFigures figures;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return figures;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"morvex_vpn_platform_service.exe") != 0) continue;
    figures.found = true;
    figures.threads = entry.cntThreads;
    HANDLE process =
        OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID);
    if (process != nullptr) {
      PROCESS_MEMORY_COUNTERS_EX counters{};
      if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                               sizeof(counters))) {
        figures.working_set = counters.WorkingSetSize;
        figures.peak_working_set = counters.PeakWorkingSetSize;
        figures.private_bytes = counters.PrivateUsage;
      }
      GetProcessHandleCount(process, &figures.handles);
      CloseHandle(process);
    }
    break;
  }
  CloseHandle(snapshot);
  return figures;
}

void print_figures(const char* when, const ProcessFigures& f) {
  if (!f.found) {
    std::printf("service %s: process not found\n", when);
    return;
  }
  std::printf(
      "service %s: working set %zu KiB (peak %zu KiB), private %zu KiB, threads %lu, handles %lu\n",
      when, f.working_set / 1024, f.peak_working_set / 1024, f.private_bytes / 1024,
      static_cast<unsigned long>(f.threads), static_cast<unsigned long>(f.handles));
}

struct Totals {
  std::mutex lock;
  std::array<long, action_count> sent{};
  std::array<long, action_count> answered{};
  std::array<long, action_count> wrong{};
  std::array<double, action_count> seconds{};
  std::array<double, action_count> slowest{};
  std::vector<std::string> samples;  // the first wrong replies
  long connected = 0;                // valid connects that ended connected
};

// With so many cancels, connects and disconnects in flight, the mixed phase
// cuts nearly every valid connect short. This phase holds one tunnel up while
// the other clients ask only what does not cancel it (status, traffic,
// capabilities), so the probes run under the same concurrency. Gives the
// requests sent and those answered as expected.
std::pair<long, long> steady_tunnel(int clients, int requests, std::vector<std::string>& samples) {
  long sent = 1;
  long good = 0;
  std::mutex lock;
  const auto note = [&](bool ok, const std::string& what, const std::string& reply) {
    const std::lock_guard<std::mutex> guard(lock);
    good += ok;
    if (!ok && samples.size() < 10) samples.push_back("steady " + what + ": " + reply);
  };
  const std::string connected = exchange(wireguard_connect);
  note(connected.find(R"("state":"connected")") != std::string::npos, "connect", connected);
  std::vector<std::thread> threads;
  for (int c = 1; c < clients; ++c) {
    threads.emplace_back([&, c] {
      for (int i = 0; i < requests; ++i) {
        const int kind = (c + i) % 3;
        std::string reply;
        bool ok = false;
        if (kind == 0) {
          reply = exchange(R"({"action":"status"})");
          ok = starts_with(reply, R"({"result":{"activeProfile":"WireGuard","connectedAt":)") &&
               reply.ends_with(R"("publicAddress":"203.0.113.7","state":"connected"}})");
        } else if (kind == 1) {
          reply = exchange(R"({"action":"traffic"})");
          ok = reply == R"({"result":[1024,2048]})";
        } else {
          reply = exchange(R"({"action":"capabilities"})");
          ok = reply == capabilities;
        }
        {
          const std::lock_guard<std::mutex> guard(lock);
          ++sent;
        }
        note(ok, kind == 0 ? "status" : kind == 1 ? "traffic" : "capabilities", reply);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string down = exchange(R"({"action":"disconnect"})");
  ++sent;
  note(down == disconnected, "disconnect", down);
  return {sent, good};
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: load_clients CLIENTS REQUESTS\n");
    return 100;
  }
  const int clients = std::max(1, _wtoi(argv[1]));
  const int requests = std::max(1, _wtoi(argv[2]));

  const auto before = service_figures();
  print_figures("before", before);
  Totals totals;
  std::atomic<bool> finished{false};
  // Watches for a standstill: no reply to anyone for two minutes.
  std::atomic<bool> stalled{false};
  std::thread watchdog([&] {
    long last = -1;
    auto since = Clock::now();
    while (!finished.load()) {
      Sleep(1000);
      const long now = replies_seen.load();
      if (now != last) {
        last = now;
        since = Clock::now();
      } else if (Clock::now() - since > 120s) {
        stalled = true;
      }
    }
  });

  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      // Each client walks the mix in its own shuffled order.
      std::vector<Action> order;
      // Rarest first, so that a short run still holds one of each and
      // rounding trims only status requests.
      for (int a = action_count - 1; a >= 0; --a) {
        const int count = (mix[a] * requests + 999) / 1000;
        for (int i = 0; i < count; ++i) order.push_back(static_cast<Action>(a));
      }
      order.resize(static_cast<std::size_t>(requests), status);
      std::uint32_t seed = 2654435761u * static_cast<std::uint32_t>(c + 1);
      for (std::size_t i = order.size(); i > 1; --i) {
        seed = seed * 1664525u + 1013904223u;
        std::swap(order[i - 1], order[seed % i]);
      }
      for (int i = 0; i < requests; ++i) {
        const Action action = order[static_cast<std::size_t>(i)];
        const auto begun = Clock::now();
        const std::string reply = exchange(body_of(action, c + i));
        const double took = std::chrono::duration<double>(Clock::now() - begun).count();
        const std::lock_guard<std::mutex> guard(totals.lock);
        ++totals.sent[action];
        totals.seconds[action] += took;
        totals.slowest[action] = std::max(totals.slowest[action], took);
        if (reply.empty()) continue;
        ++totals.answered[action];
        if (action == good_connect && reply.find(R"("state":"connected")") != std::string::npos) {
          ++totals.connected;
        }
        if (!plausible(action, reply)) {
          ++totals.wrong[action];
          if (totals.samples.size() < 5) {
            totals.samples.push_back(std::string(action_names[action]) + ": " + reply);
          }
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();

  const int steady_requests = std::max(2, requests / 100);
  const auto steady_start = Clock::now();
  std::vector<std::string> steady_samples;
  const auto [steady_sent, steady_good] = steady_tunnel(clients, steady_requests, steady_samples);
  const double steady_elapsed = std::chrono::duration<double>(Clock::now() - steady_start).count();
  finished = true;
  watchdog.join();

  // The final disconnect, after which nothing may be left running.
  const std::string last = exchange(R"({"action":"disconnect"})");

  long sent = 0;
  long answered = 0;
  long wrong = 0;
  std::printf("%-18s %7s %8s %6s %10s %10s\n", "action", "sent", "answered", "wrong", "mean ms",
              "slowest s");
  for (int a = 0; a < action_count; ++a) {
    sent += totals.sent[a];
    answered += totals.answered[a];
    wrong += totals.wrong[a];
    std::printf("%-18s %7ld %8ld %6ld %10.1f %10.2f\n", action_names[a], totals.sent[a],
                totals.answered[a], totals.wrong[a],
                totals.sent[a] ? 1000.0 * totals.seconds[a] / totals.sent[a] : 0.0,
                totals.slowest[a]);
  }
  std::printf("%d clients x %d requests in %.1f s (%.1f requests/s)\n", clients, requests, elapsed,
              static_cast<double>(sent) / elapsed);
  std::printf("replies received %ld of %ld sent; wrong replies %ld; standstill %s\n", answered,
              sent, wrong, stalled.load() ? "yes" : "no");
  std::printf(
      "valid connects that ended connected: %ld of %ld (the rest were cut short by "
      "other clients' cancel, connect and disconnect requests)\n",
      totals.connected, totals.sent[good_connect]);
  for (const auto& sample : totals.samples) std::printf("  wrong: %.300s\n", sample.c_str());
  std::printf(
      "steady tunnel: 1 WireGuard connect, %d clients x %d status, traffic and capabilities "
      "requests, 1 disconnect: %ld of %ld answered as expected in %.1f s\n",
      clients - 1, steady_requests, steady_good, steady_sent, steady_elapsed);
  for (const auto& sample : steady_samples) std::printf("  wrong: %.300s\n", sample.c_str());
  std::printf("final disconnect: %s\n", last.c_str());
  print_figures("after", service_figures());

  const bool ok_replies = answered == sent && wrong == 0 && !stalled.load();
  const bool ok_steady = steady_good == steady_sent;
  const bool ok_final = last == disconnected;
  std::printf("%d passed, %d failed\n", ok_replies + ok_steady + ok_final,
              !ok_replies + !ok_steady + !ok_final);
  std::fflush(stdout);
  return ok_replies && ok_steady && ok_final ? 0 : 1;
}
