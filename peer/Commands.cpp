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
#include "peer/Script.h"
#include "peer/TokenRequests.h"
#include "platform/terminal.h"
#include "protocol/Base64.h"
#include "protocol/Frames.h"
#include "protocol/Mechanisms.h"
#include "protocol/ResultCodes.h"

namespace peer {

namespace {

constexpr std::uint32_t kNoReaderSelected = 0xFFFFFFFFu;

// One failed step: its message goes to standard error.
struct failure {
    std::string message;
};

void print(const command_options& options, const nlohmann::json& object, const std::string& text) {
    if (options.json) {
        std::cout << to_line(object) << std::endl;
    } else {
        std::cout << text << std::endl;
    }
}

std::string read_pin(const command_options& options) {
    std::string pin;
    if (options.pin_stdin) {
        if (!std::getline(std::cin, pin)) {
            throw failure{"no PIN on standard input"};
        }
        if (!pin.empty() && pin.back() == '\r') {
            pin.pop_back();
        }
        return pin;
    }
    if (!plat::ReadSecretLine("PIN: ", pin)) {
        throw failure{"no terminal to read the PIN from (use --pin-stdin)"};
    }
    return pin;
}

void wipe(std::string& secret) {
    if (!secret.empty()) {
        OPENSSL_cleanse(&secret[0], secret.size());
    }
    secret.clear();
}

// The readers as the module lists them now, without an agent.
std::vector<slot_view> list_readers(const session_options& session) {
    std::string error;
    std::vector<slot_view> slots;
    if (!read_slots(agent_module_path(session.module_path, session.agent_path), slots, error)) {
        throw failure{error};
    }
    return slots;
}

// The reader named on the command line, found before the agent starts and before any PIN.
slot_view find_reader(const std::vector<slot_view>& slots, const std::string& wanted) {
    std::string candidates;
    for (const slot_view& slot : slots) {
        const std::string name = module_text_to_utf8(slot.description);
        if (name == wanted) {
            return slot;
        }
        candidates += (candidates.empty() ? "\"" : ", \"") + name + "\"";
    }
    throw failure{"no such reader: " + wanted +
                  (candidates.empty() ? " (the module lists no readers)"
                                      : "; the readers are " + candidates)};
}

// The agent, started and ready for requests.
class command_session {
public:
    // The reader is looked up in the module while the agent starts, so that the module's
    // start-up in this process costs no time of its own.
    command_session(const session_options& session, const command_options& options)
        : module_path_(agent_module_path(session.module_path, session.agent_path)) {
        std::optional<slot_view> found;
        std::optional<failure> lookup_failed;
        std::thread lookup([&] {
            try {
                // The one load of the module in this process for the whole command.
                std::string error;
                std::vector<slot_view> slots;
                if (!view_.open(module_path_, error) || !view_.slots(slots, error)) {
                    throw failure{error};
                }
                found = find_reader(slots, options.reader);
            } catch (const failure& f) {
                lookup_failed = f;
            } catch (const std::exception& e) {
                lookup_failed = failure{e.what()};
            }
        });
        std::string error;
        const bool started = session_.start(session, error) && session_.wait_ready(error);
        lookup.join();
        if (lookup_failed) {
            throw *lookup_failed;
        }
        if (!started) {
            throw failure{error};
        }
        reader_ = *found;
    }
    token_requests& requests() { return requests_; }

    // Selects the reader; the card request's object once a card is in it.
    nlohmann::json select_card(const command_options& options) {
        requests_.slot(agent_reader_text(reader_.description));
        nlohmann::json card = requests_.card();
        if (card["result"] != 0) {
            throw failure{"the agent did not answer the card request"};
        }
        if (card["noCard"].get<bool>()) {
            throw failure{"no card in " + options.reader};
        }
        return card;
    }

