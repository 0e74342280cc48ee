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

enum class Command { Status, Readers, GetSigningCertificate, Sign, Quit };

struct Request {
    nlohmann::json id; // a string; null only in error replies to unreadable requests
    Command what = Command::Status;
    std::string origin;
    std::optional<std::string> reader;
    std::vector<std::uint8_t> certificate; // DER
    std::vector<std::uint8_t> hash;
    tessivo::HashAlgorithm algorithm = tessivo::HashAlgorithm::Sha256;
    std::string pin; // UTF-8; wiped by the request's destructor
    Request() = default;
    Request(Request&&) = default;
    Request& operator=(Request&&) = default;
    ~Request();
};

struct Error {
    std::string code;
    std::string message;
    nlohmann::json extra = nlohmann::json::object(); // more fields of the error object
};

struct Parsed {
    nlohmann::json id; // null until the request's id could be read
    std::optional<Request> ok;
    std::optional<Error> failed;
};

// Parses and checks one frame's body. Never throws.
Parsed ParseRequest(const std::string& body);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values above
// U+10FFFF).
bool ValidUtf8(const std::string& text);
// Only https origins, and http on localhost for development, may ask for a signature.
bool OriginAllowed(const std::string& origin);

// Replies as JSON text; a reply above the browser's limit becomes a reply-too-large error.
std::string ResultReply(const nlohmann::json& id, const nlohmann::json& result);
std::string ErrorReply(const nlohmann::json& id, const Error& e);

} // namespace host
