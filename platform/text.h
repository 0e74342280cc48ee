// Text conversions shared by every layer: UTF-8 and UTF-16, the ANSI code page and UTF-16 as the
// agent's replies and log lines need them, and the value of one hexadecimal digit.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

// UTF-8 and UTF-16 whole texts, zero units included; invalid sequences become U+FFFD.
std::u16string Utf8ToUtf16(const std::string& text);
std::string Utf16ToUtf8(const std::u16string& text);
// The bytes of a code page as UTF-16 (flags as MultiByteToWide's); empty when nothing converts.
std::u16string WidenBytes(std::uint32_t codePage, const std::string& bytes,
                          std::uint32_t flags = 0);
// And back: UTF-16 as the bytes of a code page; empty when nothing converts.
std::string NarrowBytes(std::uint32_t codePage, const std::u16string& text);

// ANSI code page text up to its first zero byte, as UTF-16.
std::u16string WidenText(const std::string& narrow);
// "C"-locale narrowing: ASCII and Latin-1 byte for byte, cut before the first character above
// U+00FF; a text that starts with such a character comes out in the ANSI code page instead.
std::string NarrowText(const std::u16string& text);
// Zeroes `size` bytes of `destination` and converts the text with its terminator into it.
char* NarrowInto(const std::u16string& text, char* destination, int size);
// Zeroes `size` units of `destination` and converts `count` bytes into it; bytes that are
// invalid in the code page leave it all zero.
char16_t* WidenInto(const char* bytes, int count, char16_t* destination, int size);
// UTF-8 to Big5 (code page 950) with its terminator; 0 on success, -1 when nothing converts or
// the result does not fit `capacity` bytes.
int Utf8ToBig5(const char* bytes, int count, char* destination, int capacity);

// 0..15, or -1 when `c` is not a hexadecimal digit (either case).
constexpr int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace plat
