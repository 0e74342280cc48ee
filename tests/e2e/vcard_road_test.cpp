// The road on the real smart-card stack: pcscd with a virtual reader, an emulated PIV card
// personalised with the fixture certificates, and OpenSC's PKCS#11 module, all driven through
// tessivo-peer. The stack is a test tool outside the project (TESSIVO_VCARD_DIR, by default
// ../shared/vcard beside the source tree); without it, or without OpenSC, the tests are skipped.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "openssl_owned.h"
#include "tests/e2e/peer_run.h"
#include "tests/fixtures/files.h"
#include "tests/fixtures/host_process.h"
#include "tests/fixtures/local_time.h"

extern char** environ;

namespace {

using nlohmann::json;
using namespace e2e;

constexpr char kReader[] = "Virtual PCD 00 00";
constexpr char kEmptyReader[] = "Virtual PCD 00 01";
constexpr char kPin[] = "123456";
const std::string kData = "A card in a reader, without hardware.";

std::string Trimmed(std::string text) {
    text.erase(text.find_last_not_of("\r\n ") + 1);
    return text;
}

std::string VcardDir() {
    const char* chosen = std::getenv("TESSIVO_VCARD_DIR");
    return chosen != nullptr && chosen[0] != '\0' ? chosen : TESSIVO_DEFAULT_VCARD_DIR;
}

// OpenSC's module as its package installed it.
std::string OpenscModule() {
    return Trimmed(
        RunCommandLine("dpkg -L opensc-pkcs11 2>/dev/null | grep '/opensc-pkcs11\\.so$' | head -1")
            .text);
}

// What the stack needs besides the tool itself; empty when everything is there.
std::string MissingPiece() {
    if (!std::filesystem::exists(VcardDir() + "/vcard-env.sh"))
        return "no virtual card stack at " + VcardDir() + " (set TESSIVO_VCARD_DIR)";
    if (OpenscModule().empty())
        return "OpenSC's PKCS#11 module is not installed (opensc-pkcs11)";
    for (const char* tool : {"pcscd", "opensc-tool", "pkcs15-tool"}) {
        if (RunCommandLine(std::string("command -v ") + tool + " >/dev/null; echo $?").text !=
            "0\n")
            return std::string(tool) + " is not installed";
    }
    if (!std::filesystem::exists("/etc/reader.conf.d/vpcd"))
        return "the virtual reader driver is not installed (vsmartcard-vpcd)";
    return {};
}

// tessivo-peer talking to one agent through a script, a line at a time, so that the card can be
// pulled and inserted between requests.
class ScriptSession {
public:
    explicit ScriptSession(const std::string& module) {
        int in[2], out[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        const std::string command = PeerCommand(module) + " script";
        const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
        if (posix_spawn(&pid_, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ) !=
            0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        to_ = fdopen(in[1], "w");
        from_ = fdopen(out[0], "r");
    }
    ~ScriptSession() {
        if (to_ != nullptr)
            std::fclose(to_); // the script ends, and with it the agent
        if (from_ != nullptr)
            std::fclose(from_);
        if (pid_ > 0)
            waitpid(pid_, nullptr, 0);
    }
    ScriptSession(const ScriptSession&) = delete;
    ScriptSession& operator=(const ScriptSession&) = delete;

    // One request and its one line of output (null when the peer printed nothing).
    json Send(const std::string& line) {
        if (to_ == nullptr || from_ == nullptr)
            return nullptr;
        std::fputs((line + "\n").c_str(), to_);
        std::fflush(to_);
        char* text = nullptr;
        std::size_t size = 0;
        const ssize_t n = getline(&text, &size, from_);
        std::unique_ptr<char, decltype(&std::free)> owned(text, std::free);
        return n > 0 ? json::parse(std::string(text, static_cast<std::size_t>(n))) : json(nullptr);
    }

private:
    pid_t pid_ = -1;
    FILE* to_ = nullptr;
    FILE* from_ = nullptr;
};

// A user command's exit status and its "tessivo-peer:" lines on standard error (the agent's
// console lines go there too and are kept in `errors`).
struct Command {
    int status = -1;
    std::string out;
    std::string messages;
    std::string errors;
};

Command RunUserCommand(const std::string& command) {
    const std::string errors = TempFile("vcard-errors", "");
    const Output out = RunCommandLine("{ " + command + "; } 2>" + errors + "; echo $?");
    Command result;
    const std::size_t last = out.text.rfind('\n', out.text.size() - 2);
    const std::size_t from = last == std::string::npos ? 0 : last + 1;
    result.status = std::atoi(out.text.c_str() + from);
    result.out = out.text.substr(0, from);
    result.errors = fixtures::ReadFileText(errors);
    std::filesystem::remove(errors);
    std::size_t pos = 0;
    while ((pos = result.errors.find("tessivo-peer: ", pos)) != std::string::npos) {
        const std::size_t end = result.errors.find('\n', pos);
        result.messages += result.errors.substr(pos, end - pos) + "\n";
        pos = end;
    }
    return result;
}

// OpenSSL's own PKCS#1 v1.5 signature with the fixture key: `md` null signs `data` as given.
std::string OpensslSignature(const EVP_MD* md, const std::string& data) {
    std::unique_ptr<FILE, decltype(&std::fclose)> file(std::fopen(CertsFile("ee.key").c_str(), "r"),
                                                       std::fclose);
    if (!file)
        return {};
    ossl::PkeyPtr key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
    ossl::PkeyCtxPtr ctx(key ? EVP_PKEY_CTX_new(key.get(), nullptr) : nullptr);
    std::string input = data;
    if (md != nullptr) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        EVP_Digest(data.data(), data.size(), digest, &n, md, nullptr);
        input.assign(reinterpret_cast<char*>(digest), n);
    }
    std::size_t length = 0;
    if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
        (md != nullptr && EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1) ||
        EVP_PKEY_sign(ctx.get(), nullptr, &length,
                      reinterpret_cast<const unsigned char*>(input.data()), input.size()) != 1)
        return {};
    std::string signature(length, '\0');
    if (EVP_PKEY_sign(ctx.get(), reinterpret_cast<unsigned char*>(&signature[0]), &length,
                      reinterpret_cast<const unsigned char*>(input.data()), input.size()) != 1)
        return {};
    signature.resize(length);
    return signature;
}

} // namespace

