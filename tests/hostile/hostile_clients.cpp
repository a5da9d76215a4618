// Hostile clients against the installed service: a table of bad and odd
// inputs, each with the exact reply it must get or the way it must be
// dropped. Run from the service's installation directory it plays the
// desktop app; a copy elsewhere plays a stranger.
//   hostile_clients trusted STRANGER_COPY   the whole barrage; starts the copy
//                                           outside the installation while its
//                                           own deadline clients wait
//   hostile_clients untrusted               the stranger's table only
//   hostile_clients flood                   a stranger holding connections
// Prints one line per case and a closing "N passed, N failed" line; the exit
// status is the number of failed cases (0 when all passed).
//
// Well-formed requests go through the client library, as the app sends them.
// Malformed and misbehaving clients are written here from the frame format
// alone, so the check borrows neither the service's pipe code nor the
// library's transport.
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/framing.hpp"
#include "client/pipe_transport.hpp"
#include "protocol/exchange_log.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr wchar_t pipe_name[] = L"\\\\.\\pipe\\MorvexVPN.Service.v1";
constexpr std::uint32_t limit = 131072;

// ---------------------------------------------------------------- replies

const std::string disconnected =
    R"({"result":{"activeProfile":null,"connectedAt":null,"connection":null,)"
    R"("message":"VPN is disconnected.","platform":"windows","publicAddress":null,)"
    R"("state":"disconnected"}})";
const std::string capabilities =
    R"({"result":{"openvpn":true,"wireguard":true,)"
    R"("wireguardMessage":"The installer supplies the Windows VPN engines."}})";
const std::string refusal = R"({"error":"Only the Morvex VPN app can use this service."})";

std::string error(const std::string& sentence) { return R"({"error":")" + sentence + R"("})"; }
const std::string invalid = error("Invalid VPN request.");
const std::string unsupported_profile =
    error("Morvex returned an unsupported VPN profile. Try another location.");

// ---------------------------------------------------------------- frames

std::string le32(std::uint32_t value) { return morvex::client::frame_length(value); }
using morvex::client::frame;

// A body of exactly `size` bytes: `json` followed by spaces.
std::string padded(const std::string& json, std::size_t size) {
  return json + std::string(size - json.size(), ' ');
}

std::string nested_arrays(int depth) {
  return std::string(static_cast<std::size_t>(depth), '[') +
         std::string(static_cast<std::size_t>(depth), ']');
}

std::string nested_objects(int depth) {
  std::string text = R"({"action":"status","x":)";
  for (int i = 1; i < depth - 1; ++i) text += R"({"x":)";
  text += "1";
  text += std::string(static_cast<std::size_t>(depth - 1), '}');
  return text;
}

const std::string wireguard_config =
    R"([Interface]\nPrivateKey = yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=\n)"
    R"(Address = 10.64.0.2/32\n[Peer]\nPublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\n)"
    R"(AllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = 198.51.100.7:51820\n)";
const std::string openvpn_config = R"(client\nremote 198.51.100.7 1194 udp\n)";

struct ProfileText {
  std::string server_id = "7";
  std::string location = R"("Oslo")";
  std::string protocol = R"("wireguard")";
  std::string config = "\"" + wireguard_config + "\"";
  std::string dns = R"("quad9")";
  std::string extra;  // raw members appended inside the profile
};

std::string connect(const ProfileText& p) {
  return R"({"action":"connect","profile":{"serverId":)" + p.server_id + R"(,"location":)" +
         p.location + R"(,"protocol":)" + p.protocol + R"(,"config":)" + p.config + R"(,"dns":)" +
         p.dns + R"(,"username":"demo","password":"demo-secret")" + p.extra + "}}";
}

ProfileText with(std::function<void(ProfileText&)> change) {
  ProfileText profile;
  change(profile);
  return profile;
}

// ---------------------------------------------------------------- client

// What the client saw.
struct Outcome {
  enum Kind { reply, closed, partial, extra, silent, unreachable } kind = silent;
  std::string body;
  double seconds = 0;
};

std::string describe(const Outcome& outcome) {
  switch (outcome.kind) {
    case Outcome::reply: return "reply " + outcome.body;
    case Outcome::closed: return "closed without a reply";
    case Outcome::partial: return "closed after a partial reply";
    case Outcome::extra: return "bytes after the reply frame";
    case Outcome::silent: return "no reply and no close";
    case Outcome::unreachable: return "pipe not reachable";
  }
  return "?";
}

