// The agent's cost against the card work it stands for, self-timed so that it runs on both
// builds (the Windows one under Wine has no Google Benchmark): one agent driven through the peer
// library and the same test module loaded in this process, on the same software card. The pairs
// are interleaved (agent, then module, N times) so a change in the machine's load falls on both
// sides alike; prints the median of each side and their ratio.
//   ratio_bench [N]      (default 200)
//   ratio_bench --module-sign-once   one signature from nothing in this process, for timing a
//                                    one-shot as whole processes (bench/oneshot_wine.sh); the
//                                    card is the one TESSIVO_TESTMODULE_CONFIG describes
// Another module and card instead of the test module's (e.g. SoftHSM2 for Windows):
//   TESSIVO_BENCH_MODULE=PATH TESSIVO_BENCH_READER=DESCRIPTION (its signature key's CKA_ID the
//   text "SIGN", PIN 123456) and, where the agent finds its module beside itself,
//   TESSIVO_BENCH_AGENT=PATH (a copy of the agent beside that module under the card vendor's name)
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

#include "bench/module_work.h"
#include "cryptoki.h"
#include "peer/Session.h"
#include "protocol/Base64.h"
#include "protocol/Frames.h"
#include "protocol/Messages.h"
#include "tests/fixtures/test_module.h"

namespace {

constexpr char kPin[] = "123456";

std::string Setting(const char* name, const std::string& otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : otherwise;
}

const std::string kReader = Setting("TESSIVO_BENCH_READER", "Tessivo Reader");
// The test module signs with the raw mechanism only: the agent hashes and wraps the DigestInfo.
constexpr CK_MECHANISM_TYPE kRequestMechanism = CKM_SHA256_RSA_PKCS;
// SHA-256 of "abc" in its DER DigestInfo (RFC 8017, section 9.2), as the agent hands it the card.
const std::vector<unsigned char> kDigestInfo = {
    0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04,
    0x02, 0x01, 0x05, 0x00, 0x04, 0x20, 0xba, 0x78, 0x16, 0xbf, 0x8f, 0x01, 0xcf,
    0xea, 0x41, 0x41, 0x40, 0xde, 0x5d, 0xae, 0x22, 0x23, 0xb0, 0x03, 0x61, 0xa3,
    0x96, 0x17, 0x7a, 0x9c, 0xb4, 0x10, 0xff, 0x61, 0xf2, 0x00, 0x15, 0xad};

// The module loaded into this process, initialised once, logged in, the signature key found.
class DirectModule {
public:
    bool Open(const std::string& path, std::string& error) {
#if defined(_WIN32)
        library_ = LoadLibraryA(path.c_str());
        auto getList = library_ == nullptr
                           ? nullptr
                           : reinterpret_cast<CK_C_GetFunctionList>(reinterpret_cast<void*>(
                                 GetProcAddress(library_, "C_GetFunctionList")));
#else
        library_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        auto getList =
            library_ == nullptr
                ? nullptr
                : reinterpret_cast<CK_C_GetFunctionList>(dlsym(library_, "C_GetFunctionList"));
#endif
        if (getList == nullptr || getList(&f_) != CKR_OK || f_->C_Initialize(nullptr) != CKR_OK)
            return Fail(error, "cannot load or initialise the module");
        initialised_ = true;
        CK_SLOT_ID slots[32];
        CK_ULONG count = 32;
        if (f_->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK)
            return Fail(error, "no slot list");
        bool found = false;
        for (CK_ULONG i = 0; i < count && !found; ++i) {
            CK_SLOT_INFO info;
            found = f_->C_GetSlotInfo(slots[i], &info) == CKR_OK &&
                    std::memcmp(info.slotDescription, kReader.data(), kReader.size()) == 0;
            slot_ = slots[i];
        }
        if (!found)
            return Fail(error, "no bench reader");
        if (f_->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &session_) != CKR_OK ||
            f_->C_Login(session_, CKU_USER, (CK_UTF8CHAR_PTR)kPin, std::strlen(kPin)) != CKR_OK)
            return Fail(error, "cannot log in");
        CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
        char id[] = "SIGN";
        CK_ATTRIBUTE query[] = {{CKA_CLASS, &keyClass, sizeof keyClass}, {CKA_ID, id, 4}};
        CK_ULONG keys = 0;
        if (f_->C_FindObjectsInit(session_, query, 2) != CKR_OK ||
            f_->C_FindObjects(session_, &key_, 1, &keys) != CKR_OK || keys != 1)
            return Fail(error, "no signature key");
        f_->C_FindObjectsFinal(session_);
        return true;
    }

