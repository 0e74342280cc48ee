// The console on Windows: the rich-edit control "RICHEDIT50W" of Msftedit.dll.
#include "platform/console.h"

#include "platform/win32/win.h"

#include <richedit.h>

namespace plat {
namespace {

HWND AsHwnd(WindowHandle window) {
    return reinterpret_cast<HWND>(window);
}

LRESULT Send(WindowHandle console, UINT message, WPARAM wParam, LPARAM lParam) {
    if (console == 0) {
        ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return ::SendMessageW(AsHwnd(console), message, wParam, lParam);
}

bool IsWindowHandle(WindowHandle console) {
    if (console != 0 && ::IsWindow(AsHwnd(console))) {
        return true;
    }
    ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return false;
}

} // namespace

WindowHandle CreateConsole(WindowHandle parent, std::uint32_t style, int x, int y, int width,
                           int height) {
    if (parent == 0) {
        ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    ::LoadLibraryW(L"Msftedit.dll"); // stays loaded for the process's life
    HWND console =
        ::CreateWindowExW(WS_EX_CLIENTEDGE, L"RICHEDIT50W", L"", style, x, y, width, height,
                          AsHwnd(parent), nullptr, ::GetModuleHandleW(nullptr), nullptr);
    return reinterpret_cast<WindowHandle>(console);
}

long ConsoleLineIndex(WindowHandle console, long line) {
    if (!IsWindowHandle(console)) {
        return -1;
    }
    return static_cast<long>(Send(console, EM_LINEINDEX, static_cast<WPARAM>(line), 0));
}

long ConsoleLineLength(WindowHandle console, long charIndex) {
    if (!IsWindowHandle(console)) {
        return 0;
    }
    return static_cast<long>(Send(console, EM_LINELENGTH, static_cast<WPARAM>(charIndex), 0));
}

void ConsoleSetSelectionEx(WindowHandle console, long from, long to) {
    if (!IsWindowHandle(console)) {
        return;
    }
    CHARRANGE range{from, to};
    Send(console, EM_EXSETSEL, 0, reinterpret_cast<LPARAM>(&range));
}

void ConsoleSetSelection(WindowHandle console, long from, long to) {
    if (!IsWindowHandle(console)) {
        return;
    }
    Send(console, EM_SETSEL, static_cast<WPARAM>(from), static_cast<LPARAM>(to));
}

void ConsoleReplaceSelection(WindowHandle console, const std::u16string& text) {
    if (!IsWindowHandle(console)) {
        return;
    }
    Send(console, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(detail::Wide(text)));
}

long ConsoleTextLength(WindowHandle console) {
    if (!IsWindowHandle(console)) {
        return 0;
    }
    return ::GetWindowTextLengthW(AsHwnd(console));
}

std::u16string ConsoleText(WindowHandle console) {
    if (!IsWindowHandle(console)) {
        return {};
    }
    GETTEXTLENGTHEX lengthQuery{GTL_NUMCHARS | GTL_PRECISE, 1200};
    const LRESULT length =
        Send(console, EM_GETTEXTLENGTHEX, reinterpret_cast<WPARAM>(&lengthQuery), 0);
    if (length <= 0) {
        return {};
    }
    std::u16string text(static_cast<std::size_t>(length) + 1, u'\0');
    GETTEXTEX query{};
    query.cb = static_cast<DWORD>(text.size() * sizeof(char16_t));
    query.flags = GT_DEFAULT; // paragraph breaks as the control keeps them: one CR
    query.codepage = 1200;    // UTF-16
    const LRESULT copied = Send(console, EM_GETTEXTEX, reinterpret_cast<WPARAM>(&query),
                                reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    return text;
}

ConsoleEdits::ConsoleEdits(WindowHandle console) : console_(console) {
    if (console_ != 0 && ::IsWindow(AsHwnd(console_))) {
        ::SendMessageW(AsHwnd(console_), WM_SETREDRAW, FALSE, 0);
    } else {
        console_ = 0;
    }
}

ConsoleEdits::~ConsoleEdits() {
    if (console_ != 0 && ::IsWindow(AsHwnd(console_))) {
        ::SendMessageW(AsHwnd(console_), WM_SETREDRAW, TRUE, 0);
        ::InvalidateRect(AsHwnd(console_), nullptr, FALSE); // the control paints its own background
    }
}

} // namespace plat
