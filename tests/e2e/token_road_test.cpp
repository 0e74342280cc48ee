// The agent's token road end to end through tessivo-peer: readers, card, login, certificate
// record, signing and logout. On Linux against SoftHSM2 tokens, with pkcs11-tool and openssl as
// the independent checks; on Windows (under Wine) against the test module's software token.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/types.h"
#include "tests/e2e/peer_run.h"
#include "tests/fixtures/files.h"
#include "tests/fixtures/local_time.h"
#include "tests/fixtures/test_module.h"
#if !defined(_WIN32)
#include "tests/fixtures/softhsm_token.h"
#endif

namespace {

using nlohmann::json;
using namespace e2e;

constexpr char kPin[] = "123456";
constexpr std::uint32_t kPinIncorrect = 0xDA0000A0u;
constexpr std::uint32_t kNotReady = 0xFFFFFFFFu;

std::string Peer(const std::string& module) {
    return PeerCommand(module);
}

bool VerifiesWithCitizenKey(const std::string& signature, const std::string& data) {
    return e2e::VerifiesSha256(fixtures::ReadFileText(CertsFile("citizen.der")), signature, data);
}

const std::string kData = "The road of one request.";

} // namespace

// ---- the test module (both platforms) ----

class TestModuleRoad : public ::testing::Test {
protected:
    static void SetUpTestSuite() { fixtures::UseTaipeiTime(); }
    std::string Module() { return RoadModule(); }

    // The real agent behind a script that records its process id first (for --agent).
    std::string RecordedAgent() {
        const std::string realAgent =
            (std::filesystem::path(TESSIVO_PEER_PATH).parent_path() / "tessivo").string();
        const std::string agent =
            config_.AddFile("recorded-agent", "#!/bin/sh\necho $$ >" + AgentPidFile() + "\nexec " +
                                                  realAgent + " \"$@\"\n");
        std::filesystem::permissions(agent, std::filesystem::perms::owner_all);
        return agent;
    }
    std::string AgentPidFile() const { return config_.Folder() + "/started-agent.pid"; }
    // The recorded agent was started, and its peer has ended and reaped it before returning,
    // however slow the machine: no grace period here, and a zombie left for someone else to
    // reap counts as left behind.
    void ExpectRecordedAgentEnded() const {
        const std::string pid = fixtures::ReadFileText(AgentPidFile());
        ASSERT_FALSE(pid.empty()) << "the agent was started";
        const std::string entry = "/proc/" + pid.substr(0, pid.find('\n'));
        EXPECT_FALSE(std::filesystem::exists(entry))
            << "the agent outlived its peer: " << fixtures::ReadFileText(entry + "/stat");
    }

    TestModuleConfig config_{"slot = Empty Reader ; 0 ; ; \n"
                             "slot = Tessivo Reader ; 1 ; ROAD ; ROAD0001\n"
                             "pin = 123456\n" +
                             FixtureCardObjects(TESSIVO_TEST_CERTS_DIR)};
};

TEST_F(TestModuleRoad, WholeRoadAndSignatureChecked) {
    const std::vector<json> out = RunScript(Module(), "slot Empty Reader\n"
                                                      "card\n"
                                                      "slot Tessivo Reader\n"
                                                      "card\n"
                                                      "login " +
                                                          std::string(kPin) +
                                                          "\n"
                                                          "certinfo\n"
                                                          "sign sha256 " +
                                                          Base64(kData) +
                                                          "\n"
                                                          "logout\n"
                                                          "card\n");
    ASSERT_EQ(out.size(), 9u);
    EXPECT_EQ(out[1]["noCard"], true);
    EXPECT_EQ(out[3]["serial"], "ROAD0001");
    EXPECT_EQ(out[3]["noCard"], false);
    EXPECT_EQ(out[4]["status"], 0);
    EXPECT_EQ(out[4]["certSerial"], "1234");
    EXPECT_EQ(out[4]["notAfter"], "2036.1.1");
    EXPECT_EQ(FromBase64(out[4]["certificate"].get<std::string>()),
              fixtures::ReadFileText(CertsFile("citizen.der")));
    const std::string record = out[5]["record"].get<std::string>();
    EXPECT_NE(record.find(" SubjectDN='CN=王小明,O=Tessivo Citizens,C=TW'"), std::string::npos)
        << record;
    EXPECT_NE(record.find(" TypeString='自然人憑證' ID='1234' Ext='正卡'"), std::string::npos);
    EXPECT_EQ(out[6]["result"], 0);
    EXPECT_EQ(out[6]["length"], 385);
    EXPECT_TRUE(VerifiesWithCitizenKey(SignatureOf(out[6]), kData));
    EXPECT_EQ(out[7]["result"], 0);
    EXPECT_EQ(out[8]["noCard"], true);
}

TEST_F(TestModuleRoad, CardPulledAfterLoginRefusesToSign) {
    config_.Write(fixtures::ReadFileText(config_.Path()) + "remove_after_login = 8\n");
    const std::vector<json> out = RunScript(Module(), "slot Tessivo Reader\n"
                                                      "login 123456\n"
                                                      "sign sha256 QUJD\n"
                                                      "log\n");
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[1]["status"], 0);
    EXPECT_EQ(out[2]["result"], 1);
    EXPECT_EQ(out[3]["log"], "message:MWM_SIGN,wparam:10,data:QUJD->fail;");
}

// The readers come from the module itself: all of them, in its order, every time, whatever the
// load; a description outside ASCII reaches the agent as the agent itself reads it.
TEST_F(TestModuleRoad, ReadersAreTheModulesOwnList) {
    std::string config =
        "slot = Empty Reader ; 0 ; ; \n"
        "slot = \xE8\xAE\x80\xE5\x8D\xA1\xE6\xA9\x9F Reader ; 1 ; ROAD ; ROAD0001\n"
        "slot_count = 24\n"
        "pin = 123456\n" +
        FixtureCardObjects(TESSIVO_TEST_CERTS_DIR);
    config_.Write(config);
    // Each reader's description first, then the card in it.
    std::string expected = "Empty Reader\t(no card)\n"
                           "\xE8\xAE\x80\xE5\x8D\xA1\xE6\xA9\x9F Reader\tROAD (ROAD0001)\n";
    for (int k = 3; k <= 26; ++k) { // named after their slot ids
        const std::string n = std::to_string(k);
        expected += "Reader " + n + "\tToken " + n + " (" + n + ")\n";
    }
    for (int run = 0; run < 3; ++run) {
        Output readers = RunCommandLine(Peer(Module()) + " readers" + NullErrors());
        EXPECT_EQ(readers.status, 0);
        // Lines end in CR LF on Windows.
        readers.text.erase(std::remove(readers.text.begin(), readers.text.end(), '\r'),
                           readers.text.end());
        EXPECT_EQ(readers.text, expected);
    }
    // The same list as objects, in the same order.
    const Output json = RunCommandLine(Peer(Module()) + " --json readers" + NullErrors());
    ASSERT_EQ(json.status, 0);
    const nlohmann::json listed = nlohmann::json::parse(json.text)["readers"];
    ASSERT_EQ(listed.size(), 26u);
    EXPECT_EQ(listed[0], nlohmann::json({{"description", "Empty Reader"}, {"card", false}}));
    EXPECT_EQ(listed[1],
              nlohmann::json({{"description", "\xE8\xAE\x80\xE5\x8D\xA1\xE6\xA9\x9F Reader"},
                              {"card", true},
                              {"label", "ROAD"},
                              {"serial", "ROAD0001"},
                              {"pinPad", false}}));
    EXPECT_EQ(listed[25]["description"], "Reader 26");
    // Chosen by that name on both platforms (Windows: from the UTF-16 command line), and named
    // in UTF-8 when it is not there.
    Output card = RunCommandLine(
        Peer(Module()) + " card \"\xE8\xAE\x80\xE5\x8D\xA1\xE6\xA9\x9F Reader\"" + NullErrors());
    EXPECT_EQ(card.status, 0);
    card.text.erase(std::remove(card.text.begin(), card.text.end(), '\r'), card.text.end());
    EXPECT_EQ(card.text, "ROAD0001\n");
    const Output none =
        RunCommandLine(Peer(Module()) + " --json card \"\xE8\xAE\x80 Reader\"" + NullErrors());
    EXPECT_EQ(none.status, 4);
    EXPECT_NE(none.text.find("\\\"\xE8\xAE\x80\xE5\x8D\xA1\xE6\xA9\x9F Reader\\\" (token"),
              std::string::npos)
        << none.text;
}

