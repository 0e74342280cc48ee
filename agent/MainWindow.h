// The agent's main window, its console and the message loop: the body of the entry point.
#pragma once

#include <string>

#include "agent/TokenAgent.h"
#include "platform/types.h"
#include "platform/window.h"

// Resource ids of the program.
inline constexpr int IDS_APP_TITLE = 103;
inline constexpr int IDM_HELP = 104;
inline constexpr int IDI_TESSIVO = 107;
inline constexpr int IDC_TESSIVO = 109;

inline constexpr int kMainWidth = 600;
inline constexpr int kMainHeight = 400;
inline constexpr std::uint32_t kConsoleStyle = 0x50810844u;
inline constexpr int kConsoleWidth = 593;
inline constexpr int kConsoleHeight = 370;

// Registers the window class, creates the main window, parses the command line (the part after
// the program name) into `agent`, runs the message loop and shuts the agent's library down when
// it ends. Returns the quit message's code, or 0 when the main window cannot be created.
int RunAgent(CTokenAgent& agent, const std::u16string& commandLine, int showCommand);

// The agent that the window procedure serves (RunAgent sets it).
void ServeAgent(CTokenAgent* agent);

// The window procedure of the main window.
plat::LResult AgentWindowProc(plat::WindowHandle window, plat::Message message, plat::WParam wParam,
                              plat::LParam lParam);

// The window's top-left corner that centres a window of the given size on the desktop.
struct Position {
    int x;
    int y;
};
Position CentredOnDesktop(const plat::Rect& desktop, int width, int height);
