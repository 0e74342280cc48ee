// Scripts of requests for one agent session: one request per line, one JSON object per line of
// output. Blank lines and lines starting with '#' are skipped; a line that cannot be parsed is
// reported as {"error":..., "line":N} and the script goes on.
#pragma once

#include <functional>
#include <iosfwd>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "peer/Session.h"
#include "peer/TokenRequests.h"

namespace peer {

// Raised by a command for a line it cannot use; becomes the line's error object.
class script_error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class script_runner {
public:
    // What a command prints: nothing, or one JSON object.
    using command =
        std::function<std::optional<nlohmann::json>(const std::vector<std::string>& args)>;

    // Registers the commands of the agent spine: hello, lastresult, raw, log, wait.
    explicit script_runner(agent_session& session);

    // Adds or replaces a command (the token requests add theirs here).
    void add(const std::string& name, command handler);
    // False when a request could not reach the agent (it is gone or stopped answering).
    bool run(std::istream& in, std::ostream& out);
    // True when a line printed an error (it could not be read, or its request failed).
    bool line_failed() const { return line_failed_; }
    // One line, numbered `number` for error reports; returns what it prints.
    std::optional<nlohmann::json> run_line(const std::string& line, int number);

    agent_session& session() { return session_; }

private:
    agent_session& session_;
    std::map<std::string, command> commands_;
    bool agent_lost_ = false;
    bool line_failed_ = false;
};

// Adds slot, card, login, logout, certinfo and sign to a script. `module_path` is the module the
// agent loads: the peer reads it itself to tell whether the card the agent's last login record
// belongs to is still the one in the reader.
void add_token_commands(script_runner& runner, token_requests& requests,
                        const std::string& module_path);

// The token requests' replies as the script prints them: {"request":..., "result":...} and,
// once the result is 0, the reply's fields.
nlohmann::json to_json(const slot_reply& reply);
nlohmann::json to_json(const card_reply& reply);
nlohmann::json to_json(const login_reply& reply);
nlohmann::json to_json(const logout_reply& reply);
nlohmann::json to_json(const certinfo_reply& reply);
nlohmann::json to_json(const sign_reply& reply);

// Helpers for commands.
std::vector<std::string> split_words(const std::string& line);
// Decimal or 0x-hexadecimal, optionally negative; script_error when it is not a number.
long long parse_number(const std::string& text, const char* what);
// Pairs of hex digits; script_error otherwise.
std::vector<std::uint8_t> parse_hex(const std::string& text);
// The MWM_ name of a message id, or the id itself when it has no name.
nlohmann::json request_name(std::uint32_t message);
// The JSON text of an object on one line; text that is not UTF-8 is replaced, not refused.
std::string to_line(const nlohmann::json& object);

} // namespace peer