#if !defined(_WIN32)

// A user command that fails: its exit status and its one "tessivo-peer:" line on standard error
// (the agent's console lines go there too).
Output CommandFailure(const std::string& command) {
    const std::string errors = TempFile("errors", "");
    Output out;
    out.status =
        std::atoi(RunCommandLine(command + " 2>" + errors + " >/dev/null; echo $?").text.c_str());
    const std::string text = fixtures::ReadFileText(errors);
    std::filesystem::remove(errors);
    const std::size_t from = text.find("tessivo-peer: ");
    if (from != std::string::npos)
        out.text = text.substr(from, text.find('\n', from) - from);
    return out;
}

// A signature reaches its file whole or not at all: the file appears only after a good run, a
// failed run leaves neither the file nor a temporary one beside it, and output that the system
// refused (a full device) is a failure with its reason.
TEST_F(TestModuleRoad, OutputIsWholeOrAbsent) {
    const std::string peer = Peer(Module());
    const std::string data = TempFile("whole-data", kData);
    const fixtures::TempDir folder;
    const std::string out = folder.Path() + "/signature";
    const std::string raw = folder.Path() + "/signature.bin";
    const std::string sign = peer + " sign ROAD --pin-stdin -o " + out + " --raw-signature " + raw;

    const Output wrong = CommandFailure("echo 0000 | " + sign + " --format base64 " + data);
    EXPECT_EQ(wrong.status, 6);
    EXPECT_TRUE(std::filesystem::is_empty(folder.Path()));

    ASSERT_EQ(
        RunCommandLine("echo 123456 | " + sign + " --format base64 " + data + NullErrors()).status,
        0);
    const std::string signature = fixtures::ReadFileText(raw);
    EXPECT_TRUE(VerifiesWithCitizenKey(signature, kData));
    EXPECT_EQ(fixtures::ReadFileText(out), Base64(signature) + "\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.Path()),
                            std::filesystem::directory_iterator()),
              2);

    const std::string errors = folder.Path() + "/errors";
    const Output full = RunCommandLine("echo 123456 | " + peer + " sign ROAD --pin-stdin " + data +
                                       " >/dev/full 2>" + errors + "; echo $?");
    EXPECT_EQ(full.text, "10\n");
    EXPECT_NE(
        fixtures::ReadFileText(errors).find("tessivo-peer: cannot write the standard output: " +
                                            std::string(std::strerror(ENOSPC))),
        std::string::npos);
    std::filesystem::remove(data);
}

// A card whose public certificates show that the agent's login cannot use it is refused before
// its PIN is asked, with what is missing and what the card holds; a card the login can use,
// whatever the ids of its certificates, and a card that shows nothing before the PIN, go on.
TEST_F(TestModuleRoad, CardTheLoginCannotUseIsToldApartBeforeThePin) {
    const std::string slot = "slot = Tessivo Reader ; 1 ; ROAD ; ROAD0001\npin = 123456\n";
    const std::string log = config_.AddFile("login.log", "");
    const auto object = [](const std::string& kind, const std::string& id,
                           const std::string& file) {
        return "object = " + kind + " ; " + id + " ; " + CertsFile(file) + "\n";
    };
    const std::string keys = object("key", "SIGN", "ee.key") + object("key", "KEYX", "ee.key");
    struct Case {
        std::string objects;
        int status;
        std::string missing; // in the message when refused
    };
    const Case cases[] = {
        {object("cert", "SIGN", "citizen.der"), 11, "lacks an encipherment certificate"},
        // digitalSignature with nonRepudiation is not the login's key usage.
        {object("cert", "Q1", "ku_c0.der") + object("cert", "KEYX", "encipher.der"), 11,
         "lacks a signature certificate"},
        {object("cert", "Q1", "ku_c0.der"), 11,
         "lacks a signature certificate (id \"SIGN\", or "
         "key usage digitalSignature alone) and an "
         "encipherment certificate"},
        {FixtureCardObjects(TESSIVO_TEST_CERTS_DIR), 0, ""},
        // Nothing shown before the PIN: nothing can be told, the login decides.
        {object("private_cert", "SIGN", "citizen.der") +
             object("private_cert", "KEYX", "encipher.der"),
         0, ""},
    };
    const std::string data = TempFile("unusable-data", kData);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.objects);
        config_.Write(slot + c.objects + keys + "login_log = " + log + "\n");
        std::ofstream(log, std::ios::trunc).close();
        const std::string command = "echo 123456 | " + Peer(Module());
        // A command that logs in whatever the card shows without its PIN.
        const std::string cert = " sign ROAD --pin-stdin " + data;
        const Output out = CommandFailure(command + cert);
        EXPECT_EQ(out.status, c.status);
        EXPECT_EQ(!fixtures::ReadFileText(log).empty(), c.status == 0);
        if (c.status != 0) {
            EXPECT_NE(out.text.find("holds no certificate the agent can sign with. The card " +
                                    c.missing),
                      std::string::npos)
                << out.text;
            const std::vector<json> lines =
                JsonLines(RunCommandLine(command + " --json" + cert + NullErrors()).text);
            ASSERT_FALSE(lines.empty());
            const std::string message = lines.back()["error"]["message"];
            EXPECT_EQ(lines.back()["error"]["code"], "card-unusable");
            // Each certificate found is listed on a line of its own.
            const bool listed =
                message.find("\n  label \"Q1\", id \"Q1\", key usage c0 "
                             "(digitalSignature, nonRepudiation), subject ") != std::string::npos;
            EXPECT_EQ(listed, c.objects.find("Q1") != std::string::npos) << message;
        }
    }
    std::filesystem::remove(data);
}

