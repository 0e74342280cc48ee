// Code-page conversions with the semantics of MultiByteToWideChar / WideCharToMultiByte.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

inline constexpr std::uint32_t kCpAcp = 0;               // the ANSI code page
inline constexpr std::uint32_t kCpUtf8 = 65001;          //
inline constexpr std::uint32_t kCpBig5 = 950;            // Traditional Chinese (Big5)
inline constexpr std::uint32_t kMbErrInvalidChars = 0x8; // MB_ERR_INVALID_CHARS

// The active ANSI code page: GetACP() on Windows; on Linux 950 unless TESSIVO_ACP names another.
std::uint32_t AnsiCodePage();

// As MultiByteToWideChar: srcLen -1 converts up to and including the terminator; dstLen 0 asks
// for the size. Returns the units written (or needed), 0 on failure with the last error set.
int MultiByteToWide(std::uint32_t codePage, std::uint32_t flags, const char* src, int srcLen,
                    char16_t* dst, int dstLen);
// As WideCharToMultiByte with no default character: unmappable characters become '?'.
int WideToMultiByte(std::uint32_t codePage, std::uint32_t flags, const char16_t* src, int srcLen,
                    char* dst, int dstLen);

// The C library's wcstombs in the "C" locale: each unit below U+0100 becomes that byte; stops
// at the terminator or the first unit at or above U+0100. Writes at most n bytes (no
// terminator is added when n is reached). Returns bytes written, or (size_t)-1 when it stopped
// at an unconvertible unit.
std::size_t NarrowCLocale(char* dst, const char16_t* src, std::size_t n);

// The C library's _wtol: leading white space, optional sign, decimal digits; 0 when none.
long WideToLong(const char16_t* text);

} // namespace plat
