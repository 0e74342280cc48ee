// The cost of going through the agent: the median time of each request's round trip as the peer
// sees it, against the median time of the module work the request stands for, done directly in
// this process on the same SoftHSM2 token (MWM_SIGN against C_Sign, MWM_CARD against the slot
// and token information, MWM_SLOT against the slot list with every description, a login and
// logout against opening, logging in, finding the objects and logging out). Prints the medians
// of each pair and their ratio, then one MWM_SIGN round trip broken into its parts (the card
// call as the agent makes it, the hop, the four zero-fills, copies, Base64, text conversions)
// and the round trip's CPU time on both sides against the card call's.
//
// Another module and card instead of the SoftHSM2 token (a real or virtual reader):
//   TESSIVO_BENCH_MODULE=PATH TESSIVO_BENCH_READER=DESCRIPTION TESSIVO_BENCH_PIN=PIN
//   TESSIVO_BENCH_KEY_ID=HEX (the signature key's CKA_ID; default the text "SIGN")
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <openssl/evp.h>
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/text.h"
#include "bench/module_work.h"
#include "cryptoki.h"
#include "peer/Session.h"
#include "platform/format.h"
#include "protocol/Base64.h"
#include "protocol/Frames.h"
#include "protocol/Mechanisms.h"
#include "protocol/Messages.h"
#include "tests/fixtures/softhsm_token.h"

namespace {

constexpr char kLabel[] = "bench";

std::string Setting(const char* name, const std::string& otherwise) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : otherwise;
}

// The card under test: the SoftHSM2 bench token unless TESSIVO_BENCH_MODULE names another.
const std::string kModule = Setting("TESSIVO_BENCH_MODULE", "");
const std::string kPin = Setting("TESSIVO_BENCH_PIN", "123456");

std::string KeyId() {
    const std::string hex = Setting("TESSIVO_BENCH_KEY_ID", "");
    if (hex.empty())
        return "SIGN";
    std::string id;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        id.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return id;
}
constexpr CK_MECHANISM_TYPE kMechanism = CKM_SHA256_RSA_PKCS;
const std::string kData(1024, 'x');
const std::string kDataBase64 = tessivo::EncodeBase64(kData);