// The module is --module, else TESSIVO_PKCS11_MODULE, else the configuration file's, else (no
// card vendor's module on this system) p11-kit's proxy; the configuration's reader stands in
// for a missing READER.
TEST_F(TestModuleRoad, ModuleAndReaderFromTheirOneRule) {
    const std::string config = config_.AddFile(
        "peer.conf", "# the test module\nmodule = " + Module() + "\nreader = ROAD\n");
    std::filesystem::create_directory(config_.Folder() + "/tessivo");
    std::filesystem::copy_file(config, config_.Folder() + "/tessivo/peer.conf");
    const std::string peer = Peer(""); // the agent of this build, no --module
    const std::string none = "TESSIVO_PEER_CONFIG=/no/such/peer.conf ";
    struct Case {
        std::string environment;
        std::string options;
        std::string used;
    };
    const Case cases[] = {
        {"TESSIVO_PEER_CONFIG=" + config, "", Module()},
        {"TESSIVO_PEER_CONFIG=" + config, " --module /elsewhere.so", "/elsewhere.so"},
        {"XDG_CONFIG_HOME=" + config_.Folder(), "", Module()},
        {"TESSIVO_PEER_CONFIG=" + config + " TESSIVO_PKCS11_MODULE=/env.so", "", "/env.so"},
        {none, "", "p11-kit-proxy.so"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.environment + c.options);
        const Output out = RunCommandLine("env -u TESSIVO_PKCS11_MODULE " + c.environment + " " +
                                          peer + c.options + " --json modules" + NullErrors());
        ASSERT_EQ(out.status, 0);
        const std::string used = JsonLines(out.text).back()["used"];
        EXPECT_EQ(used.substr(used.size() - std::min(used.size(), c.used.size())), c.used);
    }
    // The agent loads the module the peer chose from the configuration.
    EXPECT_EQ(RunCommandLine("env -u TESSIVO_PKCS11_MODULE TESSIVO_PEER_CONFIG=" + config + " " +
                             peer + " card" + NullErrors())
                  .text,
              "ROAD0001\n");
    const Output noReader =
        CommandFailure("env " + none + peer + " --module " + Module() + " card");
    EXPECT_EQ(noReader.status, 2);
}

// Certificates the card shows without its PIN are read without it: `certs` lists them with the
// one the agent signs with, `cert` prints that one and `certinfo` its record; a card that keeps
// them private gets a login, and the same record.
TEST_F(TestModuleRoad, CertificatesWithoutThePin) {
    const std::string base = fixtures::ReadFileText(config_.Path());
    const std::string log = config_.AddFile("login.log", "");
    const std::string peer = Peer(Module());
    config_.Write(base + "login_log = " + log + "\n");
    const std::vector<json> listed =
        JsonLines(RunCommandLine(peer + " --json certs ROAD </dev/null" + NullErrors()).text);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0]["verdict"], "usable");
    ASSERT_EQ(listed[0]["certificates"].size(), 2u);
    const json& signing = listed[0]["certificates"][0];
    EXPECT_EQ(signing["id"], "SIGN");
    EXPECT_EQ(signing["signing"], true);
    EXPECT_EQ(signing["keyUsage"], "80 (digitalSignature)");
    EXPECT_EQ(signing["subject"], "CN=王小明,O=Tessivo Citizens,C=TW");
    EXPECT_EQ(signing["issuer"], "CN=Tessivo Test CA,O=Tessivo Test,C=TW");
    EXPECT_EQ(signing["notAfter"], "2035-12-31T23:59:59Z");
    EXPECT_EQ(listed[0]["certificates"][1]["encipherment"], true);

    const std::string pem = fixtures::ReadFileText(CertsFile("citizen.pem"));
    EXPECT_EQ(RunCommandLine(peer + " cert ROAD </dev/null" + NullErrors()).text, pem);
    const std::string record =
        RunCommandLine(peer + " certinfo ROAD </dev/null" + NullErrors()).text;
    EXPECT_NE(record.find(" TypeString='自然人憑證' ID='1234'"), std::string::npos) << record;
    EXPECT_TRUE(fixtures::ReadFileText(log).empty()); // no login at all

    config_.Write("slot = Tessivo Reader ; 1 ; ROAD ; ROAD0001\npin = 123456\n"
                  "object = private_cert ; SIGN ; " +
                  CertsFile("citizen.der") + "\nobject = key ; SIGN ; " + CertsFile("ee.key") +
                  "\nobject = private_cert ; KEYX ; " + CertsFile("encipher.der") +
                  "\nobject = key ; KEYX ; " + CertsFile("ee.key") + "\nlogin_log = " + log + "\n");
    EXPECT_EQ(JsonLines(RunCommandLine(peer + " --json certs ROAD" + NullErrors()).text)
                  .back()["verdict"],
              "unknown");
    EXPECT_EQ(
        RunCommandLine("echo 123456 | " + peer + " cert ROAD --pin-stdin" + NullErrors()).text,
        pem);
    EXPECT_EQ(
        RunCommandLine("echo 123456 | " + peer + " certinfo ROAD --pin-stdin" + NullErrors()).text,
        record);
    EXPECT_FALSE(fixtures::ReadFileText(log).empty());
}

// A CMS signature is a detached SignedData that openssl accepts, with the four signed
// attributes; `verify` tells a good signature (CMS or bare) from a bad one, offline.
TEST_F(TestModuleRoad, CmsSignaturesAndTheirCheck) {
    const std::string peer = Peer(Module());
    const fixtures::TempDir folder;
    const std::string data = folder.Path() + "/data";
    const std::string other = folder.Path() + "/other";
    std::ofstream(data) << kData;
    std::ofstream(other) << kData << ".";
    const std::string der = folder.Path() + "/sig.p7s";
    const std::string pem = folder.Path() + "/sig.pem";
    const std::string raw = folder.Path() + "/sig.xml";
    const std::string sign = "echo 123456 | " + peer + " sign ROAD --pin-stdin " + data;
    ASSERT_EQ(RunCommandLine(sign + " --format cms -o " + der + NullErrors()).status, 0);
    ASSERT_EQ(
        RunCommandLine(sign + " --format cms --pem --mech sha384 -o " + pem + NullErrors()).status,
        0);
    ASSERT_EQ(RunCommandLine(sign + " -o " + raw + NullErrors()).status, 0);
    const std::string openssl = "openssl cms -verify -binary -purpose any -CAfile " +
                                CertsFile("ca.pem") + " -content " + data + " -out /dev/null";
    EXPECT_EQ(RunCommandLine(openssl + " -inform DER -in " + der + NullErrors()).status, 0);
    EXPECT_EQ(RunCommandLine(openssl + " -inform PEM -in " + pem + NullErrors()).status, 0);
    const std::string printed =
        RunCommandLine("openssl cms -cmsout -print -inform DER -in " + der).text;
    for (const char* attribute :
         {"contentType", "messageDigest", "signingTime", "id-smime-aa-signingCertificateV2"}) {
        EXPECT_NE(printed.find("object: " + std::string(attribute)), std::string::npos)
            << attribute;
    }
    struct Case {
        std::string arguments;
        int status;
    };
    const std::string cert = " --certificate " + CertsFile("citizen.pem") + " ";
    const Case cases[] = {
        {data + " " + der, 0},
        {data + " " + pem, 0},
        {other + " " + der, 1},
        {cert + data + " " + raw, 0},
        {cert + other + " " + raw, 1},
        {cert + "--mech sha1 " + data + " " + raw, 1},
        {data + " " + raw, 2}, // a bare signature without its certificate
        {data + " " + folder.Path() + "/missing", 10},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        EXPECT_EQ(RunCommandLine(peer + " verify " + c.arguments + NullErrors()).status, c.status);
    }
}

