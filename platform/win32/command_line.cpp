#include "platform/command_line.h"

#include "platform/win32/win.h"

#include <shellapi.h>

namespace plat {

namespace {

std::string ToUtf8(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) {
        return {};
    }
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], bytes, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(bytes - 1));
    return out;
}

} // namespace

std::vector<std::string> CommandLineUtf8(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr || count != argc) {
        // Not the command line this argv came from: keep what the runtime gave.
        if (wide != nullptr) {
            LocalFree(wide);
        }
        return std::vector<std::string>(argv, argv + argc);
    }
    std::vector<std::string> out;
    for (int i = 0; i < count; ++i) {
        out.push_back(ToUtf8(wide[i]));
    }
    LocalFree(wide);
    return out;
}

void UseUtf8Console() {
    SetConsoleOutputCP(CP_UTF8);
}

} // namespace plat
