// tessivo-host as the browser runs it: framed JSON through its standard input and output, every
// command against the test module, signatures checked with OpenSSL, and the manifests that
// --install writes.
#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#endif

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/Install.h"
#include "host/Messages.h"
#include "protocol/Base64.h"
#include "tests/fixtures/files.h"
#include "tests/fixtures/host_process.h"
#include "tests/fixtures/test_module.h"

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr char kOrigin[] = "https://gov.example.tw";

// tessivo-host, asked in JSON.
class HostProcess : public fixtures::HostProcess {
public:
    explicit HostProcess(const std::vector<std::string>& args = {"chrome-extension://test/"})
        : fixtures::HostProcess(TESSIVO_HOST_PATH, args) {}
    json Ask(const json& request) {
        Write(fixtures::HostFrame(request.dump()));
        const std::string reply = Read();
        return reply.empty() ? json() : json::parse(reply);
    }
};

json Request(const std::string& id, const std::string& command, const json& arguments = {}) {
    json r = {{"version", 1}, {"id", id}, {"command", command}};
    if (!arguments.is_null()) {
        r["arguments"] = arguments;
    }
    return r;
}

std::string CertsFile(const std::string& name) {
    return std::string(TESSIVO_TEST_CERTS_DIR) + "/" + name;
}

std::vector<std::uint8_t> Bytes(const std::string& text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

std::vector<std::uint8_t> FromBase64(const std::string& text) {
    bool ok = false;
    return tessivo::DecodeBase64Strict(text, ok);
}

// True when `signature` is a PKCS#1 v1.5 signature of `data` with `md` by the certificate's key.
bool Verifies(const std::string& certDer, const EVP_MD* md, const std::string& data,
              const std::vector<std::uint8_t>& signature) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(certDer.data());
    std::unique_ptr<X509, decltype(&X509_free)> cert(
        d2i_X509(nullptr, &p, static_cast<long>(certDer.size())), X509_free);
    if (!cert) {
        return false;
    }
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    return EVP_DigestVerifyInit(ctx.get(), nullptr, md, nullptr, X509_get0_pubkey(cert.get())) ==
               1 &&
           EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>(data.data()), data.size()) == 1;
}

std::vector<std::uint8_t> Digest(const EVP_MD* md, const std::string& data) {
    std::vector<std::uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int length = 0;
    EVP_Digest(data.data(), data.size(), out.data(), &length, md, nullptr);
    out.resize(length);
    return out;
}

class HostWithCard : public ::testing::Test {
protected:
    HostWithCard() { fixtures::SetEnvironment("TESSIVO_PKCS11_MODULE", TestModulePath()); }
    ~HostWithCard() override { fixtures::UnsetEnvironment("TESSIVO_PKCS11_MODULE"); }

    json SignArguments(const std::string& data, const std::string& pin = "123456",
                       const EVP_MD* md = EVP_sha256(), const char* name = "SHA-256") {
        return {{"origin", kOrigin},
                {"certificate", tessivo::EncodeBase64(Bytes(citizen_))},
                {"hash", tessivo::EncodeBase64(Digest(md, data))},
                {"hashAlgorithm", name},
                {"pin", pin}};
    }

    const std::string kCard_ = "slot = Empty Reader ; 0 ; ; \n"
                               "slot = Tessivo Reader ; 1 ; CITIZEN ; CARD0001\n"
                               "pin = 123456\n" +
                               FixtureCardObjects(TESSIVO_TEST_CERTS_DIR);
    TestModuleConfig config_{kCard_};
    const std::string citizen_ = fixtures::ReadFileText(CertsFile("citizen.der"));
};

} // namespace

// ---- framing ----

