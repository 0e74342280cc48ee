#include "peer/Commands.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <optional>
#include <thread>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "protocol/Messages.h"
#include "openssl_owned.h"
#include "peer/ModuleView.h"
#include "peer/ReaderChoice.h"
#include "peer/Script.h"
#include "peer/TokenRequests.h"
#include "platform/codepage.h"
#include "platform/terminal.h"
#include "protocol/Base64.h"
#include "protocol/Frames.h"
#include "protocol/Mechanisms.h"
#include "protocol/ResultCodes.h"

namespace peer {

namespace {

using failure = peer_failure;

void print(const command_options& options, const nlohmann::json& object, const std::string& text) {
    if (options.json) {
        std::cout << to_line(object) << std::endl;
    } else {
        std::cout << text << std::endl;
    }
}

void warn(const std::string& text) {
    std::cerr << "tessivo-peer: warning: " << text << std::endl;
}

std::string read_pin(const command_options& options) {
    std::string pin;
    if (options.pin_stdin) {
        if (!std::getline(std::cin, pin)) {
            throw failure(peer_error::file, "no PIN on standard input");
        }
        if (!pin.empty() && pin.back() == '\r') {
            pin.pop_back();
        }
        return pin;
    }
    if (!plat::ReadSecretLine("PIN: ", pin)) {
        throw failure(peer_error::usage, "no terminal to read the PIN from (use --pin-stdin)");
    }
    return pin;
}

void wipe(std::string& secret) {
    if (!secret.empty()) {
        OPENSSL_cleanse(&secret[0], secret.size());
    }
    secret.clear();
}

// The agent turns the PIN into ANSI code-page bytes, at most 63 of them, and a character the
// code page lacks becomes '?': such a PIN would cost the card a try, so it is refused before it
// is sent.
void check_pin_fits(const std::string& pin) {
    if (pin.empty()) {
        throw failure(peer_error::pin_incorrect, "the PIN is empty; nothing was sent");
    }
    const std::u16string wide = utf8_to_u16(pin);
    const int size = wide.empty()
                         ? 0
                         : plat::WideToMultiByte(plat::kCpAcp, 0, wide.data(),
                                                 static_cast<int>(wide.size()), nullptr, 0);
    std::string narrow(static_cast<std::size_t>(size > 0 ? size : 0), '\0');
    if (size > 0) {
        plat::WideToMultiByte(plat::kCpAcp, 0, wide.data(), static_cast<int>(wide.size()),
                              narrow.data(), size);
    }
    std::u16string back(wide.size() + 1, u'\0');
    const int units =
        narrow.empty()
            ? 0
            : plat::MultiByteToWide(plat::kCpAcp, 0, narrow.data(), static_cast<int>(narrow.size()),
                                    back.data(), static_cast<int>(back.size()));
    back.resize(static_cast<std::size_t>(units > 0 ? units : 0));
    const bool fits = back == wide && narrow.size() <= 63;
    OPENSSL_cleanse(narrow.data(), narrow.size());
    OPENSSL_cleanse(back.data(), back.size() * sizeof(char16_t));
    if (!fits) {
        throw failure(peer_error::pin_incorrect,
                      "the PIN is not UTF-8 text of at most 63 bytes in the agent's code page " +
                          std::to_string(plat::AnsiCodePage()) +
                          "; nothing was sent (see --help on the PIN)");
    }
}

// The module's slots, from a view opened now. Loading failures are the module's; a module that
// loads but cannot list its slots is an ordinary failure.
std::vector<slot_view> view_slots(module_view& view, const std::string& path) {
    std::string error;
    if (!view.open(path, error)) {
        throw failure(peer_error::module_failed, error);
    }
    std::vector<slot_view> slots;
    if (!view.slots(slots, error)) {
        throw failure(peer_error::failed, error);
    }
    return slots;
}

// What a failed login's status means to the user, and how the command exits.
failure login_failure(std::uint32_t status, const std::string& agent_text,
                      const std::string& reader, const std::string& pin_state) {
    const auto with_state = [&](const std::string& cause) {
        return pin_state.empty() ? cause : cause + "; " + pin_state;
    };
    switch (status & 0xFFFF) {
    case tessivo::kPinIncorrect:
        return failure(peer_error::pin_incorrect, with_state("wrong PIN"), agent_text);
    case tessivo::kPinInvalid:
        return failure(peer_error::pin_incorrect,
                       with_state("the card refuses the PIN's characters"), agent_text);
    case tessivo::kPinLenRange:
        return failure(peer_error::pin_incorrect, with_state("the PIN's length is out of range"),
                       agent_text);
    case tessivo::kPinLocked:
        return failure(peer_error::pin_locked, "the PIN is locked: unblock it with the PUK",
                       agent_text);
    case tessivo::kPinExpired:
        return failure(peer_error::pin_locked,
                       "the PIN has expired: change it with the card's own tools", agent_text);
    case tessivo::kTokenNotPresent:
        return failure(peer_error::no_card, "no card in " + reader, agent_text);
    default:
        return failure(peer_error::failed, with_state("login failed"), agent_text);
    }
}

// The agent, started and ready for requests.
class command_session {
public:
    // The reader is looked up in the module while the agent starts, so that the module's
    // start-up in this process costs no time of its own.
    command_session(session_options session, const command_options& options)
        : query_(parse_reader(options.reader)) {
        session.module_path = requested_module(session.module_path, query_);
        module_path_ = agent_module_path(session.module_path, session.agent_path);
        std::optional<slot_view> found;
        std::optional<failure> lookup_failed;
        std::thread lookup([&] {
            try {
                // The one load of the module in this process for the whole command.
                found = choose_reader(view_slots(view_, module_path_), query_);
            } catch (const failure& f) {
                lookup_failed = f;
            } catch (const std::exception& e) {
                lookup_failed = failure(peer_error::failed, e.what());
            }
        });
        std::string error;
        const bool started = session_.start(session, error) && session_.wait_ready(error);
        lookup.join();
        if (lookup_failed) {
            throw *lookup_failed;
        }
        if (!started) {
            throw failure(peer_error::agent_failed, error);
        }
        reader_ = *found;
        name_ = module_text_to_utf8(reader_.description);
    }
    token_requests& requests() { return requests_; }