class Client {
 public:
  // Opens the pipe, waiting up to `patience` while every instance is busy.
  explicit Client(std::chrono::milliseconds patience = 30s) {
    const auto deadline = Clock::now() + patience;
    for (;;) {
      const auto open = morvex::client::pipe_open();
      handle_ = CreateFileW(pipe_name, open.access, 0, nullptr, OPEN_EXISTING,
                            open.flags & ~static_cast<DWORD>(FILE_FLAG_OVERLAPPED), nullptr);
      if (handle_ != INVALID_HANDLE_VALUE) break;
      last_error_ = GetLastError();
      if (Clock::now() >= deadline) return;
      if (last_error_ == ERROR_PIPE_BUSY) {
        WaitNamedPipeW(pipe_name, 100);
      } else {
        Sleep(10);
      }
    }
    opened_ = Clock::now();
  }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;
  ~Client() { close(); }

  bool open() const { return handle_ != INVALID_HANDLE_VALUE; }
  DWORD last_error() const { return last_error_; }
  void close() {
    if (open()) CloseHandle(handle_);
    handle_ = INVALID_HANDLE_VALUE;
  }
  double seconds_open() const {
    return std::chrono::duration<double>(Clock::now() - opened_).count();
  }

  // Writes in small pieces; false when the server has closed its end (or
  // nothing moves for 20 s).
  bool send(const std::string& bytes) {
    std::size_t done = 0;
    const auto deadline = Clock::now() + 20s;
    while (done < bytes.size()) {
      const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 4096));
      DWORD written = 0;
      if (!WriteFile(handle_, bytes.data() + done, piece, &written, nullptr)) return false;
      done += written;
      if (written == 0) {
        if (Clock::now() >= deadline) return false;
        Sleep(5);
      }
    }
    return true;
  }

  // One reply frame, or how the server ended without one.
  Outcome receive(std::chrono::milliseconds patience = 60s) {
    Outcome outcome;
    std::string got;
    const auto deadline = Clock::now() + patience;
    std::size_t wanted = 4;
    bool have_length = false;
    for (;;) {
      if (got.size() >= wanted && !have_length) {
        std::uint32_t length = 0;
        for (int i = 3; i >= 0; --i) length = (length << 8) | static_cast<unsigned char>(got[i]);
        wanted = 4 + static_cast<std::size_t>(length);
        have_length = true;
        continue;
      }
      if (have_length && got.size() >= wanted) break;
      char buffer[8192];
      DWORD read = 0;
      const DWORD ask =
          static_cast<DWORD>(std::min<std::size_t>(sizeof(buffer), wanted - got.size()));
      if (read_waiting(buffer, ask, read)) {
        got.append(buffer, read);
        if (read > 0) continue;
      } else {
        outcome.kind = got.empty() ? Outcome::closed : Outcome::partial;
        outcome.seconds = seconds_open();
        return outcome;
      }
      if (Clock::now() >= deadline) {
        outcome.kind = Outcome::silent;
        return outcome;
      }
      Sleep(5);
    }
    outcome.kind = Outcome::reply;
    outcome.body = got.substr(4);
    morvex::testing::log_reply(outcome.body);
    // Exactly one frame comes back: nothing may follow it.
    char more = 0;
    DWORD read = 0;
    if (read_waiting(&more, 1, read) && read > 0) outcome.kind = Outcome::extra;
    outcome.seconds = seconds_open();
    return outcome;
  }

  // Waits for the server to close its end; true when it did within
  // `patience` without sending a byte.
  bool wait_closed(std::chrono::milliseconds patience) {
    const auto deadline = Clock::now() + patience;
    for (;;) {
      char byte = 0;
      DWORD read = 0;
      if (!read_waiting(&byte, 1, read)) return true;
      if (read > 0) return false;
      if (Clock::now() >= deadline) return false;
      Sleep(10);
    }
  }

  // Keeps the connection, reading nothing, until the server drops it.
  void hold_until_dropped(std::chrono::milliseconds patience) {
    const auto deadline = Clock::now() + patience;
    while (PeekNamedPipe(handle_, nullptr, 0, nullptr, nullptr, nullptr) && Clock::now() < deadline)
      Sleep(20);
  }

 private:
  // Reads at most `size` bytes of what has arrived, without waiting (the
  // client's access does not allow switching the handle to non-blocking
  // mode); false once the server has closed its end and nothing is left.
  bool read_waiting(char* buffer, DWORD size, DWORD& read) {
    read = 0;
    DWORD waiting = 0;
    if (!PeekNamedPipe(handle_, nullptr, 0, nullptr, &waiting, nullptr)) return false;
    if (waiting == 0) return true;
    return ReadFile(handle_, buffer, std::min(size, waiting), &read, nullptr) != FALSE;
  }

  HANDLE handle_ = INVALID_HANDLE_VALUE;
  DWORD last_error_ = 0;
  Clock::time_point opened_ = Clock::now();
};

