#include <gtest/gtest.h>

#include <string>

#if defined(_WIN32)
#include <windows.h>

#include <richedit.h>
#undef DefWindowProc // the platform's own is meant below
#endif

#include "platform/console.h"
#include "platform/window.h"

namespace {

constexpr std::uint32_t kConsoleStyle = 0x50810844; // the agent's read-only multi-line style

plat::LResult HostProc(plat::WindowHandle window, plat::Message message, plat::WParam wParam,
                       plat::LParam lParam) {
    return plat::DefWindowProc(window, message, wParam, lParam);
}

class ConsoleTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { plat::RegisterWindowClass(u"TessivoConsoleHost", HostProc, 0); }
    void SetUp() override {
        host_ = plat::CreateTopLevelWindow(u"TessivoConsoleHost", u"host", 0, 0, 0, 600, 400);
        ASSERT_NE(host_, 0u);
        console_ = plat::CreateConsole(host_, kConsoleStyle, 0, 0, 593, 370);
        ASSERT_NE(console_, 0u);
    }
    void TearDown() override { plat::DestroyWindow(host_); }

    // How the agent appends an entry: caret to the end, insert, then the break.
    void Append(const std::u16string& text) { Append(console_, text); }
    static void Append(plat::WindowHandle console, const std::u16string& text) {
        plat::ConsoleSetSelectionEx(console, -1, -1);
        plat::ConsoleReplaceSelection(console, text);
        const long end = plat::ConsoleTextLength(console);
        plat::ConsoleSetSelection(console, end, end);
        plat::ConsoleReplaceSelection(console, u"\r\n");
    }
    // How the agent drops the oldest entry: select line 0 and its break, replace with nothing.
    void RemoveFirstLine() {
        const long index = plat::ConsoleLineIndex(console_, 0);
        ASSERT_NE(index, -1);
        const long length = plat::ConsoleLineLength(console_, index);
        plat::ConsoleSetSelectionEx(console_, index, index + length + 1);
        plat::ConsoleReplaceSelection(console_, u"");
    }

    plat::WindowHandle host_ = 0;
    plat::WindowHandle console_ = 0;
};

TEST_F(ConsoleTest, BreaksAreOneCrAndLengthCountsCrLf) {
    Append(u"message:MWM_HELLO");
    Append(u"憑證卡");
    EXPECT_EQ(plat::ConsoleText(console_), u"message:MWM_HELLO\r憑證卡\r");
    EXPECT_EQ(plat::ConsoleTextLength(console_), 17 + 1 + 3 + 1 + 2);
    EXPECT_EQ(plat::ConsoleLineIndex(console_, 0), 0);
    EXPECT_EQ(plat::ConsoleLineIndex(console_, 1), 18);
    EXPECT_EQ(plat::ConsoleLineIndex(console_, 7), -1);
    EXPECT_EQ(plat::ConsoleLineLength(console_, 0), 17);
    EXPECT_EQ(plat::ConsoleLineLength(console_, 19), 3);
}

TEST_F(ConsoleTest, RemovingFirstLineTakesItsBreak) {
    Append(u"one");
    Append(u"two");
    Append(u"three");
    RemoveFirstLine();
    EXPECT_EQ(plat::ConsoleText(console_), u"two\rthree\r");
    RemoveFirstLine();
    EXPECT_EQ(plat::ConsoleText(console_), u"three\r");
}

TEST_F(ConsoleTest, TextInsertedAtTheEndAfterAnEarlierSelection) {
    Append(u"entry");
    plat::ConsoleSetSelectionEx(console_, 0, 2);
    plat::ConsoleSetSelectionEx(console_, -1, -1);
    plat::ConsoleReplaceSelection(console_, u"wResult:44");
    EXPECT_EQ(plat::ConsoleText(console_), u"entry\rwResult:44");
}

#if defined(_WIN32)
// Entries written while the console's painting is held leave the same text and scroll it to its
// newest line just as entries written without.
TEST_F(ConsoleTest, HeldPaintingLeavesTextAndScrollAlike) {
    plat::ShowWindow(host_, plat::kSwShow);
    const plat::WindowHandle held = plat::CreateConsole(host_, kConsoleStyle, 0, 0, 593, 370);
    ASSERT_NE(held, 0u);
    const auto firstVisibleLine = [](plat::WindowHandle console) {
        return ::SendMessageW(reinterpret_cast<HWND>(console), EM_GETFIRSTVISIBLELINE, 0, 0);
    };
    for (int i = 0; i < 60; ++i) {
        const std::u16string entry = u"message:MWM_CARD,wparam:" + std::u16string(i % 7 + 1, u'7');
        Append(entry);
        const plat::ConsoleEdits edits(held);
        Append(held, entry);
    }
    EXPECT_EQ(plat::ConsoleText(held), plat::ConsoleText(console_));
    EXPECT_GT(firstVisibleLine(console_), 30);
    EXPECT_EQ(firstVisibleLine(held), firstVisibleLine(console_));
}
#else
TEST_F(ConsoleTest, FinishedLinesGoToStandardError) {
    ::testing::internal::CaptureStderr();
    Append(u"message:MWM_CARD");
    plat::ConsoleReplaceSelection(console_, u"half");
    const std::string mirrored = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(mirrored, "message:MWM_CARD\n");
}
#endif

TEST(ConsoleBadInput, NullAndForeignHandlesFail) {
    const plat::WindowHandle bogus = static_cast<plat::WindowHandle>(0x7FFF00001234ull);
    for (plat::WindowHandle handle : {plat::WindowHandle{0}, bogus}) {
        EXPECT_EQ(plat::ConsoleLineIndex(handle, 0), -1);
        EXPECT_EQ(plat::ConsoleTextLength(handle), 0);
        EXPECT_EQ(plat::ConsoleText(handle), u"");
        plat::ConsoleSetSelectionEx(handle, 0, 1);
        plat::ConsoleReplaceSelection(handle, u"x");
    }
    EXPECT_EQ(plat::CreateConsole(0, kConsoleStyle, 0, 0, 10, 10), 0u);
}

} // namespace
