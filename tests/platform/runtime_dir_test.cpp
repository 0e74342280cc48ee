// Where channels and windows live on Linux: a private tmpfs directory, never a shared name.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/mapping.h"
#include "platform/posix/posix_util.h"
#include "platform/types.h"

namespace {

std::optional<std::string> Saved(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

void Restore(const char* name, const std::optional<std::string>& value) {
    value ? setenv(name, value->c_str(), 1) : unsetenv(name);
}

bool OnTmpfs(const std::string& path) {
    struct statfs fs {};
    return statfs(path.c_str(), &fs) == 0 && (fs.f_type == TMPFS_MAGIC || fs.f_type == RAMFS_MAGIC);
}

std::string MakeTemp(const std::string& pattern) {
    std::vector<char> text(pattern.begin(), pattern.end());
    text.push_back('\0');
    return mkdtemp(text.data()) != nullptr ? std::string(text.data()) : std::string();
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Each test resolves the directory as a user would: no test namespace, a home of its own, no
// XDG_RUNTIME_DIR unless the test sets one. Everything it made is removed afterwards.
class RuntimeDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* name : kNames) {
            saved_.push_back(Saved(name));
        }
        home_ = MakeTemp("/tmp/tessivo-home-XXXXXX");
        ASSERT_FALSE(home_.empty());
        unsetenv("TESSIVO_RUNTIME_DIR");
        unsetenv("XDG_RUNTIME_DIR");
        setenv("HOME", home_.c_str(), 1);
    }
    void TearDown() override {
        for (std::size_t i = 0; i < saved_.size(); ++i) {
            Restore(kNames[i], saved_[i]);
        }
        for (const std::string& dir : made_) {
            std::system(("rm -rf '" + dir + "'").c_str());
        }
        std::system(("rm -rf '" + home_ + "'").c_str());
    }
    // Resolves and remembers the directory for removal.
    std::string Resolve() {
        std::string dir;
        if (!plat::detail::RuntimeDirectory(dir)) {
            return {};
        }
        made_.insert(dir);
        return dir;
    }
    std::string Scratch(const std::string& pattern) {
        const std::string dir = MakeTemp(pattern);
        made_.insert(dir);
        return dir;
    }
    std::string Record() const { return home_ + "/.cache/tessivo/runtime"; }

    static constexpr const char* kNames[] = {"TESSIVO_RUNTIME_DIR", "XDG_RUNTIME_DIR", "HOME"};
    std::vector<std::optional<std::string>> saved_;
    std::string home_;
    std::set<std::string> made_;
};

void ExpectPrivate(const std::string& dir) {
    struct stat st {};
    ASSERT_EQ(lstat(dir.c_str(), &st), 0) << dir;
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_uid, geteuid());
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(OnTmpfs(dir)) << dir;
}

TEST_F(RuntimeDirTest, WithoutXdgAnUnpredictableDirectoryOnDevShmIsKeptInTheHome) {
    const std::string dir = Resolve();
    ASSERT_FALSE(dir.empty()) << "last error " << plat::LastError();
    EXPECT_EQ(dir.rfind("/dev/shm/tessivo-", 0), 0u) << dir;
    ExpectPrivate(dir);
    EXPECT_EQ(ReadAll(Record()), dir + "\n");
    EXPECT_EQ(Resolve(), dir);

    // A recorded directory that is no longer private is replaced, never used.
    struct Spoiler {
        const char* what;
        void (*spoil)(const std::string& dir);
    };
    const Spoiler spoilers[] = {
        {"opened to others", [](const std::string& d) { chmod(d.c_str(), 0755); }},
        {"removed", [](const std::string& d) { rmdir(d.c_str()); }},
        {"replaced by a link",
         [](const std::string& d) {
             rmdir(d.c_str());
             symlink("/dev/shm", d.c_str());
         }},
    };
    std::string current = dir;
    for (const Spoiler& s : spoilers) {
        SCOPED_TRACE(s.what);
        s.spoil(current);
        const std::string next = Resolve();
        ASSERT_FALSE(next.empty());
        EXPECT_NE(next, current);
        ExpectPrivate(next);
        EXPECT_EQ(ReadAll(Record()), next + "\n");
        if (std::string(s.what) == "replaced by a link") {
            unlink(current.c_str());
        }
        current = next;
    }
}

