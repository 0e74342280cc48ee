// The agent's code page is 950 in these tests (the default on Linux, LC_ALL=zh_TW under Wine).
#include <gtest/gtest.h>

#include <cstring>
#include <utility>

#include "platform/text.h"
#include "platform/codepage.h"

namespace {

// 憑證 in Big5.
const char kBig5Cert[] = "\xBE\xCC\xC3\xD2";
const char kUtf8Cert[] = "\xE6\x86\x91\xE8\xAD\x89";

TEST(TextConvert, AnsiCodePageIs950) {
    ASSERT_EQ(plat::AnsiCodePage(), 950u);
}

TEST(TextConvert, NarrowTextKeepsLatin1AndCutsBeforeTheFirstWideCharacter) {
    EXPECT_EQ(plat::NarrowText(u"message:MWM_HELLO"), "message:MWM_HELLO");
    EXPECT_EQ(plat::NarrowText(u"caf\u00e9\u00ff"), "caf\xe9\xff");
    EXPECT_EQ(plat::NarrowText(u"code:\u6191\u8b49 after"), "code:");
    EXPECT_EQ(plat::NarrowText(u""), "");
}

TEST(TextConvert, NarrowTextOfATextStartingWideIsInTheAnsiCodePage) {
    EXPECT_EQ(plat::NarrowText(u"\u6191\u8b49"), kBig5Cert);
    // Only double-byte characters: the whole text, not a cut or empty one.
    std::u16string many(40, u'\u6191');
    std::string expected;
    for (int i = 0; i < 40; ++i) {
        expected += "\xBE\xCC";
    }
    EXPECT_EQ(plat::NarrowText(many), expected);
}

TEST(TextConvert, WidenTextReadsTheAnsiCodePage) {
    EXPECT_EQ(plat::WidenText(kBig5Cert), u"\u6191\u8b49");
    EXPECT_EQ(plat::WidenText("plain"), u"plain");
    EXPECT_EQ(plat::WidenText(""), u"");
}

TEST(TextConvert, NarrowIntoZeroesAndStaysInsideTheBuffer) {
    char buffer[8];
    std::memset(buffer, 'x', sizeof buffer);
    plat::NarrowInto(u"ab", buffer, 6);
    EXPECT_STREQ(buffer, "ab");
    EXPECT_EQ(buffer[5], '\0');
    EXPECT_EQ(buffer[6], 'x'); // past the given size nothing is touched
}

TEST(TextConvert, WidenIntoRefusesInvalidBytesAndLeavesZero) {
    char16_t buffer[8];
    plat::WidenInto(kBig5Cert, 4, buffer, 8);
    EXPECT_EQ(std::u16string(buffer), u"\u6191\u8b49");

    std::memset(buffer, 0x55, sizeof buffer);
    const char truncated[] = "\xBE"; // a lead byte without its trail byte
    plat::WidenInto(truncated, 1, buffer, 8);
    for (char16_t unit : buffer) {
        EXPECT_EQ(unit, 0);
    }
}

TEST(TextConvert, Utf8ToBig5ConvertsWithTerminatorWhenItFits) {
    char out[16];
    std::memset(out, 'x', sizeof out);
    ASSERT_EQ(plat::Utf8ToBig5(kUtf8Cert, 6, out, 16), 0);
    EXPECT_EQ(std::memcmp(out, "\xBE\xCC\xC3\xD2\0", 5), 0);
    EXPECT_EQ(out[5], 'x');

    EXPECT_EQ(plat::Utf8ToBig5(kUtf8Cert, 6, out, 5), 0);  // 4 bytes and the terminator
    EXPECT_EQ(plat::Utf8ToBig5(kUtf8Cert, 6, out, 4), -1); // no room for the terminator
    EXPECT_EQ(plat::Utf8ToBig5("", 0, out, 16), -1);       // nothing converted
}

TEST(TextConvert, Utf8ToBig5RefusesTextLongerThanItsBuffersWithoutOverflow) {
    std::string longText(400, 'a');
    char out[512];
    EXPECT_EQ(plat::Utf8ToBig5(longText.data(), static_cast<int>(longText.size()), out, 512), -1);
    std::string exactly256(256, 'b');
    // 256 units fit the UTF-16 buffer, but 257 bytes with the terminator exceed the Big5 one.
    EXPECT_EQ(plat::Utf8ToBig5(exactly256.data(), 256, out, 512), -1);
    std::string fits(255, 'c');
    EXPECT_EQ(plat::Utf8ToBig5(fits.data(), 255, out, 512), 0);
    EXPECT_EQ(std::strlen(out), 255u);
}

} // namespace

TEST(TextConvert, Utf8AndUtf16RoundTripWholeTexts) {
    const std::string utf8 = std::string("a\0b", 3) + kUtf8Cert;
    const std::u16string wide = plat::Utf8ToUtf16(utf8);
    EXPECT_EQ(wide, std::u16string(u"a\0b\u6191\u8b49", 5));
    EXPECT_EQ(plat::Utf16ToUtf8(wide), utf8);
    EXPECT_EQ(plat::Utf16ToUtf8(u"\xD800"), "\xEF\xBF\xBD"); // a lone surrogate
    EXPECT_EQ(plat::Utf8ToUtf16(""), u"");
}

TEST(TextConvert, HexDigitValues) {
    const std::pair<char, int> cases[] = {{'0', 0},  {'9', 9},  {'a', 10}, {'F', 15},
                                          {'g', -1}, {'/', -1}, {':', -1}, {'\0', -1}};
    for (const auto& [c, value] : cases) {
        EXPECT_EQ(plat::HexDigitValue(c), value) << c;
    }
}
