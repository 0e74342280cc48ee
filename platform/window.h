// Windows, messages, timers and the message loop, with Win32 semantics.
//
// On Linux a top-level window is a Unix-domain socket in the user's private runtime directory
// (TESSIVO_RUNTIME_DIR, $XDG_RUNTIME_DIR/tessivo, or a private directory on /dev/shm whose path
// is kept in ~/.cache/tessivo/runtime); its handle names (process id, serial) and
// means the same in every process. SendMessage to another process's window blocks for the
// 32-bit result and returns 0 with a last error when that process dies.
#pragma once

#include <string>
#include <vector>

#include "platform/types.h"

namespace plat {

inline constexpr Message kWmCreate = 0x0001;
inline constexpr Message kWmDestroy = 0x0002;
inline constexpr Message kWmPaint = 0x000F;
inline constexpr Message kWmCommand = 0x0111;
inline constexpr Message kWmTimer = 0x0113;
inline constexpr Message kWmUser = 0x0400;

inline constexpr int kSwShow = 5;
inline constexpr int kSwShowNormal = 1;

struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
};

// String resource `id` of the program (Windows: LoadStringW, at most maxUnits incl. terminator).
std::u16string LoadResourceString(int id, int maxUnits = 100);
// Supplies string `id` where the program carries no resource of that id (the Linux build has no
// resource section; on Windows the program's own resource wins).
void RegisterResourceString(int id, const std::u16string& text);

// Registers a window class (CS_HREDRAW | CS_VREDRAW, icon resource `iconId` as large and small
// icon, the arrow cursor, COLOR_WINDOW + 1 background).
bool RegisterWindowClass(const std::u16string& className, WindowProc proc, int iconId);

// CreateWindowExW(0, class, title, style, x, y, w, h, no parent, no menu). WM_CREATE is sent to
// the window procedure before this returns. 0 on failure.
WindowHandle CreateTopLevelWindow(const std::u16string& className, const std::u16string& title,
                                  std::uint32_t style, int x, int y, int width, int height);
bool DestroyWindow(WindowHandle window);
void ShowWindow(WindowHandle window, int showCommand);
void UpdateWindow(WindowHandle window);
Rect DesktopRect();
// BeginPaint + EndPaint: validates the window without drawing.
void PaintNothing(WindowHandle window);

LResult SendMessage(WindowHandle window, Message message, WParam wParam, LParam lParam);
// The last error of a SendMessageTimeout that ran out of time.
#if defined(_WIN32)
inline constexpr std::uint32_t kSendTimedOut = 1460; // ERROR_TIMEOUT
#else
inline constexpr std::uint32_t kSendTimedOut = 110; // ETIMEDOUT
#endif

// SendMessage with a time limit (SendMessageTimeoutW with SMTO_ERRORONEXIT). False, with a last
// error, when the window is gone, its process died or ended, or no answer came within
// `timeoutMs`; `result` is then left unchanged. A message to a window of this process is
// handled at once, as with SendMessage.
bool SendMessageTimeout(WindowHandle window, Message message, WParam wParam, LParam lParam,
                        std::uint32_t timeoutMs, LResult& result);
bool PostMessage(WindowHandle window, Message message, WParam wParam, LParam lParam);
void PostQuitMessage(int exitCode);
LResult DefWindowProc(WindowHandle window, Message message, WParam wParam, LParam lParam);

// Runs GetMessageW / TranslateAcceleratorW (with accelerator table `acceleratorId` of the
// program's resources, when non-zero) / TranslateMessage / DispatchMessageW until the quit
// message; returns its exit code.
int RunMessageLoop(int acceleratorId);

// Window timers delivered as WM_TIMER (wParam = id). Setting an existing id replaces it.
bool SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapseMs);
bool KillTimer(WindowHandle window, std::uintptr_t id);

struct TopLevelWindow {
    WindowHandle window;
    std::uint32_t processId;
};
// All top-level windows in the system's enumeration order, with their owner process ids.
std::vector<TopLevelWindow> EnumTopLevelWindows();
// First top-level window of `className` owned by `processId` (0: any process). 0 when none.
WindowHandle FindTopLevelWindow(const std::u16string& className, std::uint32_t processId);
std::uint32_t WindowProcessId(WindowHandle window);

} // namespace plat
