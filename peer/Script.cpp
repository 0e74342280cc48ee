#include "peer/Script.h"

#include <chrono>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>
#include <thread>

#include "protocol/Messages.h"
#include "protocol/ResultCodes.h"
#include "peer/ModuleView.h"
#include "platform/types.h"

namespace peer {

namespace {

nlohmann::json request_result(std::uint32_t message, std::int32_t result) {
    return {{"request", request_name(message)}, {"result", result}};
}

void expect_args(const std::vector<std::string>& args, std::size_t least, std::size_t most,
                 const char* usage) {
    if (args.size() < least || args.size() > most) {
        throw script_error(std::string("usage: ") + usage);
    }
}

} // namespace

std::vector<std::string> split_words(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    std::string word;
    while (stream >> word) {
        words.push_back(word);
    }
    return words;
}

long long parse_number(const std::string& text, const char* what) {
    try {
        std::size_t used = 0;
        long long value = std::stoll(text, &used, 0);
        if (used == text.size()) {
            return value;
        }
    } catch (const std::exception&) {
    }
    throw script_error(std::string("not a number for ") + what + ": " + text);
}

std::vector<std::uint8_t> parse_hex(const std::string& text) {
    auto digit = [&](char c) {
        if (c >= '0' && c <= '9') {
            return c - '0';
        }
        if (c >= 'a' && c <= 'f') {
            return c - 'a' + 10;
        }
        if (c >= 'A' && c <= 'F') {
            return c - 'A' + 10;
        }
        throw script_error("not a hex payload: " + text);
    };
    if (text.size() % 2 != 0) {
        throw script_error("hex payload of odd length: " + text);
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(digit(text[i]) * 16 + digit(text[i + 1])));
    }
    return bytes;
}

nlohmann::json request_name(std::uint32_t message) {
    const char* name = MessageName(message);
    return name != nullptr ? nlohmann::json(name) : nlohmann::json(message);
}

