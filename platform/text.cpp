// Text conversions on top of the code-page interface, the same on every system.
#include "platform/text.h"

#include <cstring>
#include <vector>

#include "platform/codepage.h"

namespace plat {

std::u16string WidenBytes(std::uint32_t codePage, const std::string& bytes, std::uint32_t flags) {
    if (bytes.empty()) {
        return {};
    }
    const int units =
        MultiByteToWide(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    if (units <= 0) {
        return {};
    }
    std::u16string wide(static_cast<std::size_t>(units), u'\0');
    MultiByteToWide(codePage, flags, bytes.data(), static_cast<int>(bytes.size()), wide.data(),
                    units);
    return wide;
}

std::u16string Utf8ToUtf16(const std::string& text) {
    return WidenBytes(kCpUtf8, text);
}

std::string NarrowBytes(std::uint32_t codePage, const std::u16string& text) {
    if (text.empty()) {
        return {};
    }
    const int bytes =
        WideToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (bytes <= 0) {
        return {};
    }
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    WideToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), narrow.data(), bytes);
    return narrow;
}

std::string Utf16ToUtf8(const std::u16string& text) {
    return NarrowBytes(kCpUtf8, text);
}

std::u16string WidenText(const std::string& narrow) {
    int units = MultiByteToWide(kCpAcp, 0, narrow.c_str(), -1, nullptr, 0);
    if (units <= 0) {
        return {};
    }
    std::vector<char16_t> buffer(static_cast<std::size_t>(units) + 1, u'\0');
    MultiByteToWide(kCpAcp, 0, narrow.c_str(), -1, buffer.data(), units);
    return std::u16string(buffer.data());
}

namespace {

// The ANSI-code-page form of a text, in a buffer as large as the conversion needs (a
// double-byte or UTF-8 code page can need more than two bytes per character).
std::string NarrowAnsi(const std::u16string& text) {
    int bytes = WideToMultiByte(kCpAcp, 0, text.c_str(), -1, nullptr, 0);
    if (bytes <= 0) {
        return {};
    }
    std::vector<char> buffer(static_cast<std::size_t>(bytes) + 1, '\0');
    NarrowInto(text, buffer.data(), bytes);
    return std::string(buffer.data());
}

} // namespace

std::string NarrowText(const std::u16string& text) {
    std::size_t n = 2 * text.size();
    std::vector<char> buffer(n + 2, '\0');
    NarrowCLocale(buffer.data(), text.c_str(), n);
    if (buffer[0] != '\0') {
        return std::string(buffer.data());
    }
    return NarrowAnsi(text);
}

char* NarrowInto(const std::u16string& text, char* destination, int size) {
    if (destination == nullptr || size <= 0) {
        return destination;
    }
    std::memset(destination, 0, static_cast<std::size_t>(size));
    WideToMultiByte(kCpAcp, 0, text.c_str(), -1, destination, size);
    return destination;
}

char16_t* WidenInto(const char* bytes, int count, char16_t* destination, int size) {
    if (destination == nullptr || size <= 0) {
        return destination;
    }
    std::memset(destination, 0, 2 * static_cast<std::size_t>(size));
    if (bytes == nullptr || count == 0) {
        return destination;
    }
    int units = MultiByteToWide(kCpAcp, kMbErrInvalidChars, bytes, count, destination, size);
    if (units <= 0) {
        // A refused sequence must not leave a partial conversion behind.
        std::memset(destination, 0, 2 * static_cast<std::size_t>(size));
    }
    return destination;
}

int Utf8ToBig5(const char* bytes, int count, char* destination, int capacity) {
    constexpr int kUnits = 256;
    constexpr int kBig5Bytes = 256;
    if (bytes == nullptr || destination == nullptr) {
        return -1;
    }
    // One unit more than the conversion may fill, so the terminator always has room.
    char16_t buff_uni[kUnits + 1] = {};
    int units = MultiByteToWide(kCpUtf8, 0, bytes, count, buff_uni, kUnits);
    if (units <= 0) {
        return -1;
    }
    buff_uni[units] = u'\0';
    char buff_big5[kBig5Bytes] = {};
    int converted = WideToMultiByte(kCpBig5, 0, buff_uni, units + 1, buff_big5, kBig5Bytes);
    if (converted <= 0 || converted > capacity) {
        return -1;
    }
    std::memcpy(destination, buff_big5, static_cast<std::size_t>(converted));
    return 0;
}

} // namespace plat
