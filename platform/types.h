// Handle and message types shared by every platform interface. Values mean the same as in
// Win32: on Windows they are the system's own handles and message parameters.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

using WindowHandle = std::uintptr_t; // 0 is "no window"
using Message = std::uint32_t;
using WParam = std::uintptr_t;
using LParam = std::intptr_t;
using LResult = std::intptr_t;
using WindowProc = LResult (*)(WindowHandle, Message, WParam, LParam);

using MappingHandle = void*; // null is "not open"
using ProcessHandle = void*; // null is "not open"
using ModuleHandle = void*;  // null is "not loaded"

// The thread's last error: GetLastError() on Windows, errno on Linux.
std::uint32_t LastError();
void SetLastError(std::uint32_t code);
// The system's text for an error code of LastError(): strerror on Linux, FormatMessage on
// Windows (in the user's language, without the trailing line break).
std::string ErrorText(std::uint32_t code);

std::uint32_t CurrentProcessId();

} // namespace plat
