#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/process.h"
#include "platform/window.h"
#include "tests/platform/peer_protocol.h"

#if !defined(_WIN32)
#include <cstdlib>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#endif

namespace {

using namespace peer_protocol;

constexpr plat::Message kLocalPing = plat::kWmUser + 50;
constexpr plat::Message kLocalPosted = plat::kWmUser + 51;
constexpr std::uintptr_t kSafetyTimer = 99; // ends a loop that waits in vain

// What the local test window saw.
struct Seen {
    int created = 0;
    std::vector<plat::WParam> posted;
    std::map<std::uintptr_t, int> ticks;
    std::map<std::uintptr_t, int> rearmUntil; // timer id -> ticks before it stops re-arming
    std::uintptr_t quitOnTimer = 0;           // quit with 0 when this timer ticks
};
Seen g_seen;

plat::LResult LocalProc(plat::WindowHandle window, plat::Message message, plat::WParam wParam,
                        plat::LParam lParam) {
    switch (message) {
    case plat::kWmCreate:
        ++g_seen.created;
        return 0;
    case kLocalPing:
        return static_cast<plat::LResult>(wParam + 1);
    case kLocalPosted:
        g_seen.posted.push_back(wParam);
        if (lParam != 0) {
            plat::PostQuitMessage(static_cast<int>(lParam));
        }
        return 0;
    case kEcho:
        return static_cast<plat::LResult>(wParam) * 1000 + lParam;
    case plat::kWmTimer: {
        const std::uintptr_t id = wParam;
        ++g_seen.ticks[id];
        if (id == kSafetyTimer) {
            plat::PostQuitMessage(-1);
            return 0;
        }
        if (g_seen.rearmUntil.count(id)) {
            plat::KillTimer(window, id); // one-shot ticks, re-armed while the series goes on
            if (g_seen.ticks[id] < g_seen.rearmUntil[id]) {
                plat::SetTimer(window, id, 15);
            } else {
                plat::PostQuitMessage(0);
            }
        }
        if (id == g_seen.quitOnTimer) {
            plat::PostQuitMessage(0);
        }
        return 0;
    }
    default:
        return plat::DefWindowProc(window, message, wParam, lParam);
    }
}

class WindowTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        static const bool registered =
            plat::RegisterWindowClass(u"TessivoPlatformTest", LocalProc, 0);
        ASSERT_TRUE(registered);
    }
    void SetUp() override {
        g_seen = Seen{};
        window_ = plat::CreateTopLevelWindow(u"TessivoPlatformTest", u"test", 0, 0, 0, 100, 100);
        ASSERT_NE(window_, 0u);
        ASSERT_TRUE(plat::SetTimer(window_, kSafetyTimer, 20000));
    }
    void TearDown() override { plat::DestroyWindow(window_); }

    plat::WindowHandle window_ = 0;
};

TEST_F(WindowTest, LocalMessagesAndQuitCode) {
    EXPECT_EQ(g_seen.created, 1);
    EXPECT_EQ(plat::SendMessage(window_, kLocalPing, 41, 0), 42);
    EXPECT_EQ(plat::WindowProcessId(window_), plat::CurrentProcessId());
    ASSERT_TRUE(plat::PostMessage(window_, kLocalPosted, 1, 0));
    ASSERT_TRUE(plat::PostMessage(window_, kLocalPosted, 2, 23));
    EXPECT_TRUE(g_seen.posted.empty()); // posted messages wait for the loop
    EXPECT_EQ(plat::RunMessageLoop(0), 23);
    EXPECT_EQ(g_seen.posted, (std::vector<plat::WParam>{1, 2}));
}

TEST_F(WindowTest, OneShotTimerRearmedFromItsHandlerFiresAsSeries) {
    g_seen.rearmUntil[1] = 5;
    ASSERT_TRUE(plat::SetTimer(window_, 1, 15));
    EXPECT_EQ(plat::RunMessageLoop(0), 0);
    EXPECT_EQ(g_seen.ticks[1], 5);
}

