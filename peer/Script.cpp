#include "peer/Script.h"

#include <chrono>
#include <istream>
#include <memory>
#include <ostream>
#include <sstream>
#include <thread>

#include "protocol/Messages.h"
#include "protocol/ResultCodes.h"
#include "platform/text.h"
#include "peer/ModuleView.h"
#include "peer/Translate.h"
#include "platform/types.h"

namespace peer {

namespace {

nlohmann::json RequestResult(std::uint32_t message, std::int32_t result) {
    return {{"request", RequestName(message)}, {"result", result}};
}

void ExpectArgs(const std::vector<std::string>& args, std::size_t least, std::size_t most,
                const char* usage) {
    if (args.size() < least || args.size() > most) {
        throw ScriptError(Tr("usage: %s", usage));
    }
}

} // namespace

std::vector<std::string> SplitWords(const std::string& line) {
    std::istringstream stream(line);
    std::vector<std::string> words;
    std::string word;
    while (stream >> word) {
        words.push_back(word);
    }
    return words;
}

long long ParseNumber(const std::string& text, const char* what) {
    try {
        std::size_t used = 0;
        long long value = std::stoll(text, &used, 0);
        if (used == text.size()) {
            return value;
        }
    } catch (const std::exception&) {
    }
    throw ScriptError(Tr("not a number for %s: %s", what, text));
}

std::vector<std::uint8_t> ParseHex(const std::string& text) {
    auto digit = [&](char c) {
        const int value = plat::HexDigitValue(c);
        if (value < 0) {
            throw ScriptError(Tr("not a hex payload: %s", text));
        }
        return value;
    };
    if (text.size() % 2 != 0) {
        throw ScriptError(Tr("hex payload of odd length: %s", text));
    }
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes.push_back(static_cast<std::uint8_t>(digit(text[i]) * 16 + digit(text[i + 1])));
    }
    return bytes;
}

nlohmann::json RequestName(std::uint32_t message) {
    const char* name = MessageName(message);
    return name != nullptr ? nlohmann::json(name) : nlohmann::json(message);
}

