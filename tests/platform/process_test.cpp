#include <gtest/gtest.h>

#include "platform/process.h"
#include "tests/platform/peer_protocol.h"

namespace {

TEST(Process, RunningChildIsRunningUntilItExits) {
    plat::ProcessHandle child =
        plat::StartProcess(peer_protocol::HelperPath(PLATFORM_PEER_NAME), u"exit 7 1500");
    ASSERT_NE(child, nullptr);
    const std::uint32_t pid = plat::ProcessId(child);
    EXPECT_NE(pid, 0u);
    plat::ProcessHandle watched = plat::OpenProcessById(pid);
    ASSERT_NE(watched, nullptr);
    EXPECT_TRUE(plat::IsProcessRunning(watched));
    std::uint32_t code = 0;
    EXPECT_FALSE(plat::ProcessExitCode(child, code));

    ASSERT_TRUE(plat::WaitProcess(child, 60000));
    EXPECT_FALSE(plat::IsProcessRunning(watched));
    EXPECT_FALSE(plat::IsProcessRunning(child));
    ASSERT_TRUE(plat::ProcessExitCode(child, code));
    EXPECT_EQ(code, 7u);
    plat::CloseProcess(watched);
    plat::CloseProcess(child);
}

TEST(Process, KilledChildEnds) {
    plat::ProcessHandle child =
        plat::StartProcess(peer_protocol::HelperPath(PLATFORM_PEER_NAME), u"exit 0 60000");
    ASSERT_NE(child, nullptr);
    EXPECT_FALSE(plat::WaitProcess(child, 10));
    plat::KillProcess(child);
    EXPECT_TRUE(plat::WaitProcess(child, 60000));
    EXPECT_FALSE(plat::IsProcessRunning(child));
    plat::CloseProcess(child);
}

TEST(Process, IdsThatNameNoProcessFailToOpen) {
    for (std::uint32_t pid : {0u, 0x7FFFFFF0u, 0xFFFFFFFFu}) {
        plat::SetLastError(0);
        EXPECT_EQ(plat::OpenProcessById(pid), nullptr) << pid;
        EXPECT_NE(plat::LastError(), 0u);
    }
}

TEST(Process, BadArgumentsFail) {
    EXPECT_FALSE(plat::IsProcessRunning(nullptr));
    EXPECT_FALSE(plat::WaitProcess(nullptr, 0));
    EXPECT_EQ(plat::ProcessId(nullptr), 0u);
    std::uint32_t code = 0;
    EXPECT_FALSE(plat::ProcessExitCode(nullptr, code));
    plat::CloseProcess(nullptr);
    plat::KillProcess(nullptr);
    EXPECT_EQ(plat::StartProcess("", u""), nullptr);
    plat::SetLastError(0);
    EXPECT_EQ(plat::StartProcess(peer_protocol::HelperPath("no-such-program.exe"), u"x"), nullptr);
    EXPECT_NE(plat::LastError(), 0u);
    EXPECT_FALSE(plat::CurrentProgramPath().empty());
}

} // namespace
