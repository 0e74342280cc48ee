#include "agent/MainWindow.h"

#include "agent/AgentProcess.h"
#include "agent/CommandLine.h"
#include "agent/Warmup.h"
#include "protocol/Messages.h"
#include "platform/console.h"
#include "platform/window.h"

namespace {

constexpr int kTextUnits = 100; // title and class name buffers, terminator included

bool IsDispatched(plat::Message message) {
    return message == MWM_HELLO || (message >= MWM_SLOT && message <= MWM_LAST);
}

plat::LResult OnCreate(plat::WindowHandle window) {
    // The agent keeps the console as its log window.
    AgentProcess& process = Process();
    process.console =
        plat::CreateConsole(window, kConsoleStyle, 0, 0, kConsoleWidth, kConsoleHeight);
    plat::ShowWindow(process.console, plat::kSwShow);
    if (process.agent != nullptr) {
        process.agent->AttachWindow(window, process.console);
    }
    plat::SetTimer(window, kHelloTimer, kFirstTickMs);
    return 0;
}

plat::LResult Route(plat::WindowHandle window, plat::Message message, plat::WParam wParam,
                    plat::LParam lParam) {
    CTokenAgent* agent = Process().agent;
    switch (message) {
    case plat::kWmCreate:
        return OnCreate(window);
    case plat::kWmDestroy:
        plat::PostQuitMessage(0);
        return 0;
    case plat::kWmPaint:
        plat::PaintNothing(window);
        return 0;
    case plat::kWmTimer:
        if (agent != nullptr) {
            agent->OnTimer(window, wParam);
        }
        return 0;
    case MWM_EXIT:
        plat::PostQuitMessage(0);
        return 0;
    default:
        break;
    }
    if (IsDispatched(message) && agent != nullptr) {
        // The catalogue's parameters are 32-bit: wParam unsigned, lParam signed.
        return agent->Dispatch(window, message, static_cast<std::uint32_t>(wParam),
                               static_cast<std::int32_t>(lParam));
    }
    return plat::DefWindowProc(window, message, wParam, lParam);
}

} // namespace

void ServeAgent(CTokenAgent* agent) {
    Process().agent = agent;
}

Position CentredOnDesktop(const plat::Rect& desktop, int width, int height) {
    return {(desktop.right - width) / 2, (desktop.bottom - height) / 2};
}

plat::LResult AgentWindowProc(plat::WindowHandle window, plat::Message message, plat::WParam wParam,
                              plat::LParam lParam) {
    try {
        return Route(window, message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

int RunAgent(CTokenAgent& agent, const std::u16string& commandLine, int showCommand) {
    ServeAgent(&agent);
    std::u16string title = plat::LoadResourceString(IDS_APP_TITLE, kTextUnits);
    std::u16string className = plat::LoadResourceString(IDC_TESSIVO, kTextUnits);
    plat::RegisterWindowClass(className, AgentWindowProc, IDI_TESSIVO);

    Position at = CentredOnDesktop(plat::DesktopRect(), kMainWidth, kMainHeight);
    plat::WindowHandle window =
        plat::CreateTopLevelWindow(className, title, 0, at.x, at.y, kMainWidth, kMainHeight);
    if (window == 0) {
        return 0;
    }
    plat::ShowWindow(window, showCommand);
    plat::UpdateWindow(window);

    CommandLine parsed = ParseCommandLine(commandLine);
    agent.m_ProcessId = parsed.processId;
    agent.m_MemName = parsed.memName;
    agent.m_MemName2 = parsed.memName2;
    Process().lastForwardResult = 0;

    // The first tick is armed: this runs in the time it waits for anyway.
    PrepareForRequests(agent);
    const int code = plat::RunMessageLoop(IDC_TESSIVO);
    // A module loaded after the agent was constructed is cleaned up at exit before the agent
    // is: its own static objects would be gone when the agent's destructor finalised it.
    agent.ShutdownLibrary();
    return code;
}
