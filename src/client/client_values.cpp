#include "client/client_values.hpp"

namespace morvex::client {
Error make_error(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::refused: return {kind, std::string(sentence::refused)};
    case ErrorKind::no_service: return {kind, std::string(sentence::no_service)};
    case ErrorKind::busy: return {kind, std::string(sentence::busy)};
    case ErrorKind::timed_out: return {kind, std::string(sentence::timed_out)};
    case ErrorKind::malformed: return {kind, std::string(sentence::malformed)};
    case ErrorKind::invalid_request: return {kind, std::string(sentence::invalid_request)};
    case ErrorKind::impostor: return {kind, std::string(sentence::impostor)};
    case ErrorKind::abandoned: return {kind, std::string(sentence::abandoned)};
    case ErrorKind::broken:
    case ErrorKind::service: break;
  }
  return {ErrorKind::broken, std::string(sentence::broken)};
}

}  // namespace morvex::client
