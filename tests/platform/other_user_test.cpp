// A second local user can neither read, write, squat nor reach the first user's channels and
// windows, and names it takes first in the shared /dev/shm and /tmp change nothing for them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/text.h"
#include "platform/mapping.h"
#include "platform/posix/posix_util.h"
#include "platform/process.h"
#include "platform/window.h"
#include "tests/platform/peer_protocol.h"

namespace {

constexpr char kOtherUser[] = "tessivo-other";
constexpr char16_t kClass[] = u"TessivoOtherUserTest";
constexpr std::uint32_t kChannelSize = 1024000;

std::optional<std::string> Saved(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

std::string MakeTemp(std::string pattern) {
    return mkdtemp(pattern.data()) != nullptr ? pattern : std::string();
}

// Runs `program args` as the other user; its standard output.
std::string RunAsOther(const std::string& program, const std::vector<std::string>& args) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "pipe failed";
    }
    const std::string user = std::string("--reuid=") + kOtherUser;
    const std::string group = std::string("--regid=") + kOtherUser;
    std::vector<std::string> all = {"setpriv", user, group, "--clear-groups", program};
    all.insert(all.end(), args.begin(), args.end());
    const pid_t child = fork();
    if (child == 0) {
        dup2(fds[1], STDOUT_FILENO);
        close(fds[0]);
        close(fds[1]);
        std::vector<char*> argv;
        for (std::string& arg : all) {
            argv.push_back(arg.data());
        }
        argv.push_back(nullptr);
        execvp("setpriv", argv.data());
        _exit(127);
    }
    close(fds[1]);
    std::string output;
    char buffer[1024];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
        output.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return output;
}

std::vector<std::string> LinesStarting(const std::string& text, const std::string& prefix) {
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        if (text.compare(start, prefix.size(), prefix) == 0) {
            lines.push_back(text.substr(start, end - start));
        }
    }
    return lines;
}

plat::LResult EchoProc(plat::WindowHandle, plat::Message message, plat::WParam w, plat::LParam l) {
    return message == peer_protocol::kEcho ? static_cast<plat::LResult>(w * 1000 + l) : 0;
}

// As the user would run: no test namespace, the directory found through a home of its own.
class OtherUserTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) {
            GTEST_SKIP() << "needs root to act as the second local user " << kOtherUser;
        }
        if (getpwnam(kOtherUser) == nullptr) {
            GTEST_SKIP() << "the local user " << kOtherUser
                         << " is missing; scripts/test.sh run as root creates it";
        }
        forced_ = Saved("TESSIVO_RUNTIME_DIR");
        xdg_ = Saved("XDG_RUNTIME_DIR");
        oldHome_ = Saved("HOME");
        home_ = MakeTemp("/tmp/tessivo-home-XXXXXX");
        ASSERT_FALSE(home_.empty());
        unsetenv("TESSIVO_RUNTIME_DIR");
        unsetenv("XDG_RUNTIME_DIR");
        setenv("HOME", home_.c_str(), 1);
        // The helper, where the other user may run it.
        tools_ = MakeTemp("/tmp/tessivo-intruder-XXXXXX");
        ASSERT_FALSE(tools_.empty());
        ASSERT_EQ(chmod(tools_.c_str(), 0755), 0);
        intruder_ = tools_ + "/" PLATFORM_INTRUDER_NAME;
        std::filesystem::copy_file(peer_protocol::HelperPath(PLATFORM_INTRUDER_NAME), intruder_);
        ASSERT_EQ(chmod(intruder_.c_str(), 0755), 0);
    }
    void TearDown() override {
        for (const std::string& path : squatted_) {
            unlink(path.c_str());
        }
        if (!home_.empty()) {
            std::string dir;
            if (plat::detail::RuntimeDirectory(dir)) {
                std::system(("rm -rf '" + dir + "'").c_str());
            }
            std::system(("rm -rf '" + home_ + "' '" + tools_ + "'").c_str());
            Restore("TESSIVO_RUNTIME_DIR", forced_);
            Restore("XDG_RUNTIME_DIR", xdg_);
            Restore("HOME", oldHome_);
        }
    }
    static void Restore(const char* name, const std::optional<std::string>& value) {
        value ? setenv(name, value->c_str(), 1) : unsetenv(name);
    }
    std::optional<std::string> forced_, xdg_, oldHome_;
    std::string home_, tools_, intruder_;
    std::vector<std::string> squatted_;
};

