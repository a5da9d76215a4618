#include <windows.h>
// The security headers below need windows.h first.
#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pipe/pipe_test_support.hpp"
#include "win32/local_memory.hpp"
#include "windows/pipe/client_identity.hpp"
#include "windows/pipe/pipe_owner.hpp"
#include "windows/pipe/pipe_server.hpp"
#include "windows/pipe/security_descriptor.hpp"
#include "windows/service/storage.hpp"

namespace morvex {
namespace {

using namespace std::chrono_literals;
using namespace morvex::testing;
using Clock = std::chrono::steady_clock;

// What the dispatcher stand-in saw; shared with connection threads that may
// outlive a test.
struct Received {
  std::mutex mutex;
  std::vector<std::string> bodies;
  std::size_t count() {
    std::lock_guard lock(mutex);
    return bodies.size();
  }
};

// Answers who a client is, as a test decides.
class ScriptedIdentity final : public ClientIdentity {
 public:
  std::optional<std::uint32_t> session = 1;
  std::uint32_t console = 1;
  Result<std::wstring> client = std::wstring(L"\\\\?\\C:\\Morvex\\app.exe");
  Result<std::wstring> service = std::wstring(L"\\\\?\\C:\\Morvex\\service.exe");

  std::optional<std::uint32_t> client_session(HANDLE) override { return session; }
  std::uint32_t console_session() override { return console; }
  Result<std::wstring> client_image(HANDLE, const std::wstring&) override { return client; }
  Result<std::wstring> service_image() override { return service; }
};

// Protected; allowed ACEs without inheritance: LocalSystem and Administrators
// GENERIC_ALL, interactive users reading and writing of data without
// creating instances.
constexpr const char* pipe_dacl =
    "P 0/0/10000000/S-1-5-18 0/0/10000000/S-1-5-32-544 0/0/0012019b/S-1-5-4";

// Creates instances, counting those that came alone: the name was free before.
PipeInstanceFactory counting_lone_instances(std::shared_ptr<std::atomic<int>> alone) {
  return [alone](const PipeInstanceParameters& p) {
    const HANDLE instance = create_pipe_instance(p);
    DWORD count = 0;
    GetNamedPipeHandleStateW(instance, nullptr, &count, nullptr, nullptr, nullptr, 0);
    if (count == 1) ++*alone;
    return instance;
  };
}

class PipeServerTest : public ::testing::Test {
 protected:
  // A server whose handler echoes "reply:" and the body's size. Short
  // time-outs unless a test sets its own.
  PipeServerConfig config(std::shared_ptr<ClientIdentity> identity = nullptr) {
    PipeServerConfig c;
    c.pipe_name = name;
    c.identity = std::move(identity);
    auto seen = received;
    c.connection.handle_request = [seen](std::string_view body) {
      std::lock_guard lock(seen->mutex);
      seen->bodies.emplace_back(body);
      return "reply:" + std::to_string(body.size());
    };
    c.connection.receive_timeout = 2s;
    c.connection.write_timeout = 2s;
    c.connection.final_wait = 2s;
    return c;
  }

