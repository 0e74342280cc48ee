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
struct SlotReply {
    std::int32_t result = 0;
};

struct CardReply {
    std::int32_t result = 0;
    std::string serial; // UTF-8
    bool noCard = false;
};

struct LoginReply {
    std::int32_t result = 0;
    std::uint32_t status = 0;
    std::string serial; // the card's
    std::string certSerial;
    std::string notAfter;
    std::string text; // the return channel's name, or the agent's error or expiry text
    std::uint32_t infoLength = 0;
    // What the return channel holds, read only when the login stands (status 0 or expired).
    std::optional<std::string> certificate;
    // Set when the record names a certificate that could not be read.
    std::optional<std::string> error;
};

struct LogoutReply {
    std::int32_t result = 0;
};

// The record is read whatever the result: the agent leaves it empty when it has none.
struct CertinfoReply {
    std::int32_t result = 0;
    std::string record;
};

struct SignReply {
    std::int32_t result = 0;
    std::uint32_t length = 0;
    std::string channel;
    std::string signature; // the return channel's text up to its first zero byte
    // Set when the signature in the return channel is not all there.
    std::optional<std::string> error;
};

// The PKCS#11 signing mechanisms by name (raw, md5, sha1, sha224, sha256, sha384, sha512), or a
// number. Empty when the text is neither.
std::optional<std::uint32_t> ParseMechanism(const std::string& text);

class TokenRequests {
public:
    explicit TokenRequests(AgentSession& session) : session_(session) {}

    SlotReply Slot(const std::u16string& reader);
    CardReply Card();
    // The PIN's buffers are wiped once the request is written.
    LoginReply Login(const std::string& pinUtf8);
    // A login whose PIN the holder types on the reader's own pad: the request carries one zero
    // code unit (the agent refuses an empty one), which reaches the module as a PIN of length 0.
    LoginReply LoginOnPad();
    LogoutReply Logout();
    CertinfoReply Certinfo();
    SignReply Sign(std::uint32_t mechanism, const std::string& base64);

private:
    LoginReply LoginWith(std::vector<std::uint8_t> payload, std::size_t units);
    // The text in the return channel up to its first zero byte.
    std::string ReturnText(const std::string& channel);

    AgentSession& session_;
};

// UTF-8 <-> UTF-16 for the peer's texts.
std::u16string Utf8ToU16(const std::string& text);
std::string U16ToUtf8(const std::u16string& text);

} // namespace peer
