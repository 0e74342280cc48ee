#include "host/Messages.h"

#include <openssl/crypto.h>

#include "host/Framing.h"
#include "protocol/Base64.h"
#include "peer/PeerError.h"
#include "platform/secure_memory.h"

namespace host {

namespace {

using nlohmann::json;

// The parsed message holds the PIN: wiped when the message goes.
struct PinWiper {
    nlohmann::json& message;
    ~PinWiper() {
        if (!message.is_object()) {
            return;
        }
        const auto arguments = message.find("arguments");
        if (arguments == message.end() || !arguments->is_object()) {
            return;
        }
        const auto pin = arguments->find("pin");
        if (pin != arguments->end() && pin->is_string()) {
            plat::WipeString(pin->get_ref<std::string&>());
        }
    }
};

Error Fault(peer::PeerError code, const std::string& message) {
    return Error{peer::ErrorCode(code), message, json::object()};
}

std::optional<Command> CommandNamed(const std::string& name) {
    if (name == "status") {
        return Command::Status;
    }
    if (name == "readers") {
        return Command::Readers;
    }
    if (name == "get-signing-certificate") {
        return Command::GetSigningCertificate;
    }
    if (name == "sign") {
        return Command::Sign;
    }
    if (name == "quit") {
        return Command::Quit;
    }
    return std::nullopt;
}

// A string argument: missing (empty optional) or present and within its bounds.
std::optional<Error> StringArgument(const json& arguments, const char* name, std::size_t max,
                                    std::optional<std::string>& out) {
    out.reset();
    const auto found = arguments.find(name);
    if (found == arguments.end()) {
        return std::nullopt;
    }
    if (!found->is_string()) {
        return Fault(peer::PeerError::InvalidMessage,
                     std::string("\"") + name + "\" is not a string");
    }
    const std::string& value = found->get_ref<const std::string&>();
    if (value.size() > max) {
        return Fault(peer::PeerError::InvalidMessage, std::string("\"") + name + "\" is too long");
    }
    out = value;
    return std::nullopt;
}

std::optional<Error> Required(const json& arguments, const char* name, std::size_t max,
                              std::string& out) {
    std::optional<std::string> value;
    if (std::optional<Error> e = StringArgument(arguments, name, max, value)) {
        return e;
    }
    if (!value) {
        return Fault(peer::PeerError::InvalidMessage, std::string("\"") + name + "\" is missing");
    }
    out.assign(*value);
    plat::WipeString(*value); // a PIN's copy must not linger
    return std::nullopt;
}

std::optional<Error> SignArguments(const json& arguments, Request& out) {
    std::string text;
    if (std::optional<Error> e =
            Required(arguments, "certificate", kMaxCertificateBytes * 2, text)) {
        return e;
    }
    bool ok = false;
    out.certificate = tessivo::DecodeBase64Strict(text, ok);
    if (!ok || out.certificate.empty() || out.certificate.size() > kMaxCertificateBytes) {
        return Fault(peer::PeerError::InvalidCertificate,
                     "\"certificate\" is not Base64 of at most 16384 bytes");
    }
    if (std::optional<Error> e = Required(arguments, "hashAlgorithm", 16, text)) {
        return e;
    }
    const std::optional<tessivo::HashAlgorithm> algorithm = tessivo::HashAlgorithmFromName(text);
    if (!algorithm) {
        return Fault(peer::PeerError::InvalidHashAlgorithm,
                     "\"hashAlgorithm\" is not SHA-224, SHA-256, SHA-384 or SHA-512");
    }
    out.algorithm = *algorithm;
    if (std::optional<Error> e = Required(arguments, "hash", 128, text)) {
        return e;
    }
    out.hash = tessivo::DecodeBase64Strict(text, ok);
    if (!ok || out.hash.size() != tessivo::HashLength(out.algorithm)) {
        return Fault(peer::PeerError::InvalidHash, std::string("\"hash\" is not Base64 of a ") +
                                                       tessivo::HashAlgorithmName(out.algorithm) +
                                                       " hash");
    }
    // No PIN for a card whose reader has its own PIN pad: the holder types it there.
    const auto pin = arguments.find("pin");
    if (pin == arguments.end()) {
        return std::nullopt;
    }
    if (std::optional<Error> e = Required(arguments, "pin", 1024, out.pin)) {
        return e;
    }
    if (out.pin.empty() || out.pin.size() > kMaxPinBytes ||
        out.pin.find('\0') != std::string::npos) {
        return Fault(peer::PeerError::InvalidPin,
                     "the PIN is empty, longer than 63 bytes or holds NUL");
    }
    return std::nullopt;
}

std::optional<Error> Check(const json& message, Request& out) {
    const auto version = message.find("version");
    if (version == message.end() || !version->is_number_integer()) {
        return Fault(peer::PeerError::InvalidMessage, "\"version\" is missing or not an integer");
    }
    if (*version != kProtocolVersion) {
        return Fault(peer::PeerError::UnsupportedVersion, "this host speaks version 1");
    }
    const auto name = message.find("command");
    if (name == message.end() || !name->is_string()) {
        return Fault(peer::PeerError::InvalidMessage, "\"command\" is missing or not a string");
    }
    const std::optional<Command> what = CommandNamed(name->get<std::string>());
    if (!what) {
        return Fault(peer::PeerError::UnknownCommand, "no such command");
    }
    out.what = *what;
    static const json kNoArguments = json::object();
    const auto found = message.find("arguments");
    if (found != message.end() && !found->is_object()) {
        return Fault(peer::PeerError::InvalidMessage, "\"arguments\" is not an object");
    }
    const json& arguments = found == message.end() ? kNoArguments : *found;
    if (out.what != Command::GetSigningCertificate && out.what != Command::Sign) {
        return std::nullopt;
    }
    if (std::optional<Error> e = Required(arguments, "origin", kMaxOriginLength, out.origin)) {
        return e;
    }
    if (!OriginAllowed(out.origin)) {
        return Fault(peer::PeerError::OriginRefused,
                     "only https origins and http://localhost may ask");
    }
    if (std::optional<Error> e =
            StringArgument(arguments, "reader", kMaxReaderLength, out.reader)) {
        return e;
    }
    return out.what == Command::Sign ? SignArguments(arguments, out) : std::nullopt;
}

std::string Dump(const json& value) {
    // Texts from a module or a certificate may hold bytes that are not UTF-8: replaced, never
    // a throw.
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

} // namespace

Request::~Request() {
    plat::WipeString(pin);
}

bool ValidUtf8(const std::string& text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        std::size_t extra = 0;
        std::uint32_t value = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1;
            value = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2;
            value = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3;
            value = c & 0x07;
        } else {
            return false;
        }
        if (n - i <= extra) {
            return false;
        }
        for (std::size_t k = 1; k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) {
                return false;
            }
            value = (value << 6) | (p[i + k] & 0x3F);
        }
        if ((extra == 2 && value < 0x800) || (extra == 3 && value < 0x10000) ||
            (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF) {
            return false;
        }
        i += extra + 1;
    }
    return true;
}