TEST_F(WindowTest, SettingSameIdReplacesTimerAndKilledTimersNeverFire) {
    ASSERT_TRUE(plat::SetTimer(window_, 2, 15000));
    ASSERT_TRUE(plat::SetTimer(window_, 2, 20)); // replaces the long one
    ASSERT_TRUE(plat::SetTimer(window_, 3, 10));
    ASSERT_TRUE(plat::KillTimer(window_, 3));
    ASSERT_TRUE(plat::SetTimer(window_, 4, 10));
    g_seen.quitOnTimer = 5;
    ASSERT_TRUE(plat::SetTimer(window_, 5, 300));
    EXPECT_EQ(plat::RunMessageLoop(0), 0);
    EXPECT_GE(g_seen.ticks[2], 1);
    EXPECT_EQ(g_seen.ticks[3], 0);
    EXPECT_GE(g_seen.ticks[4], 2); // window timers repeat until killed
    EXPECT_EQ(g_seen.ticks[kSafetyTimer], 0);
    EXPECT_FALSE(plat::KillTimer(window_, 3));
}

// ---- two processes ----

plat::WindowHandle WaitForPeerWindow(std::uint32_t pid) {
    for (int i = 0; i < 600; ++i) {
        const plat::WindowHandle window = plat::FindTopLevelWindow(kClassName, pid);
        if (window != 0) {
            return window;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return 0;
}

class PeerWindowTest : public WindowTest {
protected:
    void SetUp() override {
        WindowTest::SetUp();
        peer_ = plat::StartProcess(HelperPath(PLATFORM_PEER_NAME), u"window");
        ASSERT_NE(peer_, nullptr);
        pid_ = plat::ProcessId(peer_);
        peerWindow_ = WaitForPeerWindow(pid_);
        ASSERT_NE(peerWindow_, 0u);
    }
    void TearDown() override {
        if (!plat::WaitProcess(peer_, 0)) {
            plat::KillProcess(peer_);
            plat::WaitProcess(peer_, 60000);
        }
        plat::CloseProcess(peer_);
        WindowTest::TearDown();
    }

    plat::ProcessHandle peer_ = nullptr;
    std::uint32_t pid_ = 0;
    plat::WindowHandle peerWindow_ = 0;
};

TEST_F(PeerWindowTest, FindSendPostAndQuit) {
    const std::vector<plat::TopLevelWindow> all = plat::EnumTopLevelWindows();
    EXPECT_NE(std::find_if(all.begin(), all.end(),
                           [&](const plat::TopLevelWindow& w) {
                               return w.window == peerWindow_ && w.processId == pid_;
                           }),
              all.end());
    EXPECT_EQ(plat::WindowProcessId(peerWindow_), pid_);
    EXPECT_EQ(plat::FindTopLevelWindow(u"tessivo", pid_), peerWindow_); // class names ignore case

    EXPECT_EQ(plat::SendMessage(peerWindow_, kEcho, 12, 34), 12034);
    EXPECT_EQ(plat::SendMessage(peerWindow_, kWhoAmI, 0, 0), static_cast<plat::LResult>(pid_));
    EXPECT_EQ(plat::SendMessage(peerWindow_, kEcho, 0, -5), -5);
    // While we wait for its answer, the peer's message to our window is served.
    EXPECT_EQ(plat::SendMessage(peerWindow_, kCallBack, window_, 7), 7002);

    ASSERT_TRUE(plat::PostMessage(peerWindow_, kQuit, 42, 0));
    ASSERT_TRUE(plat::WaitProcess(peer_, 60000));
    std::uint32_t code = 0;
    ASSERT_TRUE(plat::ProcessExitCode(peer_, code));
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(plat::FindTopLevelWindow(kClassName, pid_), 0u);
}

TEST_F(PeerWindowTest, SenderGetsZeroWhenWindowProcessDies) {
    plat::SetLastError(0);
    EXPECT_EQ(plat::SendMessage(peerWindow_, kDie, 0, 0), 0);
#if !defined(_WIN32)
    EXPECT_NE(plat::LastError(), 0u);
#endif
    ASSERT_TRUE(plat::WaitProcess(peer_, 60000));
    plat::SetLastError(0);
    EXPECT_EQ(plat::SendMessage(peerWindow_, kEcho, 1, 1), 0);
    EXPECT_NE(plat::LastError(), 0u);
    EXPECT_FALSE(plat::PostMessage(peerWindow_, kEcho, 1, 1));
}

// A send with a time limit: answered ones as usual; one that runs out of time fails, and its late
// answer is never taken for the answer to the next message; a window that is gone fails at once.
TEST_F(PeerWindowTest, SendWithATimeLimit) {
    plat::LResult result = 0;
    ASSERT_TRUE(plat::SendMessageTimeout(peerWindow_, kEcho, 3, 4, 5000, result));
    EXPECT_EQ(result, 3004);
    result = -1;
    plat::SetLastError(0);
    EXPECT_FALSE(plat::SendMessageTimeout(peerWindow_, kSlow, 600, 77, 100, result));
    EXPECT_EQ(plat::LastError(), plat::kSendTimedOut);
    EXPECT_EQ(result, -1);
    ASSERT_TRUE(plat::SendMessageTimeout(peerWindow_, kEcho, 5, 6, 5000, result));
    EXPECT_EQ(result, 5006);
    ASSERT_TRUE(plat::SendMessageTimeout(peerWindow_, kDestroy, 0, 0, 5000, result));
    EXPECT_FALSE(plat::SendMessageTimeout(peerWindow_, kEcho, 1, 1, 5000, result));
    EXPECT_NE(plat::LastError(), 0u);
    EXPECT_FALSE(plat::SendMessageTimeout(0, kEcho, 1, 1, 5000, result));
}

#if !defined(_WIN32)
// A window is found only once it takes messages: a peer that watches for it while it is being
// made and posts at first sight must never be refused. The first window of a process just
// started is the slowest to make, so each round starts a helper and looks for its window without
// a pause, to catch the first moment it can be seen.
TEST(WindowStart, FoundAtFirstSightTakesAPost) {
    for (int round = 0; round < 300; ++round) {
        SCOPED_TRACE(round);
        plat::ProcessHandle helper = plat::StartProcess(HelperPath(PLATFORM_PEER_NAME), u"window");
        ASSERT_NE(helper, nullptr);
        const std::uint32_t pid = plat::ProcessId(helper);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        plat::WindowHandle window = 0;
        while (window == 0 && plat::IsProcessRunning(helper) &&
               std::chrono::steady_clock::now() < deadline) {
            window = plat::FindTopLevelWindow(kClassName, pid);
            std::this_thread::yield(); // on a busy machine, the helper's turn
        }
        const bool posted = window != 0 && plat::PostMessage(window, kQuit, 7, 0);
        EXPECT_TRUE(posted) << "window " << window << ", error " << plat::LastError();
        if (!posted) {
            plat::KillProcess(helper);
        }
        std::uint32_t code = 0;
        EXPECT_TRUE(plat::WaitProcess(helper, 60000));
        if (posted) {
            EXPECT_TRUE(plat::ProcessExitCode(helper, code) && code == 7u) << "exit code " << code;
        }
        plat::CloseProcess(helper);
    }
}
#endif

TEST(WindowBadInput, FailsWithoutCrashing) {
    const plat::WindowHandle bogus = static_cast<plat::WindowHandle>(0x7FFF00001234ull);
    plat::SetLastError(0);
    EXPECT_EQ(plat::SendMessage(0, kEcho, 1, 1), 0);
    EXPECT_NE(plat::LastError(), 0u);
    EXPECT_EQ(plat::SendMessage(bogus, kEcho, 1, 1), 0);
    EXPECT_FALSE(plat::PostMessage(bogus, kEcho, 1, 1));
    EXPECT_FALSE(plat::SetTimer(0, 1, 10));
    EXPECT_FALSE(plat::SetTimer(bogus, 1, 10));
    EXPECT_FALSE(plat::KillTimer(bogus, 1));
    EXPECT_FALSE(plat::DestroyWindow(0));
    EXPECT_FALSE(plat::DestroyWindow(bogus));
    EXPECT_EQ(plat::WindowProcessId(0), 0u);
    EXPECT_EQ(plat::WindowProcessId(bogus), 0u);
    EXPECT_EQ(plat::FindTopLevelWindow(u"TessivoNoSuchClass", 0), 0u);
    EXPECT_EQ(plat::CreateTopLevelWindow(u"TessivoNoSuchClass", u"x", 0, 0, 0, 10, 10), 0u);
    EXPECT_FALSE(plat::RegisterWindowClass(u"", nullptr, 0));
    // A class name too long for the platform fails at registration or at creation.
    const std::u16string longName = u"Tessivo" + std::u16string(300, u'L');
    plat::RegisterWindowClass(longName, LocalProc, 0);
    EXPECT_EQ(plat::CreateTopLevelWindow(longName, u"x", 0, 0, 0, 10, 10), 0u);
    plat::RegisterResourceString(9109, u"TESSIVO");
    EXPECT_EQ(plat::LoadResourceString(9109), u"TESSIVO");
    EXPECT_EQ(plat::LoadResourceString(9109, 4), u"TES");
    EXPECT_EQ(plat::LoadResourceString(9110), u"");
}

#if !defined(_WIN32)
// The window directory: private, refused when another user owns it, stale entries removed.
class WindowDirectoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/dev/shm/tessivo-platform-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        forced_ = Saved("TESSIVO_RUNTIME_DIR");
        xdg_ = Saved("XDG_RUNTIME_DIR");
        unsetenv("TESSIVO_RUNTIME_DIR");
        setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
        dir_ = root_ + "/tessivo";
        plat::RegisterWindowClass(u"TessivoDirTest", LocalProc, 0);
    }
    void TearDown() override {
        Restore("TESSIVO_RUNTIME_DIR", forced_);
        Restore("XDG_RUNTIME_DIR", xdg_);
        std::system(("rm -rf '" + root_ + "'").c_str());
    }
    static std::optional<std::string> Saved(const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
    }
    static void Restore(const char* name, const std::optional<std::string>& value) {
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    std::string root_, dir_;
    std::optional<std::string> forced_, xdg_;
};

TEST_F(WindowDirectoryTest, CreatedPrivate) {
    const plat::WindowHandle window =
        plat::CreateTopLevelWindow(u"TessivoDirTest", u"x", 0, 0, 0, 10, 10);
    ASSERT_NE(window, 0u);
    struct stat st {};
    ASSERT_EQ(lstat(dir_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(plat::FindTopLevelWindow(u"TessivoDirTest", plat::CurrentProcessId()), window);
    EXPECT_TRUE(plat::DestroyWindow(window));
    EXPECT_EQ(plat::FindTopLevelWindow(u"TessivoDirTest", 0), 0u);
}

TEST_F(WindowDirectoryTest, RefusedWhenAnotherUserOwnsIt) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to hand the directory to another user";
    }
    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
    ASSERT_EQ(chown(dir_.c_str(), 65534, 65534), 0);
    plat::SetLastError(0);
    EXPECT_EQ(plat::CreateTopLevelWindow(u"TessivoDirTest", u"x", 0, 0, 0, 10, 10), 0u);
    EXPECT_EQ(plat::LastError(), static_cast<std::uint32_t>(EACCES));
    EXPECT_TRUE(plat::EnumTopLevelWindows().empty());
}

TEST_F(WindowDirectoryTest, StaleEntryOfDeadProcessIsSkippedAndRemoved) {
    plat::ProcessHandle gone = plat::StartProcess(HelperPath(PLATFORM_PEER_NAME), u"exit 0 0");
    ASSERT_NE(gone, nullptr);
    const std::uint32_t deadPid = plat::ProcessId(gone);
    ASSERT_TRUE(plat::WaitProcess(gone, 60000));
    plat::CloseProcess(gone);

    ASSERT_EQ(mkdir(dir_.c_str(), 0700), 0);
    const std::string stale = dir_ + "/TESSIVO." + std::to_string(deadPid) + ".1";
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", stale.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    close(fd);

    EXPECT_EQ(plat::FindTopLevelWindow(kClassName, deadPid), 0u);
    EXPECT_TRUE(plat::EnumTopLevelWindows().empty());
    EXPECT_NE(access(stale.c_str(), F_OK), 0);
}
#endif

} // namespace
