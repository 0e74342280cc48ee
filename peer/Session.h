// One agent driven by this process: the peer creates the request and log channels, starts the
// agent with "-/<own pid> -/<request name> -/<log name>", finds its window and sends it
// requests, each waited for with a synchronous send.
#pragma once

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "peer/Channel.h"
#include "platform/process.h"
#include "platform/types.h"

namespace peer {

struct SessionOptions {
    std::string agentPath;      // the agent program
    std::string modulePath;     // TESSIVO_PKCS11_MODULE for the agent, when not empty
    std::u16string requestName; // empty: a name of this process's own
    std::u16string logName;     // empty: a name of this process's own
    std::uint32_t windowTimeoutMs = 15000;
    // The longest a request may take: long enough for a PIN typed on a reader's own keypad.
    std::uint32_t sendTimeoutMs = 120000;
    // The agent's console lines carry the signed data: they are shown (on standard error) only
    // when asked for, and the agent never holds the user's terminal or pipes otherwise.
    bool showAgentLines = false;
};

// The agent program beside the running program (tessivo-peer, tessivo-host).
std::string DefaultAgentPath();

// The agent is gone, ended or stopped answering: no reply of this session can be trusted any
// more, and every later request fails the same way.
class AgentError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class AgentSession {
public:
    AgentSession() = default;
    ~AgentSession();
    AgentSession(const AgentSession&) = delete;
    AgentSession& operator=(const AgentSession&) = delete;

    // Creates the channels, starts the agent and waits for its window. False with `error` set
    // when any step fails.
    bool Start(const SessionOptions& options, std::string& error);
    // Start in two halves, so that a caller can do its own work while the agent starts: Launch
    // creates the channels and starts the agent without waiting; WaitWindow waits for its window,
    // at most the window time limit counted from the launch, and ends an agent that never shows
    // one.
    bool Launch(const SessionOptions& options, std::string& error);
    bool WaitWindow(std::string& error);

    // Asks the agent to end without waiting for it, so that the caller's own clean-up runs
    // while it ends; the destructor waits for it (and asks itself when nobody did), and ends it
    // when it has not ended within the wait.
    void RequestExit();

    std::uint32_t AgentPid() const { return pid_; }
    plat::WindowHandle Window() const { return window_; }
    plat::ProcessHandle Process() const { return process_; }

    // Waits until the agent has opened this session's channels: its first peer-watch tick
    // announces them in the log channel. The agent starts its module while that tick is due, so
    // this wait belongs to its start: it ends at the window time limit counted from the launch,
    // and an agent not ready by then is ended. False with `error` set when it is not ready.
    bool WaitReady(std::string& error);

    // Sends a message and waits for its result, the 32-bit value the agent returned. Throws
    // AgentError when the agent's window is gone, the agent died or no answer came within the
    // time limit; the agent is then ended and its channels are never read again.
    std::int32_t Send(std::uint32_t message, std::uintptr_t wparam, std::intptr_t lparam);
    bool Alive() const { return lost_.empty(); }

    bool WriteRequest(const std::vector<std::uint8_t>& payload) { return request_.Write(payload); }
    std::vector<std::uint8_t> ReadRequest(std::size_t length) const {
        return request_.Read(length);
    }
    // The agent's return channel: under `announced`, the name a reply carried, when not empty;
    // otherwise under the name an agent takes when another one holds the fixed name, then the
    // fixed name, then its fallback. Empty when none exists.
    std::vector<std::uint8_t> ReadReturn(std::size_t length, const std::string& announced) const;
    // The text of the latest log frame: the bytes after the frame's text offset up to the first
    // zero byte, in the ANSI code page.
    std::string LatestLog() const;
    // The log channel, for watching the frames as they come.
    plat::MappingHandle LogHandle() const { return log_.Handle(); }

private:
    // Ends the agent forcibly and reaps it, so that it neither lingers nor stays a zombie.
    void EndAgent() const;

    Channel request_;
    Channel log_;
    mutable Channel returned_; // the agent's return channel, once a reply named or showed it
    plat::ProcessHandle process_ = nullptr;
    std::uint32_t pid_ = 0;
    plat::WindowHandle window_ = 0;
    std::chrono::steady_clock::time_point windowDeadline_;
    std::uint32_t windowTimeoutMs_ = 0;
    std::uint32_t sendTimeoutMs_ = 0;
    bool exitRequested_ = false;
    std::string lost_; // why the agent can no longer be used; empty while it can
};

// Narrow text in the ANSI code page as UTF-8.
std::string AnsiToUtf8(const std::string& text);

} // namespace peer