// SoftHSM2 loaded into this process, logged in, with the signature key found.
class DirectToken {
public:
    bool Open(std::string& error) {
        library_ = dlopen(ModulePath().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library_ == nullptr)
            return Fail(error, "cannot load the module");
        auto getList = reinterpret_cast<CK_C_GetFunctionList>(dlsym(library_, "C_GetFunctionList"));
        if (getList == nullptr || getList(&f_) != CKR_OK || f_->C_Initialize(nullptr) != CKR_OK)
            return Fail(error, "cannot initialise the module");
        initialised_ = true;
        CK_SLOT_ID slots[16];
        CK_ULONG count = 16;
        if (f_->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK)
            return Fail(error, "no slot list");
        for (CK_ULONG i = 0; i < count; ++i) {
            CK_TOKEN_INFO info;
            CK_SLOT_INFO slotInfo;
            if (f_->C_GetTokenInfo(slots[i], &info) != CKR_OK ||
                f_->C_GetSlotInfo(slots[i], &slotInfo) != CKR_OK)
                continue;
            const std::string reader =
                Trimmed(slotInfo.slotDescription, sizeof slotInfo.slotDescription);
            if (kModule.empty() ? std::memcmp(info.label, kLabel, std::strlen(kLabel)) == 0
                                : reader == Setting("TESSIVO_BENCH_READER", "")) {
                slot_ = slots[i];
                reader_ = reader;
            }
        }
        if (reader_.empty())
            return Fail(error, "no bench token");
        if (f_->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &session_) != CKR_OK ||
            f_->C_Login(session_, CKU_USER, (CK_UTF8CHAR_PTR)kPin.data(), kPin.size()) != CKR_OK)
            return Fail(error, "cannot log in");
        if (!FindKey())
            return Fail(error, "no signature key");
        CK_BBOOL always = CK_FALSE;
        CK_ATTRIBUTE alwaysQuery = {CKA_ALWAYS_AUTHENTICATE, &always, sizeof always};
        alwaysAuthenticate_ =
            f_->C_GetAttributeValue(session_, key_, &alwaysQuery, 1) == CKR_OK && always;
        return true;
    }

    // The signature key, found again after each login: a logout takes the handles of private
    // objects away.
    bool FindKey() {
        CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
        std::string id = KeyId();
        CK_ATTRIBUTE query[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                {CKA_ID, &id[0], static_cast<CK_ULONG>(id.size())}};
        CK_ULONG found = 0;
        const bool ok = f_->C_FindObjectsInit(session_, query, 2) == CKR_OK &&
                        f_->C_FindObjects(session_, &key_, 1, &found) == CKR_OK && found == 1;
        f_->C_FindObjectsFinal(session_);
        return ok;
    }

    std::vector<unsigned char> Sign(const std::string& data) {
        return SignBytes(kMechanism, reinterpret_cast<const unsigned char*>(data.data()),
                         data.size());
    }

    // The card call as the agent makes it: the hash and its DigestInfo made here, the raw
    // PKCS#1 v1.5 signature by the card (a card often has no hashing mechanism). SoftHSM2 makes
    // the raw mechanism dearer than its own hashing one, so both are shown.
    std::vector<unsigned char> SignAsAgent(const std::string& data) {
        std::vector<std::uint8_t> hash(EVP_MAX_MD_SIZE);
        unsigned int hashLength = 0;
        if (EVP_Digest(data.data(), data.size(), hash.data(), &hashLength, EVP_sha256(), nullptr) !=
            1)
            return {};
        hash.resize(hashLength);
        const std::vector<std::uint8_t> info =
            tessivo::DigestInfo(tessivo::HashAlgorithm::Sha256, hash);
        return SignBytes(CKM_RSA_PKCS, info.data(), info.size());
    }

    bool Card() { return bench::CardWork(f_, slot_); }
    bool Slots() { return bench::SlotsWork(f_); }

    // What a logout and a login ask: a session, the logout, the login, the signature
    // certificate's value and the two keys found.
    bool LoginLogout() {
        CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
        if (f_->C_OpenSession(slot_, CKF_SERIAL_SESSION, nullptr, nullptr, &session) != CKR_OK)
            return false;
        // The login state is per token and this process's own session is logged in: a logout
        // first makes the login check the PIN as the agent's does, and the login after leaves
        // the token logged in for the other benchmarks.
        f_->C_Logout(session);
        bool ok =
            f_->C_Login(session, CKU_USER, (CK_UTF8CHAR_PTR)kPin.data(), kPin.size()) == CKR_OK;
        for (CK_OBJECT_CLASS objectClass : {CKO_CERTIFICATE, CKO_CERTIFICATE, CKO_PRIVATE_KEY}) {
            char id[] = "SIGN";
            CK_ATTRIBUTE query[] = {{CKA_CLASS, &objectClass, sizeof objectClass}, {CKA_ID, id, 4}};
            CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
            CK_ULONG found = 0;
            ok = ok && f_->C_FindObjectsInit(session, query, 2) == CKR_OK &&
                 f_->C_FindObjects(session, &object, 1, &found) == CKR_OK;
            f_->C_FindObjectsFinal(session);
            unsigned char value[4096];
            CK_ATTRIBUTE read = {CKA_VALUE, value, sizeof value};
            if (ok && found == 1 && objectClass == CKO_CERTIFICATE)
                ok = f_->C_GetAttributeValue(session, object, &read, 1) == CKR_OK;
        }
        f_->C_CloseSession(session);
        return FindKey() && ok;
    }

    const std::string& Reader() const { return reader_; }
    static std::string ModulePath() {
        return kModule.empty() ? std::string(fixtures::kSoftHsmModule) : kModule;
    }

    ~DirectToken() {
        if (initialised_) {
            if (session_ != CK_INVALID_HANDLE)
                f_->C_CloseSession(session_);
            f_->C_Finalize(nullptr);
        }
        if (library_ != nullptr)
            dlclose(library_);
    }

