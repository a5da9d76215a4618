// Round trips through the installed service, made raw and through the client
// library, against a raw echo with the same framing and the same
// non-blocking transport, in one run under the same load; and the service's
// resident memory idle and under 16 concurrent requests of 128 KiB.
//
// Run from a folder that holds this program and morvex_vpn_platform_service.exe
// (so the service trusts it); it installs the service under a name of its
// own, measures, and removes it again. Prints one figure per line.
#include <windows.h>
// The service and process headers below need windows.h first.
#include <psapi.h>
#include <winsvc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/framing.hpp"
#include "client/pipe_transport.hpp"
#include "win32/service_handle.hpp"
#include "win32/unique_handle.hpp"
#include "windows/detached_work.hpp"
#include "windows/pipe/pipe_io.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using morvex::UniqueHandle;
using morvex::UniqueServiceHandle;

constexpr const wchar_t* service_pipe = L"\\\\.\\pipe\\MorvexVPN.Service.v1";
constexpr const wchar_t* bench_service = L"MorvexVPNBench";

using morvex::client::frame;

UniqueHandle open_client(const std::wstring& name) {
  for (int attempt = 0; attempt < 500; ++attempt) {
    UniqueHandle pipe(CreateFileW(name.c_str(), GENERIC_READ | FILE_WRITE_DATA, 0, nullptr,
                                  OPEN_EXISTING, SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                                  nullptr));
    if (pipe) return pipe;
    if (GetLastError() == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(name.c_str(), 1000);
    } else {
      Sleep(10);
    }
  }
  return {};
}

// The baseline exchange, as bare as the app could make it: connect, write the
// frame, read the reply frame (blocking), close. Gives the reply's length, or
// -1.
long long round_trip(const std::wstring& name, const std::string& request_frame) {
  const auto pipe = open_client(name);
  if (!pipe) return -1;
  std::size_t sent = 0;
  while (sent < request_frame.size()) {
    DWORD written = 0;
    if (!WriteFile(pipe.get(), request_frame.data() + sent,
                   static_cast<DWORD>(request_frame.size() - sent), &written, nullptr)) {
      return -1;
    }
    sent += written;
  }
  auto read_exact = [&](std::size_t count) -> std::optional<std::string> {
    std::string bytes(count, '\0');
    std::size_t got = 0;
    while (got < count) {
      DWORD read = 0;
      if (!ReadFile(pipe.get(), bytes.data() + got, static_cast<DWORD>(count - got), &read,
                    nullptr)) {
        return std::nullopt;
      }
      got += read;
    }
    return bytes;
  };
  const auto length = read_exact(4);
  if (!length) return -1;
  const auto body = read_exact(morvex::client::decode_frame_length(*length));
  if (!body) return -1;
  return static_cast<long long>(body->size());
}

