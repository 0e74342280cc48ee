// Code pages on Linux through glibc iconv, with the Windows conversion semantics.
#include "platform/codepage.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include <iconv.h>

namespace plat {
namespace {

constexpr std::uint32_t kDefaultAnsiCodePage = 950;
constexpr std::uint32_t kWcErrInvalidChars = 0x80; // WC_ERR_INVALID_CHARS
constexpr char16_t kReplacement = u'\uFFFD';

// One iconv descriptor.
class Iconv {
public:
    Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
    ~Iconv() {
        if (Valid()) {
            iconv_close(cd_);
        }
    }
    Iconv(const Iconv&) = delete;
    Iconv& operator=(const Iconv&) = delete;
    bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    iconv_t Get() const { return cd_; }

private:
    iconv_t cd_;
};

// One descriptor per direction and thread, opened once and reset before each use: opening one
// loads the code page's conversion module, which costs more than most conversions.
iconv_t Descriptor(const std::string& to, const std::string& from) {
    thread_local std::map<std::string, std::unique_ptr<Iconv>> opened;
    std::unique_ptr<Iconv>& slot = opened[to + "\n" + from];
    if (!slot) {
        slot = std::make_unique<Iconv>(to.c_str(), from.c_str());
    }
    if (!slot->Valid()) {
        return reinterpret_cast<iconv_t>(-1);
    }
    iconv(slot->Get(), nullptr, nullptr, nullptr, nullptr);
    return slot->Get();
}

bool IsValid(iconv_t cd) {
    return cd != reinterpret_cast<iconv_t>(-1);
}

std::string CharsetName(std::uint32_t codePage) {
    if (codePage == kCpAcp) {
        codePage = AnsiCodePage();
    }
    if (codePage == kCpUtf8) {
        return "UTF-8";
    }
    return "CP" + std::to_string(codePage);
}

bool IsHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Runs one iconv step; returns false on a conversion error other than a full output buffer.
bool Step(iconv_t cd, char*& in, std::size_t& inLeft, std::string& out) {
    char buffer[1024];
    char* o = buffer;
    std::size_t oLeft = sizeof buffer;
    std::size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buffer, static_cast<std::size_t>(o - buffer));
    return r != static_cast<std::size_t>(-1) || errno == E2BIG;
}

// Bytes in `charset` to UTF-16. An invalid or cut sequence fails when `strict`, otherwise it
// becomes one replacement character per byte skipped.
bool Decode(const std::string& charset, const char* src, std::size_t n, bool strict,
            std::u16string& result) {
    const iconv_t cd = Descriptor("UTF-16LE", charset);
    if (!IsValid(cd)) {
        errno = EINVAL;
        return false;
    }
    std::string bytes;
    char* in = const_cast<char*>(src);
    std::size_t inLeft = n;
    while (inLeft > 0) {
        if (Step(cd, in, inLeft, bytes)) {
            continue;
        }
        if (strict) {
            errno = EILSEQ;
            return false;
        }
        const char16_t replacement = charset == "UTF-8" ? kReplacement : u'?';
        bytes.append(reinterpret_cast<const char*>(&replacement), sizeof replacement);
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    result.resize(bytes.size() / 2);
    std::memcpy(result.data(), bytes.data(), result.size() * 2);
    return true;
}

// UTF-16 to bytes in `charset`; a character the code page lacks becomes '?' (a lone surrogate
// becomes U+FFFD in UTF-8), unless `strict` asks to fail on invalid UTF-16.
bool Encode(const std::string& charset, const char16_t* src, std::size_t n, bool strict,
            std::string& result) {
    const iconv_t cd = Descriptor(charset, "UTF-16LE");
    if (!IsValid(cd)) {
        errno = EINVAL;
        return false;
    }
    const bool utf8 = charset == "UTF-8";
    result.clear();
    char* in = reinterpret_cast<char*>(const_cast<char16_t*>(src));
    std::size_t inLeft = n * 2;
    while (inLeft > 0) {
        if (Step(cd, in, inLeft, result)) {
            continue;
        }
        const char16_t* unit = reinterpret_cast<const char16_t*>(in);
        const std::size_t unitsLeft = inLeft / 2;
        const bool pair = unitsLeft >= 2 && IsHighSurrogate(unit[0]) && IsLowSurrogate(unit[1]);
        const bool lone = !pair && (IsHighSurrogate(unit[0]) || IsLowSurrogate(unit[0]));
        if (lone && strict) {
            errno = EILSEQ;
            return false;
        }
        result += (lone && utf8) ? "\xEF\xBF\xBD" : "?";
        const std::size_t skip = pair ? 4 : 2;
        in += skip;
        inLeft -= skip;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    return true;
}

bool AllAscii(const char* src, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (static_cast<unsigned char>(src[i]) >= 0x80) {
            return false;
        }
    }
    return true;
}

bool AllAscii(const char16_t* src, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (src[i] >= 0x80) {
            return false;
        }
    }
    return true;
}

// True when the code page maps the 128 ASCII bytes to themselves both ways, as every ANSI code
// page does: ASCII text (Base64, names, most log lines) then skips iconv, whose per-byte cost
// dominated a sign's log line. Asked of iconv itself once per code page and thread.
bool AsciiCompatible(const std::string& charset) {
    if (charset == "UTF-8") {
        return true; // by its definition; asking iconv would load a conversion module at start-up
    }
    thread_local std::map<std::string, bool> known;
    const auto found = known.find(charset);
    if (found != known.end()) {
        return found->second;
    }
    std::string ascii(127, '\0');
    for (std::size_t i = 0; i < ascii.size(); ++i) {
        ascii[i] = static_cast<char>(i + 1);
    }
    std::u16string wide;
    std::string back;
    const bool same = Decode(charset, ascii.data(), ascii.size(), true, wide) &&
                      wide == std::u16string(ascii.begin(), ascii.end()) &&
                      Encode(charset, wide.data(), wide.size(), true, back) && back == ascii;
    known.emplace(charset, same);
    return same;
}

// Source length as Windows reads it: -1 means "through the terminator".
bool SourceLength(int srcLen, std::size_t terminatedLength, std::size_t& n) {
    if (srcLen == -1) {
        n = terminatedLength + 1;
        return true;
    }
    if (srcLen <= 0) {
        return false;
    }
    n = static_cast<std::size_t>(srcLen);
    return true;
}

std::size_t Length16(const char16_t* s) {
    std::size_t n = 0;
    while (s[n] != 0) {
        ++n;
    }
    return n;
}

// Copies a finished conversion into the caller's buffer, or reports the size asked for.
template <typename Char, typename String>
int Deliver(const String& converted, Char* dst, int dstLen) {
    if (converted.size() > static_cast<std::size_t>(INT_MAX)) {
        errno = EOVERFLOW;
        return 0;
    }
    const int needed = static_cast<int>(converted.size());
    if (dstLen == 0) {
        return needed;
    }
    if (needed > dstLen) {
        errno = ENOBUFS; // ERROR_INSUFFICIENT_BUFFER
        return 0;
    }
    std::memcpy(dst, converted.data(), converted.size() * sizeof(Char));
    return needed;
}

bool BadBuffers(const void* src, int srcLen, const void* dst, int dstLen) {
    return src == nullptr || srcLen == 0 || srcLen < -1 || dstLen < 0 ||
           (dstLen > 0 && dst == nullptr);
}

} // namespace