    // Selects the reader; the card request's object once a card is in it.
    card_reply select_card() {
        requests_.slot(agent_reader_text(reader_.description));
        card_reply card = requests_.card();
        if (card.result != 0) {
            throw failure(peer_error::agent_failed, "the agent did not answer the card request");
        }
        if (card.no_card) {
            throw failure(peer_error::no_card, "no card in " + name_);
        }
        return card;
    }

    // Selects the reader and logs in; the login's object, certificate included. The PIN is
    // asked for only once a card is known to be there and its PIN is not locked.
    // `given`: a PIN read already (from standard input before the data that follows it).
    // `refuse_expired`: an expired signing certificate ends the command instead of a warning.
    login_reply select_and_login(const command_options& options, bool refuse_expired,
                                 std::string* given = nullptr) {
        select_card();
        const std::uint64_t flags = token_flags();
        if (pin_state_of(flags) == pin_state::locked) {
            throw failure(peer_error::pin_locked, "the PIN of the card in " + name_ +
                                                      " is locked: unblock it with the PUK");
        }
        login_reply login;
        if (has_pin_pad(flags)) {
            std::cerr << "tessivo-peer: enter the PIN on the reader's pad" << std::endl;
            login = requests_.login_on_pad();
        } else {
            const std::string warning = pin_state_text(pin_state_of(flags));
            if (!warning.empty()) {
                std::cerr << "tessivo-peer: " << warning << std::endl;
            }
            std::string pin = given != nullptr ? std::move(*given) : read_pin(options);
            check_pin_fits(pin);
            login = requests_.login(pin);
            wipe(pin);
        }
        if (login.result != 0) {
            throw failure(peer_error::agent_failed, "the agent did not answer the login");
        }
        if (login.error) {
            logged_in_ = true; // the card is logged in all the same
            throw failure(peer_error::agent_failed, *login.error);
        }
        const std::uint32_t status = login.status;
        const std::string text = login.text;
        logged_in_ = status == 0 || status == tessivo::kStatusExpired;
        if (status == tessivo::kStatusNoReader) {
            throw failure(peer_error::no_reader, "the agent does not know the reader " + name_,
                          text);
        }
        if (status == tessivo::kStatusExpired) {
            const std::string expired = "the signing certificate has expired";
            if (refuse_expired) {
                throw failure(peer_error::cert_expired, expired + " (--allow-expired signs anyway)",
                              text);
            }
            warn(expired + " (agent: " + text + ")");
        } else if (status != 0) {
            // What the card says of its PIN now: tries left, or locked.
            throw login_failure(status, text, name_, pin_state_text(pin_state_of(token_flags())));
        }
        if (login.info_length == 0) {
            // The login stands, but whatever certificate came back belongs to no login of this
            // card.
            throw failure(peer_error::failed,
                          "the card in " + name_ + " has no signature certificate");
        }
        return login;
    }