// The baseline: the service's transport without admission or dispatcher.
// The same instances, each connection served on the thread pool as the
// service serves it, and the service's own non-blocking reads and writes
// echo each body back. With every instance taken it waits for one to end.
class EchoServer {
 public:
  explicit EchoServer(std::wstring name) : name_(std::move(name)) {
    thread_ = std::thread([this] { run(); });
  }
  ~EchoServer() {
    stopping_ = true;
    UniqueHandle wake(
        CreateFileW(name_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    wake.reset();
    thread_.join();
    while (serving_ > 0) Sleep(10);
  }

 private:
  void run() {
    while (!stopping_) {
      UniqueHandle pipe(CreateNamedPipeW(name_.c_str(), PIPE_ACCESS_DUPLEX,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 16,
                                         131076, 131076, 5000, nullptr));
      if (!pipe) {
        Sleep(1);
        continue;
      }
      if (!ConnectNamedPipe(pipe.get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED)
        continue;
      if (stopping_) return;
      DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
      SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr);
      ++serving_;
      const HANDLE instance = pipe.release();
      if (!morvex::run_detached([this, instance] {
            const UniqueHandle owned(instance);
            const auto body = morvex::read_message(owned.get(), std::chrono::seconds(5));
            if (body) {
              (void)morvex::write_all(owned.get(), frame(*body));
              (void)morvex::read_exact_until(owned.get(), 1,
                                             Clock::now() + std::chrono::seconds(5));
            }
            --serving_;
          })) {
        CloseHandle(instance);
        --serving_;
      }
    }
  }

  std::wstring name_;
  std::atomic<bool> stopping_{false};
  std::atomic<int> serving_{0};
  std::thread thread_;
};

double median_ms(std::vector<double> samples) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// The figures, printed only once every exchange has succeeded: a failed
// exchange ends the run with a non-zero status instead, since its time would
// measure a refusal.
std::string report;
int failed_exchanges = 0;

template <typename... Values>
void figure(const char* format, Values... values) {
  char line[160];
  std::snprintf(line, sizeof(line), format, values...);
  report += line;
}

// Round-trip times in milliseconds, taking turns between the service made
// raw, the service through the client library and the echo, so that all
// three see the same load over time.
void compare_round_trips(const std::wstring& echo_name, int rounds) {
  const std::string request = frame(R"({"action":"status"})");
  // The client checks that the benchmark's service, under its own name,
  // serves the pipe, as the app's client does for the installed service.
  const morvex::client::Client client = morvex::client::pipe_client({.service = bench_service});
  std::vector<double> service, library, echo;
  int failures = 0;
  const auto timed = [&](std::vector<double>& samples, const auto& exchange) {
    const auto start = Clock::now();
    if (!exchange()) ++failures;
    samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  };
  const auto one_of = [&](int which) {
    if (which == 0) timed(service, [&] { return round_trip(service_pipe, request) >= 0; });
    if (which == 1) timed(library, [&] { return client.status().has_value(); });
    if (which == 2) timed(echo, [&] { return round_trip(echo_name, request) >= 0; });
  };
  // Each path comes after each other path equally often: under Wine an
  // exchange's time depends on the one just before it.
  constexpr int orders[6][3] = {{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}};
  for (int i = 0; i < rounds; ++i) {
    for (const int which : orders[i % 6]) one_of(which);
  }
  const double s = median_ms(service);
  const double l = median_ms(library);
  const double e = median_ms(echo);
  figure("status round trip, service, median ms     %8.3f\n", s);
  figure("status through the client library, ms     %8.3f\n", l);
  figure("echo round trip, same framing, median ms  %8.3f\n", e);
  figure("ratio service / echo                      %8.2f\n", e > 0 ? s / e : 0.0);
  figure("ratio library / echo                      %8.2f\n", e > 0 ? l / e : 0.0);
  figure("ratio library / service made raw          %8.3f\n", s > 0 ? l / s : 0.0);
  failed_exchanges += failures;
}

// 16 clients at once, each making `rounds` exchanges of `request`.
double concurrent_clients(const std::wstring& name, const std::string& request, int rounds,
                          int* failures) {
  std::atomic<int> failed{0};
  std::vector<double> samples;
  std::mutex samples_mutex;
  std::vector<std::thread> clients;
  for (int c = 0; c < 16; ++c) {
    clients.emplace_back([&] {
      for (int i = 0; i < rounds; ++i) {
        const auto start = Clock::now();
        if (round_trip(name, request) < 0) ++failed;
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::lock_guard lock(samples_mutex);
        samples.push_back(ms);
      }
    });
  }
  for (auto& client : clients) client.join();
  *failures = failed;
  failed_exchanges += failed;
  return median_ms(samples);
}

std::size_t working_set(HANDLE process) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!GetProcessMemoryInfo(process, &counters, sizeof(counters))) return 0;
  return counters.WorkingSetSize;
}