  std::wstring name = unique_pipe_name(L"pipe");
  std::shared_ptr<Received> received = std::make_shared<Received>();
};

TEST_F(PipeServerTest, TrustedRequestsReachTheHandlerWithinTheLimit) {
  // The client is this test program, which lies beside itself: the real
  // session and path checks admit and trust it.
  ServerThread server(config());
  server.wait_until_listening();

  struct Case {
    std::string body;
    std::string reply;
  };
  const Case cases[] = {
      {R"({"action":"status"})", "reply:19"},
      {std::string(131072, 'x'), "reply:131072"},
      {"", "reply:0"},
  };
  for (const auto& c : cases) {
    const auto client = connect_client(name);
    ASSERT_TRUE(client);
    ASSERT_TRUE(send_bytes(client.get(), frame(c.body)));
    EXPECT_EQ(read_reply(client.get(), 5s), c.reply);
  }
  std::lock_guard lock(received->mutex);
  ASSERT_EQ(received->bodies.size(), 3u);
  EXPECT_EQ(received->bodies[1], cases[1].body);
  EXPECT_EQ(received->bodies[2], "");
}

TEST_F(PipeServerTest, OversizedLengthIsDroppedWithoutReadingTheBody) {
  auto c = config();
  c.connection.receive_timeout = 10s;
  ServerThread server(c);
  server.wait_until_listening();

  const auto client = connect_client(name);
  ASSERT_TRUE(client);
  ASSERT_TRUE(send_bytes(client.get(), frame_length(131073)));
  const auto start = Clock::now();
  // The server closes at once rather than waiting for a body that never comes.
  EXPECT_TRUE(closed_without_bytes(client.get(), 5s));
  EXPECT_LT(Clock::now() - start, 3s);
  EXPECT_EQ(received->count(), 0u);
}

TEST_F(PipeServerTest, EachClientIsDroppedAtItsOwnDeadline) {
  // The app gets the full deadlines (1200 ms here); any other program one
  // short deadline (300 ms) for its whole connection, whether it sends too
  // little, keeps its end open after the refusal or sends its request late,
  // so that it cannot hold instances for long.
  const std::string refusal = R"({"error":"Only the Morvex VPN app can use this service."})";
  struct Case {
    const char* what;
    bool trusted;
    std::string sent;
    std::string reply;                 // empty: none is read
    std::chrono::milliseconds late{};  // before sending
  };
  const Case cases[] = {
      {"silent app", true, "", ""},
      {"app that sends only the length", true, frame_length(10), ""},
      {"app that sends part of the body", true, frame_length(10) + "abc", ""},
      {"app that keeps its end open after the reply", true, frame("{}"), "reply:2"},
      {"app that sends more after its request and keeps its end open", true, frame("{}") + "{}",
       "reply:2"},
      {"stranger that sends part of the body", false, frame_length(10) + "abc", ""},
      {"stranger that keeps its end open after the refusal", false, frame("{}"), refusal},
      {"stranger that sends late and keeps its end open", false, frame("{}"), refusal, 200ms},
  };
  for (const auto& c : cases) {
    std::shared_ptr<ScriptedIdentity> identity;
    if (!c.trusted) {
      identity = std::make_shared<ScriptedIdentity>();
      identity->client = std::wstring(L"\\\\?\\C:\\Users\\me\\Downloads\\app.exe");
    }
    name = unique_pipe_name(L"deadline");
    auto settings = config(identity);
    settings.connection.receive_timeout = 1200ms;
    settings.connection.final_wait = 1200ms;
    settings.connection.untrusted_timeout = 300ms;
    ServerThread server(settings);
    server.wait_until_listening();

    const auto start = Clock::now();
    const auto client = connect_client(name);
    ASSERT_TRUE(client) << c.what;
    std::this_thread::sleep_for(c.late);
    ASSERT_TRUE(send_bytes(client.get(), c.sent)) << c.what;
    if (!c.reply.empty()) {
      ASSERT_EQ(read_reply(client.get(), 5s), c.reply) << c.what;
    }
    EXPECT_TRUE(closed_without_bytes(client.get(), 5s)) << c.what;
    const auto waited = Clock::now() - start;
    EXPECT_GE(waited, c.trusted ? 1000ms : 200ms) << c.what;
    EXPECT_LT(waited, c.trusted ? 3000ms : 450ms) << c.what;
  }
  EXPECT_EQ(received->count(), 2u);
}

TEST_F(PipeServerTest, SeventeenthClientWaitsForAFreeInstance) {
  auto c = config();
  c.connection.final_wait = 20s;
  c.busy_retry = 300ms;
  auto alone = std::make_shared<std::atomic<int>>(0);
  c.create_instance = counting_lone_instances(alone);
  ServerThread server(c);
  server.wait_until_listening();

  // Sixteen clients that read their reply and keep their end open.
  std::vector<UniqueHandle> held;
  for (int i = 0; i < 16; ++i) {
    auto client = connect_client(name);
    ASSERT_TRUE(client) << i;
    ASSERT_TRUE(send_bytes(client.get(), frame("held")));
    ASSERT_EQ(read_reply(client.get(), 5s), "reply:4") << i;
    held.push_back(std::move(client));
  }

  UniqueHandle refused(
      CreateFileW(name.c_str(), client_pipe_access, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(refused);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));

  // Freeing one lets the server create an instance again.
  std::thread release([&] {
    std::this_thread::sleep_for(200ms);
    held.front().reset();
  });
  auto seventeenth = connect_client(name, 5s);
  release.join();
  ASSERT_TRUE(seventeenth);
  ASSERT_TRUE(send_bytes(seventeenth.get(), frame("last")));
  EXPECT_EQ(read_reply(seventeenth.get(), 5s), "reply:4");
  // All end while the loop waits to retry: one is handed back, not closed.
  held.push_back(std::move(seventeenth));
  held.clear();
  const auto next = connect_client(name);
  ASSERT_TRUE(send_bytes(next.get(), frame("next")));
  EXPECT_EQ(read_reply(next.get(), 5s), "reply:4");
  EXPECT_EQ(alone->load(), 1);
}

TEST_F(PipeServerTest, UntrustedClientGetsOnlyTheRefusalAfterACompleteRequest) {
  auto identity = std::make_shared<ScriptedIdentity>();
  identity->client = std::wstring(L"\\\\?\\C:\\Users\\me\\Downloads\\app.exe");
  ServerThread server(config(identity));
  server.wait_until_listening();

  {
    const auto client = connect_client(name);
    ASSERT_TRUE(client);
    ASSERT_TRUE(send_bytes(client.get(), frame(R"({"action":"status"})")));
    const auto reply = read_reply(client.get(), 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, R"({"error":"Only the Morvex VPN app can use this service."})");
    EXPECT_EQ(reply->size(), 57u);
  }
  {
    // Half a request: nothing until the deadline, then nothing at all.
    const auto client = connect_client(name);
    ASSERT_TRUE(client);
    ASSERT_TRUE(send_bytes(client.get(), frame_length(5) + "ab"));
    EXPECT_TRUE(closed_without_bytes(client.get(), 5s));
  }
  {
    const auto client = connect_client(name);
    ASSERT_TRUE(client);
    ASSERT_TRUE(send_bytes(client.get(), frame_length(131073)));
    EXPECT_TRUE(closed_without_bytes(client.get(), 5s));
  }
  EXPECT_EQ(received->count(), 0u);
}

TEST_F(PipeServerTest, ClientsWhoseIdentityCannotBeLearntAreRefused) {
  struct Case {
    const char* what;
    Result<std::wstring> client;
    Result<std::wstring> service;
  };
  const std::wstring here = L"\\\\?\\C:\\Morvex\\app.exe";
  const Case cases[] = {
      {"process unknown", fail("Cannot inspect VPN process identity."), here},
      {"service path unknown", here, fail("Cannot locate VPN service.")},
      {"reached through a link elsewhere", std::wstring(L"\\\\?\\D:\\elsewhere\\app.exe"), here},
      {"directory differs in case", std::wstring(L"\\\\?\\C:\\morvex\\app.exe"), here},
  };
  for (const auto& c : cases) {
    auto identity = std::make_shared<ScriptedIdentity>();
    identity->client = c.client;
    identity->service = c.service;
    name = unique_pipe_name(L"identity");
    ServerThread server(config(identity));
    server.wait_until_listening();
    const auto client = connect_client(name);
    ASSERT_TRUE(client) << c.what;
    ASSERT_TRUE(send_bytes(client.get(), frame("{}")));
    EXPECT_EQ(read_reply(client.get(), 5s),
              R"({"error":"Only the Morvex VPN app can use this service."})")
        << c.what;
  }
  EXPECT_EQ(received->count(), 0u);
}

TEST_F(PipeServerTest, ClientsOutsideTheConsoleSessionAreClosedBeforeAnyByte) {
  struct Case {
    const char* what;
    std::optional<std::uint32_t> session;
    std::uint32_t console;
  };
  const Case cases[] = {
      {"remote desktop session", 2, 1},
      {"switched away from the console", 1, 3},
      {"no console session", 1, 0xFFFFFFFFu},
      {"session unknown", std::nullopt, 1},
  };
  for (const auto& c : cases) {
    auto identity = std::make_shared<ScriptedIdentity>();
    identity->session = c.session;
    identity->console = c.console;
    name = unique_pipe_name(L"session");
    auto settings = config(identity);
    settings.connection.receive_timeout = 10s;
    auto alone = std::make_shared<std::atomic<int>>(0);
    settings.create_instance = counting_lone_instances(alone);
    ServerThread server(settings);
    server.wait_until_listening();
    const auto client = connect_client(name);
    ASSERT_TRUE(client) << c.what;
    send_bytes(client.get(), frame("{}"));
    const auto start = Clock::now();
    EXPECT_TRUE(closed_without_bytes(client.get(), 5s)) << c.what;
    EXPECT_LT(Clock::now() - start, 2s) << c.what;
    // The refused client's instance listens again: no later instance comes
    // alone, after a gap in which anyone could have taken the name.
    EXPECT_TRUE(closed_without_bytes(connect_client(name).get(), 5s)) << c.what;
    EXPECT_EQ(alone->load(), 1) << c.what;
  }
  EXPECT_EQ(received->count(), 0u);
}

// Answers that the client sits in another session, after noting how many
// request bytes still wait unread in the instance at that moment.
class OtherSessionIdentity final : public ClientIdentity {
 public:
  explicit OtherSessionIdentity(DWORD request_bytes) : request_bytes_(request_bytes) {}
  std::optional<std::uint32_t> client_session(HANDLE pipe) override {
    DWORD available = 0;
    const auto deadline = Clock::now() + 5s;
    while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) &&
           available < request_bytes_ && Clock::now() < deadline) {
      Sleep(1);
    }
    unread = available;
    return 2;
  }
  std::uint32_t console_session() override { return 1; }
  Result<std::wstring> client_image(HANDLE, const std::wstring&) override {
    return fail("not asked");
  }
  Result<std::wstring> service_image() override { return fail("not asked"); }

