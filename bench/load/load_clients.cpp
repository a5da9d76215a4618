// Load on the installed service: CLIENTS threads, each sending REQUESTS mixed
// requests one connection at a time, from the installation folder (trusted).
//   load_clients CLIENTS REQUESTS
// The mix (per 1000): status 300, traffic 200, cancel 150, capabilities 50,
// connect with an invalid profile 150, disconnect 148, connect with a valid
// WireGuard or OpenVPN profile 2. Every client is a Client of the client
// library, so every reply is read strictly and checked against what its
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

#include "client/pipe_transport.hpp"
#include "protocol/exchange_log.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using morvex::Profile;
using morvex::client::Client;
using morvex::client::ErrorKind;
using morvex::client::State;

const morvex::client::Capabilities capabilities{true, true,
                                                "The installer supplies the Windows VPN engines."};

const Profile wireguard_profile{
    7,
    "Oslo",
    "wireguard",
    "[Interface]\nPrivateKey = yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=\n"
    "Address = 10.64.0.2/32\n[Peer]\n"
    "PublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\n"
    "AllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = 198.51.100.7:51820\n",
    "quad9",
    "",
    "demo",
    "demo-secret"};
const Profile openvpn_profile{
    8,  "Rome", "openvpn",    "client\nremote 198.51.100.7 1194 udp\n", "cloudflare",
    "", "demo", "demo-secret"};
const Profile invalid_profile{
    7,       "Oslo", "openvpn", "client\nremote 198.51.100.7 1194 udp\nup evil.cmd\n",
    "quad9", "",     "demo",    "demo-secret"};

enum Action { status, traffic, cancel, caps, bad_connect, disconnect, good_connect, action_count };
constexpr std::array<const char*, action_count> action_names = {
    "status",     "traffic",        "cancel", "capabilities", "connect (invalid)",
    "disconnect", "connect (valid)"};
// Out of every 1000 requests.
constexpr std::array<int, action_count> mix = {300, 200, 150, 50, 150, 148, 2};

// Replies received so far, by every phase; the watchdog looks at it.
std::atomic<long> replies_seen{0};

// A client of its own for each thread, as each plays one app; every reply
// body goes to the exchange log.
Client logging_client() {
  return Client([](std::string_view request, std::chrono::milliseconds timeout) {
    auto reply = morvex::client::pipe_exchange(request, timeout);
    if (reply) {
      ++replies_seen;
      morvex::testing::log_reply(*reply);
    }
    return reply;
  });
}

// What one call gave.
struct Answer {
  bool answered = false;   // a reply came, whatever it said
  bool plausible = false;  // one that the action may get
  bool connected = false;  // a connect that ended connected
  std::string text;        // for the report
};

template <typename T>
Answer answer_of(const morvex::client::Outcome<T>& outcome, bool plausible_value,
                 bool service_error_allowed) {
  Answer answer;
  if (outcome) {
    answer.answered = true;
    answer.plausible = plausible_value;
    answer.text = "a result";
    return answer;
  }
  const auto kind = outcome.error().kind;
  answer.answered = kind != ErrorKind::timed_out && kind != ErrorKind::broken &&
                    kind != ErrorKind::no_service && kind != ErrorKind::busy;
  answer.plausible = service_error_allowed && kind == ErrorKind::service;
  answer.text = "error " + outcome.error().message;
  return answer;
}

// Calls `action` and judges the reply against what the action may answer,
// whatever the other clients are doing at the same time.
Answer call(const Client& client, Action action, int sequence) {
  switch (action) {
    case status: return answer_of(client.status(), true, false);
    case traffic: return answer_of(client.traffic(), true, false);
    case cancel: return answer_of(client.cancel(), true, false);
    case caps: {
      const auto got = client.capabilities();
      return answer_of(got, got && *got == capabilities, false);
    }
    case bad_connect: {
      auto answer = answer_of(client.connect(invalid_profile), false, true);
      answer.plausible =
          answer.plausible && answer.text ==
                                  "error Morvex returned an unsupported VPN profile. Try another "
                                  "location.";
      return answer;
    }
    case disconnect: return answer_of(client.disconnect(), true, true);
    case good_connect: {
      const auto got = client.connect(sequence % 2 == 0 ? wireguard_profile : openvpn_profile);
      auto answer = answer_of(got, true, true);
      answer.connected = got && got->state == State::connected;
      return answer;
    }
    case action_count: break;
  }
  return {};
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
  const auto note = [&](bool ok, const std::string& what) {
    const std::lock_guard<std::mutex> guard(lock);
    good += ok;
    if (!ok && samples.size() < 10) samples.push_back("steady " + what);
  };
  const Client first = logging_client();
  const auto connected = first.connect(wireguard_profile);
  note(connected && connected->state == State::connected, "connect");
  std::vector<std::thread> threads;
  for (int c = 1; c < clients; ++c) {
    threads.emplace_back([&, c] {
      const Client client = logging_client();
      for (int i = 0; i < requests; ++i) {
        const int kind = (c + i) % 3;
        bool ok = false;
        std::string seen;
        if (kind == 0) {
          const auto got = client.status();
          ok = got && got->state == State::connected && got->active_profile == "WireGuard" &&
               got->public_address == "203.0.113.7";
          // What came instead: the error's sentence, or the status's state and message.
          seen = !got ? got.error().message
                      : std::to_string(static_cast<int>(got->state)) + " " + got->message;
        } else if (kind == 1) {
          const auto got = client.traffic();
          ok = got && *got == morvex::client::Traffic{1024, 2048};
        } else {
          const auto got = client.capabilities();
          ok = got && *got == capabilities;
        }
        {
          const std::lock_guard<std::mutex> guard(lock);
          ++sent;
        }
        note(ok, kind == 0 ? "status: " + seen : kind == 1 ? "traffic" : "capabilities");
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const auto down = first.disconnect();
  ++sent;
  note(down.has_value(), "disconnect");
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
      const Client client = logging_client();
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
        const Answer answer = call(client, action, c + i);
        const double took = std::chrono::duration<double>(Clock::now() - begun).count();
        const std::lock_guard<std::mutex> guard(totals.lock);
        ++totals.sent[action];
        totals.seconds[action] += took;
        totals.slowest[action] = std::max(totals.slowest[action], took);
        if (!answer.answered) continue;
        ++totals.answered[action];
        totals.connected += answer.connected;
        if (!answer.plausible) {
          ++totals.wrong[action];
          if (totals.samples.size() < 5) {
            totals.samples.push_back(std::string(action_names[action]) + ": " + answer.text);
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
  const auto last = logging_client().disconnect();

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
  std::printf("final disconnect: %s\n",
              last ? "disconnected" : ("error " + last.error().message).c_str());
  print_figures("after", service_figures());

  const bool ok_replies = answered == sent && wrong == 0 && !stalled.load();
  const bool ok_steady = steady_good == steady_sent;
  const bool ok_final = last.has_value();
  std::printf("%d passed, %d failed\n", ok_replies + ok_steady + ok_final,
              !ok_replies + !ok_steady + !ok_final);
  std::fflush(stdout);
  return ok_replies && ok_steady && ok_final ? 0 : 1;
}
