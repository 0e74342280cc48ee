// Windows, messages and timers on Windows: user32. The agent's procedures have the platform
// layer's signature; one thunk per process routes each window's messages to its class's
// procedure and keeps exceptions from crossing into the system.
#include "platform/window.h"

#include <map>

#include "platform/win32/win.h"

namespace plat {
namespace {

// Class atom -> procedure. Filled before any window of the class exists.
std::map<ATOM, WindowProc>& Procedures() {
    static std::map<ATOM, WindowProc> procedures;
    return procedures;
}

std::map<int, std::u16string>& Strings() {
    static std::map<int, std::u16string> strings;
    return strings;
}

HWND AsHwnd(WindowHandle window) {
    return reinterpret_cast<HWND>(window);
}
WindowHandle AsHandle(HWND window) {
    return reinterpret_cast<WindowHandle>(window);
}

LRESULT CALLBACK Thunk(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const ATOM atom = static_cast<ATOM>(::GetClassWord(hwnd, GCW_ATOM));
    auto it = Procedures().find(atom);
    if (it == Procedures().end()) {
        return ::DefWindowProcW(hwnd, message, wParam, lParam);
    }
    try {
        return it->second(AsHandle(hwnd), message, wParam, lParam);
    } catch (...) {
        return 0;
    }
}

HINSTANCE Instance() {
    return ::GetModuleHandleW(nullptr);
}

// A class name is at most 256 characters; longer ones are refused before they reach user32
// (Wine corrupts its heap on them).
constexpr std::size_t kMaxClassName = 256;

bool BadClassName(const std::u16string& className) {
    if (className.empty() || className.size() > kMaxClassName) {
        ::SetLastError(className.empty() ? ERROR_INVALID_PARAMETER : ERROR_FILENAME_EXCED_RANGE);
        return true;
    }
    return false;
}

} // namespace

std::u16string LoadResourceString(int id, int maxUnits) {
    if (maxUnits <= 1) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return {};
    }
    std::u16string buffer(static_cast<std::size_t>(maxUnits), u'\0');
    const int n = ::LoadStringW(Instance(), static_cast<UINT>(id),
                                reinterpret_cast<wchar_t*>(buffer.data()), maxUnits);
    if (n > 0) {
        buffer.resize(static_cast<std::size_t>(n));
        return buffer;
    }
    auto it = Strings().find(id);
    if (it == Strings().end()) {
        return {};
    }
    return it->second.substr(0, static_cast<std::size_t>(maxUnits - 1));
}

void RegisterResourceString(int id, const std::u16string& text) {
    Strings()[id] = text;
}