// One stack for the suite, in a folder of its own; a watcher stops it when this process ends
// however it ends, so nothing is left running after a crash either. Every test starts with a
// new card in reader 0 (new serial, PIN counters reset).
class CardStack : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fixtures::UseTaipeiTime();
        missing_ = MissingPiece();
        if (!missing_.empty())
            return;
        module_ = OpenscModule();
        // One card stack per machine (fixed daemon socket and reader port): test runs of other
        // clones wait here for theirs to end. The lock goes with this process.
        lock_ = open("/tmp/tessivo-vcard-stack.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (lock_ >= 0)
            flock(lock_, LOCK_EX);
        dir_ =
            (std::filesystem::temp_directory_path() / ("tessivo-vcard-" + std::to_string(getpid())))
                .string();
        std::filesystem::create_directories(dir_);
        const std::string tool = Quote(VcardDir() + "/vcard-env.sh");
        RunCommandLine("setsid sh -c 'while kill -0 " + std::to_string(getpid()) +
                       " 2>/dev/null; do sleep 1; done; " + tool + " down " + Quote(dir_) +
                       "' >/dev/null 2>&1 &");
        up_ = RunCommandLine("VCARD_ARGS=" + Quote(FullCard()) + " " + tool + " up " + Quote(dir_) +
                             " >" + Quote(dir_ + "/up.log") + " 2>&1; echo $?")
                  .text == "0\n";
        cardIn_ = up_;
    }
    static void TearDownTestSuite() {
        if (!dir_.empty()) {
            Tool("down");
            std::error_code ignored;
            std::filesystem::remove_all(dir_, ignored);
        }
        if (lock_ >= 0) {
            close(lock_);
            lock_ = -1;
        }
    }
    void SetUp() override {
        if (!missing_.empty())
            GTEST_SKIP() << missing_;
        ASSERT_TRUE(up_) << fixtures::ReadFileText(dir_ + "/up.log");
        ASSERT_TRUE(NewCard(FullCard()));
    }

    static std::string FullCard() {
        return "--load 9C:" + CertsFile("ee.key") + ":" + CertsFile("citizen.der") +
               " --load 9D:" + CertsFile("ee.key") + ":" + CertsFile("encipher.der");
    }
    static std::string SignatureOnlyCard() {
        return "--load 9C:" + CertsFile("ee.key") + ":" + CertsFile("citizen.der");
    }

    static bool Tool(const std::string& action, const std::string& card = {}) {
        const std::string args = card.empty() ? std::string() : "VCARD_ARGS=" + Quote(card) + " ";
        return RunCommandLine(args + Quote(VcardDir() + "/vcard-env.sh") + " " + action + " " +
                              Quote(dir_) + " >>" + Quote(dir_ + "/tool.log") + " 2>&1; echo $?")
                   .text == "0\n";
    }
    // The card is pulled; the reader shows empty at once.
    static bool Pull() {
        cardIn_ = !Tool("remove");
        for (int i = 0; i < 50 && !cardIn_; ++i) {
            if (RunCommandLine("opensc-tool -l 2>/dev/null | grep -c '^0    Yes'").text == "0\n")
                return true;
            usleep(20000);
        }
        return false;
    }
    // The same card back in the reader (same keys, same PIN counter).
    static bool Insert() { return cardIn_ = Tool("insert"); }
    // Another card, made new from `card` (pivcard.py options).
    static bool NewCard(const std::string& card) {
        if (cardIn_ && !Pull())
            return false;
        std::filesystem::remove(dir_ + "/card.json");
        return cardIn_ = Tool("insert", card);
    }

    // With the agent's console lines on standard error, to see which requests it got.
    static std::string Peer() { return PeerCommand(module_) + " --verbose"; }
    // The token serial as pkcs11-tool reads it.
    static std::string SerialByPkcs11Tool() {
        return Trimmed(RunCommandLine("pkcs11-tool --module " + module_ +
                                      " -L 2>/dev/null | sed -n 's/^ *serial num *: //p'")
                           .text);
    }

    static std::string missing_, module_, dir_;
    static bool up_, cardIn_;
    static int lock_;
};
std::string CardStack::missing_, CardStack::module_, CardStack::dir_;
bool CardStack::up_ = false, CardStack::cardIn_ = false;
int CardStack::lock_ = -1;

