#include <gtest/gtest.h>

#include "agent/CommandLine.h"

namespace {

struct Case {
    const char16_t* line;
    std::uint32_t processId;
    const char16_t* memName;
    const char16_t* memName2;
};

TEST(CommandLine, FieldsAsTheGrammarReadsThem) {
    const Case cases[] = {
        {u"-/4711 -/ReqMap -/LogMap", 4711, u"ReqMap", u"LogMap"},
        {u"-/4711 -/ReqMap", 4711, u"ReqMap", u""},
        {u"-/1234", 1234, u"", u""},
        {u"-/4711-/ReqMap-/LogMap", 4711, u"", u""},
        {u"", 0xFFFFFFFFu, u"", u""},
        {u"no fields here", 0xFFFFFFFFu, u"", u""},
        {u"-/ -/A -/B", 0, u"A", u"B"},
        {u"x -/12ab -/A", 12, u"A", u""},
        {u"-/-5 -/A -/B", static_cast<std::uint32_t>(-5), u"A", u"B"},
        {u"-/  7 -/A", 0, u"A", u""}, // the first value is empty up to the first space
        {u"-/1 skipped -/A skipped -/B trailing", 1, u"A", u"B"},
        {u"-/1 -/A -/B -/C", 1, u"A", u"B"},
    };
    for (const Case& c : cases) {
        CommandLine parsed = ParseCommandLine(c.line);
        SCOPED_TRACE(std::string(c.line, c.line + std::char_traits<char16_t>::length(c.line)));
        EXPECT_EQ(parsed.processId, c.processId);
        EXPECT_EQ(parsed.memName, c.memName);
        EXPECT_EQ(parsed.memName2, c.memName2);
    }
}

TEST(CommandLine, LineLongerThanTheBufferIsCutAt255Units) {
    std::u16string name(300, u'n');
    CommandLine parsed = ParseCommandLine(u"-/42 -/" + name);
    EXPECT_EQ(parsed.processId, 42u);
    // "-/42 -/" takes 7 of the 255 units that fit.
    EXPECT_EQ(parsed.memName, std::u16string(255 - 7, u'n'));

    std::u16string cutInSecondField = u"-/42 -/" + std::u16string(248, u'r') + u" -/Log";
    parsed = ParseCommandLine(cutInSecondField);
    EXPECT_EQ(parsed.memName, std::u16string(248, u'r'));
    EXPECT_EQ(parsed.memName2, u"");
}

// Only the bare words ask for help or the version; every other line stays an agent's command line.
TEST(CommandLine, HelpAndVersionOnlyAsTheWholeLine) {
    const struct {
        const char16_t* line;
        InfoRequest asked;
    } cases[] = {
        {u"--help", InfoRequest::Help},
        {u" -h ", InfoRequest::Help},
        {u"/?", InfoRequest::Help},
        {u"--version", InfoRequest::Version},
        {u"", InfoRequest::None},
        {u"-/4711 -/ReqMap -/LogMap", InfoRequest::None},
        {u"--help -/4711 -/ReqMap", InfoRequest::None},
        {u"-/4711 --version", InfoRequest::None},
        {u"--helpme", InfoRequest::None},
        {u"--VERSION", InfoRequest::None},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.line, c.line + std::char_traits<char16_t>::length(c.line)));
        EXPECT_EQ(AskedForInfo(c.line), c.asked);
    }
}

} // namespace
