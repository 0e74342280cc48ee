#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/mapping.h"
#include "platform/process.h"
#include "tests/platform/peer_protocol.h"

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
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

// Whether the page holding `p` is still mapped in this process.
bool IsMapped(const void* p) {
#if defined(_WIN32)
    MEMORY_BASIC_INFORMATION info{};
    return ::VirtualQuery(p, &info, sizeof info) != 0 && info.State != MEM_FREE;
#else
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    void* start = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(p) & ~(page - 1));
    unsigned char resident = 0;
    return mincore(start, page, &resident) == 0;
#endif
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
        plat::OwnedView view = plat::MapView(mapping);
        ASSERT_TRUE(view);
        EXPECT_EQ(view.Size(), kChannelSize);
        view.Data()[0] = 0x33;
        view.Data()[kChannelSize - 1] = 0x33;

        EXPECT_EQ(RunPeer("map " + name + " 51"), peer_protocol::kMapSeen);
        EXPECT_EQ(view.Data()[1], peer_protocol::kMapReply);

        EXPECT_TRUE(view.Reset());
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
    {
        const plat::OwnedView a = plat::MapView(first);
        const plat::OwnedView b = plat::MapView(second);
        ASSERT_TRUE(a);
        ASSERT_TRUE(b);
        a.Data()[100] = 0x77;
        EXPECT_EQ(b.Data()[100], 0x77);
    }
    plat::CloseMapping(second);
    plat::CloseMapping(first);
}

// Exactly one holder unmaps a view: the last one it was moved to, when it goes or is reset.
TEST(Mapping, OwnedViewIsUnmappedOnceByItsLastHolder) {
    static_assert(!std::is_copy_constructible_v<plat::OwnedView> &&
                      !std::is_copy_assignable_v<plat::OwnedView> &&
                      std::is_nothrow_move_constructible_v<plat::OwnedView>,
                  "one holder at a time");
    plat::MappingHandle mapping =
        plat::CreateMapping(Widen(UniqueName("Global\\qorOwnedView")), kChannelSize);
    ASSERT_NE(mapping, nullptr);

    plat::OwnedView first = plat::MapView(mapping);
    ASSERT_TRUE(first);
    unsigned char* const moved = first.Data();
    {
        plat::OwnedView holder(std::move(first));
        // The moved-from view's state is what is tested here.
        EXPECT_FALSE(first); // NOLINT(bugprone-use-after-move)
        EXPECT_EQ(holder.Data(), moved);
        EXPECT_FALSE(first.Reset()) << "a moved-from view has nothing to unmap";
        EXPECT_TRUE(IsMapped(moved));
    }
    EXPECT_FALSE(IsMapped(moved)) << "unmapped when its holder goes";

    plat::OwnedView replaced = plat::MapView(mapping);
    plat::OwnedView kept = plat::MapView(mapping);
    ASSERT_TRUE(replaced && kept);
    unsigned char* const old = replaced.Data();
    unsigned char* const data = kept.Data();
    replaced = std::move(kept);
    EXPECT_FALSE(IsMapped(old)) << "a holder given another view unmaps its own";
    EXPECT_EQ(replaced.Data(), data);
    const plat::MappedView released = replaced.Release();
    EXPECT_FALSE(replaced);
    EXPECT_TRUE(IsMapped(data)) << "a released view is the caller's to unmap";
    EXPECT_TRUE(plat::UnmapView(released));
    EXPECT_FALSE(IsMapped(data));
    plat::CloseMapping(mapping);
}

// A channel written thousands of times keeps one view per handle: the same view for every use,
// alive beside views its holders map and unmap, and unmapped when the handle is closed.
TEST(Mapping, HandleViewIsKeptUntilTheHandleCloses) {
    plat::MappingHandle mapping =
        plat::CreateMapping(Widen(UniqueName("Global\\qorKeptView")), kChannelSize);
    ASSERT_NE(mapping, nullptr);
    const plat::MappedView kept = plat::HandleView(mapping);
    ASSERT_NE(kept.data, nullptr);
    EXPECT_EQ(kept.size, kChannelSize);
    kept.data[5] = 0x42;
    EXPECT_EQ(plat::HandleView(mapping).data, kept.data);
    {
        const plat::OwnedView own = plat::MapView(mapping);
        ASSERT_TRUE(own);
        EXPECT_NE(own.Data(), kept.data);
        EXPECT_EQ(own.Data()[5], 0x42);
    }
    EXPECT_TRUE(IsMapped(kept.data));
    EXPECT_EQ(plat::HandleView(mapping).data, kept.data);
    EXPECT_TRUE(plat::CloseMapping(mapping));
    EXPECT_FALSE(IsMapped(kept.data)) << "closing the handle unmaps its kept view";
}

