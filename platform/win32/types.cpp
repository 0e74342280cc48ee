// Last error and process id on Windows.
#include "platform/types.h"

#include <string>

#include "platform/win32/win.h"

namespace plat {

std::uint32_t LastError() {
    return ::GetLastError();
}

void SetLastError(std::uint32_t code) {
    ::SetLastError(code);
}

std::uint32_t CurrentProcessId() {
    return ::GetCurrentProcessId();
}

std::string ErrorText(std::uint32_t code) {
    wchar_t* text = nullptr;
    const DWORD length = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string utf8;
    if (length > 0 && text != nullptr) {
        const int bytes = ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr,
                                                0, nullptr, nullptr);
        if (bytes > 0) {
            utf8.resize(static_cast<std::size_t>(bytes));
            ::WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), bytes,
                                  nullptr, nullptr);
        }
    }
    if (text != nullptr) {
        ::LocalFree(text);
    }
    while (!utf8.empty() && (utf8.back() == '\n' || utf8.back() == '\r' || utf8.back() == ' ')) {
        utf8.pop_back();
    }
    return utf8.empty() ? "error " + std::to_string(code) : utf8;
}

} // namespace plat