    // Selects the reader and logs in; the login's object, certificate included. The PIN is
    // asked for only once a card is known to be there and its PIN is not locked.
    // `given`: a PIN read already (from standard input before the data that follows it).
    nlohmann::json select_and_login(const command_options& options, std::string* given = nullptr) {
        select_card(options);
        const std::uint64_t flags = token_flags(options);
        if (pin_state_of(flags) == pin_state::locked) {
            throw failure{"the PIN of the card in " + options.reader +
                          " is locked: unblock it with the PUK"};
        }
        nlohmann::json login;
        if (has_pin_pad(flags)) {
            std::cerr << "tessivo-peer: enter the PIN on the reader's pad" << std::endl;
            login = requests_.login_on_pad();
        } else {
            const std::string warning = pin_state_text(pin_state_of(flags));
            if (!warning.empty()) {
                std::cerr << "tessivo-peer: " << warning << std::endl;
            }
            std::string pin = given != nullptr ? std::move(*given) : read_pin(options);
            login = requests_.login(pin);
            wipe(pin);
        }
        if (login["result"] != 0) {
            throw failure{"the agent did not answer the login"};
        }
        if (login.contains("error")) {
            logged_in_ = true; // the card is logged in all the same
            throw failure{login["error"].get<std::string>()};
        }
        const std::uint32_t status = login["status"].get<std::uint32_t>();
        const std::string text = login["text"].get<std::string>();
        logged_in_ = status == 0 || status == tessivo::kStatusExpired;
        if (status == kNoReaderSelected) {
            throw failure{"no such reader: " + options.reader};
        }
        if (status == tessivo::kStatusExpired) {
            throw failure{"expired certificate: " + text};
        }
        if (status != 0) {
            // What the card says of its PIN now: tries left, or locked.
            const std::string state = pin_state_text(pin_state_of(token_flags(options)));
            const std::string cause =
                ((status & 0xFFFF) == tessivo::kPinIncorrect ? "wrong PIN: " : "login failed: ") +
                text;
            throw failure{state.empty() ? cause : cause + "; " + state};
        }
        if (login["infoLength"] == 0) {
            // The login stands, but whatever certificate came back belongs to no login of this
            // card.
            throw failure{"the card in " + options.reader + " has no signature certificate"};
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
    // The token flags of the card in the reader, read now (0 when they cannot be read).
    std::uint64_t token_flags(const command_options& options) const {
        std::vector<slot_view> slots;
        std::string error;
        if (!view_.slots(slots, error)) {
            return 0;
        }
        for (const slot_view& slot : slots) {
            if (module_text_to_utf8(slot.description) == options.reader) {
                return slot.token_present ? slot.token_flags : 0;
            }
        }
        return 0;
    }

    std::string module_path_;
    module_view view_;
    slot_view reader_;
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
        throw failure{"the agent's certificate cannot be read"};
    }
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

// The data to sign: standard input, or a regular file that can be read (checked before any PIN
// is asked for).
class data_source {
public:
    explicit data_source(const command_options& options) : name_(options.file) {
        if (name_.empty()) {
            return;
        }
        std::error_code error;
        if (std::filesystem::is_directory(name_, error)) {
            throw failure{options.file + " is a directory, not a file to sign"};
        }
        file_.open(name_, std::ios::binary);
        if (!file_) {
            throw failure{"cannot read " + options.file};
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
        throw failure{"the data is too large for this mechanism (at most " +
                      std::to_string(kMaxWholeData) +
                      " bytes); a digest mechanism signs data of any size"};
    }
    return data;
}

// The hash of everything the source holds, read in pieces so that memory stays flat.
std::vector<std::uint8_t> hash_stream(data_source& source, tessivo::HashAlgorithm algorithm) {
    const EVP_MD* md = EVP_get_digestbyname(tessivo::HashOpenSslName(algorithm));
    const ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    if (md == nullptr || !ctx || EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) {
        throw failure{"cannot hash the data"};
    }
    std::vector<char> chunk(1 << 16);
    std::istream& in = source.stream();
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        if (in.gcount() > 0 &&
            EVP_DigestUpdate(ctx.get(), chunk.data(), static_cast<std::size_t>(in.gcount())) != 1) {
            throw failure{"cannot hash the data"};
        }
    }
    if (in.bad()) {
        throw failure{"cannot read " + (source.name().empty() ? "standard input" : source.name())};
    }
    std::vector<std::uint8_t> hash(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx.get(), hash.data(), &length) != 1) {
        throw failure{"cannot hash the data"};
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

template <class Body> int guarded(Body body) {
    try {
        return body();
    } catch (const failure& f) {
        std::cerr << "tessivo-peer: " << f.message << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "tessivo-peer: " << e.what() << std::endl;
    }
    return 1;
}

} // namespace

int run_readers(const session_options& session, const command_options& options) {
    return guarded([&] {
        // One line per reader: its description first, then the card in it.
        nlohmann::json readers = nlohmann::json::array();
        nlohmann::json cards = nlohmann::json::array();
        std::string text;
        for (const slot_view& slot : list_readers(session)) {
            const std::string name = module_text_to_utf8(slot.description);
            readers.push_back(name);
            if (slot.token_present) {
                const std::string label = module_text_to_utf8(slot.label);
                cards.push_back({{"label", label}, {"serial", module_text_to_utf8(slot.serial)}});
                text += name + "\t" + label + " (" + module_text_to_utf8(slot.serial) + ")\n";
            } else {
                cards.push_back(nullptr);
                text += name + "\t(no card)\n";
            }
        }
        if (options.json) {
            std::cout << to_line({{"readers", readers}, {"cards", cards}}) << std::endl;
        } else {
            std::cout << text << std::flush;
        }
        return 0;
    });
}

int run_card(const session_options& session, const command_options& options) {
    return guarded([&] {
        command_session agent(session, options);
        const nlohmann::json card = agent.select_card(options);
        print(options, card, card["serial"].get<std::string>());
        return 0;
    });
}

int run_certinfo(const session_options& session, const command_options& options) {
    return guarded([&] {
        command_session agent(session, options);
        agent.select_and_login(options);
        const nlohmann::json info = agent.requests().certinfo();
        agent.logout();
        print(options, info, info["record"].get<std::string>());
        return 0;
    });
}

int run_cert(const session_options& session, const command_options& options) {
    return guarded([&] {
        command_session agent(session, options);
        const nlohmann::json login = agent.select_and_login(options);
        agent.logout();
        const std::string pem = to_pem(decode_base64(login["certificate"].get<std::string>()));
        if (options.json) {
            std::cout << to_line({{"certificate", pem}}) << std::endl;
        } else {
            std::cout << pem;
        }
        return 0;
    });
}

int run_sign(const session_options& session, const command_options& options) {
    return guarded([&] {
        const std::optional<std::uint32_t> mechanism = parse_mechanism(options.mechanism);
        if (!mechanism) {
            throw failure{"unknown mechanism: " + options.mechanism};
        }
        // A digest mechanism's data is hashed here and its DigestInfo signed with CKM_RSA_PKCS:
        // the same signature, for data of any size. All of it happens before the PIN.
        data_source source(options);
        // With both on standard input the PIN is its first line and the data the rest.
        std::string pin;
        const bool pin_first = options.pin_stdin && options.file.empty();
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
        agent.select_and_login(options, pin_first ? &pin : nullptr);
        const nlohmann::json signed_ =
            agent.requests().sign(sent_mechanism, tessivo::EncodeBase64(data));
        agent.logout();
        if (signed_["result"] != 0) {
            throw failure{"signing refused"};
        }
        if (signed_.contains("error")) {
            throw failure{signed_["error"].get<std::string>()};
        }
        const std::string element = signed_["signature"].get<std::string>();
        if (!options.raw_signature.empty()) {
            const std::vector<unsigned char> raw = decode_base64(element_content(element));
            std::ofstream out(options.raw_signature, std::ios::binary);
            out.write(reinterpret_cast<const char*>(raw.data()),
                      static_cast<std::streamsize>(raw.size()));
            if (!out) {
                throw failure{"cannot write " + options.raw_signature};
            }
        }
        print(options, signed_, element);
        return 0;
    });
}

} // namespace peer
