// Agents side by side and agents that fail: several peers of one user signing at once must each
// get their own signatures, and a peer must never report success from an agent that is gone.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/e2e/peer_run.h"
#include "tests/fixtures/files.h"
#include "tests/fixtures/key_material.h"
#include "tests/fixtures/local_time.h"
#include "tests/fixtures/test_module.h"

namespace {

using nlohmann::json;
using namespace e2e;

const std::string kCard = "slot = Tessivo Reader ; 1 ; ROAD ; ROAD0001\npin = 123456\n";

// A peer running a script in the background, with the test module configured for it alone.
struct ScriptPeer {
    ScriptPeer(const TestModuleConfig& config, const std::string& name, const std::string& script)
        : file(TempFile(name, script)) {
        config.Apply(); // read by the agent at its start, so set just before it
        run = std::make_unique<Background>(PeerCommand(RoadModule()) + " script " + Quote(file) +
                                           NullErrors());
    }
    ~ScriptPeer() { std::filesystem::remove(file); }
    std::vector<json> Finish() {
        output = run->Finish();
        return JsonLines(output.text);
    }

    std::string file;
    std::unique_ptr<Background> run;
    Output output;
};

class PeersSideBySide : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite() { fixtures::UseTaipeiTime(); }
    TestModuleConfig config_{kCard + FixtureCardObjects(TESSIVO_TEST_CERTS_DIR)};
};

// Every peer signs data of its own, many times, while the others do the same.
TEST_P(PeersSideBySide, EachGetsItsOwnSignatures) {
    constexpr int kSignatures = 100;
    const int peers = GetParam();
    std::vector<std::unique_ptr<ScriptPeer>> running;
    for (int p = 0; p < peers; ++p) {
        std::string script = "slot Tessivo Reader\nlogin 123456\n";
        for (int i = 0; i < kSignatures; ++i)
            script += "sign sha256 " +
                      Base64("peer " + std::to_string(p) + " document " + std::to_string(i)) + "\n";
        script += "logout\n";
        running.push_back(
            std::make_unique<ScriptPeer>(config_, "peer" + std::to_string(p), script));
    }
    const std::string cert = fixtures::ReadFileText(CertsFile("citizen.der"));
    for (int p = 0; p < peers; ++p) {
        SCOPED_TRACE("peer " + std::to_string(p));
        const std::vector<json> out = running[p]->Finish();
        EXPECT_EQ(running[p]->output.status, 0);
        ASSERT_EQ(out.size(), std::size_t(kSignatures + 3));
        EXPECT_EQ(out[1]["status"], 0);
        EXPECT_EQ(out[1]["certificate"].is_string() ? FromBase64(out[1]["certificate"]) : "", cert);
        int good = 0;
        std::string firstBad;
        for (int i = 0; i < kSignatures; ++i) {
            const json& sign = out[2 + i];
            const std::string data = "peer " + std::to_string(p) + " document " + std::to_string(i);
            const bool ok = sign["result"] == 0 && VerifiesSha256(cert, SignatureOf(sign), data);
            good += ok;
            if (!ok && firstBad.empty()) {
                firstBad = "signature " + std::to_string(i) + ": " + sign.dump();
            }
        }
        EXPECT_EQ(good, kSignatures) << firstBad;
    }
}

INSTANTIATE_TEST_SUITE_P(Peers, PeersSideBySide, ::testing::Values(2, 4));

// A login whose record carries the expiry text instead of the channel's name still takes its
// certificate from its own agent's channel while another agent holds the fixed name.
TEST(PeersSideBySideExpired, CertificateComesFromItsOwnAgent) {
    fixtures::UseTaipeiTime();
    TestModuleConfig first{kCard + FixtureCardObjects(TESSIVO_TEST_CERTS_DIR)};
    ScriptPeer holder(first, "holder", "slot Tessivo Reader\nlogin 123456\nwait 4000\nlogout\n");

    const fixtures::PkeyPtr key(EVP_RSA_gen(2048));
    const fixtures::X509Ptr expired = fixtures::UnsignedCert(key.get(), "Expired", -1);
    fixtures::SignCert(expired.get(), key.get());
    const fixtures::Bytes der = fixtures::DerOf(expired.get());
    TestModuleConfig second{kCard};
    const std::string keyFile = second.AddFile("expired.key", fixtures::PemOf(key.get()));
    const std::string certFile = second.AddFile("expired.der", der);
    second.Write(kCard + "object = cert ; SIGN ; " + certFile + "\nobject = key ; SIGN ; " +
                 keyFile + "\nobject = cert ; KEYX ; " + certFile + "\nobject = key ; KEYX ; " +
                 keyFile + "\n");
    // Give the holder's agent time to take the fixed name first.
    ScriptPeer late(second, "late", "wait 1500\nslot Tessivo Reader\nlogin 123456\nlogout\n");
    const std::vector<json> out = late.Finish();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[1]["status"], 163);
    EXPECT_EQ(FromBase64(out[1]["certificate"].get<std::string>()),
              std::string(der.begin(), der.end()));
    const std::vector<json> held = holder.Finish();
    ASSERT_EQ(held.size(), 3u);
    EXPECT_EQ(held[1]["text"].get<std::string>().rfind(
                  "Global\\qorQorTessivonReturnFileMappingObject", 0),
              0u);
}

} // namespace