// Readers, card, login, the record against openssl's reading of the certificate, every
// mechanism signed as OpenSSL signs with the same key, logout.
TEST_F(CardStack, WholeRoadEveryMechanism) {
    const std::string serial = SerialByPkcs11Tool();
    ASSERT_FALSE(serial.empty());
    const Command readers = RunUserCommand(Peer() + " readers");
    EXPECT_EQ(readers.status, 0);
    EXPECT_EQ(readers.out, std::string(kReader) + "\t王小明 (" + serial + ")\n" + kEmptyReader +
                               "\t(no card)\n");

    const std::string digestInfo = Sha256DigestInfo(kData);
    struct Case {
        const char* peer;
        const EVP_MD* md;
        std::string data;
    };
    const Case cases[] = {
        {"raw", nullptr, digestInfo},    {"md5", EVP_md5(), kData},
        {"sha1", EVP_sha1(), kData},     {"sha224", EVP_sha224(), kData},
        {"sha256", EVP_sha256(), kData}, {"sha384", EVP_sha384(), kData},
        {"sha512", EVP_sha512(), kData},
    };
    std::string script = std::string("slot ") + kReader + "\ncard\nlogin " + kPin + "\ncertinfo\n";
    for (const Case& c : cases)
        script += std::string("sign ") + c.peer + " " + Base64(c.data) + "\n";
    script += "logout\n";
    const std::vector<json> out = RunScript(module_, script);
    ASSERT_EQ(out.size(), 5 + std::size(cases));
    EXPECT_EQ(out[1]["serial"], serial);
    const json& login = out[2];
    ASSERT_EQ(login["status"], 0) << login;
    EXPECT_EQ(login["serial"], serial);
    EXPECT_EQ(FromBase64(login["certificate"].get<std::string>()),
              fixtures::ReadFileText(CertsFile("citizen.der")));

    ExpectCitizenRecord(CertsFile("citizen.der"), login, out[3]["record"].get<std::string>());
    EXPECT_EQ(login["notAfter"], "2036.1.1");
    EXPECT_FALSE(out[3].contains("stale"));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].peer);
        const std::string expected = OpensslSignature(cases[i].md, cases[i].data);
        ASSERT_EQ(expected.size(), 256u);
        EXPECT_EQ(out[4 + i]["result"], 0);
        EXPECT_EQ(SignatureOf(out[4 + i]), expected);
    }
    EXPECT_EQ(out.back()["result"], 0);
}