// Sends `bytes` on a fresh connection and reads what comes back.
Outcome exchange(const std::string& bytes, std::chrono::milliseconds patience = 60s) {
  Client client;
  if (!client.open()) return {Outcome::unreachable, {}, 0};
  client.send(bytes);  // a refused write shows in what is read next
  return client.receive(patience);
}

// Sends `bytes`, then hangs up without reading.
void hang_up(const std::string& bytes) {
  Client client;
  if (client.open()) client.send(bytes);
}

// ---------------------------------------------------------------- checking

struct Tally {
  std::mutex lock;
  int passed = 0;
  int failed = 0;

  void report(const std::string& name, bool ok, const std::string& detail) {
    const std::lock_guard<std::mutex> guard(lock);
    (ok ? passed : failed) += 1;
    std::printf("%s %s%s%s\n", ok ? "ok  " : "FAIL", name.c_str(), detail.empty() ? "" : ": ",
                detail.c_str());
    std::fflush(stdout);
  }
};

Tally tally;

// ---------------------------------------------------------------- the app

namespace app {

using morvex::Profile;
using morvex::client::ErrorKind;
using morvex::client::Outcome;
using morvex::client::State;
using morvex::client::Status;

// The app's client; every reply body also goes to the exchange log.
morvex::client::Client client() {
  return morvex::client::Client([](std::string_view request, std::chrono::milliseconds timeout) {
    auto reply = morvex::client::pipe_exchange(request, timeout);
    if (reply) morvex::testing::log_reply(*reply);
    return reply;
  });
}

const Status idle{std::nullopt, State::disconnected,   "windows", std::nullopt, std::nullopt,
                  std::nullopt, "VPN is disconnected."};
const morvex::client::Capabilities engines{true, true,
                                           "The installer supplies the Windows VPN engines."};

// The profile texts above, with their escapes decoded.
std::string decoded(const std::string& text) {
  std::string plain;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool escape = text[i] == '\\' && i + 1 < text.size() && text[i + 1] == 'n';
    plain += escape ? '\n' : text[i];
    i += escape;
  }
  return plain;
}
const Profile oslo{7,       "Oslo", "wireguard", decoded(wireguard_config),
                   "quad9", "",     "demo",      "demo-secret"};

// The status of the tunnel that `oslo` brings up, at the time `got` names.
Status oslo_tunnel(const Outcome<Status>& got) {
  return {morvex::client::Connection{7, "Oslo", "wireguard", "quad9"},
          State::connected,
          "windows",
          "WireGuard",
          "203.0.113.7",
          got ? got->connected_at : std::nullopt,
          "Checking VPN routes, DNS and internet access."};
}

std::unexpected<morvex::client::Error> fails(ErrorKind kind, std::string sentence) {
  return std::unexpected(morvex::client::Error{kind, std::move(sentence)});
}

// Whether a call gave `expected`: its result, or fails(...).
template <typename T, typename Expected>
void check_call(const std::string& name, const Outcome<T>& got, const Expected& expected) {
  const bool passed = got == expected;
  tally.report(name, passed,
               passed ? ""
               : got  ? "got a result that differs"
                      : "got error " + got.error().message);
}

}  // namespace app

// Expected: the exact reply body, or no reply.
struct Expect {
  bool reply = false;
  std::string body;
};
Expect replies(const std::string& body) { return {true, body}; }
const Expect dropped{false, {}};