private:
    // A key that asks for the PIN before every use (as PIV signature keys do) gets it, as the
    // agent gives it.
    std::vector<unsigned char> SignBytes(CK_MECHANISM_TYPE type, const unsigned char* data,
                                         std::size_t size) {
        CK_MECHANISM mechanism = {type, nullptr, 0};
        std::vector<unsigned char> signature(512);
        CK_ULONG length = signature.size();
        if (f_->C_SignInit(session_, &mechanism, key_) != CKR_OK ||
            (alwaysAuthenticate_ &&
             f_->C_Login(session_, CKU_CONTEXT_SPECIFIC, (CK_UTF8CHAR_PTR)kPin.data(),
                         kPin.size()) != CKR_OK) ||
            f_->C_Sign(session_, const_cast<CK_BYTE_PTR>(data), size, signature.data(), &length) !=
                CKR_OK)
            return {};
        signature.resize(length);
        return signature;
    }

    static bool Fail(std::string& error, const char* what) {
        error = what;
        return false;
    }
    static std::string Trimmed(const unsigned char* text, std::size_t size) {
        std::string s(reinterpret_cast<const char*>(text), size);
        s.erase(s.find_last_not_of(' ') + 1);
        return s;
    }

    void* library_ = nullptr;
    CK_FUNCTION_LIST_PTR f_ = nullptr;
    bool initialised_ = false;
    CK_SLOT_ID slot_ = 0;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    CK_OBJECT_HANDLE key_ = CK_INVALID_HANDLE;
    bool alwaysAuthenticate_ = false;
    std::string reader_;
};

std::vector<std::uint8_t> Utf16Payload(const std::string& ascii) {
    return tessivo::EncodeTextRequest(std::u16string(ascii.begin(), ascii.end()));
}

std::vector<std::uint8_t> SignPayload(const std::string& base64) {
    return tessivo::EncodeSignRequest({static_cast<std::uint16_t>(kMechanism), base64});
}

// The world of the run: token, agent and in-process module, set up once.
struct Bench {
    std::unique_ptr<fixtures::SoftHsm> hsm;
    DirectToken direct;
    peer::AgentSession agent;
    std::vector<std::uint8_t> signPayload = SignPayload(kDataBase64);
    bool ready = false;
    std::size_t replyBytes = 0; // the signature's reply in the return channel

    bool SetUp(std::string& error) {
        if (kModule.empty()) {
            hsm = std::make_unique<fixtures::SoftHsm>();
            const fixtures::KeyFiles sign =
                fixtures::MakeKeyFiles(hsm->Dir(), "sign", "Bench Sign");
            const fixtures::KeyFiles keyx =
                fixtures::MakeKeyFiles(hsm->Dir(), "keyx", "Bench Keyx");
            hsm->InitToken(kLabel, "87654321", kPin);
            hsm->ImportKey(kLabel, kPin, sign.keyPem, "SIGN");
            hsm->ImportCert(kLabel, kPin, sign.certDer, "SIGN");
            hsm->ImportKey(kLabel, kPin, keyx.keyPem, "KEYX");
            hsm->ImportCert(kLabel, kPin, keyx.certDer, "KEYX");
        }
        if (!direct.Open(error))
            return false;
        peer::SessionOptions options;
        options.agentPath = TESSIVO_AGENT_PATH;
        options.modulePath = DirectToken::ModulePath();
        if (!agent.Start(options, error) || !agent.WaitReady(error))
            return false;
        Slot();
        if (!Login()) {
            error = "the agent's login failed";
            return false;
        }
        ready = RoundTrip();
        if (!ready) {
            error = "the agent does not sign";
            return false;
        }
        // The sign's header in the request channel gives the reply's length.
        replyBytes = tessivo::DecodeSignHeader(agent.ReadRequest(tessivo::kSignHeaderSize)).length;
        ready = replyBytes > 35;
        if (!ready) {
            error = "the agent's sign reply has no length";
        }
        return ready;
    }

    bool RoundTrip() {
        agent.WriteRequest(signPayload);
        return agent.Send(MWM_SIGN, signPayload.size(), 0) == 0;
    }

    bool Card() { return agent.Send(MWM_CARD, 0, 0) == 0; }

    bool Slot() {
        const std::vector<std::uint8_t> reader = Utf16Payload(direct.Reader());
        agent.WriteRequest(reader);
        agent.Send(MWM_SLOT, reader.size() / 2, 0);
        return true;
    }

    bool Login() {
        const std::vector<std::uint8_t> pin = Utf16Payload(kPin);
        agent.WriteRequest(pin);
        return agent.Send(MWM_LOGIN, pin.size() / 2, 0) == 0 &&
               tessivo::DecodeLoginRecord(agent.ReadRequest(tessivo::kLoginRecordSize)).status == 0;
    }

    // A logout, the reader chosen again and a login: it ends logged in, as the other
    // benchmarks need.
    bool LoginLogout() {
        agent.Send(MWM_LOGOUT, 0, 0);
        return Slot() && Login();
    }
};