// The card pulled between requests and put back: the agent's answers are its own (its record of
// the last login survives), the peer says the record is no longer the card's; a new slot request
// and login work once it is back.
TEST_F(CardStack, CardPulledAndInsertedAgain) {
    const std::string serial = SerialByPkcs11Tool();
    ScriptSession session(module_);
    session.Send(std::string("slot ") + kReader);
    const json login = session.Send(std::string("login ") + kPin);
    ASSERT_EQ(login["status"], 0) << login;
    const json certinfo = session.Send("certinfo");
    const std::string record = certinfo["record"].get<std::string>();
    ASSERT_FALSE(record.empty());

    ASSERT_TRUE(Pull());
    EXPECT_EQ(session.Send("card")["noCard"], true);
    // The agent still answers with the record of its last login; the peer says whose it is.
    const json stale = session.Send("certinfo");
    EXPECT_EQ(stale["record"], record);
    EXPECT_EQ(stale["stale"], true);
    EXPECT_EQ(stale["note"], "the card " + serial + " is no longer there");
    const json failed = session.Send(std::string("login ") + kPin);
    EXPECT_EQ(failed["result"], 0);
    EXPECT_NE(failed["status"], 0);
    EXPECT_FALSE(failed.contains("certificate"));
    EXPECT_EQ(session.Send("sign sha256 " + Base64(kData))["result"], 1);

    const Command noCard =
        RunUserCommand("echo 123456 | " + Peer() + " cert '" + kReader + "' --pin-stdin");
    EXPECT_NE(noCard.status, 0);
    EXPECT_EQ(noCard.messages, std::string("tessivo-peer: no card in ") + kReader + "\n");
    EXPECT_EQ(RunUserCommand(Peer() + " readers").out,
              std::string(kReader) + "\t(no card)\n" + kEmptyReader + "\t(no card)\n");

    ASSERT_TRUE(Insert());
    EXPECT_EQ(session.Send("card")["serial"], serial);
    session.Send(std::string("slot ") + kReader);
    const json again = session.Send(std::string("login ") + kPin);
    EXPECT_EQ(again["status"], 0) << again;
    EXPECT_EQ(FromBase64(again.value("certificate", std::string())),
              fixtures::ReadFileText(CertsFile("citizen.der")));
    const json fresh = session.Send("certinfo");
    EXPECT_EQ(fresh["record"], record);
    EXPECT_FALSE(fresh.contains("stale"));
    const json signature = session.Send("sign sha256 " + Base64(kData));
    EXPECT_EQ(SignatureOf(signature), OpensslSignature(EVP_sha256(), kData));
    EXPECT_EQ(session.Send("logout")["result"], 0);
}