// Channels take their space when they are made: a runtime directory on a full tmpfs is a clear
// failure, never a SIGBUS. Needs a mount namespace of its own (root).
TEST_F(TestModuleRoad, FullRuntimeFileSystemIsAClearFailure) {
    const fixtures::TempDir dir;
    const std::string mount = "unshare -m sh -c 'mount -t tmpfs -o size=64k,mode=0700 none " +
                              dir.Path() + " && TESSIVO_RUNTIME_DIR=" + dir.Path() + " ";
    if (RunCommandLine(mount + "true' 2>/dev/null").status != 0) {
        GTEST_SKIP() << "no tmpfs of our own can be mounted here (needs root and unshare)";
    }
    const Output out = RunCommandLine(mount + Peer(Module()) + " --json card ROAD' 2>/dev/null");
    EXPECT_EQ(out.status, 9);
    EXPECT_EQ(JsonLines(out.text).back()["error"]["message"],
              "cannot create the request and log channels: " + std::string(std::strerror(ENOSPC)));
}

// An agent whose window never appears is waited for no longer than --timeout, and is ended.
TEST_F(TestModuleRoad, AgentWithoutWindowIsEndedAfterTheTimeout) {
    const std::string pidFile = config_.Folder() + "/agent.pid";
    const std::string agent =
        config_.AddFile("silent-agent", "#!/bin/sh\necho $$ >" + pidFile + "\nexec sleep 30\n");
    std::filesystem::permissions(agent, std::filesystem::perms::owner_all);
    const auto start = std::chrono::steady_clock::now();
    const Output out = CommandFailure(Quote(NativePath(TESSIVO_PEER_PATH)) + " --agent " + agent +
                                      " --module " + Module() + " --timeout 0.5 card ROAD");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(out.status, 9);
    EXPECT_EQ(out.text,
              "tessivo-peer: the agent's window did not appear within 0.5 s; the agent was ended");
    EXPECT_LT(took, std::chrono::seconds(5));
    const std::string pid = fixtures::ReadFileText(pidFile);
    ASSERT_FALSE(pid.empty());
    EXPECT_FALSE(std::filesystem::exists("/proc/" + pid.substr(0, pid.find('\n'))));
}

// The agent starts its module after its window, while its first tick is due: a module whose
// start never ends is waited for no longer than --timeout either, and the agent is ended.
TEST_F(TestModuleRoad, AgentWhoseModuleNeverStartsIsEndedAfterTheTimeout) {
    config_.Write("delay = C_Initialize ; 30000\n");
    const std::string agent = RecordedAgent();
    const std::string script = TempFile("script", "readers\n");
    const auto start = std::chrono::steady_clock::now();
    // The script mode loads no module of its own before the agent is ready.
    const Output out =
        RunCommandLine(Quote(NativePath(TESSIVO_PEER_PATH)) + " --agent " + agent + " --module " +
                       Module() + " --timeout 0.5 script " + script + " 2>/dev/null; echo $?");
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(out.text, "{\"error\":\"the agent was not ready within 0.5 s; the agent was "
                        "ended\"}\n9\n");
    EXPECT_LT(took, std::chrono::seconds(5));
    ExpectRecordedAgentEnded();
}

// A one-shot command reads its data while its agent starts: a failure there still ends that
// agent before the command exits, and is reported as itself.
TEST_F(TestModuleRoad, FailureWhileTheAgentStartsEndsTheAgent) {
    const std::string agent = RecordedAgent();
    // Opened without fault, unreadable from its first byte.
    const Output out = CommandFailure("echo 123456 | " + Quote(NativePath(TESSIVO_PEER_PATH)) +
                                      " --agent " + agent + " --module " + Module() +
                                      " sign 'Tessivo Reader' --mech sha256 --pin-stdin "
                                      "/proc/self/mem");
    EXPECT_EQ(out.status, 10);
    EXPECT_EQ(out.text,
              "tessivo-peer: cannot read /proc/self/mem: " + std::string(std::strerror(EIO)));
    ExpectRecordedAgentEnded();
}

