// Strict parser for request bodies. A SAX handler accepts exactly the request
// shapes and refuses anything else as soon as it appears, so the parser never
// builds a document tree and never sees nesting deeper than two objects.
#include <array>
#include <limits>
#include <nlohmann/json.hpp>
#include <optional>

#include "dispatch/messages.hpp"

namespace morvex {
namespace {

constexpr const char* invalid_request = "Invalid VPN request.";
constexpr const char* request_too_large = "VPN request is too large.";

enum class ProfileMember : std::size_t {
  server_id,
  location,
  protocol,
  config,
  dns,
  recovery_protocol,
  username,
  password,
  count,
};

std::optional<ProfileMember> profile_member(std::string_view name) {
  static constexpr std::array<std::pair<std::string_view, ProfileMember>, 8> members = {{
      {"serverId", ProfileMember::server_id},
      {"location", ProfileMember::location},
      {"protocol", ProfileMember::protocol},
      {"config", ProfileMember::config},
      {"dns", ProfileMember::dns},
      {"recoveryProtocol", ProfileMember::recovery_protocol},
      {"username", ProfileMember::username},
      {"password", ProfileMember::password},
  }};
  for (const auto& [member_name, member] : members) {
    if (member_name == name) return member;
  }
  return std::nullopt;
}

class StrictRequestHandler {
 public:
  using json = nlohmann::json;

  bool null() { return false; }
  bool boolean(bool) { return false; }
  bool binary(json::binary_t&) { return false; }
  bool number_float(double, const std::string&) { return false; }
  bool start_array(std::size_t) { return false; }
  bool end_array() { return false; }

  bool number_integer(std::int64_t value) { return server_id(value); }
  bool number_unsigned(std::uint64_t value) {
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) return false;
    return server_id(static_cast<std::int64_t>(value));
  }

  bool string(std::string& value) {
    if (place_ == Place::top && expecting_ == Expecting::action) {
      action_ = std::move(value);
      expecting_ = Expecting::key;
      return true;
    }
    if (place_ != Place::profile || expecting_ != Expecting::profile_value) return false;
    expecting_ = Expecting::key;
    switch (pending_) {
      case ProfileMember::location: profile_.location = std::move(value); return true;
      case ProfileMember::protocol: profile_.protocol = std::move(value); return true;
      case ProfileMember::config: profile_.config = std::move(value); return true;
      case ProfileMember::dns: profile_.dns = std::move(value); return true;
      case ProfileMember::recovery_protocol:
        profile_.recovery_protocol = std::move(value);
        return true;
      case ProfileMember::username: profile_.username = std::move(value); return true;
      case ProfileMember::password: profile_.password = std::move(value); return true;
      case ProfileMember::server_id:
      case ProfileMember::count: return false;
    }
    return false;
  }

  bool start_object(std::size_t) {
    if (place_ == Place::before) {
      place_ = Place::top;
      expecting_ = Expecting::key;
      return true;
    }
    if (place_ == Place::top && expecting_ == Expecting::profile_object) {
      place_ = Place::profile;
      expecting_ = Expecting::key;
      return true;
    }
    return false;
  }

  bool key(std::string& name) {
    if (expecting_ != Expecting::key) return false;
    if (place_ == Place::top) {
      if (name == "action") {
        if (seen_action_) return false;
        seen_action_ = true;
        expecting_ = Expecting::action;
        return true;
      }
      if (name == "profile") {
        if (seen_profile_) return false;
        seen_profile_ = true;
        expecting_ = Expecting::profile_object;
        return true;
      }
      return false;
    }
    if (place_ != Place::profile) return false;
    const auto member = profile_member(name);
    if (!member) return false;
    const auto index = static_cast<std::size_t>(*member);
    if (seen_members_[index]) return false;
    seen_members_[index] = true;
    pending_ = *member;
    expecting_ = Expecting::profile_value;
    return true;
  }

  bool end_object() {
    if (place_ == Place::profile && expecting_ == Expecting::key) {
      place_ = Place::top;
      return true;
    }
    if (place_ == Place::top && expecting_ == Expecting::key) {
      place_ = Place::after;
      return true;
    }
    return false;
  }

  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  std::optional<Request> finish() {
    if (place_ != Place::after || !seen_action_) return std::nullopt;
    if (action_ == "connect") {
      if (!seen_profile_ || !all_required_members_seen()) return std::nullopt;
      return Request{request::Connect{std::move(profile_)}};
    }
    if (seen_profile_) return std::nullopt;
    if (action_ == "capabilities") return Request{request::Capabilities{}};
    if (action_ == "status") return Request{request::Status{}};
    if (action_ == "traffic") return Request{request::Traffic{}};
    if (action_ == "cancel") return Request{request::Cancel{}};
    if (action_ == "disconnect") return Request{request::Disconnect{}};
    return std::nullopt;
  }

 private:
  enum class Place { before, top, profile, after };
  enum class Expecting { key, action, profile_object, profile_value };

  bool server_id(std::int64_t value) {
    if (place_ != Place::profile || expecting_ != Expecting::profile_value ||
        pending_ != ProfileMember::server_id) {
      return false;
    }
    if (value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max()) {
      return false;
    }
    profile_.server_id = static_cast<std::int32_t>(value);
    expecting_ = Expecting::key;
    return true;
  }

  bool all_required_members_seen() const {
    for (std::size_t i = 0; i < seen_members_.size(); ++i) {
      const auto member = static_cast<ProfileMember>(i);
      const bool optional =
          member == ProfileMember::dns || member == ProfileMember::recovery_protocol;
      if (!optional && !seen_members_[i]) return false;
    }
    return true;
  }

  Place place_ = Place::before;
  Expecting expecting_ = Expecting::key;
  bool seen_action_ = false;
  bool seen_profile_ = false;
  std::string action_;
  std::array<bool, static_cast<std::size_t>(ProfileMember::count)> seen_members_{};
  ProfileMember pending_ = ProfileMember::count;
  Profile profile_;
};

bool starts_with_byte_order_mark(std::string_view body) { return body.starts_with("\xEF\xBB\xBF"); }

}  // namespace

Result<Request> parse_request(std::string_view body) {
  if (body.size() > max_request_bytes) return fail(request_too_large);
  // The JSON library skips a byte-order mark by itself; requests must not carry one.
  if (starts_with_byte_order_mark(body)) return fail(invalid_request);
  // The JSON library reads a NUL byte as the end of its input, so whatever
  // follows one would go unchecked. No request holds one: outside a string it
  // is not JSON, and inside one it is an unescaped control character.
  if (body.find('\0') != std::string_view::npos) return fail(invalid_request);

  StrictRequestHandler handler;
  const bool parsed = nlohmann::json::sax_parse(body.begin(), body.end(), &handler,
                                                nlohmann::json::input_format_t::json,
                                                /*strict=*/true, /*ignore_comments=*/false);
  if (!parsed) return fail(invalid_request);
  auto request = handler.finish();
  if (!request) return fail(invalid_request);
  return std::move(*request);
}

}  // namespace morvex