TEST(HostFraming, PiecesZeroLengthBadBodiesAndTheEndOfInput) {
    HostProcess host;
    // A request that arrives a few bytes at a time is still one request.
    host.WriteInPieces(fixtures::HostFrame(Request("a", "quit-not").dump()), 3);
    EXPECT_EQ(json::parse(host.Read())["error"]["code"], "unknown-command");
    const struct {
        std::string body;
        const char* code;
    } cases[] = {
        {"", "invalid-message"},
        {"\xFF\xFE{}", "invalid-utf8"},
        {"{\"version\":1,", "invalid-json"},
        {"null", "invalid-json"},
        {std::string(60000, ' ') + "{}", "invalid-message"}, // large but within the limit
    };
    for (const auto& c : cases) {
        host.Write(fixtures::HostFrame(c.body));
        const json reply = json::parse(host.Read());
        EXPECT_EQ(reply["error"]["code"], c.code) << c.body.substr(0, 20);
        EXPECT_TRUE(reply["id"].is_null());
    }
    // Still answering after every fault.
    EXPECT_EQ(host.Ask(Request("b", "status"))["result"]["protocolVersion"], 1);
    // Input ending inside a frame ends the host without a reply.
    host.Write(fixtures::HostFrame("{\"version\":1}").substr(0, 9));
    host.CloseInput();
    bool ended = false;
    EXPECT_EQ(host.Read(&ended), "");
    EXPECT_TRUE(ended);
    EXPECT_EQ(host.Wait(), 0);
}

// Standard input and output in text mode would end the input at a 0x1A byte, drop the CR of
// CR LF and write 0x0A as CR LF: prefixes and bodies holding those bytes must pass unchanged.
TEST(HostFraming, BinaryBytesPassUnchanged) {
    HostProcess host;
    host.Write(fixtures::HostFrame(Request("a", "status").dump()));
    const std::size_t base = host.Read().size();
    ASSERT_GT(base, 0u);
    // An id that makes the reply's length end in the byte 0x0A; each \u0001 is 6 bytes in JSON.
    const std::size_t grow = (0x10A - base % 256) % 256;
    const std::string id = "a" + std::string(grow % 6, 'a') + std::string(grow / 6, '\x01');
    // Padded with CR LF to a request length of 0x0A1A bytes.
    std::string body = Request(id, "status").dump();
    ASSERT_LT(body.size(), 0x0A1Au);
    for (std::size_t i = body.size(); i + 2 <= 0x0A1A; i += 2) {
        body += "\r\n";
    }
    body.resize(0x0A1A, ' ');
    host.Write(fixtures::HostFrame(body));
    const std::string reply = host.Read();
    EXPECT_EQ(reply.size(), base + grow);
    EXPECT_EQ(reply.size() % 256, 0x0Au);
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(json::parse(reply)["id"], id);
    EXPECT_EQ(host.Ask(Request("b", "status"))["id"], "b");
}

TEST(HostFraming, OversizedMessageIsRefusedAndEndsTheConnection) {
    for (const std::uint32_t length : {65537u, 0xFFFFFFFFu}) {
        HostProcess host;
        std::string prefix(4, '\0');
        std::memcpy(&prefix[0], &length, 4);
        host.Write(prefix + "{}");
        const json reply = json::parse(host.Read());
        EXPECT_EQ(reply["error"]["code"], "message-too-large");
        EXPECT_TRUE(reply["id"].is_null());
        EXPECT_EQ(host.Wait(), 1);
    }
}

TEST(HostFraming, QuitAnswersThenEnds) {
    HostProcess host;
    EXPECT_EQ(host.Ask(Request("q", "quit")), json::parse(R"({"version":1,"id":"q","result":{}})"));
    EXPECT_EQ(host.Wait(), 0);
}

// ---- commands against the test module ----