    void logout() {
        logged_in_ = false;
        requests_.logout();
    }

    // Whatever ends a command after a successful login, the card is logged out.
    ~command_session() {
        if (logged_in_ && session_.alive()) {
            try {
                requests_.logout();
            } catch (const std::exception&) {
            }
        }
    }

private:
    // The token flags of the card in the chosen reader, read now (0 when they cannot be read).
    std::uint64_t token_flags() const {
        std::vector<slot_view> slots;
        std::string error;
        if (!view_.slots(slots, error)) {
            return 0;
        }
        for (const slot_view& slot : slots) {
            if (slot.id == reader_.id) {
                return slot.token_present ? slot.token_flags : 0;
            }
        }
        return 0;
    }

    reader_query query_;
    std::string module_path_;
    module_view view_;
    slot_view reader_;
    std::string name_; // the reader's description as the user reads it
    bool logged_in_ = false;
    agent_session session_;
    token_requests requests_{session_};
};

std::vector<unsigned char> decode_base64(const std::string& text) {
    std::string clean;
    for (char c : text) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '+' || c == '/' || c == '=') {
            clean.push_back(c);
        }
    }
    if (clean.size() % 4 != 0) {
        return {};
    }
    std::vector<unsigned char> out(clean.size() / 4 * 3);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(clean.data()),
                                  static_cast<int>(clean.size()));
    if (n < 0) {
        return {};
    }
    std::size_t padding = 0;
    for (auto it = clean.rbegin(); it != clean.rend() && *it == '='; ++it) {
        ++padding;
    }
    out.resize(static_cast<std::size_t>(n) - padding);
    return out;
}

std::string to_pem(const std::vector<unsigned char>& der) {
    const unsigned char* p = der.data();
    const ossl::X509Ptr cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())));
    const ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    if (!cert || !bio || PEM_write_bio_X509(bio.get(), cert.get()) != 1) {
        throw failure(peer_error::failed, "the agent's certificate cannot be read");
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

// The data to sign: standard input, or a regular file that can be read (checked before any PIN
// is asked for).
class data_source {
public:
    // "-" is standard input, as for other tools.
    explicit data_source(const command_options& options)
        : name_(options.file == "-" ? std::string() : options.file) {
        if (name_.empty()) {
            return;
        }
        std::error_code error;
        if (std::filesystem::is_directory(std::filesystem::u8path(name_), error)) {
            throw failure(peer_error::file, options.file + " is a directory, not a file to sign");
        }
        file_.open(std::filesystem::u8path(name_), std::ios::binary);
        if (!file_) {
            throw failure(peer_error::file, "cannot read " + options.file);
        }
    }
    std::istream& stream() { return name_.empty() ? std::cin : file_; }
    const std::string& name() const { return name_; }

private:
    std::string name_;
    std::ifstream file_;
};

// The most data a mechanism that is not a digest can take: its Base64 text and the 6-byte
// header fill the request channel at most.
constexpr std::size_t kMaxWholeData = (kChannelSize - tessivo::kSignHeaderSize) / 4 * 3;

std::string read_whole(data_source& source) {
    std::string data(std::istreambuf_iterator<char>(source.stream()),
                     std::istreambuf_iterator<char>{});
    if (data.size() > kMaxWholeData) {
        throw failure(peer_error::file, "the data is too large for this mechanism (at most " +
                                            std::to_string(kMaxWholeData) +
                                            " bytes); a digest mechanism signs data of any size");
    }
    return data;
}

// The hash of everything the source holds, read in pieces so that memory stays flat.
std::vector<std::uint8_t> hash_stream(data_source& source, tessivo::HashAlgorithm algorithm) {
    const EVP_MD* md = EVP_get_digestbyname(tessivo::HashOpenSslName(algorithm));
    const ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    if (md == nullptr || !ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
        throw failure(peer_error::failed, "cannot hash the data");
    }
    std::vector<char> chunk(1 << 16);
    std::istream& in = source.stream();
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        if (in.gcount() > 0 &&
            EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<std::size_t>(in.gcount())) != 1) {
            throw failure(peer_error::failed, "cannot hash the data");
        }
    }
    if (in.bad()) {
        throw failure(peer_error::file,
                      "cannot read " + (source.name().empty() ? "standard input" : source.name()));
    }
    std::vector<std::uint8_t> hash(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), hash.data(), &length) != 1) {
        throw failure(peer_error::failed, "cannot hash the data");
    }
    hash.resize(length);
    return hash;
}