  std::atomic<DWORD> unread{0};

 private:
  DWORD request_bytes_;
};

TEST_F(PipeServerTest, AClientInAnotherSessionIsRefusedBeforeAnyByteIsRead) {
  const std::string request = frame(R"({"action":"status"})");
  auto identity = std::make_shared<OtherSessionIdentity>(static_cast<DWORD>(request.size()));
  ServerThread server(config(identity));
  server.wait_until_listening();
  const auto client = connect_client(name);
  ASSERT_TRUE(client);
  ASSERT_TRUE(send_bytes(client.get(), request));
  EXPECT_TRUE(closed_without_bytes(client.get(), 5s));
  EXPECT_EQ(identity->unread.load(), request.size());
  EXPECT_EQ(received->count(), 0u);
}

// The service's own path answers from a list in turn, as if the service had
// been moved between two connections.
class MovingServiceIdentity final : public ClientIdentity {
 public:
  std::optional<std::uint32_t> client_session(HANDLE) override { return 1; }
  std::uint32_t console_session() override { return 1; }
  Result<std::wstring> client_image(HANDLE, const std::wstring&) override {
    return std::wstring(L"\\\\?\\C:\\Morvex\\app.exe");
  }
  Result<std::wstring> service_image() override {
    const auto call = calls.fetch_add(1);
    return std::wstring(call == 1 ? L"\\\\?\\C:\\Moved\\service.exe"
                                  : L"\\\\?\\C:\\Morvex\\service.exe");
  }

  std::atomic<int> calls{0};
};

