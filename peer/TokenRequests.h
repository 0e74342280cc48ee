// The token requests seen from the peer: each sends one message to the agent and decodes its
// reply frames into a JSON object ({"request":..., "result":..., and the reply's fields}).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "peer/Session.h"

namespace peer {

class script_runner;

// The PKCS#11 signing mechanisms by name (raw, md5, sha1, sha224, sha256, sha384, sha512), or a
// number. Empty when the text is neither.
std::optional<std::uint32_t> parse_mechanism(const std::string& text);

class token_requests {
public:
    explicit token_requests(agent_session& session) : session_(session) {}

    nlohmann::json slot(const std::u16string& reader);
    nlohmann::json card();
    // The PIN's buffers are wiped once the request is written.
    nlohmann::json login(const std::string& pin_utf8);
    nlohmann::json logout();
    nlohmann::json certinfo();
    nlohmann::json sign(std::uint32_t mechanism, const std::string& base64);

private:
    // The text in the return channel up to its first zero byte.
    std::string return_text(const std::string& channel);

    agent_session& session_;
};

// Adds slot, card, login, logout, certinfo and sign to a script.
void add_token_commands(script_runner& runner, token_requests& requests);

// UTF-8 <-> UTF-16 for the peer's texts.
std::u16string utf8_to_u16(const std::string& text);
std::string u16_to_utf8(const std::u16string& text);

} // namespace peer
