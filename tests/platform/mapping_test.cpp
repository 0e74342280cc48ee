#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/mapping.h"
#include "platform/process.h"
#include "tests/platform/peer_protocol.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr std::uint32_t kChannelSize = 1024000;

std::u16string Widen(const std::string& ascii) {
    return std::u16string(ascii.begin(), ascii.end());
}

// Names shaped like the agent's channels, made unique to this run.
std::string UniqueName(const std::string& base) {
    static int counter = 0;
    return base + ".platform." + std::to_string(plat::CurrentProcessId()) + "." +
           std::to_string(++counter);
}

int RunPeer(const std::string& arguments) {
    plat::ProcessHandle peer =
        plat::StartProcess(peer_protocol::HelperPath(PLATFORM_PEER_NAME), Widen(arguments));
    if (peer == nullptr) {
        return -1;
    }
    std::uint32_t code = 0;
    const bool ended = plat::WaitProcess(peer, 60000) && plat::ProcessExitCode(peer, code);
    plat::CloseProcess(peer);
    return ended ? static_cast<int>(code) : -2;
}

TEST(Mapping, SeenByAnotherProcessUnderNamesWithSlashes) {
    for (const char* base :
         {"Global\\qorFileMappingObject", "/BaseNamedObjects/qorShellMemory.txt"}) {
        const std::string name = UniqueName(base);
        SCOPED_TRACE(name);
        plat::MappingHandle mapping = plat::CreateMapping(Widen(name), kChannelSize);
        ASSERT_NE(mapping, nullptr);
        plat::MappedView view = plat::MapView(mapping);
        ASSERT_NE(view.data, nullptr);
        EXPECT_EQ(view.size, kChannelSize);
        view.data[0] = 0x33;
        view.data[kChannelSize - 1] = 0x33;

        EXPECT_EQ(RunPeer("map " + name + " 51"), peer_protocol::kMapSeen);
        EXPECT_EQ(view.data[1], peer_protocol::kMapReply);

        EXPECT_TRUE(plat::UnmapView(view));
        EXPECT_TRUE(plat::CloseMapping(mapping));
    }
}

TEST(Mapping, OpeningMissingNameFails) {
    plat::SetLastError(0);
    EXPECT_EQ(plat::OpenMapping(Widen(UniqueName("Global\\qorMissing"))), nullptr);
    EXPECT_EQ(plat::LastError(), 2u); // ERROR_FILE_NOT_FOUND / ENOENT
}

TEST(Mapping, CreatingExistingNameReturnsIt) {
    const std::u16string name = Widen(UniqueName("Global\\qorFileMappingObject"));
    plat::MappingHandle first = plat::CreateMapping(name, kChannelSize);
    ASSERT_NE(first, nullptr);
    plat::MappingHandle second = plat::CreateMapping(name, kChannelSize);
    ASSERT_NE(second, nullptr);
    plat::MappedView a = plat::MapView(first);
    plat::MappedView b = plat::MapView(second);
    ASSERT_NE(a.data, nullptr);
    ASSERT_NE(b.data, nullptr);
    a.data[100] = 0x77;
    EXPECT_EQ(b.data[100], 0x77);
    plat::UnmapView(a);
    plat::UnmapView(b);
    plat::CloseMapping(second);
    plat::CloseMapping(first);
}

TEST(Mapping, BadArgumentsFail) {
    plat::SetLastError(0);
    EXPECT_FALSE(plat::CloseMapping(nullptr));
    EXPECT_NE(plat::LastError(), 0u);
    EXPECT_EQ(plat::MapView(nullptr).data, nullptr);
    EXPECT_FALSE(plat::UnmapView(plat::MappedView{}));
    plat::SetLastError(0);
    EXPECT_EQ(plat::CreateMapping(std::u16string(40000, u'n'), kChannelSize), nullptr);
    EXPECT_NE(plat::LastError(), 0u);
    EXPECT_EQ(plat::OpenMapping(std::u16string(40000, u'n')), nullptr);
    EXPECT_EQ(plat::CreateMapping(Widen(UniqueName("Global\\qorZero")), 0), nullptr);
}

#if !defined(_WIN32)
// The file behind a mapping name in this program's private runtime directory, made directly to
// play another process.
std::string MappingFile(const std::string& name) {
    std::string escaped;
    for (unsigned char c : name) {
        if (isalnum(c) || c == '.' || c == '_' || c == '-') {
            escaped += static_cast<char>(c);
        } else {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", c);
            escaped += hex;
        }
    }
    const char* dir = std::getenv("TESSIVO_RUNTIME_DIR");
    return std::string(dir != nullptr ? dir : "") + "/" + escaped + ".map";
}