void check(const std::string& name, const Outcome& outcome, const Expect& expect) {
  bool ok = false;
  if (expect.reply) {
    ok = outcome.kind == Outcome::reply && outcome.body == expect.body;
  } else {
    ok = outcome.kind == Outcome::closed;
  }
  std::string detail;
  if (!ok) {
    detail = "got " + describe(outcome).substr(0, 300) + "; expected " +
             (expect.reply ? "reply " + expect.body : std::string("closed without a reply"));
  }
  tally.report(name, ok, detail);
}

struct Case {
  std::string name;
  std::string bytes;  // sent on one connection
  Expect expect;
};

void run_table(const std::vector<Case>& cases) {
  for (const auto& c : cases) check(c.name, exchange(c.bytes), c.expect);
}

// ---------------------------------------------------------------- tables

std::vector<Case> framing_cases() {
  const std::string status = R"({"action":"status"})";
  std::string smuggled = status;
  smuggled.push_back('\0');
  smuggled.append(R"({"action":"disconnect"})");
  return {
      {"body of exactly the limit reaches the dispatcher", frame(padded(status, limit)),
       replies(disconnected)},
      {"body one below the limit", frame(padded(status, limit - 1)), replies(disconnected)},
      {"body of the limit that is not JSON", frame(std::string(limit, 'x')), replies(invalid)},
      {"length one above the limit, no body", le32(limit + 1), dropped},
      {"length one above the limit with 64 KiB of body", le32(limit + 1) + std::string(65536, ' '),
       dropped},
      {"length of the limit plus the length field", le32(limit + 4), dropped},
      {"length 0x80000000", le32(0x80000000u), dropped},
      {"length 0xFFFFFFFF", le32(0xFFFFFFFFu), dropped},
      {"length written big-endian", "\x00\x00\x00\x13" + status, dropped},
      {"zero length", le32(0), replies(invalid)},
      {"length shorter than the bytes sent: only the frame counts",
       frame(status) + "garbage after the frame", replies(disconnected)},
      {"body padded with NUL bytes", frame(status + std::string(3, '\0')), replies(invalid)},
      {"a NUL byte hiding a second request", frame(smuggled), replies(invalid)},
  };
}