// The Base64 text between the element's tags.
std::string element_content(const std::string& element) {
    const std::string open = "<SignatureValue>";
    const std::string close = "</SignatureValue>";
    const std::size_t from = element.find(open);
    const std::size_t to = element.rfind(close);
    if (from == std::string::npos || to == std::string::npos || to < from + open.size()) {
        return {};
    }
    return element.substr(from + open.size(), to - from - open.size());
}

template <class Body> int guarded(const command_options& options, Body body) {
    try {
        return body();
    } catch (const failure& f) {
        return report_failure(f, options.json);
    } catch (const agent_error& e) {
        return report_failure(failure(peer_error::agent_failed, e.what()), options.json);
    } catch (const std::exception& e) {
        return report_failure(failure(peer_error::failed, e.what()), options.json);
    }
}

// The record's attribute names: a value ends at the apostrophe that one of them follows.
const char* const kRecordNames[] = {
    "EMAIL",   "Usage",     "SerialNo",       "SubjectDN",    "IssuerDN",      "BeginDate",
    "EndDate", "ForSign",   "ForEncrypt",     "OID",          "Type",          "TypeString",
    "ID",      "Ext",       "HolderRank",     "GroupID",      "CertTypeID",    "UID",
    "CardID",  "CAIssuers", "AuthorityKeyId", "SubjectKeyId", "SignAlgorithm", "Policy",
    "OCSP",    "CRL"};

// The length of " NAME='" when `record` has it at `at` for a known name, else 0.
std::size_t attribute_start(const std::string& record, std::size_t at) {
    for (const char* name : kRecordNames) {
        const std::string head = std::string(" ") + name + "='";
        if (record.compare(at, head.size(), head) == 0) {
            return head.size();
        }
    }
    return 0;
}

} // namespace

nlohmann::json record_fields(const std::string& record) {
    // Values are not escaped: an apostrophe inside one counts as its end only when the next
    // attribute follows it.
    nlohmann::json fields = nlohmann::json::object();
    fields["ID"] = nlohmann::json::array();
    std::size_t at = 0;
    while (at < record.size()) {
        const std::size_t head = attribute_start(record, at);
        if (head == 0) {
            break; // not a record of this form: what was read stands
        }
        const std::string name = record.substr(at + 1, head - 3);
        const std::size_t from = at + head;
        std::size_t end = from;
        while (true) {
            end = record.find('\'', end);
            if (end == std::string::npos || end + 1 == record.size() ||
                attribute_start(record, end + 1) != 0) {
                break;
            }
            ++end;
        }
        if (end == std::string::npos) {
            break;
        }
        const std::string value = record.substr(from, end - from);
        if (name == "ID") {
            fields["ID"].push_back(value);
        } else {
            fields[name] = value;
        }
        at = end + 1;
    }
    if (fields["ID"].empty()) {
        fields.erase("ID");
    }
    return fields;
}

int report_failure(const peer_failure& failed, bool json) {
    std::string line = failed.what();
    if (!failed.agent_text.empty()) {
        line += " (agent: " + failed.agent_text + ")";
    }
    std::cerr << "tessivo-peer: " << line << std::endl;
    const int status = exit_status(failed.kind);
    if (json) {
        nlohmann::json error = {
            {"code", error_code(failed.kind)}, {"message", failed.what()}, {"exit", status}};
        if (!failed.agent_text.empty()) {
            error["agent"] = failed.agent_text;
        }
        std::cout << to_line({{"error", error}}) << std::endl;
    }
    return status;
}