Bench* g_bench = nullptr;

// The CPU time the agent process has used, in microseconds; 0 when it cannot be read.
double AgentCpuMicros() {
    clockid_t clock;
    struct timespec used;
    if (clock_getcpuclockid(static_cast<pid_t>(g_bench->agent.AgentPid()), &clock) != 0 ||
        clock_gettime(clock, &used) != 0)
        return 0;
    return used.tv_sec * 1e6 + used.tv_nsec / 1e3;
}

// Runs `work` once an iteration; its first failure ends the benchmark with `failure`.
template <typename Work> void Repeat(benchmark::State& state, const char* failure, Work work) {
    for (auto _ : state) {
        if (!work()) {
            state.SkipWithError(failure);
            break;
        }
    }
}

// Besides the wall time, the CPU time the agent spent per round trip: on a busy machine the
// wall times wander with the other load, the CPU times much less.
void BmAgentSignRoundTrip(benchmark::State& state) {
    const double agentBefore = AgentCpuMicros();
    Repeat(state, "MWM_SIGN failed", [] { return g_bench->RoundTrip(); });
    state.counters["agent_cpu_us"] = benchmark::Counter((AgentCpuMicros() - agentBefore) /
                                                        static_cast<double>(state.iterations()));
}

template <bool (Bench::*Request)(), bool (DirectToken::*Work)()> struct Pair {
    static void Agent(benchmark::State& state) {
        Repeat(state, "the request failed", [] { return (g_bench->*Request)(); });
    }
    static void Bare(benchmark::State& state) {
        Repeat(state, "the module work failed", [] { return (g_bench->direct.*Work)(); });
    }
};
using CardPair = Pair<&Bench::Card, &DirectToken::Card>;

// Parts of a round trip, for its breakdown: one message hop (a request without module work or
// log line), one zero-fill of a whole channel as every write makes, the copies of the bytes a
// sign moves, its Base64 work and the text work of its log line.
void BmMessageHop(benchmark::State& state) {
    for (auto _ : state)
        g_bench->agent.Send(MWM_LASTRESULT, 0, 0);
}

void BmChannelZeroFill(benchmark::State& state) {
    std::vector<unsigned char> channel(static_cast<std::size_t>(kChannelSize), 1);
    for (auto _ : state) {
        std::memset(channel.data(), 0, channel.size());
        benchmark::ClobberMemory();
    }
}

// A write into the request channel itself (a shared mapping, zero-filled whole, then the sign's
// payload copied in), as the peer makes before each MWM_SIGN.
void BmRequestChannelWrite(benchmark::State& state) {
    Repeat(state, "the request channel cannot be written",
           [] { return g_bench->agent.WriteRequest(g_bench->signPayload); });
}

// The request's payload into the channel and out again, the reply into its channel.
void BmSignCopies(benchmark::State& state) {
    std::vector<unsigned char> channel(static_cast<std::size_t>(kChannelSize), 0);
    std::vector<unsigned char> out(g_bench->signPayload.size());
    const std::string reply(g_bench->replyBytes, 'r');
    for (auto _ : state) {
        std::memcpy(channel.data(), g_bench->signPayload.data(), g_bench->signPayload.size());
        std::memcpy(out.data(), channel.data(), out.size());
        std::memcpy(channel.data(), reply.data(), reply.size());
        benchmark::ClobberMemory();
    }
}

// The request's data decoded, the signature encoded.
void BmSignBase64(benchmark::State& state) {
    const std::vector<unsigned char> signature = g_bench->direct.SignAsAgent(kData);
    for (auto _ : state) {
        benchmark::DoNotOptimize(tessivo::DecodeBase64Lenient(kDataBase64));
        benchmark::DoNotOptimize(tessivo::EncodeBase64Lines(signature.data(), signature.size()));
    }
}

// The texts of a sign: the shown data and the signature widened, the log line formatted and
// narrowed again for the log channel, the reply narrowed for the return channel.
void BmSignLogText(benchmark::State& state) {
    const std::string signature(g_bench->replyBytes - 35, 'A');
    for (auto _ : state) {
        const std::u16string shown = plat::WidenText(kDataBase64);
        const std::u16string reply =
            u"<SignatureValue>" + plat::WidenText(signature) + u"</SignatureValue>";
        const std::u16string line =
            plat::Format(u"message:MWM_SIGN,wparam:%d,data:%s->sucess;", 1430, shown.c_str());
        benchmark::DoNotOptimize(plat::NarrowText(line));
        benchmark::DoNotOptimize(plat::NarrowText(reply));
    }
}