// The PIN's state reaches the user from the token flags: one try left after two wrong PINs,
// locked after three, and no PIN goes to a locked card; the PUK (OpenSC's own tool) unblocks it.
TEST_F(CardStack, WrongPinsLockAndThePukUnblocks) {
    const std::string data = TempFile("vcard-data", kData);
    const std::string cert = Peer() + " sign '" + kReader + "' --pin-stdin " + data;
    const std::string agentText = " (agent: 錯誤的 PIN 碼)\n";
    struct Step {
        std::string pin;
        std::string messages;
        int status;
    };
    const Step steps[] = {
        {"000000", "tessivo-peer: wrong PIN" + agentText, 6},
        {"000000", "tessivo-peer: wrong PIN; one try left before the PIN locks" + agentText, 6},
        // OpenSC answers the third wrong PIN with CKR_PIN_LOCKED.
        {"000000",
         "tessivo-peer: one try left before the PIN locks\n"
         "tessivo-peer: the PIN is locked: unblock it with the PUK (agent: 憑證已被鎖)\n",
         7},
        // Not even the right PIN is sent to a locked card.
        {kPin,
         std::string("tessivo-peer: the PIN of the card in ") + kReader +
             " is locked: unblock it with the PUK\n",
         7},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.messages);
        const Command out = RunUserCommand("echo " + step.pin + " | " + cert);
        EXPECT_EQ(out.status, step.status);
        EXPECT_EQ(out.messages, step.messages);
    }
    const Command locked = RunUserCommand("echo 123456 | " + cert);
    EXPECT_EQ(locked.errors.find("MWM_LOGIN"), std::string::npos) << locked.errors;

    ASSERT_EQ(RunCommandLine("pkcs15-tool --unblock-pin --auth-id 01 --puk 12345678 --new-pin " +
                             std::string(kPin) + " >/dev/null 2>&1; echo $?")
                  .text,
              "0\n");
    const Command unblocked = RunUserCommand("echo 123456 | " + cert);
    EXPECT_EQ(unblocked.status, 0) << unblocked.errors;
    EXPECT_EQ(unblocked.messages, "");
    EXPECT_EQ(unblocked.out.rfind("<SignatureValue>", 0), 0u) << unblocked.out;
    std::filesystem::remove(data);
}

// Another card, with a signature certificate only, put in after a full card's login: the record
// of the first card is not passed off as the second card's, the login stands without any
// certificate, and signing fails cleanly.
TEST_F(CardStack, CardWithOneCertificate) {
    const std::string first = SerialByPkcs11Tool();
    ScriptSession session(module_);
    session.Send(std::string("slot ") + kReader);
    ASSERT_EQ(session.Send(std::string("login ") + kPin)["status"], 0);
    const std::string record = session.Send("certinfo")["record"].get<std::string>();

    ASSERT_TRUE(NewCard(SignatureOnlyCard()));
    const std::string second = SerialByPkcs11Tool();
    ASSERT_NE(second, first);
    EXPECT_EQ(session.Send("card")["serial"], second);
    const json stale = session.Send("certinfo");
    EXPECT_EQ(stale["record"], record);
    EXPECT_EQ(stale["stale"], true);
    EXPECT_EQ(stale["note"],
              "the record is of the card " + first + ", not of the card " + second + " now there");

    session.Send(std::string("slot ") + kReader);
    const json login = session.Send(std::string("login ") + kPin);
    EXPECT_EQ(login["status"], 0) << login;
    EXPECT_EQ(login["serial"], second);
    EXPECT_FALSE(login.contains("certificate"));
    EXPECT_EQ(login["note"], "no signature certificate on this card");
    EXPECT_EQ(session.Send("certinfo")["record"], "");
    EXPECT_EQ(session.Send("sign sha256 " + Base64(kData))["result"], 1);
    EXPECT_EQ(session.Send("logout")["result"], 0);

    // tessivo-peer tells this card apart before it asks for the PIN.
    const Command certinfo =
        RunUserCommand("echo 123456 | " + Peer() + " certinfo '" + kReader + "' --pin-stdin");
    EXPECT_EQ(certinfo.status, 11);
    EXPECT_EQ(certinfo.messages.rfind(std::string("tessivo-peer: the card in ") + kReader +
                                          " holds no certificate the agent can sign with.",
                                      0),
              0u)
        << certinfo.messages;
    EXPECT_NE(certinfo.messages.find("lacks an encipherment certificate"), std::string::npos);
    EXPECT_EQ(certinfo.errors.find("MWM_LOGIN"), std::string::npos) << certinfo.errors;
}

