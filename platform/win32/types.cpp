// Last error and process id on Windows.
#include "platform/types.h"

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

} // namespace plat
