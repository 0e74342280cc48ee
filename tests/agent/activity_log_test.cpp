#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "agent/AgentProcess.h"
#include "agent/MainWindow.h"
#include "protocol/Messages.h"
#include "agent/SharedMemory.h"
#include "agent/TokenAgent.h"
#include "platform/console.h"
#include "platform/mapping.h"
#include "test_support.h"

namespace {

std::vector<std::u16string> Lines(plat::WindowHandle console) {
    std::vector<std::u16string> lines;
    std::u16string text = plat::ConsoleText(console);
    std::size_t start = 0;
    for (std::size_t cr = text.find(u'\r'); cr != std::u16string::npos;
         cr = text.find(u'\r', start)) {
        lines.push_back(text.substr(start, cr - start));
        start = cr + 1;
    }
    return lines;
}

std::string Narrow(const std::u16string& text) {
    return std::string(text.begin(), text.end());
}

class ActivityLog : public ::testing::Test {
protected:
    void SetUp() override {
        Process().consoleEntries = 0;
        Process().lastForwardResult = 0;
        window_ = agent_test::CreateTestWindow();
        ASSERT_NE(window_, 0u);
        console_ = plat::CreateConsole(window_, kConsoleStyle, 0, 0, kConsoleWidth, kConsoleHeight);
        ASSERT_NE(console_, 0u);
        agent_.Activity().Attach(window_, console_);
    }
    void TearDown() override {
        plat::DestroyWindow(window_);
        Process().consoleEntries = 0;
        Process().lastForwardResult = 0;
    }

    // Opens a log channel under a name of this test and gives it to the agent.
    void OpenLogChannel() {
        logName_ = agent_test::UniqueName("log");
        logKeeper_ = CreateSharedMemory(logName_.c_str());
        agent_.Channels().Log().Reset(OpenSharedMemory(logName_.c_str()));
        ASSERT_NE(agent_._hMem2, nullptr);
    }
    std::vector<unsigned char> LogChannel(int length) {
        std::vector<unsigned char> bytes(length);
        ReadSharedMemory(agent_._hMem2, bytes.data(), length);
        return bytes;
    }

    CTokenAgent agent_;
    plat::WindowHandle window_ = 0;
    plat::WindowHandle console_ = 0;
    std::u16string logName_;
    plat::MappingHandle logKeeper_ = nullptr;

public:
    ~ActivityLog() override { CloseSharedMemory(logKeeper_); }
};

TEST_F(ActivityLog, ConsoleKeepsTheLatest51Entries) {
    for (int i = 1; i <= 51; ++i) {
        agent_.AppendLog(console_, (u"entry " + std::u16string(1, u'A' + (i % 26))).c_str());
    }
    EXPECT_EQ(Lines(console_).size(), 51u);
    EXPECT_EQ(Lines(console_).front(), u"entry B");
    agent_.AppendLog(console_, u"entry 52");
    std::vector<std::u16string> lines = Lines(console_);
    ASSERT_EQ(lines.size(), 51u);
    EXPECT_EQ(lines.front(), u"entry C");
    EXPECT_EQ(lines.back(), u"entry 52");
    EXPECT_EQ(Process().consoleEntries, 51);
}

TEST_F(ActivityLog, ForwardedEntryIsFramedAndCounted) {
    OpenLogChannel();
    std::u16string text(40, u'x');
    agent_.AppendLog(console_, text.c_str());
    EXPECT_EQ(Lines(console_).back(), text + u"wResult:44");
    EXPECT_EQ(Process().lastForwardResult, 44);
    EXPECT_EQ(agent_.Dispatch(window_, MWM_LASTRESULT, 0, 0), 44);

    std::vector<unsigned char> frame = LogChannel(60);
    EXPECT_EQ(frame[0], 4);
    EXPECT_EQ(frame[1], 0);
    EXPECT_EQ(frame[2], 0);
    EXPECT_EQ(frame[3], 0);
    EXPECT_EQ(std::string(frame.begin() + 4, frame.begin() + 44), std::string(40, 'x'));
    for (int i = 44; i < 60; ++i) {
        EXPECT_EQ(frame[i], 0);
    }

    agent_.AppendLog(console_, u"");
    EXPECT_EQ(Lines(console_).back(), u"wResult:4");
    EXPECT_EQ(Process().lastForwardResult, 4);
}

TEST_F(ActivityLog, EntriesBeforeTheLogChannelOpensAreNotForwarded) {
    agent_.AppendLog(console_, u"early");
    EXPECT_EQ(Lines(console_).back(), u"early");
    EXPECT_EQ(agent_.Dispatch(window_, MWM_LASTRESULT, 0, 0), 0);

    OpenLogChannel();
    agent_.Activity().SetWindow(0); // forwarding also needs the window
    agent_.AppendLog(console_, u"no window");
    EXPECT_EQ(Lines(console_).back(), u"no window");
    EXPECT_EQ(Process().lastForwardResult, 0);
}

TEST_F(ActivityLog, ForwardedTextIsCutBeforeTheFirstWideCharacter) {
    OpenLogChannel();
    std::u16string text = u"retval:\u932f\u8aa4 end";
    agent_.AppendLog(console_, text.c_str());
    EXPECT_EQ(Lines(console_).back(), text + u"wResult:11");
    std::vector<unsigned char> frame = LogChannel(16);
    EXPECT_EQ(std::string(frame.begin() + 4, frame.begin() + 11), "retval:");
    EXPECT_EQ(frame[11], 0);

    // A text that starts with such a character goes out in the ANSI code page (950).
    agent_.AppendLog(console_, u"\u932f\u8aa4");
    EXPECT_EQ(Process().lastForwardResult, 8);
    frame = LogChannel(9);
    EXPECT_EQ(std::string(frame.begin() + 4, frame.begin() + 8), "\xBF\xF9\xBB\x7E");
}

TEST_F(ActivityLog, FailedForwardShowsMinusOne) {
    // A mapping too small to be a channel cannot take a frame.
    std::u16string name = agent_test::UniqueName("tiny");
    plat::MappingHandle tiny = plat::CreateMapping(name, 4096);
    ASSERT_NE(tiny, nullptr);
    agent_.Channels().Log().Reset(tiny);
    agent_.AppendLog(console_, u"lost");
    EXPECT_EQ(Lines(console_).back(), u"lostwResult:-1");
    EXPECT_EQ(Process().lastForwardResult, -1);
}

TEST_F(ActivityLog, NoConsoleNoEntry) {
    OpenLogChannel();
    agent_.AppendLog(0, u"vanishes");
    EXPECT_EQ(Process().consoleEntries, 0);
    EXPECT_EQ(Process().lastForwardResult, 0);
    EXPECT_TRUE(Lines(console_).empty());
}

TEST_F(ActivityLog, ReopenChannelsOpensTheNamedChannelsAndReportsThem) {
    std::u16string requestName = agent_test::UniqueName("req");
    std::u16string logName = agent_test::UniqueName("reopenlog");
    plat::MappingHandle request = CreateSharedMemory(requestName.c_str());
    plat::MappingHandle log = CreateSharedMemory(logName.c_str());
    agent_.Channels().requestName = requestName;
    agent_.Channels().logName = logName;
    agent_.ReopenChannels();
    EXPECT_NE(agent_._hMem, nullptr);
    EXPECT_NE(agent_._hMem2, nullptr);
    std::vector<std::u16string> lines = Lines(console_);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind(u"message:WM_CREATE,_hMem:", 0), 0u);
    std::u16string tail = u",data:" + requestName + u";wResult:";
    EXPECT_NE(lines[0].find(tail), std::u16string::npos) << Narrow(lines[0]);
    EXPECT_EQ(lines[2].rfind(u"message:WM_CREATE,_hMem2:", 0), 0u);