std::vector<Case> parser_cases() {
  const std::string status = R"({"action":"status"})";
  std::string utf16;
  for (const char c : status) utf16 += std::string{c, '\0'};
  return {
      {"byte-order mark before the object", frame("\xEF\xBB\xBF" + status), replies(invalid)},
      {"UTF-16 body", frame(utf16), replies(invalid)},
      {"invalid UTF-8 byte in the action", frame("{\"action\":\"stat\xFFus\"}"), replies(invalid)},
      {"overlong UTF-8 in the location",
       frame(connect(with([](ProfileText& p) { p.location = "\"Os\xC0\xAFlo\""; }))),
       replies(invalid)},
      {"UTF-8 encoded surrogate in the profile text",
       frame(connect(with([](ProfileText& p) { p.config = "\"client\xED\xA0\x80\""; }))),
       replies(invalid)},
      {"lone escaped surrogate in the location",
       frame(connect(with([](ProfileText& p) { p.location = R"("Oslo\ud800")"; }))),
       replies(invalid)},
      {"truncated UTF-8 sequence at the end of a string",
       frame(connect(with([](ProfileText& p) { p.location = "\"Oslo\xE2\x82\""; }))),
       replies(invalid)},
      {"arrays nested 128 deep", frame(nested_arrays(128)), replies(invalid)},
      {"arrays nested 129 deep", frame(nested_arrays(129)), replies(invalid)},
      {"arrays nested 60000 deep", frame(nested_arrays(60000)), replies(invalid)},
      {"objects nested 128 deep beside the action", frame(nested_objects(128)), replies(invalid)},
      {"objects nested 129 deep beside the action", frame(nested_objects(129)), replies(invalid)},
      {"action given twice", frame(R"({"action":"status","action":"status"})"), replies(invalid)},
      {"profile given twice", frame(R"({"action":"connect","profile":{},"profile":{}})"),
       replies(invalid)},
      {"profile member given twice",
       frame(connect(with([](ProfileText& p) { p.extra = R"(,"location":"Rome")"; }))),
       replies(invalid)},
      {"extra member beside a status action", frame(R"({"action":"status","x":1})"),
       replies(invalid)},
      {"status carrying a profile", frame(R"({"action":"status","profile":{"serverId":7}})"),
       replies(invalid)},
      {"ninth profile member",
       frame(connect(with([](ProfileText& p) { p.extra = R"(,"port":1194)"; }))), replies(invalid)},
      {"connect without a profile", frame(R"({"action":"connect"})"), replies(invalid)},
      {"action as a number", frame(R"({"action":1})"), replies(invalid)},
      {"action as null", frame(R"({"action":null})"), replies(invalid)},
      {"action as an array", frame(R"({"action":["status"]})"), replies(invalid)},
      {"profile as an array", frame(R"({"action":"connect","profile":[7,"Oslo"]})"),
       replies(invalid)},
      {"serverId as a string", frame(connect(with([](ProfileText& p) { p.server_id = R"("7")"; }))),
       replies(invalid)},
      {"serverId as 7.0", frame(connect(with([](ProfileText& p) { p.server_id = "7.0"; }))),
       replies(invalid)},
      {"serverId with a leading zero",
       frame(connect(with([](ProfileText& p) { p.server_id = "07"; }))), replies(invalid)},
      {"serverId 2147483648",
       frame(connect(with([](ProfileText& p) { p.server_id = "2147483648"; }))), replies(invalid)},
      {"serverId -2147483649",
       frame(connect(with([](ProfileText& p) { p.server_id = "-2147483649"; }))), replies(invalid)},
      {"serverId 1e999", frame(connect(with([](ProfileText& p) { p.server_id = "1e999"; }))),
       replies(invalid)},
      {"serverId of 400 digits",
       frame(connect(with([](ProfileText& p) { p.server_id = std::string(400, '9'); }))),
       replies(invalid)},
      {"dns as null", frame(connect(with([](ProfileText& p) { p.dns = "null"; }))),
       replies(invalid)},
      {"action with a capital letter", frame(R"({"action":"Status"})"), replies(invalid)},
      {"action with a trailing space", frame(R"({"action":"status "})"), replies(invalid)},
      {"unknown action", frame(R"({"action":"reboot"})"), replies(invalid)},
      {"empty action", frame(R"({"action":""})"), replies(invalid)},
      {"empty object", frame("{}"), replies(invalid)},
      {"top-level array", frame(R"(["status"])"), replies(invalid)},
      {"top-level string", frame(R"("status")"), replies(invalid)},
      {"action written with an escape", frame(R"({"action":"st\u0061tus"})"),
       replies(disconnected)},
      {"white space around the object", frame("\t\r\n " + status + "\n\n"), replies(disconnected)},
      {"text after the object", frame(status + " x"), replies(invalid)},
      {"two objects", frame(status + status), replies(invalid)},
      {"comment", frame(R"({"action":/* hi */"status"})"), replies(invalid)},
      {"single quotes", frame("{'action':'status'}"), replies(invalid)},
      {"trailing comma", frame(R"({"action":"status",})"), replies(invalid)},
      {"raw line break inside the profile text",
       frame(connect(with([](ProfileText& p) { p.config = "\"client\nremote x\""; }))),
       replies(invalid)},
  };
}

// Well-formed requests of every action with no tunnel up.
void idle_calls() {
  const auto client = app::client();
  app::check_call("status", client.status(), app::idle);
  app::check_call("capabilities", client.capabilities(), app::engines);
  app::check_call("traffic without a tunnel", client.traffic(),
                  app::Outcome<std::optional<morvex::client::Traffic>>(std::in_place));
  app::check_call("cancel with nothing running", client.cancel(), app::Outcome<void>());
}