TEST_F(PipeServerTest, TheServicePathIsLearntAnewForEachConnection) {
  auto identity = std::make_shared<MovingServiceIdentity>();
  ServerThread server(config(identity));
  server.wait_until_listening();
  const std::string refusal = R"({"error":"Only the Morvex VPN app can use this service."})";
  for (const std::string expected : {"reply:2", refusal.c_str(), "reply:2"}) {
    const auto client = connect_client(name);
    ASSERT_TRUE(client);
    ASSERT_TRUE(send_bytes(client.get(), frame("{}")));
    EXPECT_EQ(read_reply(client.get(), 5s), expected);
  }
  EXPECT_EQ(identity->calls.load(), 3);
}

TEST_F(PipeServerTest, RepliesUpToTheLimitAreSentAndLargerOnesDropped) {
  auto c = config();
  // The request body names the size of the reply.
  c.connection.handle_request = [](std::string_view body) {
    return std::string(std::stoul(std::string(body)), 'r');
  };
  ServerThread server(c);
  server.wait_until_listening();
  {
    const auto client = connect_client(name);
    ASSERT_TRUE(client);
    ASSERT_TRUE(send_bytes(client.get(), frame("131072")));
    EXPECT_EQ(read_reply(client.get(), 5s), std::string(131072, 'r'));
  }
  {
    const auto client = connect_client(name);
    ASSERT_TRUE(client);
    ASSERT_TRUE(send_bytes(client.get(), frame("131073")));
    EXPECT_TRUE(closed_without_bytes(client.get(), 5s));
  }
}

// Runs out of memory while learning the path of the first client it is asked
// about, as the path buffers may; knows every later client as the app.
class IdentityOutOfMemoryOnce final : public ClientIdentity {
 public:
  std::optional<std::uint32_t> client_session(HANDLE) override { return 1; }
  std::uint32_t console_session() override { return 1; }
  Result<std::wstring> client_image(HANDLE, const std::wstring&) override {
    if (calls_.fetch_add(1) == 0) throw std::bad_alloc();
    return std::wstring(L"\\\\?\\C:\\Morvex\\app.exe");
  }
  Result<std::wstring> service_image() override {
    return std::wstring(L"\\\\?\\C:\\Morvex\\service.exe");
  }

 private:
  std::atomic<int> calls_{0};
};

TEST_F(PipeServerTest, AllocationFailureWhileAdmittingEndsOnlyThatClient) {
  ServerThread server(config(std::make_shared<IdentityOutOfMemoryOnce>()));
  server.wait_until_listening();
  {
    const auto client = connect_client(name);
    ASSERT_TRUE(client);
    // The server may already have closed the instance, so the write may fail.
    (void)send_bytes(client.get(), frame("{}"));
    EXPECT_TRUE(closed_without_bytes(client.get(), 5s));
  }
  EXPECT_TRUE(server.running());
  const auto client = connect_client(name);
  ASSERT_TRUE(client);
  ASSERT_TRUE(send_bytes(client.get(), frame("{}")));
  EXPECT_EQ(read_reply(client.get(), 5s), "reply:2");
  EXPECT_EQ(received->count(), 1u);
  EXPECT_EQ(server.stop(), Result<void>{});
}

TEST_F(PipeServerTest, InstancesAreCreatedWithTheFixedParameters) {
  struct Seen {
    DWORD open_mode, pipe_mode, instances, out_buffer, in_buffer, timeout;
    BOOL inherit;
    std::string sddl;
  };
  auto seen = std::make_shared<std::vector<Seen>>();
  auto mutex = std::make_shared<std::mutex>();
  auto c = config();
  c.create_instance = [seen, mutex](const PipeInstanceParameters& p) {
    {
      std::lock_guard lock(*mutex);
      seen->push_back({p.open_mode, p.pipe_mode, p.max_instances, p.out_buffer_bytes,
                       p.in_buffer_bytes, p.default_timeout_ms, p.attributes->bInheritHandle,
                       describe_dacl(p.attributes->lpSecurityDescriptor)});
    }
    return create_pipe_instance(p);
  };
  ServerThread server(c);
  server.wait_until_listening();
  // The clients keep their ends, so that no instance is handed back.
  std::vector<UniqueHandle> clients;
  for (int i = 0; i < 2; ++i) {
    const auto& client = clients.emplace_back(connect_client(name));
    ASSERT_TRUE(client);
    ASSERT_TRUE(send_bytes(client.get(), frame("{}")));
    ASSERT_EQ(read_reply(client.get(), 5s), "reply:2");
  }
  ASSERT_TRUE(server.stop());

  std::lock_guard lock(*mutex);
  ASSERT_GE(seen->size(), 3u);
  for (std::size_t i = 0; i < seen->size(); ++i) {
    const auto& s = (*seen)[i];
    EXPECT_EQ(s.open_mode,
              i == 0 ? static_cast<DWORD>(PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE)
                     : static_cast<DWORD>(PIPE_ACCESS_DUPLEX))
        << i;
    EXPECT_EQ(s.pipe_mode, static_cast<DWORD>(PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                              PIPE_REJECT_REMOTE_CLIENTS));
    EXPECT_EQ(s.instances, 16u);
    EXPECT_EQ(s.out_buffer, 131076u);
    EXPECT_EQ(s.in_buffer, 131076u);
    EXPECT_EQ(s.timeout, 5000u);
    EXPECT_EQ(s.inherit, FALSE);
    EXPECT_EQ(s.sddl, pipe_dacl);
  }
}

