// No copy of a PIN stays in the memory of the processes that handled it: the host after a right,
// a wrong and a refused PIN, tessivo-peer after a signature with the PIN from standard input, and
// their agents, each read through /proc/PID/mem while it is still running. The token is SoftHSM2,
// which keeps no PIN of its own in the process (the test module would hold its configured one).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "protocol/Base64.h"
#include "tests/fixtures/files.h"
#include "tests/fixtures/host_process.h"
#include "tests/fixtures/softhsm_token.h"

extern char** environ;

namespace {

using nlohmann::json;

// Distinctive: nothing else in a process holds these bytes.
const std::string kPin = "Zq7#PIN-8841";
const std::string kWrongPin = "Zq7#PIN-8840";
const std::string kRefusedPin = "Zq7#PIN-8842" + std::string(60, 'x'); // above 63 bytes
const std::string kPinStem = "Zq7#PIN-884";                            // all three

std::string CertsFile(const std::string& name) {
    return std::string(TESSIVO_TEST_CERTS_DIR) + "/" + name;
}

// The needle in UTF-8 and in UTF-16 (little-endian, as the agent and peer hold it).
std::vector<std::string> Forms(const std::string& ascii) {
    std::string wide;
    for (char c : ascii) {
        wide.push_back(c);
        wide.push_back('\0');
    }
    return {ascii, wide};
}

struct Scan {
    bool readable = false;
    std::size_t copies = 0;
    std::string where; // the mappings holding them
};

// Every copy of the needles in the readable mappings of process `pid`.
Scan ScanMemory(int pid, const std::vector<std::string>& needles) {
    Scan scan;
    const std::string proc = "/proc/" + std::to_string(pid);
    const int mem = open((proc + "/mem").c_str(), O_RDONLY | O_CLOEXEC);
    if (mem < 0) {
        return scan;
    }
    scan.readable = true;
    std::ifstream maps(proc + "/maps");
    std::size_t longest = 0;
    for (const std::string& n : needles) {
        longest = std::max(longest, n.size());
    }
    constexpr std::size_t kChunk = 1 << 20;
    std::vector<char> buffer(kChunk + longest);
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long start = 0;
        unsigned long end = 0;
        char perms[5] = {};
        if (std::sscanf(line.c_str(), "%lx-%lx %4s", &start, &end, perms) != 3 || perms[0] != 'r' ||
            line.find("[vvar") != std::string::npos ||
            line.find("[vsyscall]") != std::string::npos) {
            continue;
        }
        for (unsigned long at = start; at < end; at += kChunk) {
            const std::size_t want = std::min<unsigned long>(kChunk + longest, end - at);
            const ssize_t got = pread(mem, buffer.data(), want, static_cast<off_t>(at));
            if (got <= 0) {
                break;
            }
            // Only matches that start inside this chunk: the overlap is searched again next time.
            const std::size_t starts = std::min<std::size_t>(kChunk, static_cast<std::size_t>(got));
            for (const std::string& n : needles) {
                const char* data = buffer.data();
                for (const char* hit =
                         static_cast<const char*>(memmem(data, got, n.data(), n.size()));
                     hit != nullptr && static_cast<std::size_t>(hit - data) < starts;
                     hit = static_cast<const char*>(
                         memmem(hit + 1, got - (hit + 1 - data), n.data(), n.size()))) {
                    ++scan.copies;
                    scan.where += line + "\n";
                }
            }
        }
    }
    close(mem);
    return scan;
}

// The processes whose parent is `pid` (the agent a peer started).
std::vector<int> ChildrenOf(int pid) {
    std::vector<int> out;
    DIR* dir = opendir("/proc");
    while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
        const int child = std::atoi(entry->d_name);
        if (child <= 0) {
            continue;
        }
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const std::size_t close = text.rfind(')');
        int parent = 0;
        char state = 0;
        if (close != std::string::npos &&
            std::sscanf(text.c_str() + close + 1, " %c %d", &state, &parent) == 2 &&
            parent == pid) {
            out.push_back(child);
        }
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return out;
}

// Scans a process and its children; the test is skipped when their memory cannot be read (they
// are not dumpable, which keeps out every process without CAP_SYS_PTRACE, as it should).
void ExpectNoCopies(int pid, const char* what) {
    std::vector<std::string> needles = Forms(kPinStem);
    const Scan scan = ScanMemory(pid, needles);
    if (!scan.readable) {
        GTEST_SKIP() << "cannot read the memory of " << what << " (" << std::strerror(errno)
                     << "): it is not dumpable; run the test as root to scan it";
    }
    EXPECT_EQ(scan.copies, 0u) << what << " holds the PIN in:\n" << scan.where;
    for (const int child : ChildrenOf(pid)) {
        const Scan agent = ScanMemory(child, needles);
        EXPECT_TRUE(agent.readable);
        EXPECT_EQ(agent.copies, 0u) << "the agent of " << what << " holds the PIN in:\n"
                                    << agent.where;
    }
}