// Requests that parse but that the profile policy refuses; none may start an
// engine.
void content_calls() {
  const auto openvpn = [](std::string extra) {
    return [extra](morvex::Profile& p) {
      p.protocol = "openvpn";
      p.config = app::decoded(openvpn_config + extra);
    };
  };
  const std::string unsupported =
      "Morvex returned an unsupported VPN profile. Try another location.";
  const struct {
    std::string name;
    std::function<void(morvex::Profile&)> change;
    std::string sentence;
  } rows[] = {
      {"serverId 0", [](morvex::Profile& p) { p.server_id = 0; }, "Invalid VPN location."},
      {"serverId -3", [](morvex::Profile& p) { p.server_id = -3; }, "Invalid VPN location."},
      {"location with a control character", [](morvex::Profile& p) { p.location = "Os\alo"; },
       "Morvex returned an invalid value."},
      {"unknown recovery protocol", [](morvex::Profile& p) { p.recovery_protocol = "tor"; },
       "Invalid recovery protocol."},
      {"unknown DNS provider", [](morvex::Profile& p) { p.dns = "google"; },
       "Choose a supported DNS provider."},
      {"unknown protocol", [](morvex::Profile& p) { p.protocol = "ipsec"; },
       "Choose a supported VPN protocol."},
      {"profile text of 65536 bytes", [](morvex::Profile& p) { p.config.assign(65536, 'a'); },
       "Morvex returned an invalid VPN profile."},
      {"profile text holding NUL",
       [](morvex::Profile& p) { p.config = std::string("client\0", 7); },
       "Morvex returned an invalid VPN profile."},
      {"OpenVPN profile that runs a script", openvpn(R"(script-security 2\nup evil.cmd\n)"),
       unsupported},
      {"OpenVPN profile that keeps the local network",
       openvpn(R"(route 0.0.0.0 0.0.0.0 net_gateway\n)"), unsupported},
      {"WireGuard profile with PostUp",
       [](morvex::Profile& p) {
         p.config = app::decoded(wireguard_config + R"(PostUp = cmd /c calc\n)");
       },
       unsupported},
      {"WireGuard profile that is not full-tunnel",
       [](morvex::Profile& p) {
         p.config = app::decoded(
             R"([Interface]\nPrivateKey = yMnKy8zNzs/Q0dLT1NXW19jZ2tvc3d7f4OHi4+Tl5uc=\n)"
             R"(Address = 10.64.0.2/32\n[Peer]\n)"
             R"(PublicKey = CzBVep/E6Q4zWH2ix+wRNluApcrvFDleg6jN8hc8YYY=\n)"
             R"(AllowedIPs = 10.0.0.0/8\nEndpoint = 198.51.100.7:51820\n)");
       },
       "This WireGuard profile does not protect IPv4 and IPv6. Try OpenVPN or another location."},
  };
  const auto client = app::client();
  for (const auto& row : rows) {
    morvex::Profile profile = app::oslo;
    row.change(profile);
    app::check_call(row.name, client.connect(profile),
                    app::fails(app::ErrorKind::service, row.sentence));
  }
}

// Clients that hang up part-way; the service must answer the next request.
void hang_up_cases() {
  const std::string status = R"({"action":"status"})";
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"hang up at once", ""},
      {"hang up after two bytes of the length", le32(19).substr(0, 2)},
      {"hang up after the length", le32(19)},
      {"hang up half-way through the body", frame(status).substr(0, 12)},
      {"hang up before reading the reply", frame(status)},
  };
  for (const auto& [name, bytes] : cases) {
    hang_up(bytes);
    Sleep(50);
    app::check_call(name + ", then a status request", app::client().status(), app::idle);
  }
  // A second frame on the same connection is never answered: the server
  // reads one frame, replies, and drops what follows until the client hangs up.
  Client client;
  client.send(frame(status) + frame(status));
  Outcome first = client.receive();
  const Outcome second = first.kind == Outcome::reply ? client.receive(2s) : first;
  if (second.kind == Outcome::reply || second.kind == Outcome::partial) first.kind = Outcome::extra;
  check("second frame on one connection gets no reply", first, replies(disconnected));
}

// ---------------------------------------------------------------- concurrency

// With every instance held by a silent client, one more finds the pipe busy;
// it is served as soon as one of the others hangs up.
void seventeenth_client() {
  std::vector<std::unique_ptr<Client>> held;
  for (int i = 0; i < 16; ++i) {
    held.push_back(std::make_unique<Client>(10s));
    if (!held.back()->open()) {
      tally.report("16 silent clients hold every instance", false,
                   "client " + std::to_string(i + 1) + " could not connect, error " +
                       std::to_string(held.back()->last_error()));
      return;
    }
  }
  tally.report("16 silent clients hold every instance", true, "");
  const auto client = app::client();
  app::check_call("the 17th client finds the pipe busy", client.capabilities(2s),
                  app::fails(app::ErrorKind::busy, "The Morvex VPN service is busy. Try again."));
  held.front()->close();
  app::check_call("the 17th client is served once an instance is free", client.capabilities(10s),
                  app::engines);
}

