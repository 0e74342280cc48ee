#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/codepage.h"
#include "platform/types.h"

namespace {

using plat::kCpBig5;
using plat::kCpUtf8;

const std::u16string kExpired = u"憑證卡已逾期";
const std::string kExpiredBig5 = "\xBE\xCC\xC3\xD2\xA5\x64\xA4\x77\xB9\x4F\xB4\xC1";

std::string ToBytes(std::uint32_t codePage, const std::u16string& text) {
    const int n = plat::WideToMultiByte(codePage, 0, text.data(), int(text.size()), nullptr, 0);
    std::string out(static_cast<std::size_t>(n), '\0');
    EXPECT_EQ(plat::WideToMultiByte(codePage, 0, text.data(), int(text.size()), out.data(), n), n);
    return out;
}

std::u16string FromBytes(std::uint32_t codePage, const std::string& bytes) {
    const int n = plat::MultiByteToWide(codePage, 0, bytes.data(), int(bytes.size()), nullptr, 0);
    std::u16string out(static_cast<std::size_t>(n), u'\0');
    EXPECT_EQ(plat::MultiByteToWide(codePage, 0, bytes.data(), int(bytes.size()), out.data(), n),
              n);
    return out;
}

TEST(CodePage, Big5RoundTrip) {
    EXPECT_EQ(ToBytes(kCpBig5, kExpired), kExpiredBig5);
    EXPECT_EQ(FromBytes(kCpBig5, kExpiredBig5), kExpired);
}

TEST(CodePage, Utf8RoundTrip) {
    const std::string utf8 = "\xE6\x86\x91\xE8\xAD\x89 ok";
    EXPECT_EQ(FromBytes(kCpUtf8, utf8), u"憑證 ok");
    EXPECT_EQ(ToBytes(kCpUtf8, u"憑證 ok"), utf8);
}

// ASCII text takes a shortcut past iconv on Linux; a code page whose low half is not ASCII
// (EBCDIC 500: 'A' is 0xC1, byte 0x41 is a no-break space) must still be converted by its table.
TEST(CodePage, AsciiTextFollowsTheCodePage) {
    for (std::uint32_t codePage : {kCpBig5, kCpUtf8, 1252u}) {
        EXPECT_EQ(FromBytes(codePage, "MIIB+/=\r\n"), u"MIIB+/=\r\n") << codePage;
        EXPECT_EQ(ToBytes(codePage, u"MIIB+/=\r\n"), "MIIB+/=\r\n") << codePage;
    }
#if !defined(_WIN32)
    EXPECT_EQ(ToBytes(500, u"A1"), "\xC1\xF1");
    EXPECT_EQ(FromBytes(500, "A"), u"\u00A0");
#endif
}

TEST(CodePage, TerminatorIsConvertedWithMinusOne) {
    char out[32] = {};
    const int n = plat::WideToMultiByte(kCpBig5, 0, kExpired.c_str(), -1, out, sizeof out);
    EXPECT_EQ(n, 13);
    EXPECT_EQ(std::string(out), kExpiredBig5);
    char16_t wide[8];
    EXPECT_EQ(plat::MultiByteToWide(kCpBig5, 0, "ab", -1, wide, 8), 3);
    EXPECT_EQ(wide[2], u'\0');
}

TEST(CodePage, CharacterWithoutBig5FormBecomesQuestionMark) {
    EXPECT_EQ(ToBytes(kCpBig5, u"A한B"), "A?B");
}

// An invalid Big5 sequence with the invalid-characters flag fails and leaves the output as the
// caller zeroed it.
TEST(CodePage, InvalidBig5WithFlagFailsAndWritesNothing) {
    for (const std::string& bytes : {std::string("\xBE"), std::string("ab\xBE\x7F")}) {
        SCOPED_TRACE(bytes.size());
        char16_t out[16] = {};
        plat::SetLastError(0);
        EXPECT_EQ(plat::MultiByteToWide(kCpBig5, plat::kMbErrInvalidChars, bytes.data(),
                                        int(bytes.size()), out, 16),
                  0);
        EXPECT_NE(plat::LastError(), 0u);
        for (char16_t c : out) {
            EXPECT_EQ(c, u'\0');
        }
        // Without the flag the same bytes still convert.
        EXPECT_GT(plat::MultiByteToWide(kCpBig5, 0, bytes.data(), int(bytes.size()), out, 16), 0);
    }
}

TEST(CodePage, OutputTooSmallFails) {
    char out[4] = {};
    plat::SetLastError(0);
    EXPECT_EQ(plat::WideToMultiByte(kCpBig5, 0, kExpired.data(), int(kExpired.size()), out, 4), 0);
    EXPECT_NE(plat::LastError(), 0u);
}

TEST(CodePage, BadArgumentsFail) {
    char16_t wide[4];
    char narrow[4];
    plat::SetLastError(0);
    EXPECT_EQ(plat::MultiByteToWide(kCpBig5, 0, nullptr, 3, wide, 4), 0);
    EXPECT_NE(plat::LastError(), 0u);
    EXPECT_EQ(plat::MultiByteToWide(kCpBig5, 0, "abc", 0, wide, 4), 0);
    EXPECT_EQ(plat::MultiByteToWide(kCpBig5, 0, "abc", 3, wide, -1), 0);
    EXPECT_EQ(plat::MultiByteToWide(kCpBig5, 0, "abc", -7, wide, 4), 0);
    EXPECT_EQ(plat::MultiByteToWide(kCpBig5, 0, "abc", 3, nullptr, 4), 0);
    EXPECT_EQ(plat::WideToMultiByte(kCpBig5, 0, nullptr, 3, narrow, 4), 0);
    EXPECT_EQ(plat::WideToMultiByte(kCpBig5, 0, u"abc", 3, narrow, -2), 0);
}

TEST(CodePage, AnsiCodePageIs950ByDefault) {
#if !defined(_WIN32)
    unsetenv("TESSIVO_ACP");
#endif
    EXPECT_EQ(plat::AnsiCodePage(), 950u);
    EXPECT_EQ(ToBytes(plat::kCpAcp, kExpired), kExpiredBig5);
}

#if !defined(_WIN32)
TEST(CodePage, AnsiCodePageFollowsTessivoAcp) {
    struct Case {
        const char* value;
        std::uint32_t codePage;
        std::string eAcute;
    };
    const Case cases[] = {{"65001", 65001, "\xC3\xA9"}, {"1252", 1252, "\xE9"}, {"junk", 950, "?"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        setenv("TESSIVO_ACP", c.value, 1);
        EXPECT_EQ(plat::AnsiCodePage(), c.codePage);
        EXPECT_EQ(ToBytes(plat::kCpAcp, u"\u00e9"), c.eAcute);
    }
    unsetenv("TESSIVO_ACP");
}
#endif

TEST(CodePage, NarrowCLocale) {
    char out[16];
    std::fill(std::begin(out), std::end(out), 'x');
    EXPECT_EQ(plat::NarrowCLocale(out, u"caf\u00e9", sizeof out), 4u);
    EXPECT_EQ(std::string(out), "caf\xE9");

    // Stops at the first unit above U+00FF; what was written before it stays.
    std::fill(std::begin(out), std::end(out), '\0');
    EXPECT_EQ(plat::NarrowCLocale(out, u"ab\u6191cd", sizeof out), static_cast<std::size_t>(-1));
    EXPECT_EQ(std::string(out), "ab");

    // At most n bytes, without a terminator when n is reached.
    std::fill(std::begin(out), std::end(out), 'x');
    EXPECT_EQ(plat::NarrowCLocale(out, u"abcdef", 3), 3u);
    EXPECT_EQ(std::string(out, 4), "abcx");
}

TEST(CodePage, WideToLongReadsLikeWtol) {
    const struct {
        const char16_t* text;
        long value;
    } cases[] = {
        {u"4711", 4711},
        {u"  -12ab", -12},
        {u"12ab", 12},
        {u"", 0},
        {u"-", 0},
        {u"+7", 7},
        {u"\t\n 99 1", 99},
        {u"x12", 0},
        {u"4711-/ReqMap", 4711},
        {u"2147483647", 2147483647L},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plat::WideToLong(c.text), c.value);
    }
}

} // namespace
