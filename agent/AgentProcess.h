// What the agent's process holds besides the agent's record, in one place: the agent that the
// window procedure serves, the console, the window the latest MWM_HELLO search found, and the
// activity log's two counters.
#pragma once

#include <cstdint>

#include "platform/types.h"

class CTokenAgent;

struct AgentProcess {
    CTokenAgent* agent = nullptr;
    plat::WindowHandle console = 0;
    plat::WindowHandle helloWindow = 0;
    // The entries the console holds, as the log counts them.
    std::uint16_t consoleEntries = 0;
    // What the most recent forward returned: the bytes written into the log channel, or -1.
    std::int32_t lastForwardResult = 0;
};

// The one instance of the process.
AgentProcess& Process();
