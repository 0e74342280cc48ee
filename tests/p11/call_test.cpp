// The road every binding operation takes to the module: which refusal comes back when the list,
// an entry of it or a handle behind an id is missing, and how the module's answer is reported.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "p11/p11_call.h"

namespace {

using p11detail::Call;

constexpr bool kWideUlong = sizeof(CK_ULONG) > 4;

// What the one function of the test list answers and what it was handed.
CK_RV g_answer = CKR_OK;
int g_calls = 0;
CK_SESSION_HANDLE g_session = 0;

CK_RV AnswerLogout(CK_SESSION_HANDLE session) {
    ++g_calls;
    g_session = session;
    return g_answer;
}

class CallTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_answer = CKR_OK;
        g_calls = 0;
        g_session = 0;
        std::memset(&list_, 0, sizeof list_);
        list_.C_Logout = AnswerLogout;
        module_.functions = &list_;
    }
    P11_RV Logout(const Call& call, CK_SESSION_HANDLE session = 1) const {
        return call(&CK_FUNCTION_LIST::C_Logout, session);
    }
    CK_FUNCTION_LIST list_;
    PKCS11_MODULE module_{};
};

TEST_F(CallTest, MissingListOrEntryIsRefusedWithoutCallingTheModule) {
    const PKCS11_MODULE empty{};
    struct Case {
        const char* what;
        Call call;
        P11_RV expected;
    } cases[] = {
        {"no module record", Call(static_cast<const PKCS11_MODULE*>(nullptr)),
         CKR_CRYPTOKI_NOT_INITIALIZED},
        {"no function list", Call(&empty), CKR_CRYPTOKI_NOT_INITIALIZED},
        {"the operation's own code for no list", Call(&empty, CKR_ARGUMENTS_BAD),
         CKR_ARGUMENTS_BAD},
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(c.call) << c.what;
        EXPECT_EQ(Logout(c.call), c.expected) << c.what;
        EXPECT_EQ(c.call.Raw(&CK_FUNCTION_LIST::C_Logout, CK_SESSION_HANDLE{1}), c.expected)
            << c.what;
    }
    // A list without the entry: a broken module, never a call through a null pointer.
    const Call call(&module_);
    EXPECT_TRUE(call);
    EXPECT_EQ(call(&CK_FUNCTION_LIST::C_GetInfo, static_cast<CK_INFO*>(nullptr)),
              CKR_FUNCTION_FAILED);
    EXPECT_EQ(g_calls, 0);
}

TEST_F(CallTest, ModuleAnswersAreReportedAsThirtyTwoBitCodes) {
    struct Case {
        CK_RV module;
        P11_RV reported;
    };
    std::vector<Case> cases = {
        {CKR_OK, 0},
        {CKR_PIN_INCORRECT, 0xA0},
        {CKR_DEVICE_REMOVED, 0x32},
        {CKR_CRYPTOKI_NOT_INITIALIZED, 0x190},
        {CKR_VENDOR_DEFINED | 1, 0x80000001u},
    };
    if (kWideUlong) {
        // Wider than any code: a broken module, reported as a failure, never cut to 32 bits
        // (the second would read as CKR_PIN_INCORRECT).
        const CK_RV highBits = std::numeric_limits<CK_ULONG>::max() - 0xFFFFFFFFu;
        cases.push_back({highBits, CKR_FUNCTION_FAILED});
        cases.push_back({highBits | CKR_PIN_INCORRECT, CKR_FUNCTION_FAILED});
    }
    const Call call(&module_);
    for (const Case& c : cases) {
        g_answer = c.module;
        EXPECT_EQ(Logout(call), c.reported) << std::hex << c.module;
        EXPECT_EQ(call.Raw(&CK_FUNCTION_LIST::C_Logout, CK_SESSION_HANDLE{1}), c.module)
            << "Raw keeps the module's own value";
    }
    EXPECT_EQ(g_calls, static_cast<int>(2 * cases.size()));
}

