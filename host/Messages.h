// The host's messages: a request parsed and checked field by field before anything acts on it,
// and the replies. See PROTOCOL.md.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/Mechanisms.h"

namespace host {

inline constexpr int kProtocolVersion = 1;
inline constexpr std::size_t kMaxIdLength = 128;
inline constexpr std::size_t kMaxOriginLength = 2048;
inline constexpr std::size_t kMaxReaderLength = 256;
inline constexpr std::size_t kMaxCertificateBytes = 16 * 1024;
inline constexpr std::size_t kMaxPinBytes = 63;

enum class command { status, readers, get_signing_certificate, sign, quit };

struct request {
    nlohmann::json id; // a string; null only in error replies to unreadable requests
    command what = command::status;
    std::string origin;
    std::optional<std::string> reader;
    std::vector<std::uint8_t> certificate; // DER
    std::vector<std::uint8_t> hash;
    tessivo::HashAlgorithm algorithm = tessivo::HashAlgorithm::Sha256;
    std::string pin; // UTF-8; wiped by the request's destructor
    request() = default;
    request(request&&) = default;
    request& operator=(request&&) = default;
    ~request();
};

struct error {
    std::string code;
    std::string message;
    nlohmann::json extra = nlohmann::json::object(); // more fields of the error object
};

struct parsed {
    nlohmann::json id; // null until the request's id could be read
    std::optional<request> ok;
    std::optional<error> failed;
};

// Parses and checks one frame's body. Never throws.
parsed parse_request(const std::string& body);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF).
bool valid_utf8(const std::string& text);
// Only https origins, and http on localhost for development, may ask for a signature.
bool origin_allowed(const std::string& origin);

// Replies as JSON text; a reply above the browser's limit becomes a reply-too-large error.
std::string result_reply(const nlohmann::json& id, const nlohmann::json& result);
std::string error_reply(const nlohmann::json& id, const error& e);

} // namespace host