TEST_F(OtherUserTest, CannotReadWriteSquatOrReachChannelsAndWindows) {
    // The agent's three channels, under names of this run only: other clones may be testing.
    const std::string suffix = "." + std::to_string(getpid());
    const std::vector<std::string> names = {
        "Global\\qorFileMappingObject" + suffix,
        "Global\\qorQorTessivonReturnFileMappingObject" + suffix,
        "/BaseNamedObjects/qorShellMemory.txt" + suffix,
    };

    // The other user takes every predictable name first.
    std::vector<std::string> squat = {"squat", std::to_string(geteuid())};
    squat.insert(squat.end(), names.begin(), names.end());
    const std::string squatted = RunAsOther(intruder_, squat);
    for (const std::string& line : LinesStarting(squatted, "made ")) {
        squatted_.push_back(line.substr(5));
    }
    EXPECT_EQ(squatted_.size(), names.size() * 3) << squatted;

    // The first user's channels and window work all the same.
    std::vector<plat::MappingHandle> mappings;
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        plat::SetLastError(0);
        plat::MappingHandle mapping = plat::CreateMapping(plat::Utf8ToUtf16(name), kChannelSize);
        ASSERT_NE(mapping, nullptr) << "last error " << plat::LastError();
        EXPECT_EQ(plat::LastError(), 0u); // a new mapping, not one the other user made
        mappings.push_back(mapping);
        {
            const plat::OwnedView view = plat::MapView(mapping);
            ASSERT_TRUE(view);
            view.Data()[0] = view.Data()[kChannelSize - 1] = 51;
        }
        // Another process of the first user finds it and answers through it.
        plat::ProcessHandle peer = plat::StartProcess(peer_protocol::HelperPath(PLATFORM_PEER_NAME),
                                                      plat::Utf8ToUtf16("map " + name + " 51"));
        ASSERT_NE(peer, nullptr);
        std::uint32_t code = 99;
        EXPECT_TRUE(plat::WaitProcess(peer, 60000) && plat::ProcessExitCode(peer, code));
        plat::CloseProcess(peer);
        EXPECT_EQ(code, static_cast<std::uint32_t>(peer_protocol::kMapSeen));
    }
    ASSERT_TRUE(plat::RegisterWindowClass(kClass, EchoProc, 0));
    const plat::WindowHandle window = plat::CreateTopLevelWindow(kClass, u"x", 0, 0, 0, 10, 10);
    ASSERT_NE(window, 0u);
    std::string dir;
    ASSERT_TRUE(plat::detail::RuntimeDirectory(dir));

    // Every way in, as the other user, fails.
    std::vector<std::string> probe = {"probe", dir, std::to_string(getpid()),
                                      plat::Utf16ToUtf8(kClass)};
    probe.insert(probe.end(), names.begin(), names.end());
    const std::string probed = RunAsOther(intruder_, probe);
    EXPECT_EQ(LinesStarting(probed, "done").size(), 1u) << probed;
    EXPECT_EQ(LinesStarting(probed, "could ").size(), 0u) << probed;

    // And everything is still there and ours.
    EXPECT_EQ(plat::FindTopLevelWindow(kClass, plat::CurrentProcessId()), window);
    EXPECT_EQ(plat::SendMessage(window, peer_protocol::kEcho, 4, 2), 4002);
    for (const std::string& name : names) {
        plat::MappingHandle again = plat::OpenMapping(plat::Utf8ToUtf16(name));
        EXPECT_NE(again, nullptr) << name;
        plat::CloseMapping(again);
    }
    for (plat::MappingHandle mapping : mappings) {
        plat::CloseMapping(mapping);
    }
    plat::DestroyWindow(window);
}

} // namespace