    bool Sign() {
        CK_MECHANISM mechanism = {CKM_RSA_PKCS, nullptr, 0};
        unsigned char signature[512];
        CK_ULONG length = sizeof signature;
        return f_->C_SignInit(session_, &mechanism, key_) == CKR_OK &&
               f_->C_Sign(session_, const_cast<unsigned char*>(kDigestInfo.data()),
                          kDigestInfo.size(), signature, &length) == CKR_OK;
    }

    bool Card() {
        return bench::CardWork(f_, slot_);
    }
    bool Slots() {
        return bench::SlotsWork(f_);
    }

    ~DirectModule() {
        if (initialised_) {
            if (session_ != CK_INVALID_HANDLE)
                f_->C_CloseSession(session_);
            f_->C_Finalize(nullptr);
        }
#if defined(_WIN32)
        if (library_ != nullptr)
            FreeLibrary(library_);
#else
        if (library_ != nullptr)
            dlclose(library_);
#endif
    }

private:
    static bool Fail(std::string& error, const char* what) {
        error = what;
        return false;
    }

#if defined(_WIN32)
    HMODULE library_ = nullptr;
#else
    void* library_ = nullptr;
#endif
    CK_FUNCTION_LIST_PTR f_ = nullptr;
    bool initialised_ = false;
    CK_SLOT_ID slot_ = 0;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE key_ = CK_INVALID_HANDLE;
};

