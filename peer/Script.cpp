#include "peer/Script.h"

#include <chrono>
#include <istream>
#include <ostream>
#include <sstream>
#include <thread>

#include "protocol/Messages.h"
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

} // namespace peer
