// The host's commands: one agent for the life of the browser's connection, started at the first
// request that needs it; discovery through the module's read-only view.
#pragma once

#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "host/Messages.h"
#include "peer/Session.h"

namespace host {

struct host_options {
    std::string agent_path;
    std::string module_path; // empty: as the agent chooses (TESSIVO_PKCS11_MODULE on Linux)
    std::uint32_t send_timeout_ms = 30000;
};

class host_session {
public:
    explicit host_session(host_options options);
    ~host_session();
    host_session(const host_session&) = delete;
    host_session& operator=(const host_session&) = delete;

    // The reply to one frame's body (JSON text). `quit` is set after a quit request. Never
    // throws.
    std::string handle(const std::string& body, bool& quit);

private:
    nlohmann::json status();
    nlohmann::json readers();
    nlohmann::json signing_certificate(const request& r);
    nlohmann::json sign(const request& r);
    peer::agent_session& agent();

    host_options options_;
    std::string module_;
    std::unique_ptr<peer::agent_session> agent_;
};

// Thrown by the commands for an error reply.
struct command_error {
    error e;
};

} // namespace host
