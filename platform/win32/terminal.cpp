// The PIN prompt on Windows: the console input with ENABLE_ECHO_INPUT off, restored afterwards.
#include "platform/terminal.h"

#include "platform/win32/win.h"

namespace plat {

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
    SetConsoleMode(in, mode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    DWORD written = 0;
    if (out != INVALID_HANDLE_VALUE && !prompt.empty()) {
        WriteConsoleA(out, prompt.data(), static_cast<DWORD>(prompt.size()), &written, nullptr);
    }
    wchar_t buffer[256] = {};
    DWORD read = 0;
    const bool ok = ReadConsoleW(in, buffer, 255, &read, nullptr) != 0;
    SetConsoleMode(in, mode);
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

} // namespace plat
