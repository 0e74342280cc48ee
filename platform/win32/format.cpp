// The UTF-16 formatter on Windows is the system's wvsprintfW (1,024-unit output limit).
#include "platform/format.h"

#include <cstdarg>

#include "platform/win32/win.h"

namespace plat {
int FormatList(char16_t* out, const char16_t* format, va_list args) {
    if (out == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (format == nullptr) {
        out[0] = 0;
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    int n = ::wvsprintfW(reinterpret_cast<wchar_t*>(out), detail::Wide(format), args);
    // Some implementations count a cut output as the full buffer: keep the terminator's unit.
    n = n < 0 ? 0 : (n > kFormatLimit - 1 ? kFormatLimit - 1 : n);
    out[n] = 0;
    return n;
}

} // namespace plat