TEST_F(HostWithCard, StatusAndReaders) {
    HostProcess host;
    const json status = host.Ask(Request("s1", "status"));
    EXPECT_EQ(status["id"], "s1");
    // Presence and versions only: nothing of the machine's set-up (such as the module's path).
    EXPECT_EQ(status["result"], (json{{"hostVersion", status["result"]["hostVersion"]},
                                      {"protocolVersion", 1},
                                      {"agentRunning", false}}));

    config_.Write(kCard_ + "token_flags = 0x30000\n"); // PIN count low, final try
    const json readers = host.Ask(Request("s2", "readers"));
    EXPECT_EQ(readers["result"]["readers"],
              json::parse(R"([{"name":"Empty Reader","cardPresent":false,"label":"","serial":"",
                  "pinCountLow":false,"pinFinalTry":false,"pinLocked":false,"pinPad":false},
                  {"name":"Tessivo Reader","cardPresent":true,"label":"CITIZEN","serial":"CARD0001",
                  "pinCountLow":true,"pinFinalTry":true,"pinLocked":false,"pinPad":false}])"));
}

TEST_F(HostWithCard, SigningCertificateWithoutPin) {
    HostProcess host;
    for (const json& arguments :
         {json{{"origin", kOrigin}}, json{{"origin", kOrigin}, {"reader", "Tessivo Reader"}}}) {
        const json reply = host.Ask(Request("c1", "get-signing-certificate", arguments));
        ASSERT_TRUE(reply.contains("result")) << reply;
        const json& r = reply["result"];
        EXPECT_EQ(FromBase64(r["certificate"]), Bytes(citizen_));
        EXPECT_EQ(r["reader"], "Tessivo Reader");
        EXPECT_EQ(r["cardSerial"], "CARD0001");
        EXPECT_EQ(r["holderName"], "王小明");
        EXPECT_EQ(r["subject"], "CN=王小明,O=Tessivo Citizens,C=TW");
        EXPECT_EQ(r["serialNumber"], "1234");
        EXPECT_EQ(r["notAfter"].get<std::string>().substr(0, 4), "2035");
    }
    // The PIN window's tries state, from the token's flags, before any PIN.
    config_.Write(kCard_ + "token_flags = 0x10000\n"); // PIN count low
    const json low = host.Ask(Request("c0", "get-signing-certificate", {{"origin", kOrigin}}));
    EXPECT_EQ(low["result"]["pinCountLow"], true) << low;
    EXPECT_EQ(low["result"]["pinFinalTry"], false);
    EXPECT_EQ(low["result"]["pinLocked"], false);
    EXPECT_EQ(low["result"]["pinPad"], false);
    config_.Write(kCard_);
    const struct {
        json arguments;
        const char* code;
    } faults[] = {
        {{{"origin", kOrigin}, {"reader", "Empty Reader"}}, "no-card"},
        {{{"origin", kOrigin}, {"reader", "Nowhere"}}, "no-reader"},
        {{{"origin", "http://gov.example.tw"}}, "origin-refused"},
    };
    for (const auto& f : faults) {
        EXPECT_EQ(host.Ask(Request("c2", "get-signing-certificate", f.arguments))["error"]["code"],
                  f.code)
            << f.arguments;
    }
    config_.Write("slot = Empty Reader ; 0 ; ; \n");
    EXPECT_EQ(
        host.Ask(Request("c3", "get-signing-certificate", {{"origin", kOrigin}}))["error"]["code"],
        "no-card");
}

