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
class ScriptError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class ScriptRunner {
public:
    // What a command prints: nothing, or one JSON object.
    using Command =
        std::function<std::optional<nlohmann::json>(const std::vector<std::string>& args)>;

    // Registers the commands of the agent spine: hello, lastresult, raw, log, wait.
    explicit ScriptRunner(AgentSession& session);

    // Adds or replaces a command (the token requests add theirs here).
    void Add(const std::string& name, Command handler);
    // False when a request could not reach the agent (it is gone or stopped answering).
    bool Run(std::istream& in, std::ostream& out);
    // True when a line printed an error (it could not be read, or its request failed).
    bool LineFailed() const { return lineFailed_; }
    // One line, numbered `number` for error reports; returns what it prints.
    std::optional<nlohmann::json> RunLine(const std::string& line, int number);

    AgentSession& Session() { return session_; }

private:
    AgentSession& session_;
    std::map<std::string, Command> commands_;
    bool agentLost_ = false;
    bool lineFailed_ = false;
};

// Adds slot, card, login, logout, certinfo and sign to a script. `modulePath` is the module the
// agent loads: the peer reads it itself to tell whether the card the agent's last login record
// belongs to is still the one in the reader.
void AddTokenCommands(ScriptRunner& runner, TokenRequests& requests, const std::string& modulePath);

// The token requests' replies as the script prints them: {"request":..., "result":...} and,
// once the result is 0, the reply's fields.
nlohmann::json ToJson(const SlotReply& reply);
nlohmann::json ToJson(const CardReply& reply);
nlohmann::json ToJson(const LoginReply& reply);
nlohmann::json ToJson(const LogoutReply& reply);
nlohmann::json ToJson(const CertinfoReply& reply);
nlohmann::json ToJson(const SignReply& reply);

// Helpers for commands.
std::vector<std::string> SplitWords(const std::string& line);
// Decimal or 0x-hexadecimal, optionally negative; ScriptError when it is not a number.
long long ParseNumber(const std::string& text, const char* what);
// Pairs of hex digits; ScriptError otherwise.
std::vector<std::uint8_t> ParseHex(const std::string& text);
// The MWM_ name of a message id, or the id itself when it has no name.
nlohmann::json RequestName(std::uint32_t message);
// The JSON text of an object on one line; text that is not UTF-8 is replaced, not refused.
std::string ToLine(const nlohmann::json& object);

} // namespace peer
