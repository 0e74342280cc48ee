#include <gtest/gtest.h>

#include <vector>

#include "protocol/Messages.h"
#include "agent/SharedMemory.h"
#include "platform/mapping.h"
#include "test_support.h"

namespace {

using agent_test::UniqueName;

// A channel created for one test and closed after it.
class Channel {
public:
    explicit Channel(const std::u16string& name) : handle_(CreateSharedMemory(name.c_str())) {}
    ~Channel() { CloseSharedMemory(handle_); }
    plat::MappingHandle get() const { return handle_; }

private:
    plat::MappingHandle handle_;
};

std::vector<unsigned char> ReadAll(plat::MappingHandle handle) {
    std::vector<unsigned char> bytes(kChannelSize);
    EXPECT_EQ(ReadSharedMemory(handle, bytes.data(), kChannelSize), kChannelSize);
    return bytes;
}

TEST(SharedMemory, CapacityQueryTouchesNothing) {
    Channel channel(UniqueName("capacity"));
    std::vector<unsigned char> payload(100, 0xAB);
    ASSERT_EQ(WriteSharedMemory(channel.get(), payload.data(), 100), 100);
    EXPECT_EQ(WriteSharedMemory(channel.get(), nullptr, 5), kChannelSize);
    EXPECT_EQ(WriteSharedMemory(nullptr, nullptr, 5), kChannelSize);
    EXPECT_EQ(ReadAll(channel.get())[99], 0xAB);
}

TEST(SharedMemory, WriteZeroFillsEverythingThePayloadDoesNotCover) {
    Channel channel(UniqueName("zerofill"));
    std::vector<unsigned char> big(5000, 0x11);
    std::vector<unsigned char> small(10, 0x22);
    ASSERT_EQ(WriteSharedMemory(channel.get(), big.data(), 5000), 5000);
    ASSERT_EQ(WriteSharedMemory(channel.get(), small.data(), 10), 10);
    std::vector<unsigned char> all = ReadAll(channel.get());
    for (int i = 0; i < 10; ++i) {
        ASSERT_EQ(all[i], 0x22);
    }
    for (int i = 10; i < kChannelSize; ++i) {
        ASSERT_EQ(all[i], 0) << "at " << i;
    }
}

TEST(SharedMemory, LengthsAreCheckedAgainstTheChannel) {
    Channel channel(UniqueName("lengths"));
    std::vector<unsigned char> full(kChannelSize + 1, 0x33);
    EXPECT_EQ(WriteSharedMemory(channel.get(), full.data(), kChannelSize), kChannelSize);

    std::vector<unsigned char> other(kChannelSize + 1, 0x44);
    EXPECT_EQ(WriteSharedMemory(channel.get(), other.data(), kChannelSize + 1), -1);
    EXPECT_EQ(WriteSharedMemory(channel.get(), other.data(), -1), -1);
    EXPECT_EQ(ReadAll(channel.get())[kChannelSize - 1], 0x33); // unchanged

    std::vector<unsigned char> sink(kChannelSize + 1, 0x55);
    EXPECT_EQ(ReadSharedMemory(channel.get(), sink.data(), kChannelSize + 1), -1);
    EXPECT_EQ(ReadSharedMemory(channel.get(), sink.data(), -1), -1);
    EXPECT_EQ(sink[0], 0x55);
    EXPECT_EQ(ReadSharedMemory(channel.get(), sink.data(), 0), 0);
}

TEST(SharedMemory, NullHandlesFail) {
    unsigned char byte = 1;
    EXPECT_EQ(WriteSharedMemory(nullptr, &byte, 1), -1);
    EXPECT_EQ(ReadSharedMemory(nullptr, &byte, 1), -1);
    CloseSharedMemory(nullptr);
}

TEST(SharedMemory, OpenFindsOnlyExistingWholeChannels) {
    std::u16string name = UniqueName("open");
    EXPECT_EQ(OpenSharedMemory(name.c_str()), nullptr);
    Channel created(name);
    plat::MappingHandle opened = OpenSharedMemory(name.c_str());
    ASSERT_NE(opened, nullptr);
    unsigned char payload[3] = {1, 2, 3};
    WriteSharedMemory(created.get(), payload, 3);
    unsigned char seen[3] = {};
    EXPECT_EQ(ReadSharedMemory(opened, seen, 3), 3);
    EXPECT_EQ(seen[2], 3);
    CloseSharedMemory(opened);

    // A mapping smaller than a channel cannot be mapped whole: it is refused.
    std::u16string smallName = UniqueName("small");
    plat::MappingHandle small = plat::CreateMapping(smallName, 4096);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(OpenSharedMemory(smallName.c_str()), nullptr);
    plat::CloseMapping(small);
}

TEST(SharedMemory, FallbackOnlyForNamesContainingTheDefaultName) {
    Channel fallback(kDefaultRequestFallback);
    ASSERT_NE(fallback.get(), nullptr);
    unsigned char mark = 0x5A;
    WriteSharedMemory(fallback.get(), &mark, 1);

    std::u16string containing = u"X" + std::u16string(kDefaultRequestName);
    plat::MappingHandle viaFallback = OpenSharedMemory(containing.c_str());
    ASSERT_NE(viaFallback, nullptr);
    unsigned char seen = 0;
    ReadSharedMemory(viaFallback, &seen, 1);
    EXPECT_EQ(seen, 0x5A);
    CloseSharedMemory(viaFallback);

    std::u16string other = UniqueName("missing");
    EXPECT_EQ(OpenSharedMemory(other.c_str()), nullptr);
}

TEST(SharedMemory, ManyOperationsReleaseEveryView) {
    Channel channel(UniqueName("many"));
    std::vector<unsigned char> buffer(64, 0x66);
    // Warm up so that allocations made once do not count.
    for (int i = 0; i < 50; ++i) {
        WriteSharedMemory(channel.get(), buffer.data(), 64);
        ReadSharedMemory(channel.get(), buffer.data(), 64);
    }
    long mappings = agent_test::MappingCount();
    long resident = agent_test::ResidentKb();
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(WriteSharedMemory(channel.get(), buffer.data(), 64), 64);
        ASSERT_EQ(ReadSharedMemory(channel.get(), buffer.data(), 64), 64);
    }
    if (mappings >= 0) {
        // A leaked view per operation would add thousands; the allocator (more so under the
        // sanitizers) may add a few of its own.
        EXPECT_LE(agent_test::MappingCount(), mappings + 32);
    }
    if (resident >= 0) {
        // A leaked view per operation would add about 10 GB; allow ordinary noise.
        EXPECT_LT(agent_test::ResidentKb(), resident + 20 * 1024);
    }
}

} // namespace