TEST_F(TestModuleRoad, UserCommandFailuresNameTheirCause) {
    const std::string peer = Peer(Module());
    const std::string data = TempFile("data", kData);
    struct Case {
        std::string command;
        std::string message;
    };
    const Case cases[] = {
        {peer + " card 'Empty Reader'", "tessivo-peer: no card in Empty Reader"},
        // The PIN is not asked for when there is no card to log in to.
        {peer + " certinfo 'Empty Reader' </dev/null", "tessivo-peer: no card in Empty Reader"},
        {"echo 123456 | " + peer + " sign 'Tessivo Reader' --mech 2 --pin-stdin " + data,
         "tessivo-peer: signing refused"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const Output out = CommandFailure(c.command);
        EXPECT_NE(out.status, 0);
        EXPECT_EQ(out.text, c.message);
    }
    std::filesystem::remove(data);
}

// A reader is chosen by its description, its token's label or serial, or a PKCS#11 URI; what
// matches no reader, or more than one, or a reader the agent would confuse with an earlier one
// of the same description, is refused with the readers named.
TEST_F(TestModuleRoad, ReaderChosenByDescriptionTokenOrUri) {
    config_.Write(fixtures::ReadFileText(config_.Path()) +
                  "slot = Twin ; 1 ; T1 ; S1\nslot = Twin ; 1 ; T2 ; S2\n");
    const std::string peer = Peer(Module());
    const std::string all = "; the readers are \"Empty Reader\" (no card), \"Tessivo Reader\" "
                            "(token \"ROAD\", serial ROAD0001), \"Twin\" (token \"T1\", serial "
                            "S1), \"Twin\" (token \"T2\", serial S2)";
    struct Case {
        std::string command; // the peer and the reader
        int status;
        std::string said; // standard output when it succeeds, else the start of the error
    };
    const Case cases[] = {
        {peer + " card 'Tessivo Reader'", 0, "ROAD0001\n"},
        {peer + " card ROAD", 0, "ROAD0001\n"},
        {peer + " card ROAD0001", 0, "ROAD0001\n"},
        {peer + " card pkcs11:token=ROAD", 0, "ROAD0001\n"},
        {peer + " card 'PKCS11:slot-description=Tessivo%20Reader;serial=ROAD0001;type=cert'", 0,
         "ROAD0001\n"},
        {peer + " card pkcs11:token=T1", 0, "S1\n"},
        // An object named must be the signing key or its certificate.
        {peer + " card 'pkcs11:token=ROAD;id=%53IGN;object=SIGN;type=private'", 0, "ROAD0001\n"},
        {peer + " card 'pkcs11:token=ROAD;object=KEYX'", 4,
         "tessivo-peer: pkcs11:token=ROAD;object=KEYX names another object than the agent signs "
         "with; the agent signs with the key of the certificate label \"SIGN\", id \"SIGN\""},
        {peer + " card 'pkcs11:token=ROAD;type=public'", 4,
         "tessivo-peer: pkcs11:token=ROAD;type=public names objects of type public, but the agent "
         "signs only with"},
        // The module from the URI alone.
        {Peer("") + " card 'pkcs11:token=ROAD?module-path=" + Module() + "'", 0, "ROAD0001\n"},
        {peer + " card Twin", 4,
         "tessivo-peer: Twin matches more than one reader: \"Twin\" (token \"T1\", serial S1), "
         "\"Twin\" (token \"T2\", serial S2)"},
        {peer + " card pkcs11:serial=S2", 4,
         "tessivo-peer: pkcs11:serial=S2 is the reader \"Twin\" (token \"T2\", serial S2), but an "
         "earlier reader has the same description and the agent would use that one: \"Twin\" "
         "(token \"T1\", serial S1)"},
        {peer + " card 'pkcs11:token=ROAD;serial=S1'", 4,
         "tessivo-peer: no such reader: pkcs11:token=ROAD;serial=S1" + all},
        {peer + " card 'No Such Reader'", 4, "tessivo-peer: no such reader: No Such Reader" + all},
        {peer + " card pkcs11:token=R%4", 2,
         "tessivo-peer: cannot read the PKCS#11 URI pkcs11:token=R%4: a '%' not followed by two "
         "hex digits"},
        {peer + " card 'pkcs11:token=ROAD;colour=red'", 2,
         "tessivo-peer: cannot read the PKCS#11 URI pkcs11:token=ROAD;colour=red: unknown "
         "attribute colour"},
        {peer + " card 'pkcs11:token=ROAD;token=T1'", 2,
         "tessivo-peer: cannot read the PKCS#11 URI pkcs11:token=ROAD;token=T1: token is given "
         "twice"},
        {peer + " card 'pkcs11:token=ROAD?module-path=/elsewhere.so'", 2,
         "tessivo-peer: --module " + Module() + " and the URI's module /elsewhere.so disagree"},
        {peer + " card 'pkcs11:token=ROAD?module-name=no-such-module'", 3,
         "tessivo-peer: no PKCS#11 module is registered with p11-kit as no-such-module"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        if (c.status == 0) {
            const Output out = RunCommandLine(c.command + NullErrors());
            EXPECT_EQ(out.status, 0);
            EXPECT_EQ(out.text, c.said);
        } else {
            const Output out = CommandFailure(c.command);
            EXPECT_EQ(out.status, c.status);
            EXPECT_EQ(out.text.substr(0, c.said.size()), c.said);
        }
    }
}

// Each failure has its own exit status and, with --json, an error object of the same code on
// standard output. Failures found before the login send no PIN to the card.
TEST_F(TestModuleRoad, FailuresExitWithTheirOwnStatusAndCode) {
    const std::string base = fixtures::ReadFileText(config_.Path());
    const std::string log = config_.AddFile("login.log", "");
    const std::string peer = Peer(Module()) + " --json";
    const std::string data = TempFile("exit-data", kData);
    // A command that logs in whatever the card shows without its PIN.
    const std::string cert = " sign ROAD --pin-stdin " + data;
    struct Case {
        std::string command;
        std::string config; // added to the card's configuration
        int status;
        std::string code;
        bool pinSent;
    };
    const Case cases[] = {
        {Peer(config_.Path()) + " --json card ROAD", "", 3, "module-failed", false},
        {peer + " card 'Empty Reader'", "", 5, "no-card", false},
        {"echo 0000 |" + peer + cert, "", 6, "pin-incorrect", true},
        {"echo |" + peer + cert, "", 6, "pin-incorrect", false},
        // Not in the agent's code page (Big5): the card would get '?' in its place.
        {"echo 'caf\xC3\xA9' |" + peer + cert, "", 6, "pin-incorrect", false},
        // The agent would read the PIN only up to its NUL.
        {"printf '12\\0003456\\n' |" + peer + cert, "", 6, "pin-incorrect", false},
        {"echo 123456 |" + peer + " sign 'pkcs11:token=ROAD;id=KEYX' --pin-stdin " + data, "", 4,
         "no-reader", false},
        // An output that cannot be made is found before the PIN.
        {"echo 123456 |" + peer + " sign ROAD --pin-stdin -o /no/such/folder/sig " + data, "", 10,
         "file", false},
        {"echo 123456 |" + peer + " sign ROAD --pin-stdin --raw-signature " + data + "/sig " + data,
         "", 10, "file", false},
        // Written and flushed, but the device is full: no success.
        {"echo 123456 |" + peer + " sign ROAD --pin-stdin -o /dev/full " + data, "", 10, "file",
         true},
        {"echo 123456 |" + peer + " --timeout nan" + cert, "", 2, "usage", false},
        {"echo 123456 |" + peer + " --timeout inf" + cert, "", 2, "usage", false},
        {"echo 123456 |" + peer + " --timeout -1" + cert, "", 2, "usage", false},
        {"echo 123456 |" + peer + " --timeout 0" + cert, "", 2, "usage", false},
        {"echo 123456 |" + peer + " --timeout abc" + cert, "", 2, "usage", false},
        {"echo 123456 |" + peer + cert, "login_rv = 0xA4\n", 7, "pin-locked", true},
        {"echo 123456 |" + peer + cert, "login_rv = 0xA3\n", 7, "pin-locked", true},
        {"echo 123456 |" + peer + cert, "token_flags = 0x40000\n", 7, "pin-locked", false},
        {"echo 123456 |" + peer + " sign ROAD --pin-stdin " + data + ".missing", "", 10, "file",
         false},
        {"echo 123456 |" + peer + " sign ROAD --mech sha3 --pin-stdin " + data, "", 2, "usage",
         false},
        {peer + " card", "", 2, "usage", false},
        {Quote(NativePath(TESSIVO_PEER_PATH)) + " --agent /no/such/agent --module " + Module() +
             " --json card ROAD",
         "", 9, "agent-failed", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command + " with " + c.config);
        config_.Write(base + c.config + "login_log = " + log + "\n");
        std::ofstream(log, std::ios::trunc).close();
        const Output out = RunCommandLine(c.command + NullErrors());
        EXPECT_EQ(out.status, c.status);
        const std::vector<json> lines = JsonLines(out.text);
        ASSERT_FALSE(lines.empty()) << out.text;
        EXPECT_EQ(lines.back()["error"]["code"], c.code) << out.text;
        EXPECT_EQ(lines.back()["error"]["exit"], c.status);
        EXPECT_EQ(!fixtures::ReadFileText(log).empty(), c.pinSent);
    }
    // The agent's own text travels beside the English message.
    config_.Write(base);
    const Output wrong = RunCommandLine("echo 0000 |" + peer + cert + NullErrors());
    EXPECT_EQ(JsonLines(wrong.text).back()["error"], json({{"code", "pin-incorrect"},
                                                           {"message", "wrong PIN"},
                                                           {"exit", 6},
                                                           {"agent", "錯誤的 PIN 碼"}}));
    // The message follows the locale, even one the system has not generated; the agent's
    // Chinese text stands beside it for Chinese readers and with --verbose; the codes never
    // change.
    const std::string errors = TempFile("locale-errors", "");
    struct Language {
        std::string environment;
        std::string options;
        std::string line;
        std::string message;
    };
    const Language languages[] = {
        {"", "", "tessivo-peer: wrong PIN", "wrong PIN"},
        {"", " --verbose", "tessivo-peer: wrong PIN (agent: 錯誤的 PIN 碼)", "wrong PIN"},
        {"LANGUAGE=zh_TW LC_ALL=C.UTF-8", "", "tessivo-peer: PIN 碼錯誤 (agent: 錯誤的 PIN 碼)",
         "PIN 碼錯誤"},
        {"LC_ALL=zh_TW.UTF-8", "", "tessivo-peer: PIN 碼錯誤 (agent: 錯誤的 PIN 碼)", "PIN 碼錯誤"},
        // As gettext does, the plain C locale translates nothing.
        {"LANGUAGE=zh_TW LC_ALL=C", "", "tessivo-peer: wrong PIN", "wrong PIN"},
    };
    for (const Language& l : languages) {
        SCOPED_TRACE(l.environment + l.options);
        const Output out =
            RunCommandLine("echo 0000 | env -u LANGUAGE -u LC_ALL -u LC_MESSAGES -u LANG " +
                           l.environment + " " + peer + l.options + cert + " 2>" + errors);
        EXPECT_EQ(out.status, 6);
        EXPECT_EQ(JsonLines(out.text).back()["error"], json({{"code", "pin-incorrect"},
                                                             {"message", l.message},
                                                             {"exit", 6},
                                                             {"agent", "錯誤的 PIN 碼"}}));
        const std::string text = fixtures::ReadFileText(errors);
        const std::size_t from = text.find("tessivo-peer: ");
        EXPECT_EQ(from == std::string::npos ? text
                                            : text.substr(from, text.find('\n', from) - from),
                  l.line)
            << text;
    }
    std::filesystem::remove(errors);
    // A script goes on after a failed line, and says so when it ends.
    EXPECT_EQ(RunCommandLine("printf 'agent\\nno-such-request\\nagent\\n' | " + Peer(Module()) +
                             " script" + NullErrors())
                  .status,
              1);
    std::filesystem::remove(data);
}

// A reader with its own PIN pad: the user is told to type the PIN there, no PIN is read, and the
// module gets a login without one (length 0).
TEST_F(TestModuleRoad, PinPadReaderGetsNoPin) {
    const std::string log = config_.AddFile("login.log", "");
    config_.Write(fixtures::ReadFileText(config_.Path()) +
                  "protected_auth = 1\nlogin_log = " + log + "\n");
    const std::string errors = TempFile("pad-errors", "");
    const std::string data = TempFile("pad-data", kData);
    const Output out = RunCommandLine(Peer(Module()) + " sign 'Tessivo Reader' " + data +
                                      " </dev/null 2>" + errors);
    EXPECT_EQ(out.status, 0);
    EXPECT_EQ(out.text.rfind("<SignatureValue>", 0), 0u) << out.text;
    EXPECT_EQ(fixtures::ReadFileText(errors), "tessivo-peer: enter the PIN on the reader's pad\n");
    EXPECT_EQ(fixtures::ReadFileText(log), "user=1 length=0 rv=0x0\n");
    std::filesystem::remove(errors);
    std::filesystem::remove(data);
}

// ---- SoftHSM2 (Linux) ----

class SoftHsmRoad : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        fixtures::UseTaipeiTime();
        hsm_ = new fixtures::SoftHsm();
        hsm_->InitToken("road", "87654321", kPin);
        for (const char* id : {"SIGN", "KEYX"}) {
            hsm_->ImportKey("road", kPin, CertsFile("ee.key"), id);
        }
        hsm_->ImportCert("road", kPin, CertsFile("citizen.der"), "SIGN");
        hsm_->ImportCert("road", kPin, CertsFile("encipher.der"), "KEYX");
        reader_ = ReaderOf("road");
    }
    static void TearDownTestSuite() {
        delete hsm_;
        hsm_ = nullptr;
    }

    // The slot description SoftHSM2 gives the token, as pkcs11-tool lists it.
    static std::string ReaderOf(const std::string& label) {
        const std::string listing =
            RunCommandLine(std::string("pkcs11-tool --module ") + fixtures::kSoftHsmModule + " -L")
                .text;
        std::string reader;
        std::size_t pos = 0;
        while (pos < listing.size()) {
            std::size_t end = listing.find('\n', pos);
            if (end == std::string::npos)
                end = listing.size();
            const std::string line = listing.substr(pos, end - pos);
            if (line.rfind("Slot ", 0) == 0) {
                reader = line.substr(line.find("): ") + 3);
                reader.erase(reader.find_last_not_of(' ') + 1);
            } else if (line.find("token label") != std::string::npos &&
                       line.substr(line.find(':') + 2) == label) {
                return reader;
            }
            pos = end + 1;
        }
        return {};
    }

    static std::string Pkcs11ToolSign(const std::string& mechanism, const std::string& data) {
        const std::string in = TempFile("in", data);
        const std::string out = in + ".sig";
        const bool ok = hsm_->RunPkcs11Tool(
            "road", std::string("--login --pin ") + kPin + " --sign --id 5349474e -m " + mechanism +
                        " --input-file " + in + " --output-file " + out);
        const std::string signature = ok ? fixtures::ReadFileText(out) : std::string();
        std::filesystem::remove(in);
        std::filesystem::remove(out);
        return signature;
    }

    static std::string Module() { return fixtures::kSoftHsmModule; }

    static fixtures::SoftHsm* hsm_;
    static std::string reader_;
};
fixtures::SoftHsm* SoftHsmRoad::hsm_ = nullptr;
std::string SoftHsmRoad::reader_;

