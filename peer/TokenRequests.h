// The token requests seen from the peer: each sends one message to the agent and decodes its
// reply frames into a plain reply. How a reply is printed is up to whoever shows it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "peer/Session.h"

namespace peer {

// `result` is what the agent answered the message with; the other fields are filled only when
// it is 0.
struct slot_reply {
    std::int32_t result = 0;
};

struct card_reply {
    std::int32_t result = 0;
    std::string serial; // UTF-8
    bool no_card = false;
};

struct login_reply {
    std::int32_t result = 0;
    std::uint32_t status = 0;
    std::string serial; // the card's
    std::string cert_serial;
    std::string not_after;
    std::string text; // the return channel's name, or the agent's error or expiry text
    std::uint32_t info_length = 0;
    // What the return channel holds, read only when the login stands (status 0 or expired).
    std::optional<std::string> certificate;
    // Set when the record names a certificate that could not be read.
    std::optional<std::string> error;
};

struct logout_reply {
    std::int32_t result = 0;
};

// The record is read whatever the result: the agent leaves it empty when it has none.
struct certinfo_reply {
    std::int32_t result = 0;
    std::string record;
};

struct sign_reply {
    std::int32_t result = 0;
    std::uint32_t length = 0;
    std::string channel;
    std::string signature; // the return channel's text up to its first zero byte
    // Set when the signature in the return channel is not all there.
    std::optional<std::string> error;
};

// The PKCS#11 signing mechanisms by name (raw, md5, sha1, sha224, sha256, sha384, sha512), or a
// number. Empty when the text is neither.
std::optional<std::uint32_t> parse_mechanism(const std::string& text);

class token_requests {
public:
    explicit token_requests(agent_session& session) : session_(session) {}

    slot_reply slot(const std::u16string& reader);
    card_reply card();
    // The PIN's buffers are wiped once the request is written.
    login_reply login(const std::string& pin_utf8);
    // A login whose PIN the holder types on the reader's own pad: the request carries one zero
    // code unit (the agent refuses an empty one), which reaches the module as a PIN of length 0.
    login_reply login_on_pad();
    logout_reply logout();
    certinfo_reply certinfo();
    sign_reply sign(std::uint32_t mechanism, const std::string& base64);

private:
    login_reply login_with(std::vector<std::uint8_t> payload, std::size_t units);
    // The text in the return channel up to its first zero byte.
    std::string return_text(const std::string& channel);

    agent_session& session_;
};

// UTF-8 <-> UTF-16 for the peer's texts.
std::u16string utf8_to_u16(const std::string& text);
std::string u16_to_utf8(const std::u16string& text);

} // namespace peer
