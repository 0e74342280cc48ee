// Last error, process id and the small shared helpers of the Linux layer.
#include <cerrno>
#include <cstring>
#include <string>

#include "platform/posix/posix_util.h"
#include "platform/text.h"

namespace plat {

std::uint32_t LastError() {
    return static_cast<std::uint32_t>(errno);
}

void SetLastError(std::uint32_t code) {
    errno = static_cast<int>(code);
}

std::uint32_t CurrentProcessId() {
    return static_cast<std::uint32_t>(getpid());
}

namespace detail {

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) {
        int saved = errno; // closing must not clobber the error being reported
        close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

namespace {

bool IsPlainNameByte(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

} // namespace

std::string EscapeName(const std::string& bytes) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        if (IsPlainNameByte(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

bool UnescapeName(const std::string& escaped, std::string& bytes) {
    bytes.clear();
    for (std::size_t i = 0; i < escaped.size(); ++i) {
        if (escaped[i] != '%') {
            bytes += escaped[i];
            continue;
        }
        if (i + 2 >= escaped.size()) {
            return false;
        }
        int high = HexDigitValue(escaped[i + 1]);
        int low = HexDigitValue(escaped[i + 2]);
        if (high < 0 || low < 0) {
            return false;
        }
        bytes += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return true;
}

} // namespace detail
std::string ErrorText(std::uint32_t code) {
    return std::strerror(static_cast<int>(code));
}

} // namespace plat