TEST(Mapping, BadArgumentsFail) {
    plat::SetLastError(0);
    EXPECT_FALSE(plat::CloseMapping(nullptr));
    EXPECT_NE(plat::LastError(), 0u);
    EXPECT_FALSE(plat::MapView(nullptr));
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

// Two agents start at once over a stale return channel: one removes the stale file and makes the
// name afresh while the other still holds the stale file it opened. When the second lets its
// handle go, the name (now the first agent's channel) must stay.
TEST(Mapping, HandleOfARemovedFileLeavesTheNewNameAlone) {
    const std::string name = UniqueName("Global\\qorQorTessivonReturnFileMappingObject");
    const std::string file = MappingFile(name);
    plat::MappingHandle old = plat::CreateMapping(Widen(name), kChannelSize);
    ASSERT_NE(old, nullptr);
    ASSERT_EQ(unlink(file.c_str()), 0); // as the first agent removes the stale file
    plat::MappingHandle fresh = plat::CreateMapping(Widen(name), kChannelSize);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(plat::LastError(), 0u);
    plat::CloseMapping(old);
    struct stat st {};
    EXPECT_EQ(stat(file.c_str(), &st), 0) << "the new channel's name was removed";
    plat::MappingHandle reader = plat::OpenMapping(Widen(name));
    EXPECT_NE(reader, nullptr);
    plat::CloseMapping(reader);
    plat::CloseMapping(fresh);
}

// A view prepared ahead of an open serves the next handle to that very file, never one to a file
// made afresh under the name since, and does not keep the name alive.
TEST(Mapping, PreparedViewServesOnlyItsOwnFile) {
    const std::string name = UniqueName("TessivoPeerLog");
    EXPECT_FALSE(plat::PrepareView(Widen(name))) << "nothing to prepare under a missing name";

    plat::MappingHandle old = plat::CreateMapping(Widen(name), kChannelSize);
    ASSERT_NE(old, nullptr);
    plat::HandleView(old).data[7] = 0x11;
    ASSERT_TRUE(plat::PrepareView(Widen(name)));
    ASSERT_EQ(unlink(MappingFile(name).c_str()), 0);
    plat::MappingHandle fresh = plat::CreateMapping(Widen(name), kChannelSize);
    ASSERT_NE(fresh, nullptr);
    plat::HandleView(fresh).data[7] = 0x22;
    plat::MappingHandle reader = plat::OpenMapping(Widen(name));
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(plat::HandleView(reader).data[7], 0x22) << "took the replaced file's view";

    ASSERT_TRUE(plat::PrepareView(Widen(name)));
    plat::MappingHandle later = plat::OpenMapping(Widen(name));
    ASSERT_NE(later, nullptr);
    const plat::MappedView taken = plat::HandleView(later);
    ASSERT_NE(taken.data, nullptr);
    EXPECT_EQ(taken.size, kChannelSize);
    EXPECT_EQ(taken.data[7], 0x22);
    taken.data[9] = 0x33;
    EXPECT_EQ(plat::HandleView(fresh).data[9], 0x33);
    EXPECT_TRUE(plat::CloseMapping(later));
    EXPECT_FALSE(IsMapped(taken.data)) << "the view taken over is the handle's, unmapped with it";

    plat::CloseMapping(old);
    plat::CloseMapping(reader);
    ASSERT_TRUE(plat::PrepareView(Widen(name)));
    plat::CloseMapping(fresh);
    EXPECT_EQ(plat::OpenMapping(Widen(name)), nullptr) << "a prepared view kept the name";
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
    {
        const plat::OwnedView view = plat::MapView(opened);
        ASSERT_TRUE(view);
        EXPECT_EQ(view.Size(), kChannelSize);
    }
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
    {
        const plat::OwnedView view = plat::MapView(mapping);
        ASSERT_TRUE(view);
        EXPECT_EQ(view.Data()[0], 0);
    }
    plat::CloseMapping(mapping);
}
#endif

} // namespace