TEST_F(CallTest, IdsThatStandForNothingStopTheCallAndTheFirstRefusalWins) {
    const CK_ULONG wide = kWideUlong ? std::numeric_limits<CK_ULONG>::max() - 3 : 0xFFFFFFF0u;
    PKCS11_SESSION session{};
    session.handle = session.sessionIds.IdOf(wide);
    const std::uint32_t object = session.objectIds.IdOf(wide - 1);
    const std::uint32_t slot = module_.slotIds.IdOf(wide - 2);
    PKCS11_SESSION closed{};
    closed.handle = 1; // an id its record never gave out

    CK_SLOT_ID slotHandle = 0;
    CK_SESSION_HANDLE sessionHandle = 0;
    CK_OBJECT_HANDLE objectHandle = 0;
    Call good(&module_);
    good.Slot(&module_, slot, slotHandle)
        .Session(&session, sessionHandle)
        .Object(&session, object, objectHandle);
    ASSERT_TRUE(good);
    EXPECT_EQ(slotHandle, wide - 2) << "the module's handles come back whole";
    EXPECT_EQ(sessionHandle, wide);
    EXPECT_EQ(objectHandle, wide - 1);
    EXPECT_EQ(Logout(good, sessionHandle), CKR_OK);
    EXPECT_EQ(g_session, wide);

    g_calls = 0;
    std::uint32_t count = 7;
    struct Case {
        const char* what;
        Call call;
        P11_RV expected;
    } cases[] = {
        {"unknown slot id", Call(&module_).Slot(&module_, slot + 1, slotHandle),
         CKR_SLOT_ID_INVALID},
        {"slot id 0", Call(&module_).Slot(&module_, 0, slotHandle), CKR_SLOT_ID_INVALID},
        {"no session record", Call(&module_).Session(nullptr, sessionHandle),
         CKR_SESSION_HANDLE_INVALID},
        {"session id not given out", Call(&module_).Session(&closed, sessionHandle),
         CKR_SESSION_HANDLE_INVALID},
        {"object id of another record", Call(&module_).Object(&closed, object, objectHandle),
         CKR_OBJECT_HANDLE_INVALID},
        {"argument before handle", Call(&module_).Require(false).Session(nullptr, sessionHandle),
         CKR_ARGUMENTS_BAD},
        {"no list before anything", Call(static_cast<CK_FUNCTION_LIST_PTR>(nullptr)).Require(false),
         CKR_CRYPTOKI_NOT_INITIALIZED},
        {"count beyond 32 bits",
         Call(&module_).Fits(kWideUlong ? CK_ULONG(wide) : CK_ULONG(7), count),
         kWideUlong ? CKR_FUNCTION_FAILED : CKR_OK},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.call.Result(), c.expected) << c.what;
        if (c.expected != CKR_OK) {
            EXPECT_EQ(Logout(c.call), c.expected) << c.what;
        }
    }
    EXPECT_EQ(g_calls, 0) << "no refused operation reaches the module";
    EXPECT_EQ(count, 7u) << "a count that does not fit leaves the field alone";
}

// The typed outcome says what failed and at which step, with the same code the binding reports.
TEST_F(CallTest, TypedOutcomeNamesWhatFailedAndKeepsTheCode) {
    using tessivo::Fault;
    CK_SESSION_HANDLE handle = 0;
    const auto logout = [](const Call& call) {
        return call.Run(&CK_FUNCTION_LIST::C_Logout, "C_Logout", CK_SESSION_HANDLE{1});
    };
    g_answer = CKR_PIN_INCORRECT;
    struct Case {
        const char* what;
        tessivo::Status got;
        Fault fault;
        P11_RV code;
        const char* context;
    } cases[] = {
        {"module refusal", logout(Call(&module_)), Fault::Refused, CKR_PIN_INCORRECT, "C_Logout"},
        {"missing entry",
         Call(&module_).Run(&CK_FUNCTION_LIST::C_GetInfo, "C_GetInfo",
                            static_cast<CK_INFO*>(nullptr)),
         Fault::BrokenModule, CKR_FUNCTION_FAILED, "C_GetInfo"},
        {"no module", logout(Call(static_cast<const PKCS11_MODULE*>(nullptr))), Fault::NoModule,
         CKR_CRYPTOKI_NOT_INITIALIZED, "no module"},
        {"kept refusal before the call", logout(Call(&module_).Session(nullptr, handle)),
         Fault::Argument, CKR_SESSION_HANDLE_INVALID, "session id"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.got.fault, c.fault) << c.what;
        EXPECT_EQ(c.got.p11, c.code) << c.what;
        EXPECT_STREQ(c.got.context, c.context) << c.what;
    }
    EXPECT_EQ(g_calls, 1) << "only the first case reaches the module";
    if (kWideUlong) {
        g_answer = std::numeric_limits<CK_ULONG>::max();
        const tessivo::Status wide = logout(Call(&module_));
        EXPECT_EQ(wide.fault, Fault::BrokenModule);
        EXPECT_EQ(wide.p11, CKR_FUNCTION_FAILED);
    }
    g_answer = CKR_OK;
    EXPECT_TRUE(logout(Call(&module_)).Ok());
}

} // namespace
