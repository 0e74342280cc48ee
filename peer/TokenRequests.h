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
    // A login whose PIN the holder types on the reader's own pad: the request carries one zero
    // code unit (the agent refuses an empty one), which reaches the module as a PIN of length 0.
    nlohmann::json login_on_pad();
    nlohmann::json logout();
    nlohmann::json certinfo();
    nlohmann::json sign(std::uint32_t mechanism, const std::string& base64);

private:
    nlohmann::json login_with(std::vector<std::uint8_t> payload, std::size_t units);
    // The text in the return channel up to its first zero byte.
    std::string return_text(const std::string& channel);

    agent_session& session_;
};

// Adds slot, card, login, logout, certinfo and sign to a script. `module_path` is the module the
// agent loads: the peer reads it itself to tell whether the card the agent's last login record
// belongs to is still the one in the reader.
void add_token_commands(script_runner& runner, token_requests& requests,
                        const std::string& module_path);

// UTF-8 <-> UTF-16 for the peer's texts.
std::u16string utf8_to_u16(const std::string& text);
std::string u16_to_utf8(const std::u16string& text);

} // namespace peer
