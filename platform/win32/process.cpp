// Processes on Windows.
#include "platform/process.h"

#include <vector>

#include "platform/win32/win.h"

namespace plat {
namespace {

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

} // namespace

ProcessHandle OpenProcessById(std::uint32_t pid) {
    return ::OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid);
}

bool IsProcessRunning(ProcessHandle process) {
    if (process == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    FILETIME creation{}, exit{}, kernel{}, user{};
    return ::GetProcessTimes(process, &creation, &exit, &kernel, &user) == TRUE &&
           exit.dwLowDateTime == 0 && exit.dwHighDateTime == 0;
}

void CloseProcess(ProcessHandle process) {
    if (process != nullptr) {
        ::CloseHandle(process);
    }
}

ProcessHandle StartProcess(const std::string& program, const std::u16string& arguments,
                           ChildOutput /*output*/) {
    if (program.empty()) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::wstring path = FromUtf8(program);
    std::wstring commandLine = L"\"" + path + L"\" " + detail::Wide(arguments);
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(path.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info)) {
        return nullptr;
    }
    ::CloseHandle(info.hThread);
    return info.hProcess;
}

std::uint32_t ProcessId(ProcessHandle process) {
    return process == nullptr ? 0 : ::GetProcessId(process);
}

bool WaitProcess(ProcessHandle process, std::uint32_t timeoutMs) {
    if (process == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    return ::WaitForSingleObject(process, timeoutMs) == WAIT_OBJECT_0;
}

void KillProcess(ProcessHandle process) {
    if (process != nullptr) {
        ::TerminateProcess(process, 1);
    }
}

bool ProcessExitCode(ProcessHandle process, std::uint32_t& exitCode) {
    if (process == nullptr) {
        ::SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (::WaitForSingleObject(process, 0) != WAIT_OBJECT_0) {
        return false;
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(process, &code)) {
        return false;
    }
    exitCode = code;
    return true;
}

std::string CurrentProgramPath() {
    wchar_t buffer[MAX_PATH * 4];
    const DWORD n = ::GetModuleFileNameW(nullptr, buffer, sizeof buffer / sizeof buffer[0]);
    if (n == 0 || n >= sizeof buffer / sizeof buffer[0]) {
        return {};
    }
    const int bytes =
        ::WideCharToMultiByte(CP_UTF8, 0, buffer, int(n), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, buffer, int(n), out.data(), bytes, nullptr, nullptr);
    return out;
}

bool WriteStandardOutput(const std::string& text) {
    HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
    bool own = false;
    if (out == nullptr || out == INVALID_HANDLE_VALUE) {
        if (!::AttachConsole(ATTACH_PARENT_PROCESS)) {
            return false;
        }
        out = ::CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                            nullptr);
        if (out == INVALID_HANDLE_VALUE) {
            return false;
        }
        own = true;
    }
    DWORD mode = 0;
    DWORD written = 0;
    bool ok;
    if (::GetConsoleMode(out, &mode)) {
        // A console takes UTF-16 whatever its code page.
        const std::wstring wide = FromUtf8(text);
        ok = ::WriteConsoleW(out, wide.data(), DWORD(wide.size()), &written, nullptr) == TRUE;
    } else {
        ok = ::WriteFile(out, text.data(), DWORD(text.size()), &written, nullptr) == TRUE &&
             written == text.size();
    }
    if (own) {
        ::CloseHandle(out);
    }
    return ok;
}

} // namespace plat
