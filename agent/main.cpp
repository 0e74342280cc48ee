// The entry point and the agent's one object, constructed before the entry point runs and
// destroyed by the exit processing after it returns.
#include <string>

#include <openssl/crypto.h>

#include "agent/CommandLine.h"
#include "agent/MainWindow.h"
#include "agent/TokenAgent.h"
#include "platform/text.h"
#include "platform/codepage.h"
#include "platform/process.h"
#include "platform/secure_memory.h"
#include "platform/window.h"
#include "tessivo_version.h"

// Asked before anything starts OpenSSL: its clean-up at exit frees nothing that the end of the
// process would not, and the peer waits for the agent's end.
static const int kOpenSslWithoutAtExit = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr);

static CTokenAgent g_theAgent{CTokenAgent::LibraryAfterWindow{}};

namespace {

constexpr char kHelp[] =
    "usage: tessivo -/PEER-PID -/REQUEST-CHANNEL -/LOG-CHANNEL\n"
    "       tessivo --help | --version\n"
    "\n"
    "The Tessivo smart-card signing agent. It is started by its peer (tessivo-peer or\n"
    "tessivo-host) with the peer's process id and the names of the request and log channels,\n"
    "serves that peer's requests and ends about two seconds after the peer has ended.\n"
    "Run tessivo-peer to use a card; see tessivo(1).\n";

// Answers --help and --version; false when the line is an agent's command line.
bool AnswerInfo(const std::u16string& line, int& exitCode) {
    switch (AskedForInfo(line)) {
    case InfoRequest::Help:
        exitCode = plat::WriteStandardOutput(kHelp) ? 0 : 1;
        return true;
    case InfoRequest::Version:
        exitCode = plat::WriteStandardOutput("tessivo " TESSIVO_VERSION "\n") ? 0 : 1;
        return true;
    case InfoRequest::None:
        break;
    }
    return false;
}

} // namespace

#if defined(_WIN32)

struct HINSTANCE__;

// Declared here rather than through <windows.h>: the entry point only passes the command line on.
extern "C" int wWinMain(HINSTANCE__* /*instance*/, HINSTANCE__* /*previous*/, wchar_t* commandLine,
                        int showCommand) {
    static_assert(sizeof(wchar_t) == sizeof(char16_t), "UTF-16 wchar_t");
    std::u16string line =
        commandLine != nullptr ? reinterpret_cast<const char16_t*>(commandLine) : u"";
    int exitCode = 0;
    if (AnswerInfo(line, exitCode)) {
        return exitCode;
    }
    return RunAgent(g_theAgent, line, showCommand);
}

#else

// The arguments joined with single blanks make the same command line Windows would pass.
int main(int argc, char** argv) {
    plat::KeepMemoryPrivate(); // it receives PINs
    // No resource section here: the program's strings are supplied to the platform.
    plat::RegisterResourceString(IDS_APP_TITLE, u"Tessivo");
    plat::RegisterResourceString(IDC_TESSIVO, u"TESSIVO");
    std::u16string line;
    for (int i = 1; i < argc; ++i) {
        if (i > 1) {
            line += u' ';
        }
        line += plat::Utf8ToUtf16(argv[i]);
    }
    int exitCode = 0;
    if (AnswerInfo(line, exitCode)) {
        return exitCode;
    }
    return RunAgent(g_theAgent, line, plat::kSwShowNormal);
}

#endif