// Many apps at once, each waiting for an instance.
void simultaneous_clients(int count) {
  std::vector<app::Outcome<app::Status>> outcomes(static_cast<std::size_t>(count));
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) {
    threads.emplace_back(
        [&outcomes, i] { outcomes[static_cast<std::size_t>(i)] = app::client().status(); });
  }
  for (auto& thread : threads) thread.join();
  int good = 0;
  std::string first_bad;
  for (const auto& outcome : outcomes) {
    if (outcome == app::idle) {
      ++good;
    } else if (first_bad.empty()) {
      first_bad = outcome ? "a status that differs" : outcome.error().message;
    }
  }
  tally.report(std::to_string(count) + " simultaneous status requests are all answered",
               good == count,
               std::to_string(good) + " of " + std::to_string(count) +
                   (first_bad.empty() ? "" : "; first bad: " + first_bad));
}

// ---------------------------------------------------------------- deadlines

// Whether a client was ended at the service's 65 s deadline, seen from here.
bool within_deadline(double seconds) { return seconds >= 60.0 && seconds <= 70.0; }

// Clients that only a deadline of the service ends. They run side by side on
// threads of their own, so the whole set takes one deadline.
std::vector<std::thread> start_deadline_cases() {
  std::vector<std::thread> threads;
  const auto dropped_late = [](const std::string& name, Client& client) {
    const bool closed = client.wait_closed(100s);
    const double seconds = client.seconds_open();
    // Dropping before the deadline would cut off a slow but honest client;
    // dropping long after it would let idle clients hold the instances.
    tally.report(name, closed && within_deadline(seconds),
                 (closed ? "closed without a reply after " : "still open after ") +
                     std::to_string(static_cast<int>(seconds)) + " s");
  };
  threads.emplace_back([dropped_late] {
    Client client;
    dropped_late("silent client is dropped at the read deadline", client);
  });
  threads.emplace_back([dropped_late] {
    Client client;
    client.send(le32(19));
    dropped_late("client that sends only the length is dropped at the read deadline", client);
  });
  threads.emplace_back([] {
    // 23 bytes, one every 3 s: still dripping when the deadline passes.
    Client client;
    const std::string bytes = frame(R"({"action":"status"})");
    bool refused = false;
    for (const char byte : bytes) {
      if (!client.send(std::string(1, byte))) {
        refused = true;
        break;
      }
      Sleep(3000);
    }
    const double seconds = client.seconds_open();
    const Outcome outcome = client.receive(5s);
    tally.report("slow drip past the deadline is dropped without a reply",
                 refused && outcome.kind == Outcome::closed && within_deadline(seconds),
                 "writes " + std::string(refused ? "refused" : "all accepted") + " after " +
                     std::to_string(static_cast<int>(seconds)) + " s; " + describe(outcome));
  });
  threads.emplace_back([] {
    // 29 bytes, one every 1.5 s: slow, but complete within the deadline.
    Client client;
    for (const char byte : frame(R"({"action":"capabilities"})")) {
      client.send(std::string(1, byte));
      Sleep(1500);
    }
    check("slow drip within the deadline is served", client.receive(), replies(capabilities));
  });
  threads.emplace_back([] {
    // Reads its reply but keeps its end open: the instance is held until the
    // final wait ends.
    Client client;
    client.send(frame(R"({"action":"capabilities"})"));
    const Outcome outcome = client.receive();
    const bool closed = client.wait_closed(100s);
    const double seconds = client.seconds_open();
    const bool served = outcome.kind == Outcome::reply && outcome.body == capabilities;
    std::string detail = describe(outcome).substr(0, 80);
    detail += closed ? "; closed after " : "; still open after ";
    detail += std::to_string(static_cast<int>(seconds)) + " s";
    tally.report("client that keeps its end open is closed after the final wait",
                 served && closed && within_deadline(seconds), detail);
  });
  return threads;
}

// ---------------------------------------------------------------- stranger

// The copy outside the installation, run with `arguments`: its exit status.
int run_stranger(const std::wstring& program, const std::wstring& arguments = L"untrusted") {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  std::wstring command = L"\"" + program + L"\" " + arguments;
  PROCESS_INFORMATION process{};
  std::fflush(stdout);
  if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, 300000);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