// The agent's login needs the signature and the encipherment certificate, and reaches a reader
// by its description: a card it cannot use, or readers sharing a description, are refused before
// any PIN, without starting the agent.
TEST_F(HostWithCard, RefusedBeforeAnyPin) {
    const std::string log = config_.Folder() + "/login.log";
    auto object = [](const char* kind, const char* id, const char* file) {
        return std::string("object = ") + kind + " ; " + id + " ; " + NativePath(CertsFile(file)) +
               "\n";
    };
    const std::string card = "slot = Tessivo Reader ; 1 ; CITIZEN ; CARD0001\npin = 123456\n";
    const struct {
        const char* what;
        std::string config;
        const char* reader;
        const char* code;
        const char* says;
    } cases[] = {
        {"no encipherment certificate",
         card + object("cert", "SIGN", "citizen.der") + object("key", "SIGN", "ee.key"),
         "Tessivo Reader", "unsupported-card", "lacks an encipherment certificate"},
        {"signing certificate of another id, key usage 0xC0",
         card + object("cert", "S1", "ku_c0.der") + object("key", "S1", "ee.key") +
             object("cert", "KEYX", "encipher.der"),
         "Tessivo Reader", "unsupported-card", "lacks a signature certificate"},
        {"two readers of one name",
         "slot = Twin Reader ; 1 ; A ; S1\nslot = Twin Reader ; 1 ; B ; S2\npin = 123456\n" +
             FixtureCardObjects(TESSIVO_TEST_CERTS_DIR),
         "Twin Reader", "ambiguous-reader", "2 readers are named \"Twin Reader\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        config_.Write(c.config + "login_log = " + NativePath(log) + "\n");
        HostProcess host;
        for (const bool named : {false, true}) {
            json look = {{"origin", kOrigin}};
            json sign = SignArguments("x");
            if (named) {
                look["reader"] = sign["reader"] = c.reader;
            }
            for (const json& request :
                 {Request("c", "get-signing-certificate", look), Request("s", "sign", sign)}) {
                const json reply = host.Ask(request);
                ASSERT_TRUE(reply.contains("error")) << reply;
                EXPECT_EQ(reply["error"]["code"], c.code) << request;
                EXPECT_NE(reply["error"]["message"].get<std::string>().find(c.says),
                          std::string::npos)
                    << reply;
            }
        }
        EXPECT_EQ(host.Ask(Request("st", "status"))["result"]["agentRunning"], false);
    }
    // The certificates found are listed for the holder.
    config_.Write(cases[1].config);
    HostProcess host;
    const std::string message = host.Ask(
        Request("c", "get-signing-certificate", {{"origin", kOrigin}}))["error"]["message"];
    EXPECT_NE(message.find("label \"S1\", id \"S1\", key usage c0 (digitalSignature, "
                           "nonRepudiation)"),
              std::string::npos)
        << message;
    // Another certificate than the card's is refused before the PIN too.
    config_.Write(kCard_ + "login_log = " + NativePath(log) + "\n");
    json other = SignArguments("x");
    other["certificate"] =
        tessivo::EncodeBase64(Bytes(fixtures::ReadFileText(CertsFile("ku_c0.der"))));
    EXPECT_EQ(host.Ask(Request("m", "sign", other))["error"]["code"], "certificate-mismatch");
    EXPECT_EQ(host.Ask(Request("st", "status"))["result"]["agentRunning"], false);
    EXPECT_FALSE(fs::exists(log)) << fixtures::ReadFileText(log);
}

TEST_F(HostWithCard, SignsEveryHashWithOneLoginEach) {
    const std::string log = config_.Folder() + "/login.log";
    config_.Write(kCard_ + "login_log = " + log + "\n");
    HostProcess host;
    const struct {
        const char* name;
        const EVP_MD* (*md)();
    } algorithms[] = {{"SHA-224", EVP_sha224},
                      {"SHA-256", EVP_sha256},
                      {"SHA-384", EVP_sha384},
                      {"SHA-512", EVP_sha512}};
    const std::string data = "Application form 2024-117, signed in the browser.";
    for (const auto& a : algorithms) {
        SCOPED_TRACE(a.name);
        const json reply =
            host.Ask(Request(a.name, "sign", SignArguments(data, "123456", a.md(), a.name)));
        ASSERT_TRUE(reply.contains("result")) << reply;
        EXPECT_EQ(reply["id"], a.name);
        EXPECT_EQ(reply["result"]["hashAlgorithm"], a.name);
        EXPECT_EQ(reply["result"]["signatureAlgorithm"], "RSASSA-PKCS1-v1_5");
        EXPECT_EQ(reply["result"]["reader"], "Tessivo Reader");
        EXPECT_TRUE(Verifies(citizen_, a.md(), data, FromBase64(reply["result"]["signature"])));
    }
    EXPECT_EQ(host.Ask(Request("s", "status"))["result"]["agentRunning"], true);
    // One user login per signature, never one riding on the last.
    const std::string logins = fixtures::ReadFileText(log);
    std::size_t count = 0;
    for (std::size_t at = logins.find("user=1"); at != std::string::npos;
         at = logins.find("user=1", at + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 4u) << logins;
    host.CloseInput();
    EXPECT_EQ(host.Wait(), 0);
}

TEST_F(HostWithCard, SignRefusals) {
    HostProcess host;
    const std::string data = "x";
    auto codeOf = [&](const json& arguments) {
        const json reply = host.Ask(Request("f", "sign", arguments));
        if (reply.is_null()) {
            // The host is gone: never read as a signature, and say how it ended.
            ADD_FAILURE() << "no reply; the host's exit status: " << host.Wait(2000);
            return std::string("no reply");
        }
        return reply.contains("error") ? reply["error"]["code"].get<std::string>()
                                       : std::string(reply.contains("result") ? "signed" : "?");
    };
    EXPECT_EQ(codeOf(SignArguments(data, "000000")), "pin-incorrect");
    // Another certificate than the card's: nothing is signed.
    json other = SignArguments(data);
    other["certificate"] =
        tessivo::EncodeBase64(Bytes(fixtures::ReadFileText(CertsFile("encipher.der"))));
    other["reader"] = "Tessivo Reader";
    EXPECT_EQ(codeOf(other), "certificate-mismatch");
    other["certificate"] = tessivo::EncodeBase64(Bytes("not a certificate"));
    EXPECT_EQ(codeOf(other), "invalid-certificate");
    json emptyReader = SignArguments(data);
    emptyReader["reader"] = "Empty Reader";
    EXPECT_EQ(codeOf(emptyReader), "no-card");
    // The right PIN after a wrong one signs.
    EXPECT_EQ(codeOf(SignArguments(data)), "signed");

    // The tries left come from the token's flags.
    config_.Write(kCard_ + "token_flags = 0x20000\n"); // final try
    json reply = host.Ask(Request("g", "sign", SignArguments(data, "000000")));
    EXPECT_EQ(reply["error"]["code"], "pin-incorrect");
    EXPECT_EQ(reply["error"]["pinFinalTry"], true);
    config_.Write(kCard_ + "token_flags = 0x40000\n"); // locked
    EXPECT_EQ(codeOf(SignArguments(data)), "pin-locked");
    // The card's own verdict; the agent (one per connection) reads the module's set-up when it
    // starts, so a new connection is needed.
    config_.Write(kCard_ + "login_rv = 0xA4\n");
    HostProcess second;
    EXPECT_EQ(second.Ask(Request("l", "sign", SignArguments(data)))["error"]["code"], "pin-locked");
}

// A reader with its own PIN pad: the page's request carries no PIN, the holder types it on the
// pad (the login reaches the card with length 0); without a pad a request without PIN is refused.
TEST_F(HostWithCard, PinPadReaderSignsWithoutAPin) {
    const std::string log = config_.Folder() + "/login.log";
    config_.Write(kCard_ + "protected_auth = 1\nlogin_log = " + log + "\n");
    HostProcess host;
    const json certificate = host.Ask(Request("c", "get-signing-certificate",
                                              {{"origin", kOrigin}, {"reader", "Tessivo Reader"}}));
    EXPECT_EQ(certificate["result"]["pinPad"], true) << certificate;
    json arguments = SignArguments("on the pad");
    arguments.erase("pin");
    const json reply = host.Ask(Request("p", "sign", arguments));
    ASSERT_TRUE(reply.contains("result")) << reply;
    EXPECT_TRUE(
        Verifies(citizen_, EVP_sha256(), "on the pad", FromBase64(reply["result"]["signature"])));
    EXPECT_NE(fixtures::ReadFileText(log).find("user=1 length=0 rv=0x0"), std::string::npos)
        << fixtures::ReadFileText(log);
    host.CloseInput();
    EXPECT_EQ(host.Wait(), 0);

    config_.Write(kCard_);
    HostProcess plain;
    EXPECT_EQ(plain.Ask(Request("n", "sign", arguments))["error"]["code"], "pin-required");
}

// A card that shows its certificates only after the PIN: the page cannot read the certificate,
// but a request that brings it signs, and the certificate is compared once the card is open.
TEST_F(HostWithCard, CertificateBehindThePin) {
    std::string hidden = FixtureCardObjects(TESSIVO_TEST_CERTS_DIR);
    for (std::size_t at = hidden.find("= cert "); at != std::string::npos;
         at = hidden.find("= cert ", at)) {
        hidden.replace(at, 7, "= private_cert ");
    }
    config_.Write("slot = Empty Reader ; 0 ; ; \n"
                  "slot = Tessivo Reader ; 1 ; CITIZEN ; CARD0001\npin = 123456\n" +
                  hidden);
    HostProcess host;
    for (const json& arguments :
         {json{{"origin", kOrigin}}, json{{"origin", kOrigin}, {"reader", "Tessivo Reader"}}}) {
        EXPECT_EQ(host.Ask(Request("c", "get-signing-certificate", arguments))["error"]["code"],
                  "certificate-not-public")
            << arguments;
    }
    const json reply = host.Ask(Request("s", "sign", SignArguments("behind the PIN")));
    ASSERT_TRUE(reply.contains("result")) << reply;
    EXPECT_EQ(reply["result"]["reader"], "Tessivo Reader");
    EXPECT_TRUE(Verifies(citizen_, EVP_sha256(), "behind the PIN",
                         FromBase64(reply["result"]["signature"])));
    json other = SignArguments("behind the PIN");
    other["certificate"] =
        tessivo::EncodeBase64(Bytes(fixtures::ReadFileText(CertsFile("encipher.der"))));
    EXPECT_EQ(host.Ask(Request("m", "sign", other))["error"]["code"], "certificate-mismatch");
}

// ---- installation ----

#if defined(_WIN32)
// The manifests go to %LOCALAPPDATA%\Tessivo (a temporary folder here) and each browser's key
// under HKEY_CURRENT_USER names one; the keys live in this test run's own Wine prefix.
TEST(HostInstall, WritesAndRemovesEveryBrowsersRegistration) {
    fixtures::TempDir local;
    const char* previous = std::getenv("LOCALAPPDATA");
    const std::string saved = previous ? previous : "";
    fixtures::SetEnvironment("LOCALAPPDATA", NativePath(local.Path()));
    auto run = [](const char* option) {
        HostProcess host({option});
        return host.Wait(60000);
    };
    auto keyDefault = [](const std::string& key) -> std::string {
        const std::wstring wkey(key.begin(), key.end());
        wchar_t value[1024];
        DWORD size = sizeof value;
        if (RegGetValueW(HKEY_CURRENT_USER, wkey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                         &size) != ERROR_SUCCESS) {
            return "";
        }
        return fs::path(value).string();
    };
    auto keyExists = [](const std::string& key) {
        const std::wstring wkey(key.begin(), key.end());
        HKEY handle = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, wkey.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) {
            return false;
        }
        RegCloseKey(handle);
        return true;
    };
    const std::string name = host::kHostName;
    const std::string chromiumKeys[] = {"Software\\Google\\Chrome\\NativeMessagingHosts\\" + name,
                                        "Software\\Chromium\\NativeMessagingHosts\\" + name};
    const std::string firefoxKey = "Software\\Mozilla\\NativeMessagingHosts\\" + name;

    ASSERT_EQ(run("--install"), 0);
    const std::string chromiumFile = keyDefault(chromiumKeys[0]);
    const std::string firefoxFile = keyDefault(firefoxKey);
    EXPECT_EQ(keyDefault(chromiumKeys[1]), chromiumFile);
    const fs::path folder = fs::path(NativePath(local.Path())) / "Tessivo";
    EXPECT_EQ(fs::path(chromiumFile).parent_path(), folder) << chromiumFile;
    EXPECT_EQ(fs::path(firefoxFile).parent_path(), folder) << firefoxFile;
    ASSERT_TRUE(fs::exists(chromiumFile) && fs::exists(firefoxFile));
    const json c = json::parse(fixtures::ReadFileText(chromiumFile));
    const json f = json::parse(fixtures::ReadFileText(firefoxFile));
    EXPECT_EQ(c["name"], name);
    EXPECT_EQ(c["type"], "stdio");
    EXPECT_TRUE(fs::equivalent(c["path"].get<std::string>(), NativePath(TESSIVO_HOST_PATH)))
        << c["path"];
    EXPECT_EQ(c["allowed_origins"],
              json::array({"chrome-extension://" + std::string(host::kExtensionId) + "/"}));
    EXPECT_FALSE(c.contains("allowed_extensions"));
    EXPECT_EQ(f["name"], name);
    EXPECT_EQ(f["path"], c["path"]);
    EXPECT_EQ(f["allowed_extensions"], json::array({host::kFirefoxExtensionId}));
    EXPECT_FALSE(f.contains("allowed_origins"));
    // Installing twice leaves one registration, not an error.
    EXPECT_EQ(run("--install"), 0);

    EXPECT_EQ(run("--uninstall"), 0);
    for (const std::string& key : chromiumKeys) {
        EXPECT_FALSE(keyExists(key)) << key;
    }
    EXPECT_FALSE(keyExists(firefoxKey));
    EXPECT_FALSE(fs::exists(chromiumFile));
    EXPECT_FALSE(fs::exists(firefoxFile));
    // Nothing left to remove is not a failure either.
    EXPECT_EQ(run("--uninstall"), 0);
    fixtures::SetEnvironment("LOCALAPPDATA", saved);
}

#else
TEST(HostInstall, WritesAndRemovesEveryBrowsersManifest) {
    fixtures::TempDir home;
    const char* previous = std::getenv("HOME");
    const std::string saved = previous ? previous : "";
    fixtures::SetEnvironment("HOME", home.Path());
    // Chrome has a profile here; Chromium and Firefox were never used.
    fs::create_directories(home.Path() + "/.config/google-chrome/Default");
    const int installed =
        std::system((std::string(TESSIVO_HOST_PATH) + " --install >/dev/null").c_str());
    const std::string chromium =
        home.Path() + "/.config/chromium/NativeMessagingHosts/org.tessivo.host.json";
    const std::string chrome =
        home.Path() + "/.config/google-chrome/NativeMessagingHosts/org.tessivo.host.json";
    const std::string firefox =
        home.Path() + "/.mozilla/native-messaging-hosts/org.tessivo.host.json";
    const json c = json::parse(fixtures::ReadFileText(chromium));
    const json g = json::parse(fixtures::ReadFileText(chrome));
    const json f = json::parse(fixtures::ReadFileText(firefox));
    const int removed =
        std::system((std::string(TESSIVO_HOST_PATH) + " --uninstall >/dev/null").c_str());
    const bool anyLeft = fs::exists(chromium) || fs::exists(chrome) || fs::exists(firefox);
    fixtures::SetEnvironment("HOME", saved);
    EXPECT_EQ(installed, 0);
    EXPECT_EQ(removed, 0);
    EXPECT_FALSE(anyLeft);
    // The folders it made are gone again; the browser's own and ~/.config stay.
    std::vector<std::string> left;
    for (const auto& entry : fs::recursive_directory_iterator(home.Path())) {
        left.push_back(fs::relative(entry.path(), home.Path()).string());
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{".config", ".config/google-chrome",
                                              ".config/google-chrome/Default"}));
    EXPECT_EQ(c, g);
    EXPECT_EQ(c["name"], "org.tessivo.host");
    EXPECT_EQ(c["type"], "stdio");
    EXPECT_EQ(c["path"], fs::canonical(TESSIVO_HOST_PATH).string());
    EXPECT_EQ(c["allowed_origins"],
              json::array({"chrome-extension://" + std::string(host::kExtensionId) + "/"}));
    EXPECT_EQ(f["allowed_extensions"], json::array({host::kFirefoxExtensionId}));
    EXPECT_FALSE(f.contains("allowed_origins"));
}

