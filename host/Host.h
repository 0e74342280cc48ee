// The host's commands: one agent for the life of the browser's connection, started at the first
// request that needs it; discovery through the module's read-only view.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "host/Messages.h"
#include "peer/Session.h"

namespace host {

struct HostOptions {
    std::string agentPath;
    std::string modulePath; // empty: as the agent chooses (TESSIVO_PKCS11_MODULE on Linux)
    std::uint32_t sendTimeoutMs = 30000;
};

class HostSession {
public:
    explicit HostSession(HostOptions options);
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    // The reply to one frame's body (JSON text). `quit` is set after a quit request. Never
    // throws.
    std::string Handle(const std::string& body, bool& quit);

private:
    nlohmann::json Status();
    nlohmann::json Readers();
    nlohmann::json SigningCertificate(const Request& r);
    nlohmann::json Sign(const Request& r);
    peer::AgentSession& Agent();

    HostOptions options_;
    std::string module_;
    std::unique_ptr<peer::AgentSession> agent_;
};

// Thrown by the commands for an error reply.
struct CommandError {
    Error e;
};

} // namespace host