std::string ToLine(const nlohmann::json& object) {
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

nlohmann::json ToJson(const SlotReply& reply) {
    return RequestResult(MWM_SLOT, reply.result);
}

// A request's result and, after a success only, the reply's fields and its error text when it
// has one.
nlohmann::json Answer(std::uint32_t message, std::int32_t result, const nlohmann::json& fields,
                      const std::optional<std::string>& error = std::nullopt) {
    nlohmann::json out = RequestResult(message, result);
    if (result == 0) {
        out.update(fields);
        if (error) {
            out["error"] = *error;
        }
    }
    return out;
}

nlohmann::json ToJson(const CardReply& reply) {
    return Answer(MWM_CARD, reply.result, {{"serial", reply.serial}, {"noCard", reply.noCard}});
}

nlohmann::json ToJson(const LoginReply& reply) {
    nlohmann::json fields = {
        {"status", reply.status},     {"serial", reply.serial}, {"certSerial", reply.certSerial},
        {"notAfter", reply.notAfter}, {"text", reply.text},     {"infoLength", reply.infoLength}};
    if (reply.certificate) {
        fields["certificate"] = *reply.certificate;
    }
    return Answer(MWM_LOGIN, reply.result, fields, reply.error);
}

nlohmann::json ToJson(const LogoutReply& reply) {
    return RequestResult(MWM_LOGOUT, reply.result);
}

nlohmann::json ToJson(const CertinfoReply& reply) {
    nlohmann::json out = RequestResult(MWM_CERTINF, reply.result);
    out["record"] = reply.record;
    return out;
}

nlohmann::json ToJson(const SignReply& reply) {
    return Answer(
        MWM_SIGN, reply.result,
        {{"length", reply.length}, {"channel", reply.channel}, {"signature", reply.signature}},
        reply.error);
}

ScriptRunner::ScriptRunner(AgentSession& session) : session_(session) {
    Add("hello", [this](const std::vector<std::string>& args) -> std::optional<nlohmann::json> {
        ExpectArgs(args, 0, 1, "hello [PID]");
        std::intptr_t pid = args.empty() ? static_cast<std::intptr_t>(plat::CurrentProcessId())
                                         : static_cast<std::intptr_t>(ParseNumber(args[0], "PID"));
        return RequestResult(MWM_HELLO, session_.Send(MWM_HELLO, 0, pid));
    });
    Add("lastresult",
        [this](const std::vector<std::string>& args) -> std::optional<nlohmann::json> {
            ExpectArgs(args, 0, 0, "lastresult");
            return RequestResult(MWM_LASTRESULT, session_.Send(MWM_LASTRESULT, 0, 0));
        });
    Add("raw", [this](const std::vector<std::string>& args) -> std::optional<nlohmann::json> {
        ExpectArgs(args, 3, 4, "raw ID WPARAM LPARAM [HEX-PAYLOAD]");
        auto id = static_cast<std::uint32_t>(ParseNumber(args[0], "ID"));
        auto wparam = static_cast<std::uintptr_t>(ParseNumber(args[1], "WPARAM"));
        auto lparam = static_cast<std::intptr_t>(ParseNumber(args[2], "LPARAM"));
        if (args.size() == 4 && !session_.WriteRequest(ParseHex(args[3]))) {
            throw ScriptError(Tr("cannot write the request channel"));
        }
        return RequestResult(id, session_.Send(id, wparam, lparam));
    });
    Add("log", [this](const std::vector<std::string>& args) -> std::optional<nlohmann::json> {
        ExpectArgs(args, 0, 0, "log");
        return nlohmann::json{{"log", AnsiToUtf8(session_.LatestLog())}};
    });
    Add("wait", [](const std::vector<std::string>& args) -> std::optional<nlohmann::json> {
        ExpectArgs(args, 1, 1, "wait MS");
        long long ms = ParseNumber(args[0], "MS");
        if (ms < 0) {
            throw ScriptError(Tr("negative wait: %s", args[0]));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return std::nullopt;
    });
    Add("agent", [this](const std::vector<std::string>& args) -> std::optional<nlohmann::json> {
        ExpectArgs(args, 0, 0, "agent");
        return nlohmann::json{{"agent",
                               {{"pid", session_.AgentPid()},
                                {"window", static_cast<std::uint64_t>(session_.Window())}}}};
    });
}

void ScriptRunner::Add(const std::string& name, Command handler) {
    commands_[name] = std::move(handler);
}

std::optional<nlohmann::json> ScriptRunner::RunLine(const std::string& line, int number) {
    std::vector<std::string> words = SplitWords(line);
    if (words.empty() || words.front().front() == '#') {
        return std::nullopt;
    }
    auto found = commands_.find(words.front());
    try {
        if (found == commands_.end()) {
            throw ScriptError(Tr("unknown request: %s", words.front()));
        }
        std::vector<std::string> args(words.begin() + 1, words.end());
        return found->second(args);
    } catch (const ScriptError& e) {
        return nlohmann::json{{"error", e.what()}, {"line", number}};
    } catch (const AgentError& e) {
        agentLost_ = true;
        return nlohmann::json{{"request", words.front()}, {"error", e.what()}, {"line", number}};
    }
}

bool ScriptRunner::Run(std::istream& in, std::ostream& out) {
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (std::optional<nlohmann::json> printed = RunLine(line, number)) {
            lineFailed_ = lineFailed_ || printed->contains("error");
            out << ToLine(*printed) << std::endl;
        }
    }
    return !agentLost_;
}

namespace {

// What the peer knows of the card behind the agent's certificate record: the reader last
// selected and the serial of the card whose login built the record. The agent keeps that record
// when the card goes; the peer reads the reader itself to say whether it still belongs to the
// card there.
struct CardWatch {
    std::string modulePath;
    std::string reader;
    std::string recordSerial;

    // `out` is the login's object as printed.
    void AfterLogin(const LoginReply& login, nlohmann::json& out) {
        if (login.result != 0 || (login.status != 0 && login.status != tessivo::kStatusExpired)) {
            return; // the agent keeps the record of the last login that got this far
        }
        if (login.infoLength == 0) {
            // The login stands but found no certificates: what the return channel holds is an
            // earlier card's certificate.
            out.erase("certificate");
            out["note"] = Tr("no signature certificate on this card");
            recordSerial.clear();
            return;
        }
        recordSerial = login.serial;
    }

    void AfterCertinfo(const CertinfoReply& info, nlohmann::json& certinfo) const {
        if (info.record.empty() || recordSerial.empty()) {
            return;
        }
        SlotView slot;
        std::string error;
        if (!ReadReader(modulePath, reader, slot, error)) {
            return; // nothing to compare with; the reply stands as it is
        }
        const std::string now = slot.tokenPresent ? slot.serial : std::string();
        if (now != recordSerial) {
            certinfo["stale"] = true;
            certinfo["note"] =
                now.empty() ? Tr("the card %s is no longer there", recordSerial)
                            : Tr("the record is of the card %s, not of the card %s now there",
                                 recordSerial, now);
        }
    }
};

} // namespace

void AddTokenCommands(ScriptRunner& runner, TokenRequests& requests,
                      const std::string& modulePath) {
    using ArgsT = const std::vector<std::string>&;
    auto watch = std::make_shared<CardWatch>();
    watch->modulePath = modulePath;
    runner.Add("slot", [&requests, watch](ArgsT args) -> std::optional<nlohmann::json> {
        std::string text;
        for (std::size_t i = 0; i < args.size(); ++i) {
            text += (i > 0 ? " " : "") + args[i];
        }
        watch->reader = text;
        return ToJson(requests.Slot(Utf8ToU16(text)));
    });
    runner.Add("card", [&requests](ArgsT args) -> std::optional<nlohmann::json> {
        if (!args.empty()) {
            throw ScriptError(Tr("usage: %s", "card"));
        }
        return ToJson(requests.Card());
    });
    runner.Add("login", [&requests, watch](ArgsT args) -> std::optional<nlohmann::json> {
        if (args.size() > 1) {
            throw ScriptError(Tr("usage: %s", "login PIN"));
        }
        const LoginReply reply = requests.Login(args.empty() ? std::string() : args[0]);
        nlohmann::json out = ToJson(reply);
        watch->AfterLogin(reply, out);
        return out;
    });
    runner.Add("logout", [&requests](ArgsT args) -> std::optional<nlohmann::json> {
        if (!args.empty()) {
            throw ScriptError(Tr("usage: %s", "logout"));
        }
        return ToJson(requests.Logout());
    });
    runner.Add("certinfo", [&requests, watch](ArgsT args) -> std::optional<nlohmann::json> {
        if (!args.empty()) {
            throw ScriptError(Tr("usage: %s", "certinfo"));
        }
        const CertinfoReply reply = requests.Certinfo();
        nlohmann::json out = ToJson(reply);
        watch->AfterCertinfo(reply, out);
        return out;
    });
    runner.Add("sign", [&requests](ArgsT args) -> std::optional<nlohmann::json> {
        if (args.empty() || args.size() > 2) {
            throw ScriptError(Tr("usage: %s", "sign MECH BASE64"));
        }
        const std::optional<std::uint32_t> mechanism = ParseMechanism(args[0]);
        if (!mechanism) {
            throw ScriptError(Tr("not a mechanism: %s", args[0]));
        }
        return ToJson(requests.Sign(*mechanism, args.size() == 2 ? args[1] : std::string()));
    });
}

} // namespace peer
