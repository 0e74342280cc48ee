// The peer watch counted in ticks: OnTimer is driven directly and what it posts is looked at
// by handling the test window's posted messages.
#include <gtest/gtest.h>

#include "agent/MainWindow.h"
#include "protocol/Messages.h"
#include "agent/TokenAgent.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/window.h"
#include "test_support.h"

namespace {

using agent_test::ExitWasPosted;

class PeerWatch : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = agent_test::CreateTestWindow();
        ASSERT_NE(window_, 0u);
    }
    void TearDown() override {
        plat::KillTimer(window_, kHelloTimer);
        plat::KillTimer(window_, kWatchTimer);
        plat::DestroyWindow(window_);
    }
    // Runs `count` ticks of a timer; true when none of them posted MWM_EXIT.
    bool TicksWithoutExit(std::uintptr_t timer, int count) {
        for (int i = 0; i < count; ++i) {
            agent_.OnTimer(window_, timer);
            if (ExitWasPosted()) {
                return false;
            }
        }
        return true;
    }

    CTokenAgent agent_;
    plat::WindowHandle window_ = 0;
};

TEST_F(PeerWatch, EleventhTickWithoutProcessIdEndsTheAgent) {
    EXPECT_TRUE(TicksWithoutExit(kHelloTimer, 10));
    EXPECT_EQ(agent_.m_HelloTicks, 10);
    agent_.OnTimer(window_, kHelloTimer);
    EXPECT_TRUE(ExitWasPosted());
    EXPECT_EQ(agent_.m_HelloTicks, 11);
}

TEST_F(PeerWatch, HelloAfterTheFifthTickStartsTheWatchOnTheSixth) {
    EXPECT_TRUE(TicksWithoutExit(kHelloTimer, 5));
    agent_.Dispatch(window_, MWM_HELLO, 0, static_cast<std::int32_t>(plat::CurrentProcessId()));
    EXPECT_EQ(agent_.m_hPeerProcess, nullptr);
    EXPECT_TRUE(TicksWithoutExit(kHelloTimer, 1));
    EXPECT_NE(agent_.m_hPeerProcess, nullptr);
    EXPECT_EQ(agent_.m_HelloTicks, 5);
    // The peer (this process) runs: the watch goes on and the count stays 0.
    EXPECT_TRUE(TicksWithoutExit(kWatchTimer, 30));
    EXPECT_EQ(agent_.m_PeerGoneCount, 0);
}

TEST_F(PeerWatch, TwentyFailedChecksDoNotEndItTheTwentyFirstDoes) {
    agent_.Watch().processId = plat::CurrentProcessId();
    agent_.OnTimer(window_, kHelloTimer);
    ASSERT_NE(agent_.m_hPeerProcess, nullptr);
    EXPECT_TRUE(TicksWithoutExit(kWatchTimer, 3));
    // The peer is gone: an unopened process never counts as running.
    agent_.Watch().Watch(nullptr);
    EXPECT_TRUE(TicksWithoutExit(kWatchTimer, 20));
    EXPECT_EQ(agent_.m_PeerGoneCount, 20);
    agent_.OnTimer(window_, kWatchTimer);
    EXPECT_TRUE(ExitWasPosted());
}

TEST_F(PeerWatch, ARunningCheckResetsTheCount) {
    agent_.Watch().processId = plat::CurrentProcessId();
    agent_.OnTimer(window_, kHelloTimer);
    plat::ProcessHandle self = agent_.Watch().Release();
    EXPECT_TRUE(TicksWithoutExit(kWatchTimer, 15));
    agent_.Watch().Watch(self);
    EXPECT_TRUE(TicksWithoutExit(kWatchTimer, 1));
    EXPECT_EQ(agent_.m_PeerGoneCount, 0);
}

TEST_F(PeerWatch, ProcessIdZeroStartsTheWatchAndEndsAfter21Checks) {
    agent_.Watch().processId = 0;
    EXPECT_TRUE(TicksWithoutExit(kHelloTimer, 1));
    EXPECT_EQ(agent_.m_hPeerProcess, nullptr);
    EXPECT_EQ(agent_.m_HelloTicks, 0);
    EXPECT_TRUE(TicksWithoutExit(kWatchTimer, 20));
    agent_.OnTimer(window_, kWatchTimer);
    EXPECT_TRUE(ExitWasPosted());
}

TEST_F(PeerWatch, FirstTickWithAProcessIdStartsTheWatchAtOnceAndKeepsItsProcess) {
    agent_.Activity().Attach(
        0, plat::CreateConsole(window_, kConsoleStyle, 0, 0, kConsoleWidth, kConsoleHeight));
    agent_.Watch().processId = plat::CurrentProcessId();
    EXPECT_TRUE(TicksWithoutExit(kHelloTimer, 1));
    EXPECT_EQ(agent_.m_HelloTicks, 0);
    EXPECT_NE(agent_.m_hPeerProcess, nullptr);
    // ReopenChannels ran on that tick: its summary lines are in the console.
    EXPECT_NE(plat::ConsoleText(agent_.m_hLogWnd).find(u"message:WM_CREATE,_hMem2:"),
              std::u16string::npos);

    // A later MWM_HELLO naming a process that does not exist changes the id, not the watch.
    agent_.Dispatch(window_, MWM_HELLO, 0, 0x7FFFFFF0);
    EXPECT_EQ(agent_.m_ProcessId, 0x7FFFFFF0u);
    EXPECT_TRUE(TicksWithoutExit(kWatchTimer, 25));
    EXPECT_EQ(agent_.m_PeerGoneCount, 0);
}

TEST_F(PeerWatch, OtherTimerIdsAreIgnored) {
    agent_.OnTimer(window_, 7);
    EXPECT_FALSE(ExitWasPosted());
    EXPECT_EQ(agent_.m_HelloTicks, 0);
    EXPECT_EQ(agent_.m_PeerGoneCount, 0);
}

} // namespace