int run() {
  wchar_t own[MAX_PATH * 4] = {};
  GetModuleFileNameW(nullptr, own, MAX_PATH * 4);
  const auto service_exe =
      std::filesystem::path(own).parent_path() / L"morvex_vpn_platform_service.exe";

  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (!manager) return std::fprintf(stderr, "no service manager\n"), 2;
  if (const UniqueServiceHandle old(OpenServiceW(manager.get(), bench_service, SERVICE_ALL_ACCESS));
      old) {
    SERVICE_STATUS status{};
    ControlService(old.get(), SERVICE_CONTROL_STOP, &status);
    DeleteService(old.get());
  }
  const std::wstring binary = L"\"" + service_exe.wstring() + L"\"";
  const UniqueServiceHandle service(
      CreateServiceW(manager.get(), bench_service, bench_service, SERVICE_ALL_ACCESS,
                     SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                     binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
  if (!service) return std::fprintf(stderr, "cannot install the service\n"), 2;
  if (!StartServiceW(service.get(), 0, nullptr)) {
    DeleteService(service.get());
    return std::fprintf(stderr, "cannot start the service\n"), 2;
  }
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  for (int i = 0; i < 2000; ++i) {
    QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof(status), &needed);
    if (status.dwCurrentState == SERVICE_RUNNING) break;
    Sleep(5);
  }
  const UniqueHandle process(
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, status.dwProcessId));

  const std::wstring echo_name =
      L"\\\\.\\pipe\\MorvexVPN.Bench.Echo." + std::to_wstring(GetCurrentProcessId());
  {
    EchoServer echo(echo_name);
    // Warm up both paths, then measure.
    for (int i = 0; i < 10; ++i) {
      round_trip(service_pipe, frame(R"({"action":"status"})"));
      round_trip(echo_name, frame("{}"));
    }
    compare_round_trips(echo_name, 204);

    int failures = 0;
    const double service_16 =
        concurrent_clients(service_pipe, frame(R"({"action":"status"})"), 20, &failures);
    figure("16 concurrent clients, service, median ms %8.3f (failed %d)\n", service_16, failures);
    const double echo_16 = concurrent_clients(echo_name, frame("{}"), 20, &failures);
    figure("16 concurrent clients, echo, median ms    %8.3f (failed %d)\n", echo_16, failures);
  }

  Sleep(500);
  const std::size_t idle = working_set(process.get());
  std::atomic<bool> sampling{true};
  std::atomic<std::size_t> peak{idle};
  std::thread sampler([&] {
    while (sampling) {
      const std::size_t now = working_set(process.get());
      if (now > peak) peak = now;
      Sleep(2);
    }
  });
  // A valid status request padded with trailing white space to the largest body.
  std::string large = R"({"action":"status"})";
  large.resize(131072, ' ');
  int failures = 0;
  const double large_16 = concurrent_clients(service_pipe, frame(large), 5, &failures);
  sampling = false;
  sampler.join();
  figure("16 concurrent 128 KiB requests, median ms %8.3f (failed %d)\n", large_16, failures);
  figure("service working set idle, KiB             %8zu\n", idle / 1024);
  figure("service working set peak under load, KiB  %8zu\n", peak.load() / 1024);
  figure("growth, KiB                               %8zu\n",
         (peak.load() > idle ? peak.load() - idle : 0) / 1024);

  SERVICE_STATUS stop{};
  ControlService(service.get(), SERVICE_CONTROL_STOP, &stop);
  for (int i = 0; i < 2000; ++i) {
    if (QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO,
                             reinterpret_cast<BYTE*>(&status), sizeof(status), &needed) &&
        status.dwCurrentState == SERVICE_STOPPED) {
      break;
    }
    Sleep(5);
  }
  DeleteService(service.get());
  if (failed_exchanges > 0) {
    std::fprintf(stderr, "%d exchanges failed: no figures\n", failed_exchanges);
    return 1;
  }
  std::fputs(report.c_str(), stdout);
  return 0;
}

}  // namespace

int wmain() { return run(); }