using SlotPair = Pair<&Bench::Slot, &DirectToken::Slots>;
using LoginPair = Pair<&Bench::LoginLogout, &DirectToken::LoginLogout>;

void BmBareCSignAsAgent(benchmark::State& state) {
    Repeat(state, "C_Sign failed", [] { return !g_bench->direct.SignAsAgent(kData).empty(); });
}

void BmBareCSign(benchmark::State& state) {
    Repeat(state, "C_Sign failed", [] { return !g_bench->direct.Sign(kData).empty(); });
}

// Keeps the medians of the repetitions while the console shows everything.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
                cpuMedians[run.run_name.function_name] = run.GetAdjustedCPUTime();
                for (const auto& counter : run.counters)
                    medians[run.run_name.function_name + "." + counter.first] = counter.second;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians;
    std::map<std::string, double> cpuMedians;
};

// Every benchmark, registered in main. Iterations are counted by wall time: a card (or the agent)
// works while this process waits.
void RegisterBenchmarks() {
    const struct {
        const char* name;
        void (*run)(benchmark::State&);
    } benchmarks[] = {
        {"BM_AgentSignRoundTrip", BmAgentSignRoundTrip},
        {"BM_BareCSign", BmBareCSign},
        {"BM_BareCSignAsAgent", BmBareCSignAsAgent},
        {"BM_MessageHop", BmMessageHop},
        {"BM_ChannelZeroFill", BmChannelZeroFill},
        {"BM_RequestChannelWrite", BmRequestChannelWrite},
        {"BM_SignCopies", BmSignCopies},
        {"BM_SignBase64", BmSignBase64},
        {"BM_SignLogText", BmSignLogText},
        {"BM_AgentCard", CardPair::Agent},
        {"BM_BareCard", CardPair::Bare},
        {"BM_AgentSlot", SlotPair::Agent},
        {"BM_BareSlot", SlotPair::Bare},
        {"BM_AgentLoginLogout", LoginPair::Agent},
        {"BM_BareLoginLogout", LoginPair::Bare},
    };
    for (const auto& entry : benchmarks) {
        benchmark::RegisterBenchmark(entry.name, entry.run)
            ->Repetitions(15)
            ->UseRealTime()
            ->Unit(benchmark::kMicrosecond);
    }
}

} // namespace

// The agent's resident memory in KiB (VmRSS), 0 when it cannot be read.
long ResidentKiB(std::uint32_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return 0;
}

// --soak=N: the agent's resident memory after a warm-up of 1,000 signs and after N more.
int Soak(Bench& bench, long signs) {
    constexpr long kWarmUp = 1000;
    for (long i = 0; i < kWarmUp; ++i) {
        if (!bench.RoundTrip()) {
            std::fprintf(stderr, "sign_bench: a warm-up sign failed\n");
            return 1;
        }
    }
    const long before = ResidentKiB(bench.agent.AgentPid());
    for (long i = 0; i < signs; ++i) {
        if (!bench.RoundTrip()) {
            std::fprintf(stderr, "sign_bench: sign %ld failed\n", i);
            return 1;
        }
    }
    const long after = ResidentKiB(bench.agent.AgentPid());
    std::printf("agent resident memory after %ld warm-up signs: %ld KiB\n", kWarmUp, before);
    std::printf("agent resident memory after %ld more signs:    %ld KiB (%+.2f %%)\n", signs, after,
                before > 0 ? 100.0 * double(after - before) / double(before) : 0.0);
    return 0;
}