namespace {

bool Digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// A decimal number as a browser writes it: 1 to `digits` digits, no leading zero, at most `max`.
bool CanonicalNumber(const std::string& text, std::size_t digits, unsigned long max) {
    return Digits(text) && text.size() <= digits && (text == "0" || text[0] != '0') &&
           std::stoul(text) <= max;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const std::size_t at = text.find(separator, from);
        parts.push_back(text.substr(from, at - from));
        if (at == std::string::npos) {
            return parts;
        }
        from = at + 1;
    }
}

bool Ipv4(const std::string& host) {
    const std::vector<std::string> parts = Split(host, '.');
    if (parts.size() != 4) {
        return false;
    }
    for (const std::string& part : parts) {
        if (!CanonicalNumber(part, 3, 255)) {
            return false;
        }
    }
    return true;
}

// Lower-case hex groups with at most one "::" (a browser writes IPv6 hosts that way).
bool Ipv6(const std::string& address) {
    const std::size_t gap = address.find("::");
    if (gap != std::string::npos && address.find("::", gap + 1) != std::string::npos) {
        return false;
    }
    std::size_t groups = 0;
    auto count = [&groups](const std::string& part) {
        if (part.empty()) {
            return true;
        }
        for (const std::string& group : Split(part, ':')) {
            if (group.empty() || group.size() > 4 ||
                group.find_first_not_of("0123456789abcdef") != std::string::npos) {
                return false;
            }
            ++groups;
        }
        return true;
    };
    if (gap == std::string::npos) {
        return count(address) && groups == 8;
    }
    return count(address.substr(0, gap)) && count(address.substr(gap + 2)) && groups < 8;
}

