#include "agent/AgentProcess.h"

AgentProcess& Process() {
    // Built on first use, so the agent's record, constructed before the entry point, may reach it.
    static AgentProcess process;
    return process;
}