std::vector<std::uint8_t> Utf16Payload(const std::string& ascii) {
    return tessivo::EncodeTextRequest(std::u16string(ascii.begin(), ascii.end()));
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

struct Medians {
    double agent = 0;
    double module = 0;
};

// Times `agent` and `module` alternately n times; false as soon as either fails.
bool Pair(const char* name, int n, const std::function<bool()>& agent,
          const std::function<bool()>& module, Medians* out = nullptr) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> agentUs, moduleUs;
    for (int i = 0; i < n; ++i) {
        for (auto* side : {&agentUs, &moduleUs}) {
            const auto start = Clock::now();
            if (!(side == &agentUs ? agent() : module())) {
                std::fprintf(stderr, "%s failed (%s side)\n", name,
                             side == &agentUs ? "agent" : "module");
                return false;
            }
            side->push_back(
                std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    const double a = Median(agentUs), m = Median(moduleUs);
    std::printf("%-9s agent %10.1f us   module %10.1f us   ratio %7.2f\n", name, a, m, a / m);
    if (out != nullptr) {
        *out = {a, m};
    }
    return true;
}

// The median of n timed runs of `work`, in microseconds; a negative value when it failed.
double Timed(int n, const std::function<bool()>& work) {
    using Clock = std::chrono::steady_clock;
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
        const auto start = Clock::now();
        if (!work()) {
            return -1;
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return Median(us);
}

std::string ModulePath() {
    return Setting("TESSIVO_BENCH_MODULE", TestModulePath());
}

} // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--module-sign-once") == 0) {
        DirectModule module;
        std::string error;
        if (module.Open(ModulePath(), error) && module.Sign())
            return 0;
        std::fprintf(stderr, "module: %s\n",
                     error.empty() ? "the signature failed" : error.c_str());
        return 1;
    }
    const int n = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200;
    // The module reads this at each C_Initialize: the agent's and this process's see one card.
    TestModuleConfig config("slot = Tessivo Reader ; 1 ; BENCH ; BENCH001\n"
                            "pin = " +
                            std::string(kPin) + "\n" + FixtureCardObjects(TESSIVO_TEST_CERTS_DIR));
    const std::vector<std::uint8_t> reader = Utf16Payload(kReader);
    const std::vector<std::uint8_t> pin = Utf16Payload(kPin);
    const std::vector<std::uint8_t> sign = tessivo::EncodeSignRequest(
        {static_cast<std::uint16_t>(kRequestMechanism), tessivo::EncodeBase64("abc")});
    peer::SessionOptions options;
    options.agentPath = Setting("TESSIVO_BENCH_AGENT", TESSIVO_AGENT_PATH);
#if !defined(_WIN32)
    // Under Windows the agent loads the module by its file name from its own folder.
    options.modulePath = ModulePath();
#endif
    // An agent started, its reader chosen and logged in; false with `error` set otherwise.
    const auto startAgent = [&](peer::AgentSession& agent, std::string& error) {
        if (!agent.Start(options, error) || !agent.WaitReady(error))
            return false;
        agent.WriteRequest(reader);
        agent.Send(MWM_SLOT, reader.size() / 2, 0);
        agent.WriteRequest(pin);
        agent.Send(MWM_LOGIN, pin.size() / 2, 0);
        if (tessivo::DecodeLoginRecord(agent.ReadRequest(tessivo::kLoginRecordSize)).status != 0) {
            error = "the agent's login failed";
            return false;
        }
        return true;
    };
    std::string error;
    try {
        // One signature from nothing, as a one-shot peer makes it: agent started, reader, login,
        // sign, logout, agent ended; against the module loaded, initialised, logged in, one
        // sign, finalised and unloaded. First, while no module is loaded in this process.
        const bool oneShot = Pair(
            "one-shot", std::max(1, n / 20),
            [&] {
                peer::AgentSession agent;
                if (!startAgent(agent, error))
                    return false;
                agent.WriteRequest(sign);
                const bool signedOk = agent.Send(MWM_SIGN, sign.size(), 0) == 0;
                agent.Send(MWM_LOGOUT, 0, 0);
                return signedOk;
            },
            [&] {
                DirectModule module;
                return module.Open(ModulePath(), error) && module.Sign();
            });
        if (!oneShot) {
            std::fprintf(stderr, "one-shot: %s\n", error.c_str());
            return 1;
        }
    } catch (const peer::AgentError& e) {
        std::fprintf(stderr, "agent: %s\n", e.what());
        return 1;
    }
    DirectModule direct;
    if (!direct.Open(ModulePath(), error)) {
        std::fprintf(stderr, "module: %s\n", error.c_str());
        return 1;
    }
    peer::AgentSession agent;
    try {
        if (!startAgent(agent, error)) {
            std::fprintf(stderr, "agent: %s\n", error.c_str());
            return 1;
        }
        Medians signing;
        const bool ok = Pair(
                            "MWM_SIGN", n,
                            [&] {
                                agent.WriteRequest(sign);
                                return agent.Send(MWM_SIGN, sign.size(), 0) == 0;
                            },
                            [&] { return direct.Sign(); }, &signing) &&
                        Pair(
                            "MWM_CARD", n, [&] { return agent.Send(MWM_CARD, 0, 0) == 0; },
                            [&] { return direct.Card(); }) &&
                        Pair(
                            "MWM_SLOT", n,
                            [&] {
                                agent.WriteRequest(reader);
                                agent.Send(MWM_SLOT, reader.size() / 2, 0);
                                return true;
                            },
                            [&] { return direct.Slots(); });
        if (!ok) {
            return 1;
        }
        // What an MWM_SIGN round trip costs besides the card's work: one message hop (a request
        // the agent answers with neither module work nor a log line) and four whole-channel
        // writes (the request by the peer; the reply, the sign header and the log line by the
        // agent), each a zero-fill of the channel and a copy.
        const double hop = Timed(n, [&] {
            agent.Send(MWM_LASTRESULT, 0, 0);
            return true;
        });
        const double write = Timed(n, [&] { return agent.WriteRequest(sign); });
        if (hop < 0 || write < 0) {
            std::fprintf(stderr, "the round trip's parts could not be timed\n");
            return 1;
        }
        const double floor = signing.module + hop + 4 * write;
        std::printf("MWM_SIGN round trip in parts: module sign %.1f us, message hop %.1f us, "
                    "channel write %.1f us (four a round trip)\n",
                    signing.module, hop, write);
        std::printf("floor (module sign + hop + four writes) %.1f us: round trip / floor %.2f, "
                    "floor / module sign %.2f, rest %.1f us\n",
                    floor, signing.agent / floor, floor / signing.module, signing.agent - floor);
        return 0;
    } catch (const peer::AgentError& e) {
        std::fprintf(stderr, "agent: %s\n", e.what());
        return 1;
    }
}