int run_readers(const session_options& session, const command_options& options) {
    return guarded(options, [&] {
        // One line per reader: its description first, then the card in it; with --json one
        // object per reader, in the same order.
        nlohmann::json readers = nlohmann::json::array();
        std::string text;
        module_view view;
        const std::string path = agent_module_path(session.module_path, session.agent_path);
        for (const slot_view& slot : view_slots(view, path)) {
            const std::string name = module_text_to_utf8(slot.description);
            nlohmann::json reader = {{"description", name}, {"card", slot.token_present}};
            if (slot.token_present) {
                const std::string label = module_text_to_utf8(slot.label);
                const std::string serial = module_text_to_utf8(slot.serial);
                reader["label"] = label;
                reader["serial"] = serial;
                reader["pinPad"] = has_pin_pad(slot.token_flags);
                text += name + "\t" + label + " (" + serial + ")\n";
            } else {
                text += name + "\t(no card)\n";
            }
            readers.push_back(std::move(reader));
        }
        if (options.json) {
            std::cout << to_line({{"readers", readers}}) << std::endl;
        } else {
            std::cout << text << std::flush;
        }
        return 0;
    });
}

int run_card(const session_options& session, const command_options& options) {
    return guarded(options, [&] {
        command_session agent(session, options);
        const card_reply card = agent.select_card();
        print(options, to_json(card), card.serial);
        return 0;
    });
}

int run_certinfo(const session_options& session, const command_options& options) {
    return guarded(options, [&] {
        command_session agent(session, options);
        agent.select_and_login(options, false);
        const certinfo_reply reply = agent.requests().certinfo();
        agent.logout();
        nlohmann::json info = to_json(reply);
        info["fields"] = record_fields(reply.record);
        print(options, info, reply.record);
        return 0;
    });
}

int run_cert(const session_options& session, const command_options& options) {
    return guarded(options, [&] {
        command_session agent(session, options);
        const login_reply login = agent.select_and_login(options, false);
        agent.logout();
        const std::string pem = to_pem(decode_base64(login.certificate.value_or(std::string())));
        if (options.json) {
            std::cout << to_line({{"certificate", pem}}) << std::endl;
        } else {
            std::cout << pem;
        }
        return 0;
    });
}

int run_sign(const session_options& session, const command_options& options) {
    return guarded(options, [&] {
        const std::optional<std::uint32_t> mechanism = parse_mechanism(options.mechanism);
        if (!mechanism) {
            throw failure(peer_error::usage, "unknown mechanism: " + options.mechanism);
        }
        // A digest mechanism's data is hashed here and its DigestInfo signed with CKM_RSA_PKCS:
        // the same signature, for data of any size. All of it happens before the PIN.
        data_source source(options);
        // With both on standard input the PIN is its first line and the data the rest.
        std::string pin;
        const bool pin_first = options.pin_stdin && source.name().empty();
        if (pin_first) {
            pin = read_pin(options);
        }
        struct wiped {
            std::string& secret;
            ~wiped() { wipe(secret); }
        } pin_guard{pin};
        std::string data;
        std::uint32_t sent_mechanism = *mechanism;
        const tessivo::Mechanism* known = tessivo::FindMechanism(*mechanism);
        if (known != nullptr && known->hash) {
            const std::vector<std::uint8_t> info =
                tessivo::DigestInfo(*known->hash, hash_stream(source, *known->hash));
            data.assign(info.begin(), info.end());
            sent_mechanism = tessivo::kRsaPkcs;
        } else {
            data = read_whole(source);
        }
        command_session agent(session, options);
        agent.select_and_login(options, !options.allow_expired, pin_first ? &pin : nullptr);
        const sign_reply signed_ =
            agent.requests().sign(sent_mechanism, tessivo::EncodeBase64(data));
        agent.logout();
        if (signed_.result != 0) {
            throw failure(peer_error::failed, "signing refused");
        }
        if (signed_.error) {
            throw failure(peer_error::agent_failed, *signed_.error);
        }
        const std::string& element = signed_.signature;
        if (!options.raw_signature.empty()) {
            const std::vector<unsigned char> raw = decode_base64(element_content(element));
            std::ofstream out(std::filesystem::u8path(options.raw_signature), std::ios::binary);
            out.write(reinterpret_cast<const char*>(raw.data()),
                      static_cast<std::streamsize>(raw.size()));
            if (!out) {
                throw failure(peer_error::file, "cannot write " + options.raw_signature);
            }
        }
        print(options, to_json(signed_), element);
        return 0;
    });
}

} // namespace peer
