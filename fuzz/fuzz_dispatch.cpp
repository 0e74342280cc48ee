// The agent's request dispatcher on arbitrary requests: an agent object in this process, on the
// test PKCS#11 module with a card holding the fixture certificates (PIN 123456), so that
// reader selection, login, the certificate record and signing are all reachable.
//
// An input is a sequence of up to eight requests, each an 11-byte header and its payload:
//   byte 0      the message (an index into kMessages)
//   byte 1      bits 0-1 where wParam comes from: 0 the raw value below, 1 half the channel
//               bytes, 2 the channel bytes, 3 half the channel bytes plus one;
//               bit 2 leaves the request channel as the previous request left it
//   bytes 2-5   raw wParam and lParam (little-endian)
//   bytes 6-7   payload bytes taken from the input (little-endian)
//   bytes 8-10  bytes written to the request channel: the payload repeated to that length
//               (little-endian, up to a little more than the channel holds)
// A session still logged in when the input ends is logged out, so inputs start alike.
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "agent/MainWindow.h"
#include "protocol/Messages.h"
#include "agent/SharedMemory.h"
#include "agent/TokenAgent.h"
#include "platform/console.h"
#include "platform/mapping.h"
#include "platform/window.h"
#include "tests/agent/test_support.h"
#include "tests/fixtures/files.h"
#include "tests/fixtures/local_time.h"
#include "tests/fixtures/test_module.h"

namespace {

// Every id of the catalogue's range, its neighbours and a few far away.
constexpr std::uint32_t kMessages[] = {1225, 1226, 1227, 1228, 1229,        1230,       1231,
                                       1232, 1233, 1234, 1235, 1236,        1237,       1238,
                                       1224, 1239, 0,    1024, 0x7FFFFFFFu, 0xFFFFFFFFu};
constexpr std::size_t kHeaderSize = 11;
constexpr std::size_t kMaxRequests = 8;

struct Harness {
    std::unique_ptr<fixtures::TempDir> runtime;
    std::unique_ptr<TestModuleConfig> config;
    std::unique_ptr<CTokenAgent> agent;
    plat::WindowHandle window = 0;
    std::vector<unsigned char> channel;
};

Harness* g_harness = nullptr;

// At exit: the agent ends its session and closes its channels before the window, the module's
// configuration and the runtime directory go, so nothing is left behind in the temporary folder.
void EndHarness() {
    Harness* h = g_harness;
    g_harness = nullptr;
    h->agent.reset();
    plat::DestroyWindow(h->window);
    delete h;
}

std::uint32_t Read32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t(p[3]) << 24);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
    // The console mirrors every log line to standard error: send the C stream elsewhere, while
    // the sanitizers' and libFuzzer's reports still reach descriptor 2.
    if (std::FILE* quiet = std::fopen("/dev/null", "w")) {
        stderr = quiet;
    }
    auto* h = new Harness;
    // Windows and channels of this process only: a private runtime directory.
    h->runtime = std::make_unique<fixtures::TempDir>();
    fixtures::SetEnvironment("XDG_RUNTIME_DIR", h->runtime->Path());
    fixtures::UseTaipeiTime();
    h->config = std::make_unique<TestModuleConfig>("slot = Empty Reader ; 0 ; ; \n"
                                                   "slot = Card Reader ; 1 ; CARD ; CARD0001\n"
                                                   "pin = 123456\n" +
                                                   FixtureCardObjects(TESSIVO_TEST_CERTS_DIR));
    fixtures::SetEnvironment("TESSIVO_PKCS11_MODULE", TestModulePath());
    h->agent = std::make_unique<CTokenAgent>();
    h->window = agent_test::CreateTestWindow();
    h->agent->Activity().Attach(h->window, plat::CreateConsole(h->window, kConsoleStyle, 0, 0,
                                                               kConsoleWidth, kConsoleHeight));
    ChannelSet& channels = h->agent->Channels();
    channels.requestName = agent_test::UniqueName("FuzzRequest");
    channels.logName = agent_test::UniqueName("FuzzLog");
    channels.Request().Reset(CreateSharedMemory(channels.requestName.c_str()));
    channels.Log().Reset(CreateSharedMemory(channels.logName.c_str()));
    if (!h->agent->m_LibraryOpen || h->agent->_hMem == nullptr || h->agent->_hMem1 == nullptr ||
        h->agent->_hMem2 == nullptr) {
        std::fputs("fuzz_dispatch: the agent did not start\n", stdout);
        std::abort();
    }
    g_harness = h;
    std::atexit(EndHarness);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Harness& h = *g_harness;
    CTokenAgent& agent = *h.agent;
    std::size_t pos = 0;
    for (std::size_t n = 0; n < kMaxRequests && size - pos >= kHeaderSize; ++n) {
        const std::uint8_t* header = data + pos;
        pos += kHeaderSize;
        const std::uint32_t message = kMessages[header[0] % std::size(kMessages)];
        const std::uint32_t raw = Read32(header + 2);
        const std::size_t taken = std::min<std::size_t>(header[6] | (header[7] << 8), size - pos);
        const std::size_t written =
            std::min<std::size_t>(header[8] | (header[9] << 8) | (header[10] << 16),
                                  static_cast<std::size_t>(kChannelSize) + 16);
        const std::uint8_t* payload = data + pos;
        pos += taken;

        if ((header[1] & 4) == 0) {
            // The payload repeated: copied once, then doubled (a byte loop is slow here).
            h.channel.assign(written, 0);
            if (taken > 0 && written > 0) {
                std::size_t filled = std::min(taken, written);
                std::memcpy(h.channel.data(), payload, filled);
                while (filled < written) {
                    const std::size_t more = std::min(filled, written - filled);
                    std::memcpy(h.channel.data() + filled, h.channel.data(), more);
                    filled += more;
                }
            }
            WriteSharedMemory(agent._hMem, h.channel.data(),
                              static_cast<std::int32_t>(h.channel.size()));
        }
        std::uint32_t wParam = raw;
        switch (header[1] & 3) {
        case 1:
            wParam = static_cast<std::uint32_t>(written / 2);
            break;
        case 2:
            wParam = static_cast<std::uint32_t>(written);
            break;
        case 3:
            wParam = static_cast<std::uint32_t>(written / 2 + 1);
            break;
        default:
            break;
        }
        agent.Dispatch(h.window, message, wParam, static_cast<std::int32_t>(raw));
    }
    if (agent.m_LoggedIn) {
        agent.Dispatch(h.window, MWM_LOGOUT, 0, 0);
    }
    return 0;
}