#endif

// One browser's manifest into a folder of the caller's choosing: a test profile's, or a private
// $HOME/.mozilla/native-messaging-hosts for Firefox.
TEST(HostInstall, ManifestDirWritesEitherBrowsersForm) {
    const std::string chromiumOrigin =
        "chrome-extension://" + std::string(host::kExtensionId) + "/";
    const struct {
        std::vector<std::string> options;
        int status;
        const char* list;   // the manifest's list of allowed callers; null: no file
        const char* caller; // its one entry
    } cases[] = {
        {{}, 0, "allowed_origins", chromiumOrigin.c_str()},
        {{"--browser", "chromium"}, 0, "allowed_origins", chromiumOrigin.c_str()},
        {{"--browser", "firefox"}, 0, "allowed_extensions", host::kFirefoxExtensionId},
        {{"--browser", "firefox", "--extension-id", "other@example.tw"},
         0,
         "allowed_extensions",
         "other@example.tw"},
        {{"--browser", "firefox", "--extension-id", "{0f8e3a52-1c7b-4d29-9e61-5b2a7c9d4e10}"},
         0,
         "allowed_extensions",
         "{0f8e3a52-1c7b-4d29-9e61-5b2a7c9d4e10}"},
        {{"--browser", "firefox", "--extension-id", host::kExtensionId}, 2, nullptr, nullptr},
        {{"--extension-id", "other@example.tw"}, 2, nullptr, nullptr},
        {{"--browser", "safari"}, 2, nullptr, nullptr},
    };
    for (const auto& c : cases) {
        fixtures::TempDir dir;
        std::vector<std::string> args = {"--install", "--manifest-dir", NativePath(dir.Path())};
        args.insert(args.end(), c.options.begin(), c.options.end());
        HostProcess host(args);
        EXPECT_EQ(host.Wait(60000), c.status) << args.back();
        const std::string file = dir.Path() + "/org.tessivo.host.json";
        if (c.list == nullptr) {
            EXPECT_FALSE(fs::exists(file)) << args.back();
            continue;
        }
        const json manifest = json::parse(fixtures::ReadFileText(file));
        EXPECT_EQ(manifest["name"], "org.tessivo.host");
        EXPECT_EQ(manifest["type"], "stdio");
        EXPECT_EQ(manifest[c.list], json::array({c.caller})) << manifest;
        EXPECT_EQ(manifest.size(), 5u) << manifest; // name, description, path, type, the list
    }
    // Firefox's form needs a folder: it has no profile folder of its own to write into.
    HostProcess bare({"--install", "--browser", "firefox"});
    EXPECT_EQ(bare.Wait(60000), 2);
}

// The id the host's manifest names is the one the extension's key gives it.
TEST(HostInstall, ExtensionIdFollowsFromTheManifestKey) {
    const json manifest = json::parse(fixtures::ReadFileText(TESSIVO_EXTENSION_MANIFEST));
    const std::vector<std::uint8_t> der = FromBase64(manifest["key"].get<std::string>());
    ASSERT_FALSE(der.empty());
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der.data(), der.size(), digest);
    std::string id;
    for (int i = 0; i < 16; ++i) {
        id.push_back(static_cast<char>('a' + (digest[i] >> 4)));
        id.push_back(static_cast<char>('a' + (digest[i] & 0x0F)));
    }
    EXPECT_EQ(id, host::kExtensionId);
    EXPECT_EQ(manifest["browser_specific_settings"]["gecko"]["id"], host::kFirefoxExtensionId);
}