int main(int argc, char** argv) {
    // The repetitions of all benchmarks run interleaved, so that a busy spell of the machine
    // falls on both sides of a ratio rather than on one (--benchmark_enable_random_interleaving
    // =false runs them one after the other).
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    argc = static_cast<int>(args.size());
    argv = args.data();
    RegisterBenchmarks();
    benchmark::Initialize(&argc, argv);
    long soak = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--soak=", 7) == 0)
            soak = std::strtol(argv[i] + 7, nullptr, 10);
    }
    Bench bench;
    std::string error;
    if (!bench.SetUp(error)) {
        std::fprintf(stderr, "sign_bench: %s\n", error.c_str());
        return 1;
    }
    if (soak > 0)
        return Soak(bench, soak);
    g_bench = &bench;
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const struct {
        const char* request;
        const char* agent;
        const char* bare;
    } pairs[] = {
        {"MWM_SIGN", "BM_AgentSignRoundTrip", "BM_BareCSign"},
        {"MWM_SIGN (card call as the agent's)", "BM_AgentSignRoundTrip", "BM_BareCSignAsAgent"},
        {"MWM_CARD", "BM_AgentCard", "BM_BareCard"},
        {"MWM_SLOT", "BM_AgentSlot", "BM_BareSlot"},
        {"MWM_LOGOUT+MWM_SLOT+MWM_LOGIN", "BM_AgentLoginLogout", "BM_BareLoginLogout"},
    };
    std::map<std::string, double>& m = reporter.medians;
    std::printf("\n%-34s %12s %12s %8s\n", "request", "agent us", "module us", "ratio");
    for (const auto& pair : pairs) {
        const double agent = m[pair.agent];
        const double bare = m[pair.bare];
        if (agent > 0 && bare > 0)
            std::printf("%-34s %12.1f %12.1f %8.2f\n", pair.request, agent, bare, agent / bare);
    }
    // One MWM_SIGN round trip in its parts: the wire's own costs (a hop, four zero-fills: the
    // request by the peer; the reply, the sign header and the log line by the agent; the
    // copies), the agent's work around the card call, and what is left (the log window,
    // allocations, scheduling).
    const double card = m["BM_BareCSignAsAgent"];
    const double trip = m["BM_AgentSignRoundTrip"];
    if (card > 0 && trip > 0) {
        const double hop = m["BM_MessageHop"];
        const double fill = m["BM_RequestChannelWrite"];
        const double copies = m["BM_SignCopies"];
        const double base64 = m["BM_SignBase64"];
        const double text = m["BM_SignLogText"];
        const double floor = card + hop + 4 * fill + copies;
        std::printf("\none MWM_SIGN round trip, us (medians):\n");
        std::printf("  %-52s %8.1f\n", "card call (SHA-256, DigestInfo, CKM_RSA_PKCS)", card);
        std::printf("  %-52s %8.1f\n", "message hop", hop);
        std::printf("  %-52s %8.1f\n", "zero-fill of the request channel (peer)", fill);
        std::printf("  %-52s %8.1f\n", "zero-fill of the return channel (agent)", fill);
        std::printf("  %-52s %8.1f\n", "zero-fill of the request channel (agent's header)", fill);
        std::printf("  %-52s %8.1f\n", "zero-fill of the log channel (agent)", fill);
        std::printf("  %-52s %8.1f\n", "copies of the request and the reply", copies);
        std::printf("  %-52s %8.1f\n", "Base64 (request decoded, signature encoded)", base64);
        std::printf("  %-52s %8.1f\n", "log line and reply text conversions", text);
        std::printf("  %-52s %8.1f\n", "rest (log window, allocations, scheduling)",
                    trip - floor - base64 - text);
        std::printf("  %-52s %8.1f\n", "round trip", trip);
        std::printf("wire floor (card call, hop, four zero-fills, copies): %.1f us\n", floor);
        std::printf(
            "(a zero-fill as a channel write costs it; a warm private 1 MB buffer: %.1f us)\n",
            m["BM_ChannelZeroFill"]);
        std::printf("round trip / card call as the agent makes it: %.2f (floor %.2f)\n",
                    trip / card, floor / card);
        // The same in CPU time: the peer's side of the round trip (this process) and the
        // agent's, against the card call's CPU time in this process.
        const double peerCpu = reporter.cpuMedians["BM_AgentSignRoundTrip"];
        const double agentCpu = m["BM_AgentSignRoundTrip.agent_cpu_us"];
        const double cardCpu = reporter.cpuMedians["BM_BareCSignAsAgent"];
        if (agentCpu > 0 && cardCpu > 0)
            std::printf("CPU time per round trip: peer %.1f + agent %.1f us against the card "
                        "call's %.1f us: %.2f\n",
                        peerCpu, agentCpu, cardCpu, (peerCpu + agentCpu) / cardCpu);
        if (m["BM_BareCSign"] > 0)
            std::printf("card call as the agent makes it / CKM_SHA256_RSA_PKCS: %.2f\n",
                        card / m["BM_BareCSign"]);
    }
    benchmark::Shutdown();
    return 0;
}
