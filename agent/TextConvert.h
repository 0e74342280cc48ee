// Conversions between UTF-16 and narrow text (bytes in the ANSI code page unless said otherwise).
#pragma once

#include <string>

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
