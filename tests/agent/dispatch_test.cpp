#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "agent/AgentProcess.h"
#include "agent/MainWindow.h"
#include "protocol/Messages.h"
#include "agent/SharedMemory.h"
#include "agent/TokenAgent.h"
#include "platform/console.h"
#include "platform/process.h"
#include "platform/window.h"
#include "test_support.h"

namespace {

class Dispatch : public ::testing::Test {
protected:
    void SetUp() override {
        window_ = agent_test::CreateTestWindow();
        console_ = plat::CreateConsole(window_, kConsoleStyle, 0, 0, kConsoleWidth, kConsoleHeight);
        agent_.Activity().Attach(window_, console_);
    }
    void TearDown() override { plat::DestroyWindow(window_); }

    CTokenAgent agent_;
    plat::WindowHandle window_ = 0;
    plat::WindowHandle console_ = 0;
};

TEST_F(Dispatch, HelloTakesTheProcessIdAndLogsIt) {
    agent_.Channels().requestName = u"ReqX";
    const std::uint32_t nobody = 0x7FFFFFF0u; // owns no window
    EXPECT_EQ(agent_.Dispatch(window_, MWM_HELLO, 0, static_cast<std::int32_t>(nobody)),
              static_cast<std::int32_t>(nobody));
    EXPECT_EQ(agent_.m_ProcessId, nobody);
    EXPECT_EQ(agent_.m_hWnd, window_);
    std::u16string text = plat::ConsoleText(console_);
    EXPECT_EQ(text, u"message:MWM_HELLO,m_ProcessId : 2147483632,mem : ReqX;\r");
}

TEST_F(Dispatch, HelloWithAProcessOwningWindowsTakesTheFirstOne) {
    std::uint32_t self = plat::CurrentProcessId();
    plat::WindowHandle first = 0;
    for (const plat::TopLevelWindow& entry : plat::EnumTopLevelWindows()) {
        if (entry.processId == self) {
            first = entry.window;
            break;
        }
    }
    ASSERT_NE(first, 0u);
    agent_.Activity().SetWindow(0);
    EXPECT_EQ(agent_.Dispatch(window_, MWM_HELLO, 0, static_cast<std::int32_t>(self)),
              static_cast<std::int32_t>(self));
    EXPECT_EQ(agent_.m_hWnd, first);
}

TEST_F(Dispatch, IdsWithoutHandlerAnswerZeroAndLogNothing) {
    for (std::uint32_t id : {1232u, 1233u, 1236u, 1237u}) {
        EXPECT_EQ(agent_.Dispatch(window_, id, 0xFFFFFFFFu, -1), 0) << id;
    }
    EXPECT_EQ(agent_.Dispatch(window_, MWM_LASTRESULT, 0, 0), Process().lastForwardResult);
    EXPECT_EQ(plat::ConsoleText(console_), u"");
}

TEST_F(Dispatch, TokenRequestsFailWithoutTheLibrary) {
    struct Expected {
        std::uint32_t id;
        std::int32_t result;
    };
    const Expected cases[] = {{MWM_SLOT, -1},   {MWM_CARD, 1},  {MWM_SIGN, 1},
                              {MWM_CERTINF, 0}, {MWM_LOGIN, 1}, {MWM_LOGOUT, 1}};
    for (const Expected& c : cases) {
        for (std::uint32_t wParam : {0u, 7u, 512001u, 0xFFFFFFFFu}) {
            EXPECT_EQ(agent_.Dispatch(window_, c.id, wParam, -1), c.result) << c.id;
        }
    }
    EXPECT_FALSE(agent_.m_LibraryOpen);
}

// The record's channels are closed with it: an agent that follows gets the name the first one
// had, not the name a second agent of the user takes while the first holds it.
TEST(AgentRecord, ItsReturnChannelGoesWithIt) {
    std::u16string firstName;
    {
        CTokenAgent first;
        ASSERT_NE(first._hMem1, nullptr);
        firstName = first.m_MemName1;
    }
    CTokenAgent next;
    EXPECT_EQ(next.m_MemName1, firstName);
    EXPECT_NE(next._hMem1, nullptr);
}

TEST(MainWindow, CentredOnTheDesktop) {
    struct Case {
        plat::Rect desktop;
        int x, y;
    };
    const Case cases[] = {{{0, 0, 1920, 1080}, 660, 340},
                          {{0, 0, 1024, 768}, 212, 184},
                          {{0, 0, 599, 399}, 0, 0}}; // -1 / 2 truncates toward zero
    for (const Case& c : cases) {
        Position at = CentredOnDesktop(c.desktop, kMainWidth, kMainHeight);
        EXPECT_EQ(at.x, c.x);
        EXPECT_EQ(at.y, c.y);
    }
}

TEST(MainWindow, WindowProcedureRoutesTheCatalogue) {
    CTokenAgent agent;
    ServeAgent(&agent);
    ASSERT_TRUE(plat::RegisterWindowClass(u"TessivoRouteTest", AgentWindowProc, IDI_TESSIVO));
    plat::WindowHandle window =
        plat::CreateTopLevelWindow(u"TessivoRouteTest", u"Tessivo", 0, 0, 0, 600, 400);
    ASSERT_NE(window, 0u);
    // Window creation made the console and attached the agent.
    EXPECT_EQ(agent.m_hWnd, window);
    EXPECT_NE(agent.m_hLogWnd, 0u);

    EXPECT_EQ(plat::SendMessage(window, MWM_LOG, 1, 2), plat::DefWindowProc(window, MWM_LOG, 1, 2));
    EXPECT_EQ(plat::SendMessage(window, MWM_HELLO, 0, 4321), 4321);
    EXPECT_EQ(agent.m_ProcessId, 4321u);
    EXPECT_EQ(plat::SendMessage(window, 1233, 0, 0), 0);
    EXPECT_EQ(plat::ConsoleText(agent.m_hLogWnd),
              u"message:MWM_HELLO,m_ProcessId : 4321,mem : ;\r");

    // MWM_EXIT ends the message loop.
    EXPECT_EQ(plat::SendMessage(window, MWM_EXIT, 0, 0), 0);
    EXPECT_EQ(plat::RunMessageLoop(0), 0);
    plat::KillTimer(window, kHelloTimer);
    plat::DestroyWindow(window);
    ServeAgent(nullptr);
}

// Whatever a peer sends, with any parameters and any channel content, the agent answers
// without crashing or touching memory outside its buffers (the sanitizer build checks the
// latter).
TEST(MainWindow, NothingThePeerSendsCrashesTheAgent) {
    CTokenAgent agent;
    ServeAgent(&agent);
    ASSERT_TRUE(plat::RegisterWindowClass(u"TessivoGarbageTest", AgentWindowProc, IDI_TESSIVO));
    plat::WindowHandle window =
        plat::CreateTopLevelWindow(u"TessivoGarbageTest", u"Tessivo", 0, 0, 0, 600, 400);
    ASSERT_NE(window, 0u);
    const std::u16string requestName = agent_test::UniqueName("garbage");
    plat::MappingHandle request = CreateSharedMemory(requestName.c_str());
    ASSERT_NE(request, nullptr);
    agent.Channels().Request().Reset(OpenSharedMemory(requestName.c_str()));
    ASSERT_NE(agent._hMem, nullptr);

    std::vector<unsigned char> garbage(kChannelSize);
    for (std::size_t i = 0; i < garbage.size(); ++i) {
        garbage[i] = static_cast<unsigned char>(i % 7 == 0 ? 0xFF : 0x80 + i % 127);
    }
    const plat::WParam wParams[] = {
        0, 1, 5, 6, 512000, 512001, 1024000, 0xFFFFFFFFu, ~static_cast<plat::WParam>(0)};
    const plat::LParam lParams[] = {0, -1, INT32_MIN};
    for (plat::Message id = MWM_FIRST - 5; id <= MWM_LAST + 5; ++id) {
        if (id == MWM_EXIT) {
            continue; // it only ends the message loop (tested above)
        }
        for (plat::WParam wParam : wParams) {
            for (plat::LParam lParam : lParams) {
                SCOPED_TRACE(testing::Message() << id << " " << wParam << " " << lParam);
                ASSERT_EQ(WriteSharedMemory(request, garbage.data(), kChannelSize), kChannelSize);
                plat::LResult result = AgentWindowProc(window, id, wParam, lParam);
                if (id == MWM_HELLO) {
                    EXPECT_EQ(result, static_cast<std::int32_t>(lParam));
                } else if (id == 1232 || id == 1233 || id == 1236 || id == 1237) {
                    EXPECT_EQ(result, 0);
                }
            }
        }
    }
    // Still answering.
    EXPECT_EQ(AgentWindowProc(window, MWM_LASTRESULT, 0, 0), Process().lastForwardResult);
    plat::KillTimer(window, kHelloTimer);
    plat::DestroyWindow(window);
    ServeAgent(nullptr);
    CloseSharedMemory(request);
}

} // namespace