#if !defined(_WIN32)

#include <sys/wait.h>

#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

namespace {

// A script whose first request names the agent, read line by line so that the test can act on
// the agent while the script waits.
class InteractivePeer {
public:
    InteractivePeer(const std::string& options, const std::string& script)
        : file_(TempFile("interactive", script)) {
        pipe_ = popen(
            (PeerCommand(RoadModule()) + " " + options + " script " + Quote(file_) + NullErrors())
                .c_str(),
            "r");
    }
    ~InteractivePeer() {
        if (pipe_ != nullptr)
            Close();
        std::filesystem::remove(file_);
    }
    json Next() {
        char line[65536];
        if (pipe_ == nullptr || std::fgets(line, sizeof line, pipe_) == nullptr)
            return nullptr;
        return json::parse(line);
    }
    // The agent's process id from the script's first line ("agent"); 0 when it names none.
    pid_t AgentPid() {
        const json first = Next();
        return first.contains("agent") ? first["agent"]["pid"].get<pid_t>() : 0;
    }
    int Close() {
        const int raw = pclose(pipe_);
        pipe_ = nullptr;
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    }

private:
    std::string file_;
    FILE* pipe_ = nullptr;
};

// A process's state letter and parent from /proc; state 0 when it is gone.
struct ProcessStat {
    char state = 0;
    pid_t parent = 0;
};
ProcessStat StatOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // pid (comm) state ppid ...: the command may hold blanks, so read after its parenthesis.
    const std::size_t close = text.rfind(')');
    ProcessStat out;
    if (close == std::string::npos)
        return out;
    std::istringstream fields(text.substr(close + 2));
    fields >> out.state >> out.parent;
    return out;
}

// Running, or stopped; a zombie has ended (its new parent may be slow to reap it).
bool ProcessExists(pid_t pid) {
    const char state = StatOf(pid).state;
    return state != 0 && state != 'Z';
}

// The peer's own process id: the agent's parent.
pid_t ParentOf(pid_t pid) {
    return StatOf(pid).parent;
}

bool EndsWithin(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (!ProcessExists(pid))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

const std::string kSlowSign = "delay = C_Sign ; 1500\n";

TEST(DeadAgent, KilledDuringASlowCardCall) {
    TestModuleConfig config{kCard + FixtureCardObjects(TESSIVO_TEST_CERTS_DIR) + kSlowSign};
    InteractivePeer peer("", "agent\nslot Tessivo Reader\nlogin 123456\nsign sha256 QUJD\n");
    const pid_t pid = peer.AgentPid();
    ASSERT_GT(pid, 0);
    peer.Next();
    ASSERT_EQ(peer.Next()["status"], 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the card is busy signing
    const auto killed = std::chrono::steady_clock::now();
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    const json sign = peer.Next();
    EXPECT_EQ(sign["error"], "the agent ended unexpectedly");
    EXPECT_LT(std::chrono::steady_clock::now() - killed, std::chrono::milliseconds(1000));
    EXPECT_NE(peer.Close(), 0);
}

// A peer that dies while its agent is busy leaves nothing behind: the agent finishes, notices
// and ends, and the next peer finds everything as new.
TEST(DeadAgent, PeerKilledDuringASlowCardCall) {
    TestModuleConfig config{kCard + FixtureCardObjects(TESSIVO_TEST_CERTS_DIR) + kSlowSign};
    pid_t agent = 0;
    {
        InteractivePeer peer("", "agent\nslot Tessivo Reader\nlogin 123456\nsign sha256 QUJD\n");
        agent = peer.AgentPid();
        ASSERT_GT(agent, 0);
        peer.Next();
        ASSERT_EQ(peer.Next()["status"], 0);
        const pid_t owner = ParentOf(agent);
        ASSERT_GT(owner, 1);
        ASSERT_EQ(kill(owner, SIGKILL), 0);
        peer.Close();
    }
    EXPECT_TRUE(EndsWithin(agent, std::chrono::seconds(10)));
    const std::vector<json> out = RunScript(RoadModule(), "slot Tessivo Reader\nlogin 123456\n"
                                                          "sign sha256 QUJD\nlogout\n");
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[1]["text"], "Global\\qorQorTessivonReturnFileMappingObject");
    EXPECT_EQ(out[2]["result"], 0);
}

namespace {

// The file behind a channel name in the test's runtime directory.
std::string ChannelFile(const std::string& channel) {
    std::string file = std::string(std::getenv("TESSIVO_RUNTIME_DIR")) + "/";
    for (unsigned char c : channel) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%%%02X", c);
        file += std::isalnum(c) || c == '.' || c == '_' || c == '-' ? std::string(1, char(c))
                                                                    : std::string(hex);
    }
    return file + ".map";
}

constexpr char kReturnName[] = "Global\\qorQorTessivonReturnFileMappingObject";

} // namespace

