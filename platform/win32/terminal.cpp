// The PIN prompt on Windows: the console input with ENABLE_ECHO_INPUT off, restored afterwards.
#include "platform/terminal.h"

#include <io.h>

#include "platform/win32/win.h"

namespace plat {

namespace {

// While echo is off, Ctrl-C or Ctrl-Break (which end the program) first give the console its
// echo back.
HANDLE g_input = INVALID_HANDLE_VALUE;
DWORD g_mode = 0;

BOOL WINAPI RestoreEcho(DWORD) {
    SetConsoleMode(g_input, g_mode);
    return FALSE; // the default handler ends the program as before
}

} // namespace

bool ReadSecretLine(const std::string& prompt, std::string& line) {
    HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE) {
        return false;
    }
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                             nullptr);
    DWORD mode = 0;
    if (!GetConsoleMode(in, &mode)) {
        CloseHandle(in);
        if (out != INVALID_HANDLE_VALUE) {
            CloseHandle(out);
        }
        return false;
    }
    g_input = in;
    g_mode = mode;
    SetConsoleCtrlHandler(RestoreEcho, TRUE);
    SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    DWORD written = 0;
    if (out != INVALID_HANDLE_VALUE && !prompt.empty()) {
        WriteConsoleA(out, prompt.data(), static_cast<DWORD>(prompt.size()), &written, nullptr);
    }
    wchar_t buffer[256] = {};
    DWORD read = 0;
    const bool ok = ReadConsoleW(in, buffer, 255, &read, nullptr) != 0;
    SetConsoleMode(in, mode);
    SetConsoleCtrlHandler(RestoreEcho, FALSE);
    if (out != INVALID_HANDLE_VALUE) {
        WriteConsoleA(out, "\r\n", 2, &written, nullptr);
        CloseHandle(out);
    }
    CloseHandle(in);
    line.clear();
    if (ok) {
        while (read > 0 && (buffer[read - 1] == L'\n' || buffer[read - 1] == L'\r')) {
            --read;
        }
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(read), nullptr,
                                              0, nullptr, nullptr);
        if (bytes > 0) {
            line.resize(static_cast<std::size_t>(bytes));
            WideCharToMultiByte(CP_UTF8, 0, buffer, static_cast<int>(read), &line[0], bytes,
                                nullptr, nullptr);
        }
    }
    SecureZeroMemory(buffer, sizeof buffer);
    return ok;
}

namespace detail {
int ReadStandardInputByte(char& byte) {
    return static_cast<int>(_read(0, &byte, 1));
}
} // namespace detail

} // namespace plat
