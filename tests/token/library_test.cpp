// The library frame and the slot, token and login functions, on the test module (configured per
// test) and on the shared card (SoftHSM2 on Linux, the test module's software token on Windows).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "p11/p11_key.h"
#include "tests/p11/card_env.h"
#include "vantrel.h"

namespace {

bool IsZero(const PKCS11& p11) {
    return p11.module == nullptr && p11.session == nullptr && p11.reserved == nullptr;
}

// A handle record the library must overwrite, never read.
PKCS11 Garbage() {
    PKCS11 p11;
    std::memset(&p11, 0x5A, sizeof p11);
    return p11;
}

TEST(LibraryFrame, EveryFunctionBeforeInitLibraryIsModuleNotLoaded) {
    PKCS11 p11{};
    char buf[64];
    std::uint32_t len = sizeof buf;
    VR_SLOT_ID slots[4];
    std::uint32_t count = 4;
    std::uint32_t deviceError = 0;
    const VR_RESULT results[] = {
        GetLibraryDesc(&p11, buf, &len),           GetSlotID(&p11, slots, &count),
        GetSlotDesc(&p11, 1, buf, &len),           IsTokenPresent(&p11, 1),
        GetTokenLabel(&p11, 1, buf, &len),         GetTokenSerialNumber(&p11, 1, buf, &len),
        LoginToken(&p11, 1, "1234", &deviceError), LogoutToken(&p11),
    };
    for (VR_RESULT rc : results) {
        EXPECT_EQ(rc, BASIC_MODULE_NOT_LOADED);
    }
    EXPECT_EQ(CloseLibrary(&p11), OK);
    EXPECT_TRUE(IsZero(p11));
}

TEST(LibraryFrame, UnloadableModuleGives6AndLeavesTheRecordZero) {
#ifdef _WIN32
    const char* noExport = "kernel32.dll"; // loads, but is no PKCS#11 module
#else
    const char* noExport = "libcrypto.so.3";
#endif
    for (const char* file : {"no-such-module-tessivo.so", noExport}) {
        PKCS11 p11 = Garbage();
        EXPECT_EQ(InitLibrary(file, &p11), 0xDA000006u) << file;
        EXPECT_TRUE(IsZero(p11)) << file;
        char buf[64];
        std::uint32_t len = sizeof buf;
        EXPECT_EQ(GetLibraryDesc(&p11, buf, &len), BASIC_MODULE_NOT_LOADED);
    }
    PKCS11 p11 = Garbage();
    EXPECT_EQ(InitLibrary(nullptr, &p11), BASIC_ARGUMENTS_BAD);
    EXPECT_TRUE(IsZero(p11));
}

class TestModule : public ::testing::Test {
protected:
    void SetUp() override {
        if (TestModulePath().empty()) {
            GTEST_SKIP() << "the test module is not built";
        }
    }
    // Loads the test module with a configuration; the record is closed by the test.
    VR_RESULT Load(const std::string& config) {
        config_.reset(); // its destructor clears the module's configuration variable
        config_ = std::make_unique<TestModuleConfig>(config);
        return InitLibrary(TestModulePath().c_str(), &p11_);
    }
    void TearDown() override {
        if (p11_.module != nullptr) {
            CloseLibrary(&p11_);
        }
    }
    std::unique_ptr<TestModuleConfig> config_;
    PKCS11 p11_{};
};

// A pulled card takes its sessions with it: the logout then has nothing to end and succeeds, so
// the next login is not refused as "already logged in". A logout the card refuses still fails
// and keeps the session.
TEST_F(TestModule, LogoutAfterThePulledCardEndsTheSession) {
    struct Case {
        const char* setting;
        VR_RESULT logout;
    };
    const Case cases[] = {
        {"remove_after_login = 0\n", OK},
        {"logout_rv = 0x30\n", BASIC_ERRORS | 0x30},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting);
        ASSERT_EQ(
            Load(std::string("slot = Card Reader ; 1 ; CARD ; 0001\npin = 1234\n") + c.setting),
            OK);
        VR_SLOT_ID slot = 0;
        std::uint32_t count = 1;
        ASSERT_EQ(GetSlotID(&p11_, &slot, &count), OK);
        std::uint32_t deviceError = 0;
        ASSERT_EQ(LoginToken(&p11_, slot, "1234", &deviceError), OK);
        EXPECT_EQ(LogoutToken(&p11_), c.logout);
        EXPECT_EQ(p11_.session == nullptr, c.logout == OK);
        EXPECT_EQ(CloseLibrary(&p11_), OK);
    }
}