    // The log channel holds the last summary line.
    std::vector<unsigned char> frame(200);
    ReadSharedMemory(log, frame.data(), 200);
    std::string forwarded(reinterpret_cast<char*>(frame.data()) + 4);
    EXPECT_EQ(forwarded.rfind("message:WM_CREATE,_hMem2:", 0), 0u);
    CloseSharedMemory(request);
    CloseSharedMemory(log);
}

TEST_F(ActivityLog, ReopenChannelsLogsEveryChannelItCannotOpen) {
    agent_.Channels().requestName = agent_test::UniqueName("absent-req");
    agent_.Channels().logName = agent_test::UniqueName("absent-log");
    agent_.ReopenChannels();
    EXPECT_EQ(agent_._hMem, nullptr);
    EXPECT_EQ(agent_._hMem2, nullptr);
    std::vector<std::u16string> lines = Lines(console_);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0].rfind(u"message:lastError:", 0), 0u);
    EXPECT_NE(lines[0].find(u"(ReTry open " + agent_.m_MemName + u")"), std::u16string::npos);
    EXPECT_NE(lines[1].find(u"(ReTry open " + agent_.m_MemName2 + u")"), std::u16string::npos);
    EXPECT_EQ(lines[2], u"message:WM_CREATE,_hMem:0,data:" + agent_.m_MemName + u";");
}

TEST_F(ActivityLog, ReopenChannelsRetriesTheReturnChannelInOrder) {
    // The constructor could create neither name: the first tick tries m_MemName1 once more.
    ChannelSet& channels = agent_.Channels();
    channels.Return().Reset();
    channels.returnName = agent_test::UniqueName("retry-return");
    agent_.ReopenChannels();
    EXPECT_NE(agent_._hMem1, nullptr);
    channels.Return().Reset();

    // A name the platform cannot create: the failure is logged between the two opens.
    const std::size_t before = Lines(console_).size();
    channels.requestName = agent_test::UniqueName("absent-req2");
    channels.logName = agent_test::UniqueName("absent-log2");
    channels.returnName = std::u16string(300, u'r');
    agent_.ReopenChannels();
    EXPECT_EQ(agent_._hMem1, nullptr);
    std::vector<std::u16string> lines = Lines(console_);
    ASSERT_EQ(lines.size(), before + 6);
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(before));
    const std::u16string prefix = u"message:lastError:";
    const std::u16string retries[] = {u"(ReTry open " + agent_.m_MemName + u")",
                                      u"(ReTry create " + agent_.m_MemName1 + u")",
                                      u"(ReTry open " + agent_.m_MemName2 + u")"};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(Narrow(lines[i]));
        ASSERT_EQ(lines[i].rfind(prefix, 0), 0u);
        const std::size_t paren = lines[i].find(u'(');
        ASSERT_NE(paren, std::u16string::npos);
        EXPECT_EQ(lines[i].substr(paren), retries[i]);
        const std::u16string code = lines[i].substr(prefix.size(), paren - prefix.size());
        EXPECT_FALSE(code.empty());
        EXPECT_NE(code, u"0"); // the failure's last error, read when the line is made
    }
    EXPECT_EQ(lines[4], u"message:WM_CREATE,_hMem1:0,data:" + agent_.m_MemName1 + u";");
}

} // namespace
