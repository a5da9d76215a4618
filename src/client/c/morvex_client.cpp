// The C interface of morvex_client.dll over morvex::client: converts the C
// structs to the library's values and back, and keeps every C++ exception
// inside the DLL. Framing, deadlines and the checks on the pipe are the
// library's own.
#include "morvex_client.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "client/pipe_transport.hpp"

struct morvex_client {
  morvex::client::Client client;
};

namespace {

using namespace morvex::client;

constexpr std::string_view out_of_memory = "The Morvex VPN app ran out of memory.";

morvex_error_kind kind_of(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::service: return MORVEX_ERROR_SERVICE;
    case ErrorKind::refused: return MORVEX_ERROR_REFUSED;
    case ErrorKind::no_service: return MORVEX_ERROR_NO_SERVICE;
    case ErrorKind::busy: return MORVEX_ERROR_BUSY;
    case ErrorKind::timed_out: return MORVEX_ERROR_TIMED_OUT;
    case ErrorKind::broken: return MORVEX_ERROR_BROKEN;
    case ErrorKind::malformed: return MORVEX_ERROR_MALFORMED;
    case ErrorKind::invalid_request: return MORVEX_ERROR_INVALID_REQUEST;
    case ErrorKind::impostor: return MORVEX_ERROR_NOT_THE_SERVICE;
    case ErrorKind::abandoned: return MORVEX_ERROR_ABANDONED;
  }
  return MORVEX_ERROR_BROKEN;
}

morvex_state state_of(State state) {
  switch (state) {
    case State::disconnected: return MORVEX_STATE_DISCONNECTED;
    case State::connecting: return MORVEX_STATE_CONNECTING;
    case State::checking: return MORVEX_STATE_CHECKING;
    case State::reconnecting: return MORVEX_STATE_RECONNECTING;
    case State::disconnecting: return MORVEX_STATE_DISCONNECTING;
    case State::connected: return MORVEX_STATE_CONNECTED;
    case State::error: return MORVEX_STATE_ERROR;
  }
  return MORVEX_STATE_ERROR;
}

std::size_t text_bytes(std::string_view text) { return text.size() + 1; }
std::size_t maybe_text_bytes(const std::optional<std::string>& text) {
  return text ? text_bytes(*text) : 0;
}

// One malloc'd block: a result of type T followed by the texts it points to,
// so that one free releases it all.
template <typename T>
class Block {
 public:
  explicit Block(std::size_t text_size) {
    void* start = std::malloc(sizeof(T) + text_size);
    if (start == nullptr) throw std::bad_alloc();
    head_ = new (start) T{};
    next_ = static_cast<char*>(start) + sizeof(T);
  }
  T* head() const { return head_; }
  const char* text(std::string_view text) {
    char* copy = next_;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    next_ += text.size() + 1;
    return copy;
  }
  const char* maybe_text(const std::optional<std::string>& text) {
    return text ? this->text(*text) : nullptr;
  }

 private:
  T* head_;
  char* next_;
};

// A status and its connection in one block, which starts with the status.
struct StatusBlock {
  morvex_status status;
  morvex_connection connection;
};

morvex_status* pack(const Status& status) {
  const auto& connection = status.connection;
  Block<StatusBlock> block(text_bytes(status.platform) + maybe_text_bytes(status.active_profile) +
                           maybe_text_bytes(status.public_address) + text_bytes(status.message) +
                           (connection
                                ? text_bytes(connection->location) +
                                      text_bytes(connection->protocol) + text_bytes(connection->dns)
                                : 0));
  StatusBlock& packed = *block.head();
  packed.status.state = state_of(status.state);
  packed.status.has_connected_at = status.connected_at.has_value() ? 1 : 0;
  packed.status.connected_at = status.connected_at.value_or(0);
  if (connection) {
    packed.connection = {connection->server_id, block.text(connection->location),
                         block.text(connection->protocol), block.text(connection->dns)};
    packed.status.connection = &packed.connection;
  }
  packed.status.platform = block.text(status.platform);
  packed.status.active_profile = block.maybe_text(status.active_profile);
  packed.status.public_address = block.maybe_text(status.public_address);
  packed.status.message = block.text(status.message);
  return &packed.status;
}

morvex_capabilities* pack(const Capabilities& capabilities) {
  Block<morvex_capabilities> block(text_bytes(capabilities.wireguard_message));
  *block.head() = {capabilities.openvpn ? 1 : 0, capabilities.wireguard ? 1 : 0,
                   block.text(capabilities.wireguard_message)};
  return block.head();
}