// A record that is not a regular file is replaced without being read: a FIFO would otherwise
// hold the open forever (the alarm ends a test that hangs).
TEST_F(RuntimeDirTest, ARecordThatIsNoFileIsReplacedUnread) {
    ASSERT_FALSE(Resolve().empty());
    struct Case {
        const char* what;
        int (*make)(const std::string& record);
    };
    const Case cases[] = {
        {"FIFO", [](const std::string& r) { return mkfifo(r.c_str(), 0600); }},
        {"directory", [](const std::string& r) { return mkdir(r.c_str(), 0700); }},
        {"link", [](const std::string& r) { return symlink("/dev/zero", r.c_str()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(unlink(Record().c_str()), 0);
        ASSERT_EQ(c.make(Record()), 0);
        alarm(10);
        const std::string dir = Resolve();
        alarm(0);
        ASSERT_FALSE(dir.empty()) << "last error " << plat::LastError();
        ExpectPrivate(dir);
        struct stat st {};
        ASSERT_EQ(lstat(Record().c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(ReadAll(Record()), dir + "\n");
    }
}

TEST_F(RuntimeDirTest, ProcessesStartingTogetherAgreeOnOneDirectory) {
    constexpr int kProcesses = 6;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    for (int i = 0; i < kProcesses; ++i) {
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            std::string dir;
            const std::string line = (plat::detail::RuntimeDirectory(dir) ? dir : "-") + "\n";
            (void)!write(fds[1], line.data(), line.size());
            _exit(0);
        }
    }
    close(fds[1]);
    for (int i = 0; i < kProcesses; ++i) {
        int status = 0;
        wait(&status);
    }
    std::string all;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
        all.append(buffer, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    std::set<std::string> seen;
    for (std::size_t start = 0, end; (end = all.find('\n', start)) != std::string::npos;
         start = end + 1) {
        seen.insert(all.substr(start, end - start));
    }
    made_.insert(seen.begin(), seen.end());
    ASSERT_EQ(seen.size(), 1u) << all;
    EXPECT_EQ(ReadAll(Record()), *seen.begin() + "\n");
    ExpectPrivate(*seen.begin());
}

TEST_F(RuntimeDirTest, XdgRuntimeDirIsUsedOnlyWhenItIsOurs) {
    struct Case {
        const char* what;
        std::string base;
        mode_t mode;
        bool otherOwner;
        bool used;
    };
    const std::string disk = "/var/tmp/tessivo-xdg-XXXXXX";
    const Case cases[] = {
        {"private on tmpfs", "/dev/shm/tessivo-xdg-XXXXXX", 0700, false, true},
        {"writable by others", "/dev/shm/tessivo-xdg-XXXXXX", 0777, false, false},
        {"on disk", disk, 0700, false, false},
        {"another user's (after su)", "/dev/shm/tessivo-xdg-XXXXXX", 0700, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string xdg = Scratch(c.base);
        ASSERT_FALSE(xdg.empty());
        if ((c.otherOwner && geteuid() != 0) || (!c.used && c.base == disk && OnTmpfs(xdg))) {
            continue; // needs root to hand it over / this machine keeps /var/tmp in memory
        }
        ASSERT_EQ(chmod(xdg.c_str(), c.mode), 0);
        if (c.otherOwner) {
            ASSERT_EQ(chown(xdg.c_str(), 65534, 65534), 0);
        }
        setenv("XDG_RUNTIME_DIR", xdg.c_str(), 1);
        const std::string dir = Resolve();
        ASSERT_FALSE(dir.empty());
        ExpectPrivate(dir);
        EXPECT_EQ(dir == xdg + "/tessivo", c.used) << dir;
    }
}

TEST_F(RuntimeDirTest, ATestNamespaceThatIsNotPrivateIsRefusedWithoutFallback) {
    const std::string good = Scratch("/dev/shm/tessivo-ns-XXXXXX");
    const std::string open = Scratch("/dev/shm/tessivo-ns-XXXXXX");
    ASSERT_EQ(chmod(open.c_str(), 0755), 0);
    const std::string link = good + ".link";
    ASSERT_EQ(symlink(good.c_str(), link.c_str()), 0);
    made_.insert(link);
    const std::string disk = Scratch("/var/tmp/tessivo-ns-XXXXXX");
    struct Case {
        const char* what;
        std::string dir;
        bool accepted;
    };
    const Case cases[] = {
        {"private", good, true}, {"missing", good + "/none", false}, {"mode 0755", open, false},
        {"a link", link, false}, {"on disk", disk, OnTmpfs(disk)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        setenv("TESSIVO_RUNTIME_DIR", c.dir.c_str(), 1);
        std::string dir;
        EXPECT_EQ(plat::detail::RuntimeDirectory(dir), c.accepted);
        plat::SetLastError(0);
        plat::MappingHandle mapping = plat::CreateMapping(u"Global\\qorFileMappingObject", 4096);
        EXPECT_EQ(mapping != nullptr, c.accepted);
        if (mapping != nullptr) {
            EXPECT_EQ(dir, c.dir);
            plat::CloseMapping(mapping);
        } else {
            EXPECT_NE(plat::LastError(), 0u);
        }
    }
    // Nothing fell back to the home's directory.
    EXPECT_NE(access(Record().c_str(), F_OK), 0);
}

} // namespace