namespace {
// Another pipe of the same name, as another account's process would create
// it. Wine lets this test name an owner that is not its own account
// (Everyone); on Windows another user's process could only make itself the
// owner. It takes the service's pipe mode, so the service's instances join it.
UniqueHandle foreign_pipe(const std::wstring& name, const wchar_t* sddl = L"O:WDD:(A;;GA;;;WD)") {
  const auto foreign = security_descriptor_from_sddl(sddl);
  SECURITY_ATTRIBUTES attributes{sizeof(attributes), foreign ? foreign->get() : nullptr, FALSE};
  return UniqueHandle(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                       16, 4096, 4096, 0, &attributes));
}
}  // namespace

TEST_F(PipeServerTest, CreationFailuresAreRetriedUntilTheNameIsOurs) {
  // What instance creation answers, call by call (the last answer repeats).
  // Wine ignores the first-instance flag, so the refusal that Windows gives
  // for a name that is alive comes from the seam. A name that is not the
  // service's never ends the loop (and with it the service and the tunnel):
  // the loop claims the name again after a pause and serves once it is free.
  enum class Answer { create, busy, denied, invalid, foreign, other_list };
  constexpr DWORD first = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE;
  constexpr DWORD later = PIPE_ACCESS_DUPLEX;
  struct Case {
    const char* what;
    std::vector<Answer> answers;
    bool paused;
    std::vector<DWORD> modes;  // the first calls
  };
  using enum Answer;
  const Case cases[] = {
      {"busy is retried, still claiming the name",
       {busy, busy, create},
       false,
       {first, first, first}},
      // A client of the stopped service holds its end: the pipe lives on,
      // still the service's own, and the restarted service serves on it.
      {"name alive and ours", {denied, create}, false, {first, later}},
      {"name alive and another account's", {denied, foreign, create}, true, {first, later, first}},
      {"another access list", {denied, other_list, create}, true, {first, later, first}},
      {"access list that shuts us out", {denied, denied, create}, true, {first, later, first}},
      {"any other error", {invalid, create}, true, {first, first}},
  };
  for (const auto& c : cases) {
    name = unique_pipe_name(L"creation");
    struct Calls {
      std::mutex mutex;
      std::vector<DWORD> modes;
      UniqueHandle squatter;
    };
    auto calls = std::make_shared<Calls>();
    auto settings = config();
    settings.busy_retry = 5ms;
    settings.name_lost_retry = 300ms;
    settings.create_instance = [calls, answers = c.answers,
                                pipe_name = name](const PipeInstanceParameters& p) {
      std::unique_lock lock(calls->mutex);
      const Answer answer = answers[std::min(calls->modes.size(), answers.size() - 1)];
      if (answer == foreign) calls->squatter = foreign_pipe(pipe_name);
      if (answer == other_list) calls->squatter = foreign_pipe(pipe_name, L"D:P(A;;GRGW;;;IU)");
      if (answer == create) calls->squatter.reset();
      calls->modes.push_back(p.open_mode);
      lock.unlock();
      const DWORD error = answer == Answer::busy     ? ERROR_PIPE_BUSY
                          : answer == Answer::denied ? ERROR_ACCESS_DENIED
                                                     : ERROR_INVALID_PARAMETER;
      if (answer == create || answer == foreign || answer == other_list)
        return create_pipe_instance(p);
      SetLastError(error);
      return INVALID_HANDLE_VALUE;
    };

    const auto start = Clock::now();
    ServerThread server(settings);
    // A client must not reach a squatter while it holds the name.
    const auto calls_made = [&] { return std::lock_guard(calls->mutex), calls->modes.size(); };
    while (calls_made() < c.modes.size() && Clock::now() < start + 5s) Sleep(5);
    const auto client = connect_client(name);
    EXPECT_TRUE(send_bytes(client.get(), frame("{}"))) << c.what;
    EXPECT_EQ(read_reply(client.get(), 5s), "reply:2") << c.what;
    EXPECT_GE(Clock::now() - start, c.paused ? 300ms : 0ms) << c.what;
    std::lock_guard lock(calls->mutex);
    const auto& modes = calls->modes;
    EXPECT_EQ(
        std::vector<DWORD>(modes.begin(), modes.begin() + std::min(modes.size(), c.modes.size())),
        c.modes)
        << c.what;
  }
}

TEST_F(PipeServerTest, StopWhileIdleEndsTheLoopAtOnce) {
  std::atomic<bool> stopping{false};
  std::atomic<bool> running{false};
  std::optional<Result<void>> outcome;
  const auto c = config();
  std::thread loop([&] {
    outcome = run_pipe_server(
        c, [&] { return stopping.load(); }, running);
  });
  while (!running.load()) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(50ms);

  const auto start = Clock::now();
  stopping.exchange(true);
  wake_pipe_server(name, running);
  loop.join();
  EXPECT_LT(Clock::now() - start, 1s);
  EXPECT_EQ(outcome, Result<void>{});
  EXPECT_FALSE(running.load());

  // With no loop running the wake-up returns at once.
  const auto idle = Clock::now();
  wake_pipe_server(name, running);
  EXPECT_LT(Clock::now() - idle, 100ms);

  // A loop that never ends keeps it trying until its window has passed.
  const std::atomic<bool> stuck{true};
  const auto trying = Clock::now();
  wake_pipe_server(name, stuck, WakeTiming{300ms, 50ms});
  EXPECT_GE(Clock::now() - trying, 300ms);
  EXPECT_LT(Clock::now() - trying, 1s);
}

