// The id table behind every slot id, session handle and object handle the binding hands out,
// and the locked page that holds a PIN kept for per-use logins.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>

#include "p11/p11_ids.h"
#include "p11/p11_key.h"

namespace {

TEST(HandleIds, SameHandleSameIdAndEveryHandleWhole) {
    const CK_ULONG wide = std::numeric_limits<CK_ULONG>::max() - 6; // a pointer-like value
    const CK_ULONG handles[] = {0, 1, wide, 0x10, std::numeric_limits<CK_ULONG>::max()};
    P11HandleIds ids;
    std::uint32_t given[5];
    for (int i = 0; i < 5; ++i) {
        given[i] = ids.IdOf(handles[i]);
        EXPECT_EQ(given[i], static_cast<std::uint32_t>(i + 1)) << "small ids, never the handle";
    }
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(ids.IdOf(handles[i]), given[i]) << "stable";
        CK_ULONG back = 12345;
        ASSERT_TRUE(ids.HandleOf(given[i], back));
        EXPECT_EQ(back, handles[i]);
    }
    EXPECT_EQ(ids.Size(), 5u);
}

TEST(HandleIds, UnknownAndReleasedIdsStandForNothing) {
    P11HandleIds ids;
    CK_ULONG handle = 77;
    EXPECT_FALSE(ids.HandleOf(0, handle));
    EXPECT_FALSE(ids.HandleOf(1, handle));
    const std::uint32_t id = ids.IdOf(0x5000);
    EXPECT_FALSE(ids.HandleOf(id + 1, handle));
    EXPECT_FALSE(ids.HandleOf(0, handle)) << "0 is never an id";
    ids.Clear();
    EXPECT_FALSE(ids.HandleOf(id, handle));
    EXPECT_EQ(handle, 77u) << "a refused id leaves the output alone";
}

// The session record's ids go with the record: a new record never resolves another's ids.
TEST(HandleIds, IdsBelongToTheirSessionRecord) {
    PKCS11_SESSION first{};
    PKCS11_SESSION second{};
    first.handle = first.sessionIds.IdOf(0x1000);
    const std::uint32_t object = first.objectIds.IdOf(0x2000);
    CK_ULONG handle = 0;
    EXPECT_FALSE(second.sessionIds.HandleOf(first.handle, handle));
    EXPECT_FALSE(second.objectIds.HandleOf(object, handle));
}

TEST(ContextPin, KeptOnALockedPageAndWipedToNothing) {
    P11ContextPin pin;
    EXPECT_FALSE(pin.Held());
    ASSERT_TRUE(pin.Keep("123456"));
    ASSERT_TRUE(pin.Held());
    EXPECT_EQ(pin.Length(), 6u);
    EXPECT_EQ(std::memcmp(pin.Pin(), "123456", 6), 0);
    pin.Wipe();
    EXPECT_FALSE(pin.Held());
    EXPECT_EQ(pin.Pin(), nullptr);
    EXPECT_EQ(pin.Length(), 0u);
}

TEST(LockedPage, ZeroedWhenTakenAndReleased) {
    plat::LockedPage page;
    ASSERT_TRUE(page.Allocate());
    ASSERT_GE(page.Size(), 4096u);
    for (std::size_t i = 0; i < page.Size(); ++i) {
        ASSERT_EQ(page.Data()[i], 0u);
    }
    std::memset(page.Data(), 'P', page.Size());
    page.Release();
    EXPECT_EQ(page.Data(), nullptr);
    EXPECT_EQ(page.Size(), 0u);
}

} // namespace