// The app's well-formed requests, from a program the service does not serve.
void stranger_calls() {
  const auto client = app::client();
  const auto refused =
      app::fails(app::ErrorKind::refused, "Only the Morvex VPN app can use this service.");
  app::check_call("stranger: status", client.status(), refused);
  app::check_call("stranger: capabilities", client.capabilities(), refused);
  app::check_call("stranger: disconnect", client.disconnect(), refused);
  app::check_call("stranger: cancel", client.cancel(), refused);
  morvex::Profile openvpn = app::oslo;
  openvpn.protocol = "openvpn";
  openvpn.config = app::decoded(openvpn_config);
  app::check_call("stranger: valid connect", client.connect(openvpn), refused);
}

// A stranger's 64 threads, each sending a request and holding its end until
// the service drops it, then opening again at once, for 20 s.
int flood() {
  const auto end = Clock::now() + 20s;
  std::vector<std::jthread> holders;
  for (int i = 0; i < 64; ++i) {
    holders.emplace_back([end] {
      while (Clock::now() < end) {
        Client client(1s);
        if (client.open() && client.send(frame("{}"))) client.hold_until_dropped(30s);
      }
    });
  }
  return 0;
}

// The app's status calls, each with a 10 s deadline, while 64 threads of a
// stranger hold and reopen connections for 20 s: every call is answered.
void status_during_a_flood(const std::wstring& stranger) {
  std::thread flooding([&] { run_stranger(stranger, L"flood"); });
  Sleep(1000);
  const auto client = app::client();
  int calls = 0, answered = 0;
  double slowest = 0;
  for (const auto end = Clock::now() + 18s; Clock::now() < end; ++calls) {
    const auto start = Clock::now();
    answered += client.status(10s) == app::idle ? 1 : 0;
    slowest = std::max(slowest, std::chrono::duration<double>(Clock::now() - start).count());
  }
  flooding.join();
  tally.report("status calls while 64 strangers hold and reopen connections", answered == calls,
               std::to_string(answered) + " of " + std::to_string(calls) + " answered, slowest " +
                   std::to_string(slowest) + " s");
}

std::vector<Case> stranger_cases() {
  return {
      {"stranger: zero length", le32(0), replies(refusal)},
      {"stranger: bytes that are not JSON", frame("\xFF\xFE garbage"), replies(refusal)},
      {"stranger: byte-order mark", frame("\xEF\xBB\xBF{\"action\":\"status\"}"), replies(refusal)},
      {"stranger: body of exactly the limit", frame(std::string(limit, ' ')), replies(refusal)},
      {"stranger: length one above the limit", le32(limit + 1), dropped},
      {"stranger: length 0xFFFFFFFF", le32(0xFFFFFFFFu), dropped},
  };
}

int finish() {
  std::printf("%d passed, %d failed\n", tally.passed, tally.failed);
  std::fflush(stdout);
  return tally.failed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring role = argc >= 2 ? argv[1] : L"";
  if (role == L"flood" && argc == 2) return flood();
  if (role == L"untrusted" && argc == 2) {
    stranger_calls();
    run_table(stranger_cases());
    return finish();
  }
  if (role != L"trusted" || argc != 3) {
    std::fprintf(stderr, "usage: hostile_clients trusted STRANGER_COPY | untrusted\n");
    return 100;
  }

  // The instance count first, while nothing else holds an instance.
  seventeenth_client();
  Sleep(200);
  auto deadline_threads = start_deadline_cases();
  simultaneous_clients(24);
  run_table(framing_cases());
  idle_calls();
  run_table(parser_cases());
  content_calls();
  hang_up_cases();

  // A real tunnel, which a stranger must not be able to touch.
  const auto client = app::client();
  const auto connected = client.connect(app::oslo, 90s);
  app::check_call("valid WireGuard connect", connected, app::oslo_tunnel(connected));
  const int stranger_failures = run_stranger(argv[2]);
  tally.report("stranger copy outside the installation directory", stranger_failures == 0,
               stranger_failures == 0 ? "" : std::to_string(stranger_failures) + " failed");
  const auto after = client.status();
  app::check_call("status after the stranger's disconnect still shows the tunnel", after,
                  app::oslo_tunnel(after));
  app::check_call("disconnect", client.disconnect(), app::idle);

  for (auto& thread : deadline_threads) thread.join();
  status_during_a_flood(argv[2]);
  app::check_call("after the whole barrage the service answers a status request", client.status(),
                  app::idle);
  return finish();
}