// A reply whose return channel cannot be read is an error, never an empty certificate or
// signature reported as made: here the channel's name is taken away behind the agent's back
// before the peer first looks for it.
TEST(DeadAgent, UnreadableReturnChannelIsAnError) {
    TestModuleConfig config{kCard + FixtureCardObjects(TESSIVO_TEST_CERTS_DIR)};
    InteractivePeer peer("", "agent\nslot Tessivo Reader\nwait 800\nlogin 123456\n"
                             "sign sha256 QUJD\nlogout\n");
    peer.Next();
    peer.Next();
    ASSERT_EQ(unlink(ChannelFile(kReturnName).c_str()), 0) << ChannelFile(kReturnName);
    const json login = peer.Next();
    EXPECT_EQ(login["status"], 0); // the card is logged in
    EXPECT_EQ(login["error"],
              std::string("the agent's return channel ") + kReturnName + " cannot be read");
    const json sign = peer.Next();
    EXPECT_EQ(sign["result"], 0); // the agent did sign
    EXPECT_EQ(sign["error"], std::string("the agent's return channel ") + kReturnName +
                                 " does not hold the signature");
    EXPECT_EQ(peer.Next()["result"], 0); // logout
    peer.Close();
}

// Once found, the return channel is the agent's own for the session: a name taken away (or
// taken over) later changes nothing the peer reads.
TEST(DeadAgent, ReturnChannelOnceFoundIsKept) {
    TestModuleConfig config{kCard + FixtureCardObjects(TESSIVO_TEST_CERTS_DIR)};
    InteractivePeer peer("", "agent\nslot Tessivo Reader\nlogin 123456\nwait 800\n"
                             "sign sha256 QUJD\nlogout\n");
    peer.Next();
    peer.Next();
    const json login = peer.Next();
    ASSERT_EQ(login["status"], 0);
    ASSERT_FALSE(login.contains("error"));
    const std::string channel = login["text"].get<std::string>();
    ASSERT_EQ(unlink(ChannelFile(channel).c_str()), 0) << ChannelFile(channel);
    const json sign = peer.Next();
    EXPECT_EQ(sign["result"], 0);
    EXPECT_FALSE(sign.contains("error"));
    EXPECT_FALSE(sign.value("signature", std::string()).empty());
    EXPECT_EQ(peer.Next()["result"], 0); // logout
    peer.Close();
}

TEST(DeadAgent, KilledBetweenRequestsIsAnErrorNotAReply) {
    TestModuleConfig config{kCard + FixtureCardObjects(TESSIVO_TEST_CERTS_DIR)};
    InteractivePeer peer("", "agent\nslot Tessivo Reader\nwait 1500\ncard\nlogin 123456\n");
    const pid_t pid = peer.AgentPid();
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(peer.Next().contains("result")); // slot
    ASSERT_EQ(kill(pid, SIGKILL), 0);
    const json card = peer.Next();
    EXPECT_EQ(card["request"], "card");
    EXPECT_EQ(card["error"], "the agent ended unexpectedly");
    EXPECT_FALSE(card.contains("serial"));
    EXPECT_EQ(peer.Next()["error"], "the agent ended unexpectedly"); // and so does every later one
    EXPECT_NE(peer.Close(), 0);
}

TEST(DeadAgent, StoppedAgentIsGivenUpAfterTheTimeLimit) {
    TestModuleConfig config{kCard + FixtureCardObjects(TESSIVO_TEST_CERTS_DIR)};
    InteractivePeer peer("--timeout 1", "agent\nwait 500\ncard\ncard\n");
    const pid_t pid = peer.AgentPid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    const json card = peer.Next();
    EXPECT_EQ(card["request"], "card");
    EXPECT_EQ(card["error"], "the agent did not answer within 1 s and was ended");
    EXPECT_EQ(peer.Next()["error"], card["error"]);
    EXPECT_NE(peer.Close(), 0);
    EXPECT_FALSE(ProcessExists(pid));
}

// An agent that does not end when asked (here stopped) is ended by its peer before the peer
// itself ends: nothing of it remains, not even a process waiting to be reaped.
TEST(DeadAgent, AgentThatIgnoresTheRequestToEndIsEnded) {
    TestModuleConfig config{kCard + FixtureCardObjects(TESSIVO_TEST_CERTS_DIR)};
    InteractivePeer peer("", "agent\nwait 1000\n"); // time to stop the agent first
    const pid_t pid = peer.AgentPid();
    ASSERT_GT(pid, 0);
    ASSERT_EQ(kill(pid, SIGSTOP), 0);
    EXPECT_EQ(peer.Close(), 0);
    const char state = StatOf(pid).state;
    EXPECT_EQ(state, 0) << "the agent was left behind";
    if (state != 0) {
        kill(pid, SIGKILL); // not left stopped after a failure
    }
}

} // namespace

#endif