// A DNS name: labels of 1 to 63 lower-case letters, digits and inner hyphens (an IDN in its
// xn-- form), no empty label (so no leading, doubled or trailing dot), at most 253 characters.
// A name whose last label is a number is an IPv4 address and must be one.
bool DnsName(const std::string& host) {
    if (host.size() > 253) {
        return false;
    }
    const std::vector<std::string> labels = Split(host, '.');
    if (Digits(labels.back())) {
        return Ipv4(host);
    }
    for (const std::string& label : labels) {
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-' ||
            label.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-") != std::string::npos) {
            return false;
        }
    }
    return true;
}

} // namespace

bool OriginAllowed(const std::string& origin) {
    // An origin as the browser serialises it: scheme, host and a port other than the scheme's
    // default, nothing else (no user, path, query or fragment), all in lower case.
    std::string rest;
    bool secure = false;
    if (origin.compare(0, 8, "https://") == 0) {
        rest = origin.substr(8);
        secure = true;
    } else if (origin.compare(0, 7, "http://") == 0) {
        rest = origin.substr(7);
    } else {
        return false;
    }
    std::string hostname;
    std::string port;
    bool hasPort = false;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos || !Ipv6(rest.substr(1, close - 1))) {
            return false;
        }
        hostname = rest.substr(0, close + 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') {
                return false;
            }
            hasPort = true;
            port = after.substr(1);
        }
    } else {
        const std::size_t colon = rest.find(':');
        hostname = rest.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            port = rest.substr(colon + 1);
        }
        if (hostname.empty() || !DnsName(hostname)) {
            return false;
        }
    }
    if (hasPort && (!CanonicalNumber(port, 5, 65535) || port == "0")) {
        return false;
    }
    // Plain http only for a developer's own machine, by name.
    return secure || hostname == "localhost";
}

Parsed ParseRequest(const std::string& body) {
    Parsed out;
    try {
        if (body.empty()) {
            out.failed = Fault(peer::PeerError::InvalidMessage, "empty message");
            return out;
        }
        if (!ValidUtf8(body)) {
            out.failed = Fault(peer::PeerError::InvalidUtf8, "the message is not UTF-8");
            return out;
        }
        json message = json::parse(body, nullptr, false);
        const PinWiper wiper{message};
        if (message.is_discarded() || !message.is_object()) {
            out.failed = Fault(peer::PeerError::InvalidJson, "the message is not one JSON object");
            return out;
        }
        const auto id = message.find("id");
        if (id == message.end() || !id->is_string() || id->get_ref<const std::string&>().empty() ||
            id->get_ref<const std::string&>().size() > kMaxIdLength) {
            out.failed = Fault(peer::PeerError::InvalidMessage,
                               "\"id\" is missing or not a string of 1 to 128");
            return out;
        }
        out.id = *id;
        Request r;
        r.id = *id;
        if (std::optional<Error> e = Check(message, r)) {
            out.failed = std::move(*e);
            return out;
        }
        out.ok.emplace(std::move(r));
    } catch (const std::exception& e) {
        out.failed = Fault(peer::PeerError::InternalError, e.what());
    }
    return out;
}

std::string ResultReply(const json& id, const json& result) {
    const std::string text =
        Dump(json{{"version", kProtocolVersion}, {"id", id}, {"result", result}});
    if (text.size() > kMaxReplyBytes) {
        return ErrorReply(
            id, Fault(peer::PeerError::ReplyTooLarge, "the reply is above the browser's limit"));
    }
    return text;
}

std::string ErrorReply(const json& id, const Error& e) {
    json object = e.extra.is_object() ? e.extra : json::object();
    object["code"] = e.code;
    object["message"] = e.message;
    return Dump(json{{"version", kProtocolVersion}, {"id", id}, {"error", object}});
}

} // namespace host