// An agent that has loaded a real module ends cleanly, here by itself with no peer to serve:
// the module is shut down while all of it is still there, not after its own clean-up at exit.
TEST_F(SoftHsmRoad, AgentEndsCleanlyAfterItsModule) {
    const std::string agent =
        (std::filesystem::path(TESSIVO_PEER_PATH).parent_path() / "tessivo").string();
    const Output out = RunCommandLine("TESSIVO_PKCS11_MODULE=" + Module() + " " + Quote(agent) +
                                      " >/dev/null 2>&1; echo $?");
    EXPECT_EQ(out.text, "0\n") << "the agent's exit status";
}

TEST_F(SoftHsmRoad, FullRoadAsTheTokenAndOpensslSeeIt) {
    ASSERT_FALSE(reader_.empty());
    const std::vector<json> out =
        RunScript(Module(), "slot " + reader_ + "\ncard\nlogin " + kPin +
                                "\ncertinfo\nsign sha256 " + Base64(kData) + "\nlogout\n");
    ASSERT_EQ(out.size(), 6u);
    EXPECT_EQ(out[1]["serial"], hsm_->SerialOf("road"));
    const json& login = out[2];
    EXPECT_EQ(login["status"], 0);
    EXPECT_EQ(login["serial"], hsm_->SerialOf("road"));
    EXPECT_EQ(login["text"], "Global\\qorQorTessivonReturnFileMappingObject");
    EXPECT_EQ(FromBase64(login["certificate"].get<std::string>()),
              fixtures::ReadFileText(CertsFile("citizen.der")));

    // The record against openssl's own reading of the certificate.
    ExpectCitizenRecord(CertsFile("citizen.der"), login, out[3]["record"].get<std::string>());
    EXPECT_EQ(SignatureOf(out[4]), Pkcs11ToolSign("SHA256-RSA-PKCS", kData));
    EXPECT_EQ(out[5]["result"], 0);
}

