#include "test_support.h"

#include <fstream>
#include <sstream>

#include "protocol/Messages.h"
#include "platform/window.h"

namespace agent_test {

namespace {

constexpr plat::Message kSentinel = plat::kWmUser + 77;
bool g_exitSeen = false;

plat::LResult TestWindowProc(plat::WindowHandle window, plat::Message message, plat::WParam wParam,
                             plat::LParam lParam) {
    if (message == MWM_EXIT) {
        g_exitSeen = true;
        return 0;
    }
    if (message == kSentinel) {
        plat::PostQuitMessage(0);
        return 0;
    }
    if (message == plat::kWmTimer) {
        return 0;
    }
    return plat::DefWindowProc(window, message, wParam, lParam);
}

plat::WindowHandle g_lastWindow = 0;

// /proc of the process; under Wine the Unix root is drive Z:.
std::ifstream OpenProc(const char* file) {
#if defined(_WIN32)
    std::string path = std::string("Z:/proc/self/") + file;
#else
    std::string path = std::string("/proc/self/") + file;
#endif
    return std::ifstream(path);
}

} // namespace

std::u16string UniqueName(const char* what) {
    std::string name = "TessivoAgentTest." + std::to_string(plat::CurrentProcessId()) + "." + what;
    return std::u16string(name.begin(), name.end());
}

plat::WindowHandle CreateTestWindow() {
    static bool registered = plat::RegisterWindowClass(u"TessivoAgentTest", TestWindowProc, 0);
    (void)registered;
    g_lastWindow = plat::CreateTopLevelWindow(u"TessivoAgentTest", u"test", 0, 0, 0, 100, 100);
    return g_lastWindow;
}

bool ExitWasPosted() {
    g_exitSeen = false;
    // Posted messages are handled in order, so the sentinel comes after anything posted before.
    plat::PostMessage(g_lastWindow, kSentinel, 0, 0);
    plat::RunMessageLoop(0);
    return g_exitSeen;
}

long ResidentKb() {
    std::ifstream status = OpenProc("status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

long MappingCount() {
    std::ifstream maps = OpenProc("maps");
    if (!maps) {
        return -1;
    }
    long count = 0;
    std::string line;
    while (std::getline(maps, line)) {
        ++count;
    }
    return count;
}

} // namespace agent_test