TEST_F(PipeServerTest, RealClientProgramsAreTrustedOnlyBesideTheService) {
  // This test program plays the service: a copy of the client in its folder
  // is the app, a copy elsewhere a stranger.
  ServerThread server(config());
  server.wait_until_listening();
  const TemporaryFolder elsewhere(L"stranger");
  const auto inside = program_folder() / L"morvex_pipe_client.exe";
  const auto outside = elsewhere.path() / L"morvex_pipe_client.exe";
  ASSERT_TRUE(CopyFileW(inside.c_str(), outside.c_str(), TRUE));

  const auto reply_file = elsewhere.path() / L"reply.txt";
  const std::wstring arguments = L"\"" + name + L"\" \"{}\" \"" + reply_file.wstring() + L"\" " +
                                 std::to_wstring(GetCurrentProcessId());
  auto run = run_program(inside, arguments, 20s);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(read_file(reply_file), "reply:2");

  run = run_program(outside, arguments, 20s);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(read_file(reply_file), R"({"error":"Only the Morvex VPN app can use this service."})");
  EXPECT_EQ(received->count(), 1u);
}

// The deadline rules of the pipe reads and writes, on a connected pair.
class PipeIoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.reset(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1,
                                  4096, 4096, 0, nullptr));
    ASSERT_TRUE(server);
    client = connect_client(name);
    ASSERT_TRUE(client);
    ConnectNamedPipe(server.get(), nullptr);
  }
  std::wstring name = unique_pipe_name(L"io");
  UniqueHandle server;
  UniqueHandle client;
};

TEST_F(PipeIoTest, ReadsObeyCountAndDeadline) {
  // Nothing requested: nothing read, even past the deadline.
  EXPECT_EQ(read_exact_until(server.get(), 0, Clock::now() - 1s), "");
  ASSERT_TRUE(send_bytes(client.get(), "abcdef"));
  EXPECT_EQ(read_exact_until(server.get(), 4, Clock::now() + 1s), "abcd");
  // Bytes that arrive once the deadline has passed still count as late.
  EXPECT_EQ(read_exact_until(server.get(), 2, Clock::now() - 1ms), fail("VPN service timed out."));

  const auto start = Clock::now();
  EXPECT_EQ(read_exact_until(server.get(), 1, Clock::now() + 200ms),
            fail("VPN service timed out."));
  EXPECT_GE(Clock::now() - start, 190ms);

  client.reset();
  EXPECT_EQ(read_exact_until(server.get(), 1, Clock::now() + 1s),
            fail("VPN service connection was interrupted."));
}

TEST_F(PipeIoTest, MessagesShareOneDeadlineAndKeepTheLimit) {
  ASSERT_TRUE(send_bytes(client.get(), frame("hello")));
  EXPECT_EQ(read_message(server.get(), 1s), "hello");
  ASSERT_TRUE(send_bytes(client.get(), frame_length(131073) + "x"));
  EXPECT_EQ(read_message(server.get(), 1s), fail("VPN message is too large."));
  // The body's byte is still waiting: the limit stopped the read before it.
  EXPECT_EQ(read_exact_until(server.get(), 1, Clock::now() + 1s), "x");
  ASSERT_TRUE(send_bytes(client.get(), frame_length(3) + "ab"));
  EXPECT_EQ(read_message(server.get(), 200ms), fail("VPN service timed out."));
}

TEST_F(PipeIoTest, WritesFailOnAClosedClientAndSucceedWhenEmpty) {
  EXPECT_EQ(write_all(server.get(), ""), Result<void>{});
  EXPECT_EQ(write_all(server.get(), "abc"), Result<void>{});
  client.reset();
  EXPECT_EQ(write_all(server.get(), "abc"), fail("Cannot send the VPN request."));
}

TEST(SecurityDescriptor, ConvertsSddlOrFails) {
  const auto descriptor = security_descriptor_from_sddl(pipe_sddl);
  ASSERT_TRUE(descriptor);
  EXPECT_EQ(describe_dacl(descriptor->get()), pipe_dacl);
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  PACL sacl = nullptr;
  // One mandatory label (type 17): medium level, no write up, no read up.
  EXPECT_TRUE(GetSecurityDescriptorSacl(descriptor->get(), &present, &sacl, &defaulted));
  EXPECT_EQ(describe_acl(sacl), " 17/0/00000003/S-1-16-8192");
  // A living pipe is ours only with this access list, generic rights mapped
  // (Windows may store them so); CreationFailuresAreRetriedUntilTheNameIsOurs
  // reads a joined pipe's back.
  const std::pair<const wchar_t*, bool> lists[] = {
      {L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x12019b;;;IU)", true},
      {L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;IU)", false},
      {L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)", false},
      {L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)(A;;GR;;;WD)", false},
      {L"D:P(D;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;IU)", false},
      {L"D:NO_ACCESS_CONTROL", false}};
  for (const auto& [sddl, same] : lists) {
    const auto other = security_descriptor_from_sddl(sddl);
    EXPECT_EQ(other && same_access_list(other->get(), descriptor->get(), pipe_generic_mapping),
              same)
        << ::testing::PrintToString(std::wstring(sddl));
  }
  // LocalSystem owns the pipe, not the Administrators group that its token
  // would give; the app's client requires it.
  PSID owner = nullptr;
  EXPECT_TRUE(GetSecurityDescriptorOwner(descriptor->get(), &owner, &defaulted));
  EXPECT_TRUE(owner != nullptr && IsWellKnownSid(owner, WinLocalSystemSid));

  EXPECT_EQ(security_descriptor_from_sddl(L"D:P(nonsense"), fail("Cannot secure the VPN service."));
}