// certinfo builds the record from the certificate the token shows without its PIN: the same
// bytes as the agent's reply after a login, in text and in JSON, and the wrong PIN offered is
// never tried.
TEST_F(SoftHsmRoad, CertinfoWithoutPinIsTheLoginsRecord) {
    const std::vector<json> login =
        RunScript(Module(), "slot " + reader_ + "\nlogin " + kPin + "\ncertinfo\n");
    ASSERT_EQ(login.size(), 3u);
    const std::string record = login[2]["record"];
    ASSERT_FALSE(record.empty());
    const std::string command = "echo 0000 | " + Peer(Module());
    const std::string certinfo = " certinfo " + Quote(reader_) + " --pin-stdin 2>/dev/null";
    const Output text = RunCommandLine(command + certinfo);
    EXPECT_EQ(text.status, 0);
    EXPECT_EQ(text.text, record + "\n");
    const Output line = RunCommandLine(command + " --json" + certinfo);
    EXPECT_EQ(line.status, 0);
    const json reply = JsonLines(line.text).back();
    EXPECT_EQ(reply, json({{"request", "MWM_CERTINF"},
                           {"result", 0},
                           {"record", record},
                           {"fields", reply["fields"]}}));
    EXPECT_EQ(reply["fields"]["SerialNo"], login[1]["certSerial"]);
}

TEST_F(SoftHsmRoad, EveryMechanismSignsAsPkcs11ToolDoes) {
    // Mechanism 1 signs what it is given: a SHA-256 DigestInfo of the data.
    const std::string digestInfo = Sha256DigestInfo(kData);
    struct Case {
        const char* peer;
        const char* tool;
        std::string data;
    };
    const Case cases[] = {
        {"raw", "RSA-PKCS", digestInfo},      {"md5", "MD5-RSA-PKCS", kData},
        {"sha1", "SHA1-RSA-PKCS", kData},     {"sha224", "SHA224-RSA-PKCS", kData},
        {"sha256", "SHA256-RSA-PKCS", kData}, {"sha384", "SHA384-RSA-PKCS", kData},
        {"sha512", "SHA512-RSA-PKCS", kData},
    };
    std::string script = "slot " + reader_ + "\nlogin " + kPin + "\n";
    for (const Case& c : cases)
        script += std::string("sign ") + c.peer + " " + Base64(c.data) + "\n";
    const std::vector<json> out = RunScript(Module(), script);
    ASSERT_EQ(out.size(), 2 + std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].peer);
        const std::string expected = Pkcs11ToolSign(cases[i].tool, cases[i].data);
        ASSERT_EQ(expected.size(), 256u);
        EXPECT_EQ(SignatureOf(out[2 + i]), expected);
    }
}

TEST_F(SoftHsmRoad, FailuresAsThePeerSeesThem) {
    const std::vector<json> out =
        RunScript(Module(), "login 123456\n"     // 0: no reader selected yet
                            "sign sha256 QUJD\n" // 1: no login
                            "slot " +
                                reader_ +
                                "\n"                    // 2
                                "login 0000\n"          // 3: wrong PIN
                                "log\n"                 // 4
                                "slot No Such Reader\n" // 5
                                "log\n"                 // 6
                                "login 123456\n"        // 7: the failed slot refuses the login
                                "card\n"                // 8: the earlier index still counts
                                "slot " +
                                reader_ +
                                "\n"                    // 9
                                "login 123456\n"        // 10
                                "certinfo\n"            // 11
                                "sign 2 QUJD\n"         // 12
                                "raw 1230 3 0 064000\n" // 13: shorter than its header
                                "logout\n"              // 14
                                "card\n"                // 15
                                "login 123456\n"        // 16
                                "certinfo\n");          // 17
    ASSERT_EQ(out.size(), 18u);
    EXPECT_EQ(out[0]["status"], kNotReady);
    EXPECT_EQ(out[0]["text"], "不明原因的錯誤(code:65535)");
    EXPECT_EQ(out[1]["result"], 1);
    EXPECT_EQ(out[3]["result"], 0);
    EXPECT_EQ(out[3]["status"], kPinIncorrect);
    EXPECT_EQ(out[3]["text"], "錯誤的 PIN 碼");
    EXPECT_FALSE(out[3].contains("certificate"));
    // The forwarded line is cut before its first Chinese character; the PIN is masked.
    EXPECT_EQ(out[4]["log"], "message:MWM_LOGIN,wparam:4,data:****->");
    EXPECT_EQ(out[5]["result"], 28);
    EXPECT_EQ(out[6]["log"], "message:MWM_SLOT,wparam:14,data:No Such Reader->sucess;");
    EXPECT_EQ(out[7]["status"], kNotReady);
    EXPECT_EQ(out[8]["serial"], hsm_->SerialOf("road"));
    EXPECT_EQ(out[10]["status"], 0);
    EXPECT_EQ(out[12]["result"], 1);
    EXPECT_EQ(out[13]["result"], 1);
    EXPECT_EQ(out[14]["result"], 0);
    EXPECT_EQ(out[15]["noCard"], true);
    EXPECT_EQ(out[16]["status"], kNotReady);
    EXPECT_EQ(out[17]["record"], out[11]["record"]);
    EXPECT_FALSE(out[17]["record"].get<std::string>().empty());
}

// The user's sign command hashes the data itself and has the card sign the DigestInfo: data of
// any size, the same signature as the card's own digest mechanism gives.
TEST_F(SoftHsmRoad, SignCommandSignsDataOfAnySize) {
    const std::string peer = Peer(Module());
    std::string big(3 * 1024 * 1024 + 7, '\0');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 131 + (i >> 9));
    const std::string file = TempFile("big", big);
    const struct {
        const char* peer;
        const char* tool;
    } cases[] = {{"md5", "MD5-RSA-PKCS"},       {"sha1", "SHA1-RSA-PKCS"},
                 {"sha224", "SHA224-RSA-PKCS"}, {"sha256", "SHA256-RSA-PKCS"},
                 {"sha384", "SHA384-RSA-PKCS"}, {"sha512", "SHA512-RSA-PKCS"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.peer);
        const std::string raw = file + ".sig";
        const Output out = RunCommandLine("echo " + std::string(kPin) + " | " + peer + " sign " +
                                          Quote(reader_) + " --mech " + c.peer + " --pin-stdin " +
                                          file + " --raw-signature " + raw + " 2>/dev/null");
        EXPECT_EQ(out.status, 0);
        EXPECT_EQ(fixtures::ReadFileText(raw), Pkcs11ToolSign(c.tool, big));
        std::filesystem::remove(raw);
    }
    // What cannot be signed is said before any PIN is asked for.
    const std::string dir = std::filesystem::temp_directory_path().string();
    const Output raw =
        CommandFailure(peer + " sign " + Quote(reader_) + " --mech raw " + file + " </dev/null");
    EXPECT_NE(raw.text.find("too large for this mechanism"), std::string::npos) << raw.text;
    const Output folder =
        CommandFailure(peer + " sign " + Quote(reader_) + " --mech sha256 " + dir + " </dev/null");
    EXPECT_EQ(folder.text, "tessivo-peer: " + dir + " is a directory, not a file to sign");
    std::filesystem::remove(file);
}

