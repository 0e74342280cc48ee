// The cost of signing through the agent: the median time of one MWM_SIGN round trip as the peer
// sees it, against the median time of the bare C_Sign of the same key and data in this process,
// on one SoftHSM2 token. Prints both medians and their ratio.
//
// Another module and card instead of the SoftHSM2 token (a real or virtual reader):
//   TESSIVO_BENCH_MODULE=PATH TESSIVO_BENCH_READER=DESCRIPTION TESSIVO_BENCH_PIN=PIN
//   TESSIVO_BENCH_KEY_ID=HEX (the signature key's CKA_ID; default the text "SIGN")
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "agent/Protocol.h"
#include "cryptoki.h"
#include "peer/Session.h"
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
const std::string kDataBase64 = [] {
    std::string out(4 * ((kData.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(kData.data()),
                                  static_cast<int>(kData.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}();

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
        CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
        std::string id = KeyId();
        CK_ATTRIBUTE query[] = {{CKA_CLASS, &keyClass, sizeof keyClass},
                                {CKA_ID, &id[0], static_cast<CK_ULONG>(id.size())}};
        CK_ULONG found = 0;
        if (f_->C_FindObjectsInit(session_, query, 2) != CKR_OK ||
            f_->C_FindObjects(session_, &key_, 1, &found) != CKR_OK || found != 1)
            return Fail(error, "no signature key");
        f_->C_FindObjectsFinal(session_);
        CK_BBOOL always = CK_FALSE;
        CK_ATTRIBUTE alwaysQuery = {CKA_ALWAYS_AUTHENTICATE, &always, sizeof always};
        alwaysAuthenticate_ =
            f_->C_GetAttributeValue(session_, key_, &alwaysQuery, 1) == CKR_OK && always;
        return true;
    }

    std::vector<unsigned char> Sign(const std::string& data) {
        CK_MECHANISM mechanism = {kMechanism, nullptr, 0};
        std::vector<unsigned char> signature(512);
        CK_ULONG length = signature.size();
        // A key that asks for the PIN before every use (as PIV signature keys do) gets it, as
        // the agent gives it.
        if (f_->C_SignInit(session_, &mechanism, key_) != CKR_OK ||
            (alwaysAuthenticate_ &&
             f_->C_Login(session_, CKU_CONTEXT_SPECIFIC, (CK_UTF8CHAR_PTR)kPin.data(),
                         kPin.size()) != CKR_OK) ||
            f_->C_Sign(session_, (CK_BYTE_PTR)data.data(), data.size(), signature.data(),
                       &length) != CKR_OK)
            return {};
        signature.resize(length);
        return signature;
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
    std::vector<std::uint8_t> out;
    for (char c : ascii) {
        out.push_back(static_cast<std::uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

std::vector<std::uint8_t> SignPayload(const std::string& base64) {
    std::vector<std::uint8_t> out = {kSignHeaderSize,
                                     0,
                                     kMechanism & 0xFF,
                                     (kMechanism >> 8) & 0xFF,
                                     static_cast<std::uint8_t>(base64.size() & 0xFF),
                                     static_cast<std::uint8_t>((base64.size() >> 8) & 0xFF)};
    out.insert(out.end(), base64.begin(), base64.end());
    return out;
}

// The world of the run: token, agent and in-process module, set up once.
struct Bench {
    std::unique_ptr<fixtures::SoftHsm> hsm;
    DirectToken direct;
    peer::agent_session agent;
    std::vector<std::uint8_t> signPayload = SignPayload(kDataBase64);
    bool ready = false;

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
        peer::session_options options;
        options.agent_path = TESSIVO_AGENT_PATH;
        options.module_path = DirectToken::ModulePath();
        if (!agent.start(options, error) || !agent.wait_ready(error))
            return false;
        const std::vector<std::uint8_t> reader = Utf16Payload(direct.Reader());
        agent.write_request(reader);
        agent.send(MWM_SLOT, reader.size() / 2, 0);
        const std::vector<std::uint8_t> pin = Utf16Payload(kPin);
        agent.write_request(pin);
        agent.send(MWM_LOGIN, pin.size() / 2, 0);
        // The login record up to the end of its 32-bit status word.
        const std::vector<std::uint8_t> record = agent.read_request(kStatusOffset + 4);
        if (record.size() < kStatusOffset + 4 || record[kStatusOffset] != 0 ||
            record[kStatusOffset + 1] != 0) {
            error = "the agent's login failed";
            return false;
        }
        ready = RoundTrip();
        if (!ready)
            error = "the agent does not sign";
        return ready;
    }

    bool RoundTrip() {
        agent.write_request(signPayload);
        return agent.send(MWM_SIGN, signPayload.size(), 0) == 0;
    }
};

Bench* g_bench = nullptr;

void BM_AgentSignRoundTrip(benchmark::State& state) {
    for (auto _ : state) {
        if (!g_bench->RoundTrip()) {
            state.SkipWithError("MWM_SIGN failed");
            break;
        }
    }
}

void BM_BareCSign(benchmark::State& state) {
    for (auto _ : state) {
        if (g_bench->direct.Sign(kData).empty()) {
            state.SkipWithError("C_Sign failed");
            break;
        }
    }
}

// Keeps the medians of the repetitions while the console shows everything.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
                medians[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians;
};

} // namespace

// Iterations are counted by wall time: a card (or the agent) works while this process waits.
BENCHMARK(BM_AgentSignRoundTrip)->Repetitions(15)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BareCSign)->Repetitions(15)->UseRealTime()->Unit(benchmark::kMicrosecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    Bench bench;
    std::string error;
    if (!bench.SetUp(error)) {
        std::fprintf(stderr, "sign_bench: %s\n", error.c_str());
        return 1;
    }
    g_bench = &bench;
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double agent = reporter.medians["BM_AgentSignRoundTrip"];
    const double bare = reporter.medians["BM_BareCSign"];
    if (agent > 0 && bare > 0) {
        std::printf("median MWM_SIGN round trip: %.1f us\n", agent);
        std::printf("median bare C_Sign:         %.1f us\n", bare);
        std::printf("ratio (round trip / C_Sign): %.2f\n", agent / bare);
    }
    benchmark::Shutdown();
    return 0;
}