TEST(SecurityDescriptor, EachPrincipalGetsOnlyItsRights) {
  // The pipe's descriptor read back from a live instance of the loop, and the
  // storage folder's as built (Wine keeps no access list on folders). Wine
  // enforces neither, so the rights are computed as Windows grants them.
  auto live = std::make_shared<std::optional<UniqueLocal<void>>>();
  PipeServerConfig config;
  config.pipe_name = unique_pipe_name(L"rights");
  config.create_instance = [live](const PipeInstanceParameters& p) {
    const HANDLE instance = create_pipe_instance(p);
    PSECURITY_DESCRIPTOR read = nullptr;
    if (!*live && GetSecurityInfo(instance, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                  nullptr, nullptr, nullptr, &read) == ERROR_SUCCESS) {
      live->emplace(read);
    }
    return instance;
  };
  ServerThread(config).wait_until_listening();
  ASSERT_TRUE(*live);
  const auto storage = security_descriptor_from_sddl(storage_sddl);
  ASSERT_TRUE(storage);
  PACL pipe = nullptr;
  PACL folder = nullptr;
  BOOL present = FALSE;
  BOOL defaulted = FALSE;
  ASSERT_TRUE(GetSecurityDescriptorDacl((*live)->get(), &present, &pipe, &defaulted) && present);
  ASSERT_TRUE(GetSecurityDescriptorDacl(storage->get(), &present, &folder, &defaulted) && present);

  // Interactive users: data and attributes, never FILE_CREATE_PIPE_INSTANCE
  // (FILE_APPEND_DATA), the access list or the owner.
  constexpr ACCESS_MASK users = FILE_GENERIC_READ | (FILE_GENERIC_WRITE & ~FILE_APPEND_DATA);
  struct Case {
    const wchar_t* principal;
    ACCESS_MASK pipe;
    ACCESS_MASK folder;
  };
  const Case cases[] = {
      {L"S-1-5-18", FILE_ALL_ACCESS, FILE_ALL_ACCESS},      // LocalSystem
      {L"S-1-5-32-544", FILE_ALL_ACCESS, FILE_ALL_ACCESS},  // Administrators
      {L"S-1-5-4", users, 0},                               // INTERACTIVE
      {L"S-1-1-0", 0, 0},                                   // Everyone
      {L"S-1-5-7", 0, 0},                                   // Anonymous
      {L"S-1-5-2", 0, 0},                                   // NETWORK
      {L"S-1-5-32-545", 0, 0},                              // Users
  };
  for (const auto& c : cases) {
    EXPECT_EQ(rights_granted(pipe, c.principal), c.pipe) << std::hex << c.pipe;
    EXPECT_EQ(rights_granted(folder, c.principal), c.folder) << std::hex << c.folder;
  }
  // The app's open is granted; GENERIC_WRITE, as Windows maps it, is not.
  GENERIC_MAPPING mapping{FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_GENERIC_EXECUTE,
                          FILE_ALL_ACCESS};
  ACCESS_MASK app = client_pipe_access;
  ACCESS_MASK generic_write = GENERIC_WRITE;
  MapGenericMask(&app, &mapping);
  MapGenericMask(&generic_write, &mapping);
  EXPECT_EQ(app & ~users, 0u);
  EXPECT_EQ(generic_write & ~users, static_cast<ACCESS_MASK>(FILE_CREATE_PIPE_INSTANCE));
}

TEST(ClientIdentityOnThisMachine, PathsAreCanonicalAndFailuresNamed) {
  const auto own = own_image_path();
  ASSERT_TRUE(own);
  const auto canonical = canonical_path(*own);
  ASSERT_TRUE(canonical);
  EXPECT_EQ(canonical->rfind(L"\\\\?\\", 0), 0u);
  EXPECT_EQ(client_image_path(GetCurrentProcessId(), {*canonical}), canonical);
  // Learnt beside a service in another folder, this program is not opened.
  const auto elsewhere = std::filesystem::path(*canonical).parent_path() / L"sub" / L"service.exe";
  EXPECT_EQ(client_image_path(GetCurrentProcessId(), {elsewhere.wstring()}),
            fail("Cannot verify VPN process path."));
  EXPECT_EQ(SystemClientIdentity().service_image(), canonical);
  EXPECT_EQ(canonical_path(L"C:\\no\\such\\file.exe"), fail("Cannot verify VPN process path."));
  EXPECT_EQ(client_image_path(0xFFFFFFF0u, {*canonical}),
            fail("Cannot inspect VPN process identity."));
}