std::string to_line(const nlohmann::json& object) {
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json to_json(const slot_reply& reply) {
    return request_result(MWM_SLOT, reply.result);
}

nlohmann::json to_json(const card_reply& reply) {
    nlohmann::json out = request_result(MWM_CARD, reply.result);
    if (reply.result == 0) {
        out["serial"] = reply.serial;
        out["noCard"] = reply.no_card;
    }
    return out;
}

nlohmann::json to_json(const login_reply& reply) {
    nlohmann::json out = request_result(MWM_LOGIN, reply.result);
    if (reply.result != 0) {
        return out;
    }
    out["status"] = reply.status;
    out["serial"] = reply.serial;
    out["certSerial"] = reply.cert_serial;
    out["notAfter"] = reply.not_after;
    out["text"] = reply.text;
    out["infoLength"] = reply.info_length;
    if (reply.certificate) {
        out["certificate"] = *reply.certificate;
    }
    if (reply.error) {
        out["error"] = *reply.error;
    }
    return out;
}

nlohmann::json to_json(const logout_reply& reply) {
    return request_result(MWM_LOGOUT, reply.result);
}

nlohmann::json to_json(const certinfo_reply& reply) {
    nlohmann::json out = request_result(MWM_CERTINF, reply.result);
    out["record"] = reply.record;
    return out;
}

nlohmann::json to_json(const sign_reply& reply) {
    nlohmann::json out = request_result(MWM_SIGN, reply.result);
    if (reply.result != 0) {
        return out;
    }
    out["length"] = reply.length;
    out["channel"] = reply.channel;
    out["signature"] = reply.signature;
    if (reply.error) {
        out["error"] = *reply.error;
    }
    return out;
}

script_runner::script_runner(agent_session& session) : session_(session) {
    add("hello", [this](const std::vector<std::string>& args) -> std::optional<nlohmann::json> {
        expect_args(args, 0, 1, "hello [PID]");
        std::intptr_t pid = args.empty() ? static_cast<std::intptr_t>(plat::CurrentProcessId())
                                         : static_cast<std::intptr_t>(parse_number(args[0], "PID"));
        return request_result(MWM_HELLO, session_.send(MWM_HELLO, 0, pid));
    });
    add("lastresult",
        [this](const std::vector<std::string>& args) -> std::optional<nlohmann::json> {
            expect_args(args, 0, 0, "lastresult");
            return request_result(MWM_LASTRESULT, session_.send(MWM_LASTRESULT, 0, 0));
        });
    add("raw", [this](const std::vector<std::string>& args) -> std::optional<nlohmann::json> {
        expect_args(args, 3, 4, "raw ID WPARAM LPARAM [HEX-PAYLOAD]");
        auto id = static_cast<std::uint32_t>(parse_number(args[0], "ID"));
        auto wparam = static_cast<std::uintptr_t>(parse_number(args[1], "WPARAM"));
        auto lparam = static_cast<std::intptr_t>(parse_number(args[2], "LPARAM"));
        if (args.size() == 4 && !session_.write_request(parse_hex(args[3]))) {
            throw script_error("cannot write the request channel");
        }
        return request_result(id, session_.send(id, wparam, lparam));
    });
    add("log", [this](const std::vector<std::string>& args) -> std::optional<nlohmann::json> {
        expect_args(args, 0, 0, "log");
        return nlohmann::json{{"log", ansi_to_utf8(session_.latest_log())}};
    });
    add("wait", [](const std::vector<std::string>& args) -> std::optional<nlohmann::json> {
        expect_args(args, 1, 1, "wait MS");
        long long ms = parse_number(args[0], "MS");
        if (ms < 0) {
            throw script_error("negative wait: " + args[0]);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return std::nullopt;
    });
    add("agent", [this](const std::vector<std::string>& args) -> std::optional<nlohmann::json> {
        expect_args(args, 0, 0, "agent");
        return nlohmann::json{{"agent",
                               {{"pid", session_.agent_pid()},
                                {"window", static_cast<std::uint64_t>(session_.window())}}}};
    });
}

void script_runner::add(const std::string& name, command handler) {
    commands_[name] = std::move(handler);
}

std::optional<nlohmann::json> script_runner::run_line(const std::string& line, int number) {
    std::vector<std::string> words = split_words(line);
    if (words.empty() || words.front().front() == '#') {
        return std::nullopt;
    }
    auto found = commands_.find(words.front());
    try {
        if (found == commands_.end()) {
            throw script_error("unknown request: " + words.front());
        }
        std::vector<std::string> args(words.begin() + 1, words.end());
        return found->second(args);
    } catch (const script_error& e) {
        return nlohmann::json{{"error", e.what()}, {"line", number}};
    } catch (const agent_error& e) {
        agent_lost_ = true;
        return nlohmann::json{{"request", words.front()}, {"error", e.what()}, {"line", number}};
    }
}

bool script_runner::run(std::istream& in, std::ostream& out) {
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (std::optional<nlohmann::json> printed = run_line(line, number)) {
            line_failed_ = line_failed_ || printed->contains("error");
            out << to_line(*printed) << std::endl;
        }
    }
    return !agent_lost_;
}

namespace {

// What the peer knows of the card behind the agent's certificate record: the reader last
// selected and the serial of the card whose login built the record. The agent keeps that record
// when the card goes; the peer reads the reader itself to say whether it still belongs to the
// card there.
struct card_watch {
    std::string module_path;
    std::string reader;
    std::string record_serial;

    // `out` is the login's object as printed.
    void after_login(const login_reply& login, nlohmann::json& out) {
        if (login.result != 0 || (login.status != 0 && login.status != tessivo::kStatusExpired)) {
            return; // the agent keeps the record of the last login that got this far
        }
        if (login.info_length == 0) {
            // The login stands but found no certificates: what the return channel holds is an
            // earlier card's certificate.
            out.erase("certificate");
            out["note"] = "no signature certificate on this card";
            record_serial.clear();
            return;
        }
        record_serial = login.serial;
    }

    void after_certinfo(const certinfo_reply& info, nlohmann::json& certinfo) const {
        if (info.record.empty() || record_serial.empty()) {
            return;
        }
        slot_view slot;
        std::string error;
        if (!read_reader(module_path, reader, slot, error)) {
            return; // nothing to compare with; the reply stands as it is
        }
        const std::string now = slot.token_present ? slot.serial : std::string();
        if (now != record_serial) {
            certinfo["stale"] = true;
            certinfo["note"] = now.empty() ? "the card " + record_serial + " is no longer there"
                                           : "the record is of the card " + record_serial +
                                                 ", not of the card " + now + " now there";
        }
    }
};

} // namespace

void add_token_commands(script_runner& runner, token_requests& requests,
                        const std::string& module_path) {
    using args_t = const std::vector<std::string>&;
    auto watch = std::make_shared<card_watch>();
    watch->module_path = module_path;
    runner.add("slot", [&requests, watch](args_t args) -> std::optional<nlohmann::json> {
        std::string text;
        for (std::size_t i = 0; i < args.size(); ++i) {
            text += (i > 0 ? " " : "") + args[i];
        }
        watch->reader = text;
        return to_json(requests.slot(utf8_to_u16(text)));
    });
    runner.add("card", [&requests](args_t args) -> std::optional<nlohmann::json> {
        if (!args.empty()) {
            throw script_error("usage: card");
        }
        return to_json(requests.card());
    });
    runner.add("login", [&requests, watch](args_t args) -> std::optional<nlohmann::json> {
        if (args.size() > 1) {
            throw script_error("usage: login PIN");
        }
        const login_reply reply = requests.login(args.empty() ? std::string() : args[0]);
        nlohmann::json out = to_json(reply);
        watch->after_login(reply, out);
        return out;
    });
    runner.add("logout", [&requests](args_t args) -> std::optional<nlohmann::json> {
        if (!args.empty()) {
            throw script_error("usage: logout");
        }
        return to_json(requests.logout());
    });
    runner.add("certinfo", [&requests, watch](args_t args) -> std::optional<nlohmann::json> {
        if (!args.empty()) {
            throw script_error("usage: certinfo");
        }
        const certinfo_reply reply = requests.certinfo();
        nlohmann::json out = to_json(reply);
        watch->after_certinfo(reply, out);
        return out;
    });
    runner.add("sign", [&requests](args_t args) -> std::optional<nlohmann::json> {
        if (args.empty() || args.size() > 2) {
            throw script_error("usage: sign MECH BASE64");
        }
        const std::optional<std::uint32_t> mechanism = parse_mechanism(args[0]);
        if (!mechanism) {
            throw script_error("not a mechanism: " + args[0]);
        }
        return to_json(requests.sign(*mechanism, args.size() == 2 ? args[1] : std::string()));
    });
}

} // namespace peer