bool RegisterWindowClass(const std::u16string& className, WindowProc proc, int iconId) {
    if (BadClassName(className)) {
        return false;
    }
    if (proc == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = Thunk;
    wc.hInstance = Instance();
    if (iconId != 0) {
        wc.hIcon = ::LoadIconW(Instance(), MAKEINTRESOURCEW(iconId));
        wc.hIconSm = ::LoadIconW(Instance(), MAKEINTRESOURCEW(iconId));
    }
    wc.hCursor = ::LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = detail::Wide(className);
    const ATOM atom = ::RegisterClassExW(&wc);
    if (atom == 0) {
        return false;
    }
    Procedures()[atom] = proc;
    return true;
}

WindowHandle CreateTopLevelWindow(const std::u16string& className, const std::u16string& title,
                                  std::uint32_t style, int x, int y, int width, int height) {
    if (BadClassName(className)) {
        return 0;
    }
    return AsHandle(::CreateWindowExW(0, detail::Wide(className), detail::Wide(title), style, x, y,
                                      width, height, nullptr, nullptr, Instance(), nullptr));
}

bool DestroyWindow(WindowHandle window) {
    return ::DestroyWindow(AsHwnd(window)) != 0;
}

void ShowWindow(WindowHandle window, int showCommand) {
    ::ShowWindow(AsHwnd(window), showCommand);
}

void UpdateWindow(WindowHandle window) {
    ::UpdateWindow(AsHwnd(window));
}

Rect DesktopRect() {
    RECT r{};
    ::GetWindowRect(::GetDesktopWindow(), &r);
    return Rect{r.left, r.top, r.right, r.bottom};
}

void PaintNothing(WindowHandle window) {
    PAINTSTRUCT ps;
    if (::BeginPaint(AsHwnd(window), &ps) != nullptr) {
        ::EndPaint(AsHwnd(window), &ps);
    }
}

LResult SendMessage(WindowHandle window, Message message, WParam wParam, LParam lParam) {
    if (window == 0) {
        ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return ::SendMessageW(AsHwnd(window), message, wParam, lParam);
}

bool SendMessageTimeout(WindowHandle window, Message message, WParam wParam, LParam lParam,
                        std::uint32_t timeoutMs, LResult& result) {
    if (window == 0) {
        ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return false;
    }
    // No SMTO_ABORTIFHUNG: an agent waiting for a PIN typed on a reader is busy, not hung.
    DWORD_PTR answer = 0;
    if (::SendMessageTimeoutW(AsHwnd(window), message, wParam, lParam,
                              SMTO_NORMAL | SMTO_ERRORONEXIT, timeoutMs, &answer) == 0) {
        if (::GetLastError() == ERROR_SUCCESS) {
            ::SetLastError(ERROR_TIMEOUT);
        }
        return false;
    }
    result = static_cast<LResult>(answer);
    return true;
}

bool PostMessage(WindowHandle window, Message message, WParam wParam, LParam lParam) {
    return ::PostMessageW(AsHwnd(window), message, wParam, lParam) != 0;
}

void PostQuitMessage(int exitCode) {
    ::PostQuitMessage(exitCode);
}

LResult DefWindowProc(WindowHandle window, Message message, WParam wParam, LParam lParam) {
    return ::DefWindowProcW(AsHwnd(window), message, wParam, lParam);
}

int RunMessageLoop(int acceleratorId) {
    HACCEL accelerators = acceleratorId != 0
                              ? ::LoadAcceleratorsW(Instance(), MAKEINTRESOURCEW(acceleratorId))
                              : nullptr;
    MSG msg{};
    while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (accelerators == nullptr || !::TranslateAcceleratorW(msg.hwnd, accelerators, &msg)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageW(&msg);
        }
    }
    return static_cast<int>(msg.wParam);
}

bool SetTimer(WindowHandle window, std::uintptr_t id, std::uint32_t elapseMs) {
    if (window == 0) {
        ::SetLastError(ERROR_INVALID_WINDOW_HANDLE); // a thread timer would get a new id
        return false;
    }
    return ::SetTimer(AsHwnd(window), id, elapseMs, nullptr) != 0;
}

bool KillTimer(WindowHandle window, std::uintptr_t id) {
    return ::KillTimer(AsHwnd(window), id) != 0;
}

namespace {

BOOL CALLBACK CollectWindow(HWND hwnd, LPARAM context) {
    auto* windows = reinterpret_cast<std::vector<TopLevelWindow>*>(context);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    windows->push_back({AsHandle(hwnd), pid});
    return TRUE;
}

bool HasClass(WindowHandle window, const std::u16string& className) {
    wchar_t name[257] = {};
    return ::GetClassNameW(AsHwnd(window), name, 257) > 0 &&
           ::lstrcmpiW(name, detail::Wide(className)) == 0;
}

} // namespace

std::vector<TopLevelWindow> EnumTopLevelWindows() {
    std::vector<TopLevelWindow> windows;
    ::EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows));
    return windows;
}

WindowHandle FindTopLevelWindow(const std::u16string& className, std::uint32_t processId) {
    for (const TopLevelWindow& w : EnumTopLevelWindows()) {
        if ((processId == 0 || w.processId == processId) && HasClass(w.window, className)) {
            return w.window;
        }
    }
    ::SetLastError(ERROR_FILE_NOT_FOUND);
    return 0;
}

std::uint32_t WindowProcessId(WindowHandle window) {
    DWORD pid = 0;
    if (window == 0 || ::GetWindowThreadProcessId(AsHwnd(window), &pid) == 0) {
        return 0;
    }
    return pid;
}

} // namespace plat