TEST_F(SoftHsmRoad, UserCommands) {
    const std::string peer = Peer(Module());
    const Output readers = RunCommandLine(peer + " readers 2>/dev/null");
    EXPECT_EQ(readers.status, 0);
    EXPECT_NE(readers.text.find(reader_ + "\troad (" + hsm_->SerialOf("road") + ")\n"),
              std::string::npos)
        << readers.text;

    const Output card = RunCommandLine(peer + " card " + Quote(reader_) + " 2>/dev/null");
    EXPECT_EQ(card.status, 0);
    EXPECT_EQ(card.text, hsm_->SerialOf("road") + "\n");
    const Output noReader =
        RunCommandLine(peer + " card 'No Such Reader' 2>&1 >/dev/null | grep tessivo-peer");
    // The candidates are named, the one SoftHSM2 gives this token among them.
    EXPECT_EQ(
        noReader.text.rfind("tessivo-peer: no such reader: No Such Reader; the readers are ", 0),
        0u);
    EXPECT_NE(noReader.text.find("\"" + reader_ + "\" (token \"road\", serial " +
                                 hsm_->SerialOf("road") + ")"),
              std::string::npos)
        << noReader.text;
    // The token chosen by label, by serial and by URI, as pkcs11-tool and p11tool users do.
    for (const std::string& chosen :
         {std::string("road"), hsm_->SerialOf("road"),
          "pkcs11:token=road;serial=" + hsm_->SerialOf("road") + "?module-name=softhsm2"}) {
        SCOPED_TRACE(chosen);
        // The URI names the module itself.
        const Output byToken = RunCommandLine((chosen.rfind("pkcs11:", 0) == 0 ? Peer("") : peer) +
                                              " card " + Quote(chosen) + " 2>/dev/null");
        EXPECT_EQ(byToken.status, 0);
        EXPECT_EQ(byToken.text, hsm_->SerialOf("road") + "\n");
    }

    const std::string data = TempFile("data", kData);
    const Output wrongPin =
        RunCommandLine("echo 0000 | " + peer + " sign " + Quote(reader_) + " --pin-stdin " + data +
                       " 2>&1 >/dev/null | grep tessivo-peer");
    // SoftHSM2 counts the wrong PIN in the token flags, and the peer says so.
    EXPECT_EQ(wrongPin.text, "tessivo-peer: wrong PIN; a wrong PIN has been entered since the last "
                             "login\n");

    const Output cert =
        RunCommandLine("echo 123456 | " + peer + " cert " + Quote(reader_) +
                       " --pin-stdin 2>/dev/null | openssl x509 -outform DER | base64 -w0");
    EXPECT_EQ(FromBase64(cert.text), fixtures::ReadFileText(CertsFile("citizen.der")));

    const Output info = RunCommandLine("echo 123456 | " + peer + " --json certinfo " +
                                       Quote(reader_) + " --pin-stdin 2>/dev/null");
    EXPECT_EQ(info.status, 0);
    const json infoJson = json::parse(info.text);
    EXPECT_NE(infoJson["record"].get<std::string>().find("TypeString='自然人憑證'"),
              std::string::npos);
    // The record's attributes as keys as well.
    EXPECT_EQ(infoJson["fields"]["TypeString"], "自然人憑證");
    EXPECT_EQ(infoJson["fields"]["ForSign"], "Y");
    EXPECT_EQ(infoJson["fields"]["ID"].size(), 1u);

    const std::string raw = data + ".sig";
    const std::string pub = data + ".pub";
    RunCommandLine("openssl x509 -inform DER -in " + CertsFile("citizen.der") +
                   " -pubkey -noout > " + pub);
    const Output sign = RunCommandLine("echo 123456 | " + peer + " sign " + Quote(reader_) +
                                       " --mech sha256 --pin-stdin --raw-signature " + raw + " " +
                                       data + " 2>/dev/null");
    EXPECT_EQ(sign.status, 0);
    EXPECT_EQ(sign.text.rfind("<SignatureValue>", 0), 0u);
    const Output verify =
        RunCommandLine("openssl dgst -sha256 -verify " + pub + " -signature " + raw + " " + data);
    EXPECT_EQ(verify.text, "Verified OK\n");
    for (const std::string& file : {data, raw, pub})
        std::filesystem::remove(file);
}

TEST_F(SoftHsmRoad, ExpiredCertificate) {
    // A token of its own whose signature certificate ended yesterday.
    const std::string dir = hsm_->Dir() + "/expired";
    std::filesystem::create_directories(dir);
    ASSERT_TRUE(fixtures::RunCommand(
        "cd " + dir + " && openssl req -new -x509 -key " + CertsFile("ee.key") +
            " -subj /CN=Expired -days 1 -out new.pem && openssl x509 -in new.pem -signkey " +
            CertsFile("ee.key") + " -days -1 -outform DER -out expired.der",
        dir + "/make.log"));
    hsm_->InitToken("expired", "87654321", kPin);
    for (const char* id : {"SIGN", "KEYX"}) {
        hsm_->ImportKey("expired", kPin, CertsFile("ee.key"), id);
        hsm_->ImportCert("expired", kPin, dir + "/expired.der", id);
    }
    const std::vector<json> out =
        RunScript(Module(), "slot " + ReaderOf("expired") + "\nlogin " + kPin + "\n");
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1]["status"], 163);
    EXPECT_EQ(out[1]["text"], "憑證卡已逾期");
    EXPECT_EQ(FromBase64(out[1]["certificate"].get<std::string>()),
              fixtures::ReadFileText(dir + "/expired.der"));

    // Reading the certificate warns (without a login as with one); signing with it needs the
    // user's say-so.
    const std::string pin = "echo " + std::string(kPin) + " | ";
    const std::string reader = Quote(ReaderOf("expired"));
    const Output cert = CommandFailure(Peer(Module()) + " cert " + reader + " </dev/null");
    EXPECT_EQ(cert.status, 0);
    EXPECT_EQ(cert.text, "tessivo-peer: warning: the signing certificate has expired");
    const Output info =
        CommandFailure(pin + Peer(Module()) + " certinfo " + reader + " --pin-stdin");
    EXPECT_EQ(info.status, 0);
    EXPECT_EQ(info.text, "tessivo-peer: warning: the signing certificate has expired");
    const std::string data = TempFile("expired-data", kData);
    const Output refused =
        CommandFailure(pin + Peer(Module()) + " sign " + reader + " --pin-stdin " + data);
    EXPECT_EQ(refused.status, 8);
    EXPECT_EQ(refused.text, "tessivo-peer: the signing certificate has expired (--allow-expired "
                            "signs anyway)");
    const Output chinese = CommandFailure(pin + "LANGUAGE=zh_TW LC_ALL=C.UTF-8 " + Peer(Module()) +
                                          " sign " + reader + " --pin-stdin " + data);
    EXPECT_EQ(chinese.status, 8);
    EXPECT_EQ(chinese.text,
              "tessivo-peer: 簽章憑證已過期（--allow-expired 仍可簽章） (agent: 憑證卡已逾期)");
    const Output allowed = CommandFailure(pin + Peer(Module()) + " sign " + reader +
                                          " --allow-expired --pin-stdin " + data);
    EXPECT_EQ(allowed.status, 0);
    std::filesystem::remove(data);
}

#endif
