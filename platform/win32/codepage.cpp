// Code pages on Windows: the system's conversions and the C library.
#include "platform/codepage.h"

#include <climits>
#include <cstdlib>

#include "platform/win32/win.h"

namespace plat {

std::uint32_t AnsiCodePage() {
    return ::GetACP();
}

namespace {

// Only -1 means "through the terminator"; any other negative length is refused.
bool BadBuffers(const void* src, int srcLen, const void* dst, int dstLen) {
    if (src == nullptr || srcLen == 0 || srcLen < -1 || dstLen < 0 ||
        (dstLen > 0 && dst == nullptr)) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return true;
    }
    return false;
}

} // namespace

int MultiByteToWide(std::uint32_t codePage, std::uint32_t flags, const char* src, int srcLen,
                    char16_t* dst, int dstLen) {
    if (BadBuffers(src, srcLen, dst, dstLen)) {
        return 0;
    }
    return ::MultiByteToWideChar(codePage, flags, src, srcLen, reinterpret_cast<wchar_t*>(dst),
                                 dstLen);
}

int WideToMultiByte(std::uint32_t codePage, std::uint32_t flags, const char16_t* src, int srcLen,
                    char* dst, int dstLen) {
    if (BadBuffers(src, srcLen, dst, dstLen)) {
        return 0;
    }
    return ::WideCharToMultiByte(codePage, flags, reinterpret_cast<const wchar_t*>(src), srcLen,
                                 dst, dstLen, nullptr, nullptr);
}

std::size_t NarrowCLocale(char* dst, const char16_t* src, std::size_t n) {
    if (src == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return static_cast<std::size_t>(-1);
    }
    // The agent never changes the C library's locale, so this is the "C" locale conversion.
    return std::wcstombs(dst, reinterpret_cast<const wchar_t*>(src), n);
}

long WideToLong(const char16_t* text) {
    if (text == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return _wtol(reinterpret_cast<const wchar_t*>(text));
}

} // namespace plat