TEST_F(TestModule, AlreadyInitializedModuleLoads) {
    ASSERT_EQ(Load("initialize_rv = 0x191\n"), OK);
    EXPECT_NE(p11_.module, nullptr);
    EXPECT_EQ(CloseLibrary(&p11_), OK);
}

TEST_F(TestModule, FinalizeNotInitializedStillUnloads) {
    ASSERT_EQ(Load("finalize_rv = 0x190\n"), OK);
    EXPECT_EQ(CloseLibrary(&p11_), 0xDA000190u);
    EXPECT_TRUE(IsZero(p11_));

    // The binding's own view: the record is cleared and the value passed on.
    PKCS11_MODULE module{};
    ASSERT_EQ(p11_load_module(TestModulePath().c_str(), &module), CKR_OK);
    EXPECT_EQ(p11_unload_module(&module), static_cast<P11_RV>(CKR_CRYPTOKI_NOT_INITIALIZED));
    EXPECT_EQ(module.functions, nullptr);
    EXPECT_EQ(module.handle, nullptr);
}

#if GTEST_HAS_DEATH_TEST
// A module that refuses to finalise stays loaded in the process: each case runs in a child.
TEST_F(TestModule, OtherFinalizeFailureKeepsTheModuleLoaded) {
    TestModuleConfig config("finalize_rv = 0x6\n");
    EXPECT_EXIT(
        {
            PKCS11_MODULE module{};
            bool ok = p11_load_module(TestModulePath().c_str(), &module) == CKR_OK;
            const PKCS11_MODULE before = module;
            ok = ok && p11_unload_module(&module) == CKR_FUNCTION_FAILED;
            ok = ok && module.functions == before.functions && module.handle == before.handle;
            CK_INFO info;
            ok = ok && p11_get_info(&module, &info) == CKR_OK;
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    // The library releases its record all the same.
    EXPECT_EXIT(
        {
            PKCS11 p11{};
            bool ok = InitLibrary(TestModulePath().c_str(), &p11) == OK;
            ok = ok && CloseLibrary(&p11) == 0xDA000006u && IsZero(p11);
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}
#endif

struct PaddedCase {
    std::uint32_t capacity;
    VR_RESULT result;
    std::uint32_t lengthAfter;
    const char* text; // what the buffer holds afterwards
};

TEST_F(TestModule, LibraryDescriptionByThePaddedTextCopy) {
    ASSERT_EQ(Load("library_description = Tessivo Test\n"), OK);
    const PaddedCase cases[] = {
        {13, OK, 12, "Tessivo Test"},
        {12, BASIC_BUFFER_TOO_SMALL, 12, "untouched"},
        {0, BASIC_BUFFER_TOO_SMALL, 12, "untouched"},
        {64, OK, 12, "Tessivo Test"},
    };
    for (const PaddedCase& c : cases) {
        char buf[64] = "untouched";
        std::uint32_t len = c.capacity;
        EXPECT_EQ(GetLibraryDesc(&p11_, buf, &len), c.result) << c.capacity;
        EXPECT_EQ(len, c.lengthAfter) << c.capacity;
        EXPECT_STREQ(buf, c.text) << c.capacity;
    }
    // A null buffer is never written, whatever capacity comes with it.
    std::uint32_t len = 64;
    EXPECT_EQ(GetLibraryDesc(&p11_, nullptr, &len), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 12u);
}

TEST_F(TestModule, AllBlankDescriptionLeavesBufferAndLength) {
    ASSERT_EQ(Load("library_description = \n"), OK);
    char buf[8] = "keep";
    std::uint32_t len = 7;
    EXPECT_EQ(GetLibraryDesc(&p11_, buf, &len), OK);
    EXPECT_EQ(len, 7u);
    EXPECT_STREQ(buf, "keep");
}

TEST_F(TestModule, ThreeReadersOneEmpty) {
    ASSERT_EQ(Load("slot = A ; 1 ; Card A ; 1234567890123456\n"
                   "slot = BB ; 0 ; ; \n"
                   "slot = C ; 1 ; Card C ; 77\n"),
              OK);
    VR_SLOT_ID ids[10] = {};
    std::uint32_t count = 2;
    EXPECT_EQ(GetSlotID(&p11_, ids, &count), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
    count = 10;
    EXPECT_EQ(GetSlotID(&p11_, nullptr, &count), OK);
    EXPECT_EQ(count, 3u) << "without an array the slots are only counted";
    count = 10;
    ASSERT_EQ(GetSlotID(&p11_, ids, &count), OK);
    ASSERT_EQ(count, 3u);

    const char* names[] = {"A", "BB", "C"};
    const VR_RESULT present[] = {1, 0, 1};
    for (int i = 0; i < 3; ++i) {
        char buf[65];
        std::uint32_t len = sizeof buf;
        ASSERT_EQ(GetSlotDesc(&p11_, ids[i], buf, &len), OK);
        EXPECT_STREQ(buf, names[i]);
        EXPECT_EQ(IsTokenPresent(&p11_, ids[i]), present[i]) << names[i];
    }
    char label[33];
    std::uint32_t len = sizeof label;
    EXPECT_EQ(GetTokenLabel(&p11_, ids[1], label, &len), 0xDA0000E0u);
    EXPECT_EQ(GetTokenLabel(&p11_, ids[0], label, &len), OK);
    EXPECT_STREQ(label, "Card A");

    // Sixteen digits without blanks need 17 bytes.
    char serial[17];
    len = 16;
    EXPECT_EQ(GetTokenSerialNumber(&p11_, ids[0], serial, &len), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(len, 16u);
    len = 17;
    EXPECT_EQ(GetTokenSerialNumber(&p11_, ids[0], serial, &len), OK);
    EXPECT_EQ(len, 16u);
    EXPECT_STREQ(serial, "1234567890123456");
    EXPECT_EQ(IsTokenPresent(&p11_, 999), 0xDA000003u) << "CKR_SLOT_ID_INVALID carried";
}

TEST_F(TestModule, MoreSlotsThanTheAgentsTable) {
    ASSERT_EQ(Load("slot_count = 101\n"), OK);
    std::vector<VR_SLOT_ID> ids(101);
    std::uint32_t count = 100;
    EXPECT_EQ(GetSlotID(&p11_, ids.data(), &count), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 100u);
    count = 101;
    EXPECT_EQ(GetSlotID(&p11_, ids.data(), &count), OK);
    EXPECT_EQ(count, 101u);
}

TEST_F(TestModule, PinVerdictsComeBackAsBasicCodesWithoutSession) {
    for (std::uint32_t verdict : {0xA0u, 0xA1u, 0xA2u, 0xA3u, 0xA4u, 0xE0u, 0x100u}) {
        ASSERT_EQ(Load("slot = R ; 1 ; Card ; 1\nlogin_rv = " + std::to_string(verdict) + "\n"),
                  OK);
        VR_SLOT_ID ids[4];
        std::uint32_t count = 4;
        ASSERT_EQ(GetSlotID(&p11_, ids, &count), OK);
        std::uint32_t deviceError = 77;
        EXPECT_EQ(LoginToken(&p11_, ids[0], "1234", &deviceError), BASIC_ERRORS | verdict);
        EXPECT_EQ(p11_.session, nullptr);
        EXPECT_EQ(LogoutToken(&p11_), BASIC_USER_NOT_LOGGED_IN);
        EXPECT_EQ(CloseLibrary(&p11_), OK);
    }
}

// ---- the shared card ----

class Card : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(InitLibrary(cardenv::SharedCard().ModulePath().c_str(), &p11_), OK);
        ASSERT_TRUE(FindCard());
    }
    void TearDown() override {
        if (p11_.session != nullptr) {
            LogoutToken(&p11_);
        }
        EXPECT_EQ(CloseLibrary(&p11_), OK);
    }
    bool FindCard() {
        VR_SLOT_ID ids[16];
        std::uint32_t count = 16;
        if (GetSlotID(&p11_, ids, &count) != OK) {
            return false;
        }
        slotCount_ = count;
        for (std::uint32_t i = 0; i < count; ++i) {
            char label[33];
            std::uint32_t len = sizeof label;
            if (GetTokenLabel(&p11_, ids[i], label, &len) == OK &&
                std::string(label) == cardenv::kLabel) {
                slot_ = ids[i];
                return true;
            }
        }
        return false;
    }
    PKCS11 p11_{};
    VR_SLOT_ID slot_ = 0;
    std::uint32_t slotCount_ = 0;
};

TEST_F(Card, ListsEveryReaderAndReadsTheCard) {
    EXPECT_EQ(slotCount_, 2u) << "the card's reader and the empty one";
    EXPECT_EQ(IsTokenPresent(&p11_, slot_), 1u);
    VR_SLOT_ID ids[1];
    std::uint32_t count = 1;
    EXPECT_EQ(GetSlotID(&p11_, ids, &count), BASIC_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 1u);

    char serial[17];
    std::uint32_t len = sizeof serial;
    ASSERT_EQ(GetTokenSerialNumber(&p11_, slot_, serial, &len), OK);
#ifndef _WIN32
    EXPECT_EQ(serial, cardenv::SharedCard().Hsm().SerialOf(cardenv::kLabel));
#else
    EXPECT_STREQ(serial, "0123456789ABCDEF");
#endif
}

TEST_F(Card, WrongPinLeavesNoSessionThenTheRightOneWorks) {
    std::uint32_t deviceError = 0xFFFF;
    EXPECT_EQ(LoginToken(&p11_, slot_, "999999", &deviceError), BASIC_PIN_INCORRECT);
    EXPECT_EQ(p11_.session, nullptr);
    EXPECT_NE(deviceError, 0xFFFFu) << "the session's device error is handed out";
    ASSERT_EQ(LoginToken(&p11_, slot_, cardenv::kPin, &deviceError), OK);
    ASSERT_NE(p11_.session, nullptr);
    EXPECT_EQ(p11_.session->slotId, slot_);
    EXPECT_TRUE(p11_.session->opened && p11_.session->loggedIn);
}

TEST_F(Card, SecondLoginIsRefusedAndTheFirstSessionStaysUsable) {
    std::uint32_t deviceError = 0;
    ASSERT_EQ(LoginToken(&p11_, slot_, cardenv::kPin, &deviceError), OK);
    PKCS11_SESSION* first = p11_.session;
    EXPECT_EQ(LoginToken(&p11_, slot_, cardenv::kPin, &deviceError), BASIC_USER_ALREADY_LOGGED_IN);
    EXPECT_EQ(p11_.session, first);
    CK_SESSION_INFO info;
    ASSERT_EQ(p11_get_session_info(p11_.module, first, &info), CKR_OK);
    EXPECT_EQ(info.state, static_cast<CK_STATE>(CKS_RO_USER_FUNCTIONS));
    EXPECT_EQ(LogoutToken(&p11_), OK);
    EXPECT_EQ(p11_.session, nullptr);
    EXPECT_EQ(LogoutToken(&p11_), BASIC_USER_NOT_LOGGED_IN);
}

TEST_F(Card, NullPinOpensASessionWithoutLogin) {
    ASSERT_EQ(LoginToken(&p11_, slot_, nullptr, nullptr), OK);
    ASSERT_NE(p11_.session, nullptr);
    EXPECT_TRUE(p11_.session->opened);
    EXPECT_FALSE(p11_.session->loggedIn);
    std::uint32_t deviceError = 0;
    EXPECT_EQ(LoginToken(&p11_, slot_, cardenv::kPin, &deviceError), BASIC_USER_ALREADY_LOGGED_IN);
    // The module's logout would refuse (nobody is logged in): LogoutToken must not call it.
    EXPECT_EQ(LogoutToken(&p11_), OK);
    EXPECT_EQ(p11_.session, nullptr);
}

TEST_F(Card, OverlongPinIsRefusedWithoutSession) {
    const std::string pin(256, '1');
    std::uint32_t deviceError = 0;
    EXPECT_EQ(LoginToken(&p11_, slot_, pin.c_str(), &deviceError), 0xDA0000A2u);
    EXPECT_EQ(p11_.session, nullptr);
}

TEST_F(Card, CloseLibraryWithASessionAttachedClearsTheRecord) {
    std::uint32_t deviceError = 0;
    ASSERT_EQ(LoginToken(&p11_, slot_, cardenv::kPin, &deviceError), OK);
    EXPECT_EQ(CloseLibrary(&p11_), OK);
    EXPECT_TRUE(IsZero(p11_));
    // Closed and reopened: the same record works again.
    ASSERT_EQ(InitLibrary(cardenv::SharedCard().ModulePath().c_str(), &p11_), OK);
}

} // namespace