std::uint32_t AnsiCodePage() {
    const char* value = std::getenv("TESSIVO_ACP");
    if (value == nullptr || *value == '\0') {
        return kDefaultAnsiCodePage;
    }
    char* end = nullptr;
    unsigned long codePage = std::strtoul(value, &end, 10);
    if (*end != '\0' || codePage == 0 || codePage > 65535) {
        return kDefaultAnsiCodePage;
    }
    return static_cast<std::uint32_t>(codePage);
}

int MultiByteToWide(std::uint32_t codePage, std::uint32_t flags, const char* src, int srcLen,
                    char16_t* dst, int dstLen) {
    std::size_t n = 0;
    if (BadBuffers(src, srcLen, dst, dstLen) ||
        !SourceLength(srcLen, srcLen == -1 ? std::strlen(src) : 0, n)) {
        errno = EINVAL;
        return 0;
    }
    const std::string charset = CharsetName(codePage);
    std::u16string converted;
    if (AllAscii(src, n) && AsciiCompatible(charset)) {
        converted.assign(src, src + n);
    } else if (!Decode(charset, src, n, (flags & kMbErrInvalidChars) != 0, converted)) {
        return 0;
    }
    return Deliver(converted, dst, dstLen);
}

int WideToMultiByte(std::uint32_t codePage, std::uint32_t flags, const char16_t* src, int srcLen,
                    char* dst, int dstLen) {
    std::size_t n = 0;
    if (BadBuffers(src, srcLen, dst, dstLen) ||
        !SourceLength(srcLen, srcLen == -1 ? Length16(src) : 0, n)) {
        errno = EINVAL;
        return 0;
    }
    const std::string charset = CharsetName(codePage);
    std::string converted;
    if (AllAscii(src, n) && AsciiCompatible(charset)) {
        converted.assign(src, src + n);
    } else if (!Encode(charset, src, n, (flags & kWcErrInvalidChars) != 0, converted)) {
        return 0;
    }
    return Deliver(converted, dst, dstLen);
}

std::size_t NarrowCLocale(char* dst, const char16_t* src, std::size_t n) {
    if (src == nullptr) {
        errno = EINVAL;
        return static_cast<std::size_t>(-1);
    }
    std::size_t i = 0;
    for (; dst == nullptr || i < n; ++i) {
        const char16_t c = src[i];
        if (c == 0) {
            if (dst != nullptr) {
                dst[i] = '\0';
            }
            return i;
        }
        if (c >= 0x100) {
            errno = EILSEQ;
            return static_cast<std::size_t>(-1);
        }
        if (dst != nullptr) {
            dst[i] = static_cast<char>(c);
        }
    }
    return i;
}

long WideToLong(const char16_t* text) {
    if (text == nullptr) {
        errno = EINVAL;
        return 0;
    }
    // _wtol's long is 32 bits: saturate there on every platform.
    constexpr long long kMax = 2147483647LL;
    constexpr long long kMin = -2147483648LL;
    const char16_t* p = text;
    while (*p == u' ' || (*p >= u'\t' && *p <= u'\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == u'-' || *p == u'+') {
        negative = *p == u'-';
        ++p;
    }
    long long value = 0;
    for (; *p >= u'0' && *p <= u'9'; ++p) {
        if (value <= kMax + 1) {
            value = value * 10 + (*p - u'0');
        }
    }
    value = negative ? -value : value;
    if (value > kMax) {
        return static_cast<long>(kMax);
    }
    if (value < kMin) {
        return static_cast<long>(kMin);
    }
    return static_cast<long>(value);
}

} // namespace plat