// The browser's host on the card, one connection throughout: the readers with and without the
// card, the card's certificate without a PIN, a signature with the PIN (the key wants it again
// right before use), and a pulled or changed card is never shown with the previous certificate.
TEST_F(CardStack, BrowserHost) {
    const std::string serial = SerialByPkcs11Tool();
    const std::string citizen = fixtures::ReadFileText(CertsFile("citizen.der"));
    const std::string origin = "https://gov.example.tw";
    fixtures::SetEnvironment("TESSIVO_PKCS11_MODULE", module_);
    fixtures::HostProcess host(TESSIVO_HOST_PATH, {"chrome-extension://test/"});
    fixtures::UnsetEnvironment("TESSIVO_PKCS11_MODULE");
    int next = 0;
    auto ask = [&](const std::string& command, const json& arguments = json::object()) {
        const std::string id = std::to_string(++next);
        host.Write(fixtures::HostFrame(
            json{{"version", 1}, {"id", id}, {"command", command}, {"arguments", arguments}}
                .dump()));
        const std::string body = host.Read();
        const json reply = body.empty() ? json() : json::parse(body);
        EXPECT_EQ(reply.value("id", ""), id) << body;
        return reply;
    };
    auto readers = [&] {
        std::map<std::string, json> out;
        const json reply = ask("readers");
        for (const json& r : reply["result"]["readers"])
            out[r["name"].get<std::string>()] = r;
        return out;
    };
    // The hash is the tail of the SHA-256 DigestInfo, after its 19-byte header.
    auto sign = [&](const std::string& data) {
        return ask("sign", {{"origin", origin},
                            {"certificate", Base64(citizen)},
                            {"hash", Base64(Sha256DigestInfo(data).substr(19))},
                            {"hashAlgorithm", "SHA-256"},
                            {"pin", kPin}});
    };

    auto present = readers();
    ASSERT_EQ(present.size(), 2u);
    EXPECT_EQ(present[kReader]["cardPresent"], true);
    EXPECT_EQ(present[kReader]["serial"], serial);
    EXPECT_EQ(present[kEmptyReader]["cardPresent"], false);

    const json certificate = ask("get-signing-certificate", {{"origin", origin}});
    ASSERT_TRUE(certificate.contains("result")) << certificate;
    EXPECT_EQ(FromBase64(certificate["result"]["certificate"]), citizen);
    EXPECT_EQ(certificate["result"]["reader"], kReader);
    EXPECT_EQ(certificate["result"]["cardSerial"], serial);

    for (const std::string& data : {kData, std::string("a second signature, a second PIN")}) {
        const json signedReply = sign(data);
        ASSERT_TRUE(signedReply.contains("result")) << signedReply;
        const std::string signature = FromBase64(signedReply["result"]["signature"]);
        EXPECT_TRUE(VerifiesSha256(citizen, signature, data));
        EXPECT_EQ(signature, OpensslSignature(EVP_sha256(), data));
    }

    ASSERT_TRUE(Pull());
    EXPECT_EQ(readers()[kReader]["cardPresent"], false);
    for (const json& arguments :
         {json{{"origin", origin}}, json{{"origin", origin}, {"reader", kReader}}}) {
        const json none = ask("get-signing-certificate", arguments);
        EXPECT_EQ(none["error"]["code"], "no-card") << none;
        EXPECT_FALSE(none.contains("result"));
    }
    EXPECT_EQ(sign(kData)["error"]["code"], "no-card");

    // Another card with only its key management certificate: not the last card's certificate,
    // and a request that brings the last card's certificate is refused before any PIN, as a card
    // the agent's login cannot use (the return channel still holds the last card's).
    ASSERT_TRUE(NewCard("--load 9D:" + CertsFile("ee.key") + ":" + CertsFile("encipher.der")));
    const std::string other = SerialByPkcs11Tool();
    ASSERT_NE(other, serial);
    EXPECT_EQ(readers()[kReader]["serial"], other);
    const json changed = ask("get-signing-certificate", {{"origin", origin}});
    EXPECT_EQ(changed["error"]["code"], "unsupported-card") << changed;
    const json refused = sign(kData);
    EXPECT_EQ(refused["error"]["code"], "unsupported-card") << refused;
    EXPECT_FALSE(refused.contains("result"));
    host.CloseInput();
    EXPECT_EQ(host.Wait(), 0);
}
