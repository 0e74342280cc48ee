#include "host/Messages.h"

#include <openssl/crypto.h>

#include "host/Framing.h"
#include "protocol/Base64.h"

namespace host {

namespace {

using nlohmann::json;

void Wipe(std::string& secret) {
    if (!secret.empty()) {
        OPENSSL_cleanse(&secret[0], secret.size());
    }
}

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
            Wipe(pin->get_ref<std::string&>());
        }
    }
};

Error Fault(const std::string& code, const std::string& message) {
    return Error{code, message, json::object()};
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
        return Fault("invalid-message", std::string("\"") + name + "\" is not a string");
    }
    const std::string& value = found->get_ref<const std::string&>();
    if (value.size() > max) {
        return Fault("invalid-message", std::string("\"") + name + "\" is too long");
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
        return Fault("invalid-message", std::string("\"") + name + "\" is missing");
    }
    out.assign(*value);
    Wipe(*value); // a PIN's copy must not linger
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
        return Fault("invalid-certificate", "\"certificate\" is not Base64 of at most 16384 bytes");
    }
    if (std::optional<Error> e = Required(arguments, "hashAlgorithm", 16, text)) {
        return e;
    }
    const std::optional<tessivo::HashAlgorithm> algorithm = tessivo::HashAlgorithmFromName(text);
    if (!algorithm) {
        return Fault("invalid-hash-algorithm",
                     "\"hashAlgorithm\" is not SHA-224, SHA-256, SHA-384 or SHA-512");
    }
    out.algorithm = *algorithm;
    if (std::optional<Error> e = Required(arguments, "hash", 128, text)) {
        return e;
    }
    out.hash = tessivo::DecodeBase64Strict(text, ok);
    if (!ok || out.hash.size() != tessivo::HashLength(out.algorithm)) {
        return Fault("invalid-hash", std::string("\"hash\" is not Base64 of a ") +
                                         tessivo::HashAlgorithmName(out.algorithm) + " hash");
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
        return Fault("invalid-pin", "the PIN is empty, longer than 63 bytes or holds NUL");
    }
    return std::nullopt;
}

std::optional<Error> Check(const json& message, Request& out) {
    const auto version = message.find("version");
    if (version == message.end() || !version->is_number_integer()) {
        return Fault("invalid-message", "\"version\" is missing or not an integer");
    }
    if (*version != kProtocolVersion) {
        return Fault("unsupported-version", "this host speaks version 1");
    }
    const auto name = message.find("command");
    if (name == message.end() || !name->is_string()) {
        return Fault("invalid-message", "\"command\" is missing or not a string");
    }
    const std::optional<Command> what = CommandNamed(name->get<std::string>());
    if (!what) {
        return Fault("unknown-command", "no such command");
    }
    out.what = *what;
    static const json kNoArguments = json::object();
    const auto found = message.find("arguments");
    if (found != message.end() && !found->is_object()) {
        return Fault("invalid-message", "\"arguments\" is not an object");
    }
    const json& arguments = found == message.end() ? kNoArguments : *found;
    if (out.what != Command::GetSigningCertificate && out.what != Command::Sign) {
        return std::nullopt;
    }
    if (std::optional<Error> e = Required(arguments, "origin", kMaxOriginLength, out.origin)) {
        return e;
    }
    if (!OriginAllowed(out.origin)) {
        return Fault("origin-refused", "only https origins and http://localhost may ask");
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
    Wipe(pin);
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

bool OriginAllowed(const std::string& origin) {
    std::string rest;
    bool localOnly = false;
    if (origin.compare(0, 8, "https://") == 0) {
        rest = origin.substr(8);
    } else if (origin.compare(0, 7, "http://") == 0) {
        rest = origin.substr(7);
        localOnly = true;
    } else {
        return false;
    }
    // host[:port], nothing else: no path, user or query.
    const std::size_t colon = rest.find(':');
    const std::string hostname = rest.substr(0, colon);
    if (hostname.empty()) {
        return false;
    }
    for (char c : hostname) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!ok) {
            return false; // origins are lower case; IDNs arrive in their ASCII form
        }
    }
    if (colon != std::string::npos) {
        const std::string port = rest.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stoul(port) > 65535) {
            return false;
        }
    }
    return !localOnly || hostname == "localhost";
}

Parsed ParseRequest(const std::string& body) {
    Parsed out;
    try {
        if (body.empty()) {
            out.failed = Fault("invalid-message", "empty message");
            return out;
        }
        if (!ValidUtf8(body)) {
            out.failed = Fault("invalid-utf8", "the message is not UTF-8");
            return out;
        }
        json message = json::parse(body, nullptr, false);
        const PinWiper wiper{message};
        if (message.is_discarded() || !message.is_object()) {
            out.failed = Fault("invalid-json", "the message is not one JSON object");
            return out;
        }
        const auto id = message.find("id");
        if (id == message.end() || !id->is_string() || id->get_ref<const std::string&>().empty() ||
            id->get_ref<const std::string&>().size() > kMaxIdLength) {
            out.failed = Fault("invalid-message", "\"id\" is missing or not a string of 1 to 128");
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
        out.failed = Fault("internal-error", e.what());
    }
    return out;
}

std::string ResultReply(const json& id, const json& result) {
    const std::string text =
        Dump(json{{"version", kProtocolVersion}, {"id", id}, {"result", result}});
    if (text.size() > kMaxReplyBytes) {
        return ErrorReply(id, Fault("reply-too-large", "the reply is above the browser's limit"));
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