morvex_traffic* pack(const std::optional<Traffic>& traffic) {
  if (!traffic) return nullptr;
  Block<morvex_traffic> block(0);
  *block.head() = {traffic->received, traffic->sent};
  return block.head();
}

// Gives KIND with SENTENCE as the message (NULL when that allocation fails).
morvex_error_kind fail(morvex_error_kind kind, std::string_view sentence, char** message) {
  if (message != nullptr) {
    *message = static_cast<char*>(std::malloc(sentence.size() + 1));
    if (*message != nullptr) {
      std::memcpy(*message, sentence.data(), sentence.size());
      (*message)[sentence.size()] = '\0';
    }
  }
  return kind;
}

// Runs CALL on the handle's client and stores its value through *result,
// packed; or gives its error. The outputs are cleared first, so that they
// hold nothing stale on any path.
template <typename Result, typename Call>
morvex_error_kind run(morvex_client* client, Result** result, char** message, Call call) {
  if (message != nullptr) *message = nullptr;
  if (result != nullptr) *result = nullptr;
  if (client == nullptr || result == nullptr) {
    return fail(MORVEX_ERROR_INVALID_REQUEST, sentence::invalid_request, message);
  }
  try {
    const auto outcome = call(client->client);
    if (!outcome) return fail(kind_of(outcome.error().kind), outcome.error().message, message);
    if constexpr (!std::is_void_v<typename decltype(outcome)::value_type>) {
      *result = pack(*outcome);
    }
    return MORVEX_OK;
  } catch (...) {
    return fail(MORVEX_ERROR_OUT_OF_MEMORY, out_of_memory, message);
  }
}

std::chrono::milliseconds deadline(std::uint32_t timeout_ms, std::chrono::milliseconds fallback) {
  return timeout_ms == MORVEX_DEFAULT_TIMEOUT ? fallback : std::chrono::milliseconds(timeout_ms);
}

std::string text_or(const char* text, std::string_view fallback = {}) {
  return std::string(text != nullptr ? std::string_view(text) : fallback);
}

}  // namespace

extern "C" {

morvex_client* morvex_client_create(void) {
  try {
    return new morvex_client{pipe_client()};
  } catch (...) {
    return nullptr;
  }
}

void morvex_client_destroy(morvex_client* client) { delete client; }

morvex_error_kind morvex_client_capabilities(morvex_client* client, uint32_t timeout_ms,
                                             morvex_capabilities** result, char** message) {
  return run(client, result, message, [&](const Client& service) {
    return service.capabilities(deadline(timeout_ms, queued_timeout));
  });
}

morvex_error_kind morvex_client_status(morvex_client* client, uint32_t timeout_ms,
                                       morvex_status** result, char** message) {
  return run(client, result, message, [&](const Client& service) {
    return service.status(deadline(timeout_ms, queued_timeout));
  });
}

morvex_error_kind morvex_client_traffic(morvex_client* client, uint32_t timeout_ms,
                                        morvex_traffic** result, char** message) {
  return run(client, result, message, [&](const Client& service) {
    return service.traffic(deadline(timeout_ms, queued_timeout));
  });
}

morvex_error_kind morvex_client_cancel(morvex_client* client, uint32_t timeout_ms, char** message) {
  void* none = nullptr;
  return run(client, &none, message, [&](const Client& service) {
    return service.cancel(deadline(timeout_ms, cancel_timeout));
  });
}

morvex_error_kind morvex_client_disconnect(morvex_client* client, uint32_t timeout_ms,
                                           morvex_status** result, char** message) {
  return run(client, result, message, [&](const Client& service) {
    return service.disconnect(deadline(timeout_ms, queued_timeout));
  });
}

morvex_error_kind morvex_client_connect(morvex_client* client, const morvex_profile* profile,
                                        uint32_t timeout_ms, morvex_status** result,
                                        char** message) {
  return run(client, result, message, [&](const Client& service) -> Outcome<Status> {
    if (profile == nullptr) return std::unexpected(make_error(ErrorKind::invalid_request));
    const morvex::Profile request{profile->server_id,
                                  text_or(profile->location),
                                  text_or(profile->protocol),
                                  text_or(profile->config),
                                  text_or(profile->dns, "server"),
                                  text_or(profile->recovery_protocol),
                                  text_or(profile->username),
                                  text_or(profile->password)};
    return service.connect(request, deadline(timeout_ms, connect_timeout));
  });
}

void morvex_client_abandon(morvex_client* client) {
  if (client != nullptr) client->client.abandon();
}

void morvex_free(void* value) { std::free(value); }

}  // extern "C"