TEST(ClientIdentityOnThisMachine, OnlyPathsInTheServiceFolderOnALocalDriveAreOpened) {
  // The drive type and the open are scripted: a mapped network drive cannot
  // be made here, and a path that must not be opened must not reach the open.
  // Every folder of the first rows counts as one the service is known under,
  // so that they show the drive rule alone.
  const std::vector<std::wstring> service = {
      L"\\\\?\\C:\\Morvex\\service.exe",
      L"\\\\?\\E:\\Morvex\\service.exe",
      L"F:\\service.exe",
      L"R:\\service.exe",
      L"Z:\\Morvex\\service.exe",
      L"\\\\.\\Z:\\Morvex\\service.exe",
      L"Q:\\service.exe",
      L"U:\\service.exe",
      L"\\\\host\\share\\service.exe",
      L"\\\\?\\GLOBALROOT\\Device\\Mup\\host\\share\\service.exe",
  };
  struct Case {
    const wchar_t* reported;
    UINT drive_type;
    const wchar_t* asked_root;  // none: the drive type is not even asked
    const wchar_t* opened;      // none: refused without being opened
  };
  const Case cases[] = {
      {L"C:\\Morvex\\app.exe", DRIVE_FIXED, L"C:\\", L"\\\\?\\C:\\Morvex\\app.exe"},
      {L"\\\\?\\E:\\Morvex\\app.exe", DRIVE_REMOVABLE, L"E:\\", L"\\\\?\\E:\\Morvex\\app.exe"},
      {L"F:\\app.exe", DRIVE_CDROM, L"F:\\", L"\\\\?\\F:\\app.exe"},
      {L"R:\\app.exe", DRIVE_RAMDISK, L"R:\\", L"\\\\?\\R:\\app.exe"},
      // A mapped network drive, a letter naming no drive, an unknown kind.
      {L"Z:\\Morvex\\app.exe", DRIVE_REMOTE, L"Z:\\", nullptr},
      {L"\\\\.\\Z:\\Morvex\\app.exe", DRIVE_REMOTE, L"Z:\\", nullptr},
      {L"Q:\\app.exe", DRIVE_NO_ROOT_DIR, L"Q:\\", nullptr},
      {L"U:\\app.exe", DRIVE_UNKNOWN, L"U:\\", nullptr},
      // Not on a drive letter at all: refused before any question.
      {L"\\\\host\\share\\app.exe", DRIVE_FIXED, nullptr, nullptr},
      {L"\\\\?\\GLOBALROOT\\Device\\Mup\\host\\share\\app.exe", DRIVE_FIXED, nullptr, nullptr},
      // Outside every folder of the service: a launch through an 8.3 short
      // name, a link the client placed in its own folder, a subfolder.
      {L"C:\\MORVEX~1\\app.exe", DRIVE_FIXED, nullptr, nullptr},
      {L"C:\\Users\\me\\app.exe", DRIVE_FIXED, nullptr, nullptr},
      {L"C:\\Morvex\\sub\\app.exe", DRIVE_FIXED, nullptr, nullptr},
      // The folder written in other case is the same folder; the open keeps
      // the path as reported and the canonical comparison decides.
      {L"c:\\MORVEX\\App.exe", DRIVE_FIXED, L"c:\\", L"\\\\?\\c:\\MORVEX\\App.exe"},
  };
  for (const auto& c : cases) {
    std::vector<std::wstring> roots;
    std::vector<std::wstring> opened;
    const ImagePathChecks checks{[&](const std::wstring& root) {
                                   roots.push_back(root);
                                   return c.drive_type;
                                 },
                                 [&](std::wstring_view path) -> Result<std::wstring> {
                                   opened.emplace_back(path);
                                   return std::wstring(L"\\\\?\\C:\\resolved\\app.exe");
                                 }};
    const auto shown = ::testing::PrintToString(std::wstring(c.reported));
    const auto outcome = canonical_image_path(c.reported, service, checks);
    EXPECT_EQ(roots,
              c.asked_root ? std::vector<std::wstring>{c.asked_root} : std::vector<std::wstring>{})
        << shown;
    if (c.opened == nullptr) {
      EXPECT_EQ(outcome, fail("Cannot verify VPN process path.")) << shown;
      EXPECT_TRUE(opened.empty()) << shown;
    } else {
      EXPECT_EQ(outcome, std::wstring(L"\\\\?\\C:\\resolved\\app.exe")) << shown;
      EXPECT_EQ(opened, std::vector<std::wstring>{c.opened}) << shown;
    }
  }

  // With the system's answers: a letter that names no drive here is refused.
  const DWORD drives = GetLogicalDrives();
  for (wchar_t letter = L'Y'; letter > L'D'; --letter) {
    if (drives & (1u << (letter - L'A'))) continue;
    const std::wstring path = std::wstring(1, letter) + L":\\Morvex\\app.exe";
    const std::wstring beside = std::wstring(1, letter) + L":\\Morvex\\service.exe";
    EXPECT_EQ(canonical_image_path(path, {beside}, system_image_path_checks()),
              fail("Cannot verify VPN process path."))
        << ::testing::PrintToString(path);
    break;
  }
}

}  // namespace
}  // namespace morvex
