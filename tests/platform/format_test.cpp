#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "platform/format.h"

namespace {

TEST(Format, Conversions) {
    EXPECT_EQ(plat::Format(u"%d", -42), u"-42");
    EXPECT_EQ(plat::Format(u"%d", INT_MIN), u"-2147483648");
    EXPECT_EQ(plat::Format(u"%ld|%d", -7, 0), u"-7|0");
    EXPECT_EQ(plat::Format(u"%x %x %x", 255, 0, -1), u"ff 0 ffffffff");
    EXPECT_EQ(plat::Format(u"%02x%02x%02x", 5, 0xab, 0x1ff), u"05ab1ff");
    EXPECT_EQ(plat::Format(u"data:%s;", u"憑證卡"), u"data:憑證卡;");
    EXPECT_EQ(plat::Format(u"wResult:%d", 1024000), u"wResult:1024000");
    EXPECT_EQ(plat::Format(u"100%%"), u"100%");
}

// The agent formats into a 1,024-unit buffer: output is cut at 1,023 units plus the terminator,
// and nothing is written past the buffer.
TEST(Format, LongOutputIsCutAt1023) {
    const std::u16string longText(2000, u'a');
    std::vector<char16_t> buffer(plat::kFormatLimit + 16, u'#');
    const int n = plat::FormatInto(buffer.data(), u"x%sy%d", longText.c_str(), 5);
    EXPECT_EQ(n, 1023);
    EXPECT_EQ(buffer[0], u'x');
    EXPECT_EQ(buffer[1022], u'a');
    EXPECT_EQ(buffer[1023], u'\0');
    for (std::size_t i = plat::kFormatLimit; i < buffer.size(); ++i) {
        EXPECT_EQ(buffer[i], u'#');
    }
    EXPECT_EQ(plat::Format(u"%s", longText.c_str()).size(), 1023u);
}

} // namespace