class PinMemory : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        hsm_ = new fixtures::SoftHsm();
        hsm_->InitToken("memory", "87654321", kPin);
        for (const char* id : {"SIGN", "KEYX"}) {
            hsm_->ImportKey("memory", kPin, CertsFile("ee.key"), id);
        }
        hsm_->ImportCert("memory", kPin, CertsFile("citizen.der"), "SIGN");
        hsm_->ImportCert("memory", kPin, CertsFile("encipher.der"), "KEYX");
        fixtures::SetEnvironment("TESSIVO_PKCS11_MODULE", fixtures::kSoftHsmModule);
    }
    static void TearDownTestSuite() {
        fixtures::UnsetEnvironment("TESSIVO_PKCS11_MODULE");
        delete hsm_;
        hsm_ = nullptr;
    }
    static fixtures::SoftHsm* hsm_;
};
fixtures::SoftHsm* PinMemory::hsm_ = nullptr;

json Ask(fixtures::HostProcess& host, const json& request) {
    host.Write(fixtures::HostFrame(request.dump()));
    const std::string reply = host.Read();
    return reply.empty() ? json() : json::parse(reply);
}

TEST_F(PinMemory, HostAfterRightWrongAndRefusedPins) {
    fixtures::HostProcess host(TESSIVO_HOST_PATH, {"chrome-extension://test/"});
    const std::string citizen = fixtures::ReadFileText(CertsFile("citizen.der"));
    auto sign = [&](const std::string& pin) {
        const json arguments = {
            {"origin", "https://gov.example.tw"},
            {"certificate",
             tessivo::EncodeBase64(std::vector<std::uint8_t>(citizen.begin(), citizen.end()))},
            {"hash", tessivo::EncodeBase64(std::vector<std::uint8_t>(32, 0x5A))},
            {"hashAlgorithm", "SHA-256"},
            {"pin", pin}};
        const json reply =
            Ask(host, {{"version", 1}, {"id", "s"}, {"command", "sign"}, {"arguments", arguments}});
        return reply.contains("error") ? reply["error"]["code"].get<std::string>() : "signed";
    };
    ASSERT_EQ(sign(kPin), "signed");
    EXPECT_EQ(sign(kWrongPin), "pin-incorrect");
    EXPECT_EQ(sign(kRefusedPin), "invalid-pin");
    // Another request after them, as a connection goes on.
    EXPECT_EQ(Ask(host, {{"version", 1}, {"id", "r"}, {"command", "readers"}})["id"], "r");
    ExpectNoCopies(host.Pid(), "tessivo-host");
}

// tessivo-peer with the PIN and the data on standard input. Its standard output is a pipe the
// test has filled: after signing and logging out the peer blocks writing the signature, alive
// with its agent, until the test lets it go.
TEST_F(PinMemory, PeerAfterASignatureFromStandardInput) {
    int input[2];
    int output[2];
    ASSERT_EQ(pipe2(input, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    fcntl(output[1], F_SETFL, O_NONBLOCK);
    const std::string fill(4096, '.');
    while (write(output[1], fill.data(), fill.size()) > 0) {
    }
    fcntl(output[1], F_SETFL, 0);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    const std::string peer = TESSIVO_PEER_PATH;
    const std::string agent = "--agent=" + std::string(TESSIVO_AGENT_PATH);
    std::vector<char*> argv = {const_cast<char*>(peer.c_str()),  const_cast<char*>(agent.c_str()),
                               const_cast<char*>("sign"),        const_cast<char*>("memory"),
                               const_cast<char*>("--pin-stdin"), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(posix_spawn(&pid, peer.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    const std::string feed = kPin + "\nThe form to sign.\n";
    EXPECT_EQ(write(input[1], feed.data(), feed.size()), static_cast<ssize_t>(feed.size()));
    close(input[1]);

    // Blocked in write() on its full standard output: the signature is made.
    bool blocked = false;
    for (int i = 0; i < 600 && !blocked; ++i) {
        std::ifstream syscall("/proc/" + std::to_string(pid) + "/syscall");
        long number = -1;
        blocked = (syscall >> number) && number == SYS_write;
        if (!blocked) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    if (blocked) {
        ExpectNoCopies(pid, "tessivo-peer");
    }
    // Let it go: what it wrote is its signature.
    std::string written;
    char buffer[4096];
    for (ssize_t n; (n = read(output[0], buffer, sizeof buffer)) > 0;) {
        written.append(buffer, static_cast<std::size_t>(n));
    }
    close(output[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!blocked && !IsSkipped()) {
        GTEST_SKIP() << "cannot see tessivo-peer's system call (/proc/PID/syscall): it is not "
                        "dumpable; run the test as root to scan it";
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(written.find("<SignatureValue>"), std::string::npos)
        << written.substr(written.find_first_not_of('.'));
}

} // namespace