int MakeFile(const std::string& path) {
    return open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
}

TEST(Mapping, ForeignOrWorldWritableFileIsRefused) {
    struct Case {
        const char* what;
        bool otherOwner;
        mode_t mode;
    };
    for (const Case& c : {Case{"other owner", true, 0600}, Case{"writable by others", false, 0666},
                          Case{"writable by group", false, 0620}}) {
        SCOPED_TRACE(c.what);
        if (c.otherOwner && geteuid() != 0) {
            continue; // only root can hand an object to another user
        }
        const std::string name = UniqueName("Global\\qorFileMappingObject");
        const std::string file = MappingFile(name);
        const int fd = MakeFile(file);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, kChannelSize), 0);
        ASSERT_EQ(fchmod(fd, c.mode), 0);
        if (c.otherOwner) {
            ASSERT_EQ(fchown(fd, 65534, 65534), 0);
        }
        close(fd);
        plat::SetLastError(0);
        EXPECT_EQ(plat::OpenMapping(Widen(name)), nullptr);
        EXPECT_EQ(plat::LastError(), static_cast<std::uint32_t>(EACCES));
        EXPECT_EQ(plat::CreateMapping(Widen(name), kChannelSize), nullptr);
        unlink(file.c_str());
    }
}

// A name that its creator has made but not yet sized (nor locked) is not removed when another
// process opens it and lets it go again, as a second agent does with a taken return channel.
TEST(Mapping, NameBeingMadeSurvivesAnotherHandle) {
    const std::string name = UniqueName("Global\\qorQorTessivonReturnFileMappingObject");
    const std::string file = MappingFile(name);
    const int fd = MakeFile(file); // the creator, between its exclusive open and its lock
    ASSERT_GE(fd, 0);
    plat::MappingHandle other = plat::CreateMapping(Widen(name), kChannelSize);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(plat::LastError(), plat::kMappingAlreadyExists);
    plat::CloseMapping(other);
    struct stat st {};
    EXPECT_EQ(stat(file.c_str(), &st), 0);
    close(fd);
    unlink(file.c_str());
}

TEST(Mapping, NameLivesWhileAnyHandleIsOpen) {
    const std::string name = UniqueName("/BaseNamedObjects/qorShellMemory.txt");
    plat::MappingHandle mapping = plat::CreateMapping(Widen(name), kChannelSize);
    ASSERT_NE(mapping, nullptr);
    struct stat st {};
    ASSERT_EQ(stat(MappingFile(name).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_size, static_cast<off_t>(kChannelSize));
    plat::MappingHandle opened = plat::OpenMapping(Widen(name));
    ASSERT_NE(opened, nullptr);
    plat::CloseMapping(mapping);
    // The creator's handle is gone, but another one keeps the name, as on Windows.
    plat::MappingHandle again = plat::OpenMapping(Widen(name));
    ASSERT_NE(again, nullptr);
    plat::CloseMapping(again);
    plat::MappedView view = plat::MapView(opened);
    ASSERT_NE(view.data, nullptr);
    EXPECT_EQ(view.size, kChannelSize);
    plat::UnmapView(view);
    plat::CloseMapping(opened);
    // The last handle took the name with it.
    EXPECT_EQ(plat::OpenMapping(Widen(name)), nullptr);
    EXPECT_NE(stat(MappingFile(name).c_str(), &st), 0);
}

TEST(Mapping, NameLeftBehindByADeadProcessCountsAsMissing) {
    const std::string name = UniqueName("Global\\qorFileMappingObject");
    const std::string file = MappingFile(name);
    // What a process that died holding the only handle leaves: the file, held by nobody.
    int fd = MakeFile(file);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, kChannelSize), 0);
    ASSERT_EQ(write(fd, "old", 3), 3);
    close(fd);
    plat::SetLastError(0);
    EXPECT_EQ(plat::OpenMapping(Widen(name)), nullptr);
    EXPECT_EQ(plat::LastError(), static_cast<std::uint32_t>(ENOENT));

    fd = MakeFile(file);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, kChannelSize), 0);
    ASSERT_EQ(write(fd, "old", 3), 3);
    close(fd);
    // Creating the name starts a new mapping rather than handing back the old contents.
    plat::MappingHandle mapping = plat::CreateMapping(Widen(name), kChannelSize);
    ASSERT_NE(mapping, nullptr);
    plat::MappedView view = plat::MapView(mapping);
    ASSERT_NE(view.data, nullptr);
    EXPECT_EQ(view.data[0], 0);
    plat::UnmapView(view);
    plat::CloseMapping(mapping);
}
#endif

} // namespace
