// The binding against a function list written here: what no real module can be made to do on
// demand (slot ids and handles wider than 32 bits, over-long attribute lengths) and what the
// binding hands the module exactly (PIN length, the DigestInfo a card key signs), and how refusals
// surface (printed lines, OpenSSL's error queue, records kept for a repeated logout).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <openssl/err.h>
#include <openssl/objects.h>

#include "p11/p11_key.h"
#include "tests/fixtures/openssl_ptr.h"
#include "vantrel.h"

namespace {

struct FakeState {
    std::vector<CK_ULONG> slots;
    CK_ULONG sessionHandle = 1;
    std::vector<CK_ULONG> objects;
    CK_ULONG idLength = 4; // what C_GetAttributeValue reports for CKA_ID
    CK_RV findObjectsRv = CKR_OK;
    CK_RV loginRv = CKR_OK;
    CK_RV valueRv = CKR_OK; // C_GetAttributeValue's answer for CKA_VALUE
    CK_RV logoutRv = CKR_OK;
    CK_RV closeRv = CKR_OK;
    CK_RV signInitRv = CKR_OK;
    CK_RV signRv = CKR_OK;
    CK_RV decryptInitRv = CKR_OK;
    CK_RV decryptRv = CKR_OK;
    // What the binding passed.
    CK_ULONG pinLength = 99;
    std::vector<CK_ULONG> closedSessions;
    int findInits = 0;
    int findFinals = 0;
    int findCalls = 0;
    int logouts = 0;
    size_t nextObject = 0;
    CK_MECHANISM_TYPE mechanism = 0;
    CK_OBJECT_HANDLE signKey = 0;
    CK_SESSION_HANDLE signSession = 0;
    CK_SLOT_ID openedSlot = 0;
    std::vector<unsigned char> signedData;
    CK_ULONG signCapacity = 0;
};

FakeState g_fake;

CK_RV FakeGetSlotList(CK_BBOOL, CK_SLOT_ID* list, CK_ULONG* count) {
    if (list == nullptr) {
        *count = g_fake.slots.size();
        return CKR_OK;
    }
    if (*count < g_fake.slots.size()) {
        *count = g_fake.slots.size();
        return CKR_BUFFER_TOO_SMALL;
    }
    std::copy(g_fake.slots.begin(), g_fake.slots.end(), list);
    *count = g_fake.slots.size();
    return CKR_OK;
}

CK_RV FakeOpenSession(CK_SLOT_ID slot, CK_FLAGS, void*, CK_NOTIFY, CK_SESSION_HANDLE* session) {
    g_fake.openedSlot = slot;
    *session = g_fake.sessionHandle;
    return CKR_OK;
}

CK_RV FakeCloseSession(CK_SESSION_HANDLE session) {
    g_fake.closedSessions.push_back(session);
    return g_fake.closeRv;
}

CK_RV FakeLogout(CK_SESSION_HANDLE) {
    ++g_fake.logouts;
    return g_fake.logoutRv;
}

CK_RV FakeLogin(CK_SESSION_HANDLE, CK_USER_TYPE, CK_UTF8CHAR*, CK_ULONG length) {
    g_fake.pinLength = length;
    return g_fake.loginRv;
}

CK_RV FakeGetSessionInfo(CK_SESSION_HANDLE, CK_SESSION_INFO* info) {
    std::memset(info, 0, sizeof *info);
    info->ulDeviceError = 0x1234;
    return CKR_OK;
}

CK_RV FakeFindObjectsInit(CK_SESSION_HANDLE, CK_ATTRIBUTE*, CK_ULONG) {
    ++g_fake.findInits;
    g_fake.nextObject = 0;
    return CKR_OK;
}

CK_RV FakeFindObjects(CK_SESSION_HANDLE, CK_OBJECT_HANDLE* objects, CK_ULONG, CK_ULONG* count) {
    ++g_fake.findCalls;
    if (g_fake.findObjectsRv != CKR_OK) {
        return g_fake.findObjectsRv;
    }
    *count = 0;
    if (g_fake.nextObject < g_fake.objects.size()) {
        objects[0] = g_fake.objects[g_fake.nextObject++];
        *count = 1;
    }
    return CKR_OK;
}

CK_RV FakeFindObjectsFinal(CK_SESSION_HANDLE) {
    ++g_fake.findFinals;
    return CKR_OK;
}

CK_RV FakeGetAttributeValue(CK_SESSION_HANDLE, CK_OBJECT_HANDLE, CK_ATTRIBUTE* attr, CK_ULONG) {
    if (attr->type == CKA_VALUE && g_fake.valueRv != CKR_OK) {
        return g_fake.valueRv;
    }
    if (attr->pValue != nullptr && attr->ulValueLen < g_fake.idLength) {
        attr->ulValueLen = CK_UNAVAILABLE_INFORMATION;
        return CKR_BUFFER_TOO_SMALL;
    }
    if (attr->pValue != nullptr) {
        std::memset(attr->pValue, 'I', g_fake.idLength);
    }
    attr->ulValueLen = g_fake.idLength;
    return CKR_OK;
}

CK_RV FakeSignInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
    g_fake.signSession = session;
    g_fake.mechanism = mechanism->mechanism;
    g_fake.signKey = key;
    return g_fake.signInitRv;
}

// A 256-byte "signature" of 0x5A bytes.
CK_RV FakeSign(CK_SESSION_HANDLE, CK_BYTE* data, CK_ULONG dataLen, CK_BYTE* sig, CK_ULONG* sigLen) {
    g_fake.signedData.assign(data, data + dataLen);
    g_fake.signCapacity = *sigLen;
    if (g_fake.signRv != CKR_OK) {
        return g_fake.signRv;
    }
    if (*sigLen < 256) {
        return CKR_BUFFER_TOO_SMALL;
    }
    std::memset(sig, 0x5A, 256);
    *sigLen = 256;
    return CKR_OK;
}

CK_RV FakeDecryptInit(CK_SESSION_HANDLE, CK_MECHANISM*, CK_OBJECT_HANDLE) {
    return g_fake.decryptInitRv;
}

CK_RV FakeDecrypt(CK_SESSION_HANDLE, CK_BYTE*, CK_ULONG, CK_BYTE* out, CK_ULONG* outLen) {
    if (g_fake.decryptRv != CKR_OK) {
        return g_fake.decryptRv;
    }
    std::memset(out, 'P', 3);
    *outLen = 3;
    return CKR_OK;
}

CK_FUNCTION_LIST MakeList() {
    CK_FUNCTION_LIST list;
    std::memset(&list, 0, sizeof list);
    list.C_GetSlotList = FakeGetSlotList;
    list.C_OpenSession = FakeOpenSession;
    list.C_CloseSession = FakeCloseSession;
    list.C_Login = FakeLogin;
    list.C_GetSessionInfo = FakeGetSessionInfo;
    list.C_FindObjectsInit = FakeFindObjectsInit;
    list.C_FindObjects = FakeFindObjects;
    list.C_FindObjectsFinal = FakeFindObjectsFinal;
    list.C_GetAttributeValue = FakeGetAttributeValue;
    list.C_Logout = FakeLogout;
    list.C_SignInit = FakeSignInit;
    list.C_Sign = FakeSign;
    list.C_DecryptInit = FakeDecryptInit;
    list.C_Decrypt = FakeDecrypt;
    return list;
}

// A module with one slot (listed, so its id is known) and a session open on it.
class FakeModule : public ::testing::Test {
protected:
    void SetUp() override {
        g_fake = FakeState{};
        g_fake.slots = {1};
        module_.handle = nullptr;
        module_.functions = &list_;
        std::uint32_t count = 1;
        ASSERT_EQ(p11_get_slot_list(&module_, &slot_, &count), CKR_OK);
        ASSERT_EQ(p11_open_session(&module_, slot_, CKF_SERIAL_SESSION, &session_), CKR_OK);
    }
    // The module's handle behind an object id of the session (0: none).
    CK_ULONG ObjectHandle(std::uint32_t id) const {
        CK_ULONG handle = 0;
        return session_.objectIds.HandleOf(id, handle) ? handle : 0;
    }
    CK_FUNCTION_LIST list_ = MakeList();
    PKCS11_MODULE module_{};
    std::uint32_t slot_ = 0;
    PKCS11_SESSION session_{};
};

constexpr bool kWideUlong = sizeof(CK_ULONG) > 4;

TEST_F(FakeModule, SlotListHonoursCapacityAndListsAll) {
    g_fake.slots = {1, 2, 3};
    std::uint32_t ids[4] = {};
    std::uint32_t count = 2;
    EXPECT_EQ(p11_get_slot_list(&module_, ids, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u) << "the needed count is not reported";
    count = 4;
    ASSERT_EQ(p11_get_slot_list(&module_, ids, &count), CKR_OK);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(ids[0], 1u);
    EXPECT_EQ(ids[2], 3u);
}

TEST_F(FakeModule, SlotListWithoutAnArrayOnlyCounts) {
    g_fake.slots = {1, 2, 3};
    std::uint32_t count = 3;
    ASSERT_EQ(p11_get_slot_list(&module_, nullptr, &count), CKR_OK);
    EXPECT_EQ(count, 3u);
    count = 2;
    EXPECT_EQ(p11_get_slot_list(&module_, nullptr, &count), CKR_BUFFER_TOO_SMALL);
    EXPECT_EQ(count, 2u);
}

// OpenSC hands out pointer values: they reach the module again as they were, whole, behind
// small ids in the records.
TEST_F(FakeModule, WideSlotIdsAndHandlesGoBackToTheModuleWhole) {
    if (!kWideUlong) {
        GTEST_SKIP() << "CK_ULONG is 32-bit here";
    }
    const auto wideSlot = static_cast<CK_ULONG>(0x7f3a00000002ull);
    const auto wideSession = static_cast<CK_ULONG>(0x55e800000007ull);
    const auto wideKey = static_cast<CK_ULONG>(0x7f3a00000005ull);
    g_fake.slots = {1, wideSlot};
    std::uint32_t ids[4] = {};
    std::uint32_t count = 4;
    ASSERT_EQ(p11_get_slot_list(&module_, ids, &count), CKR_OK);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(ids[0], slot_) << "a slot keeps its id";
    EXPECT_NE(ids[1], ids[0]);

    g_fake.sessionHandle = wideSession;
    PKCS11_SESSION session{};
    ASSERT_EQ(p11_open_session(&module_, ids[1], CKF_SERIAL_SESSION, &session), CKR_OK);
    EXPECT_EQ(g_fake.openedSlot, wideSlot);
    EXPECT_NE(session.handle, 0u);

    g_fake.objects = {5, wideKey};
    PKCS11_KEY_OBJ keys[2];
    count = 2;
    ASSERT_EQ(p11_enum_keys(&module_, &session, CKO_PRIVATE_KEY, keys, &count), CKR_OK);
    EXPECT_NE(keys[0].object, keys[1].object);
    EXPECT_EQ(keys[1].session, session.handle);
    g_fake.objects = {wideKey};
    PKCS11_KEY_OBJ* found = nullptr;
    const unsigned char id[] = {'S'};
    ASSERT_EQ(p11_find_key(&module_, &session, CKO_PRIVATE_KEY, id, 1, &found), CKR_OK);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->object, keys[1].object) << "the same handle keeps its id";

    g_fake.idLength = 256;
    fixtures::PkeyPtr key(p11_key_to_evp(&module_, &session, found->object));
    p11_free_key_obj(found);
    ASSERT_TRUE(key);
    unsigned char digest[32] = {};
    unsigned char sig[256];
    unsigned int sigLen = 0;
    ASSERT_EQ(RSA_sign(NID_sha256, digest, 32, sig, &sigLen,
                       const_cast<RSA*>(EVP_PKEY_get0_RSA(key.get()))),
              1);
    EXPECT_EQ(g_fake.signSession, wideSession);
    EXPECT_EQ(g_fake.signKey, wideKey);

    ASSERT_EQ(p11_close_session(&module_, &session), CKR_OK);
    EXPECT_EQ(g_fake.closedSessions.back(), wideSession);
}

// Ids are the binding's own: one it never handed out, or one released with its session, is
// refused without a call to the module.
TEST_F(FakeModule, IdsThatStandForNothingAreRefused) {
    CK_SLOT_INFO slotInfo;
    CK_TOKEN_INFO tokenInfo;
    PKCS11_SESSION other{};
    EXPECT_EQ(p11_get_slot_info(&module_, slot_ + 1, &slotInfo), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(p11_get_token_info(&module_, 0, &tokenInfo), CKR_SLOT_ID_INVALID);
    EXPECT_EQ(p11_open_session(&module_, slot_ + 1, CKF_SERIAL_SESSION, &other),
              CKR_SLOT_ID_INVALID);
    EXPECT_EQ(p11_login(&module_, &other, "1", CKU_USER), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(g_fake.pinLength, 99u) << "the module was not called";

    g_fake.objects = {7};
    PKCS11_KEY_OBJ key{};
    std::uint32_t count = 1;
    ASSERT_EQ(p11_enum_keys(&module_, &session_, CKO_PRIVATE_KEY, &key, &count), CKR_OK);
    EXPECT_EQ(p11_get_attr_bn(&module_, &session_, key.object + 1, CKA_MODULUS), nullptr);
    EXPECT_EQ(p11_key_to_evp(&module_, &session_, key.object + 1), nullptr);

    ASSERT_EQ(p11_close_session(&module_, &session_), CKR_OK);
    EXPECT_EQ(p11_get_attr_bn(&module_, &session_, key.object, CKA_MODULUS), nullptr);
    EXPECT_EQ(p11_close_session(&module_, &session_), CKR_SESSION_HANDLE_INVALID);
    EXPECT_EQ(g_fake.closedSessions.size(), 1u);
}

// A module whose list leaves out a function the binding needs is broken: the operation fails
// instead of calling through a null pointer.
TEST_F(FakeModule, FunctionsTheListLeavesOutAreRefusedNotCalled) {
    CK_INFO info;
    CK_SLOT_INFO slotInfo;
    CK_TOKEN_INFO tokenInfo;
    EXPECT_EQ(p11_get_info(&module_, &info), CKR_FUNCTION_FAILED);
    EXPECT_EQ(p11_get_slot_info(&module_, slot_, &slotInfo), CKR_FUNCTION_FAILED);
    EXPECT_EQ(p11_get_token_info(&module_, slot_, &tokenInfo), CKR_FUNCTION_FAILED);

    list_.C_Logout = nullptr;
    list_.C_FindObjectsFinal = nullptr;
    EXPECT_EQ(p11_logout(&module_, &session_), CKR_FUNCTION_FAILED);
    g_fake.objects = {7};
    std::uint32_t count = 0;
    EXPECT_EQ(p11_enum_keys(&module_, &session_, CKO_PRIVATE_KEY, nullptr, &count),
              CKR_FUNCTION_FAILED);
    EXPECT_EQ(g_fake.findInits, 1);
    EXPECT_EQ(p11_unload_module(&module_), CKR_FUNCTION_FAILED) << "no C_Finalize either";
    EXPECT_EQ(module_.functions, &list_) << "the module stays loaded";
}

TEST(Binding, LoadAndUnloadRefuseMissingArguments) {
    PKCS11_MODULE none{};
    EXPECT_EQ(p11_load_module(nullptr, &none), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11_load_module("x", nullptr), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11_unload_module(&none), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11_unload_module(nullptr), CKR_ARGUMENTS_BAD);
}

TEST_F(FakeModule, EmptyPinIsPassedWithLengthZero) {
    EXPECT_EQ(p11_login(&module_, &session_, "", CKU_USER), CKR_OK);
    EXPECT_EQ(g_fake.pinLength, 0u);
    EXPECT_EQ(p11_login(&module_, &session_, "1234", CKU_USER), CKR_OK);
    EXPECT_EQ(g_fake.pinLength, 4u);
}

TEST_F(FakeModule, OverlongIdIsRefusedBeforeAnySearch) {
    std::vector<unsigned char> id(P11_ID_MAX + 1, 'x');
    PKCS11_KEY_OBJ* key = nullptr;
    PKCS11_CERT_OBJ* cert = nullptr;
    EXPECT_EQ(p11_find_key(&module_, &session_, CKO_PRIVATE_KEY, id.data(), P11_ID_MAX + 1, &key),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11_find_cert(&module_, &session_, id.data(), P11_ID_MAX + 1, &cert),
              CKR_ARGUMENTS_BAD);
    EXPECT_EQ(g_fake.findInits, 0);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(cert, nullptr);
}

TEST_F(FakeModule, IdLongerThanTheRecordIsStoredEmpty) {
    g_fake.objects = {7, 8};
    PKCS11_KEY_OBJ keys[2];
    std::uint32_t count = 2;
    g_fake.idLength = 300;
    ASSERT_EQ(p11_enum_keys(&module_, &session_, CKO_PRIVATE_KEY, keys, &count), CKR_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(keys[0].idLen, 0u);
    EXPECT_EQ(ObjectHandle(keys[1].object), 8u);
    g_fake.idLength = P11_ID_MAX;
    count = 2;
    ASSERT_EQ(p11_enum_keys(&module_, &session_, CKO_PRIVATE_KEY, keys, &count), CKR_OK);
    EXPECT_EQ(keys[0].idLen, P11_ID_MAX);
}

TEST_F(FakeModule, FailedSearchStillEndsIt) {
    g_fake.objects = {7};
    g_fake.findObjectsRv = CKR_DEVICE_REMOVED;
    std::uint32_t count = 0;
    EXPECT_EQ(p11_enum_keys(&module_, &session_, CKO_PRIVATE_KEY, nullptr, &count),
              CKR_DEVICE_REMOVED);
    EXPECT_EQ(g_fake.findFinals, 1);
}

TEST_F(FakeModule, RefusedLoginClosesItsSessionAndReportsTheDeviceError) {
    PKCS11 p11{&module_, nullptr, nullptr};
    g_fake.sessionHandle = 9;
    g_fake.loginRv = CKR_PIN_LOCKED;
    std::uint32_t deviceError = 0;
    EXPECT_EQ(LoginToken(&p11, 1, "1234", &deviceError), 0xDA0000A4u);
    EXPECT_EQ(p11.session, nullptr);
    EXPECT_EQ(deviceError, 0x1234u);
    ASSERT_EQ(g_fake.closedSessions.size(), 1u);
    EXPECT_EQ(g_fake.closedSessions[0], 9u);

    g_fake.loginRv = CKR_OK;
    ASSERT_EQ(LoginToken(&p11, 1, "1234", nullptr), OK);
    CK_ULONG handle = 0;
    ASSERT_TRUE(p11.session->sessionIds.HandleOf(p11.session->handle, handle));
    EXPECT_EQ(handle, 9u);
    p11.module = nullptr; // not a loaded library: CloseLibrary only drops the session record
    EXPECT_EQ(CloseLibrary(&p11), OK);
    EXPECT_EQ(p11.session, nullptr);
}

TEST(Binding, EveryOperationWithoutAModuleIsNotInitialized) {
    PKCS11_MODULE none{};
    CK_INFO info;
    CK_SLOT_INFO slotInfo;
    CK_TOKEN_INFO tokenInfo;
    CK_SESSION_INFO sessionInfo;
    std::uint32_t u = 0;
    PKCS11_SESSION session{};
    EXPECT_EQ(p11_get_info(&none, &info), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_get_slot_list(&none, &u, &u), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_get_slot_info(&none, 1, &slotInfo), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_get_token_info(&none, 1, &tokenInfo), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_open_session(&none, 1, CKF_SERIAL_SESSION, &session),
              CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_close_session(&none, &session), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_login(&none, &session, "1", CKU_USER), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_logout(&none, &session), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_get_session_info(&none, &session, &sessionInfo), CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_enum_keys(&none, &session, CKO_PRIVATE_KEY, nullptr, &u),
              CKR_CRYPTOKI_NOT_INITIALIZED);
    EXPECT_EQ(p11_enum_certs(&none, &session, nullptr, &u), CKR_ARGUMENTS_BAD);
    EXPECT_EQ(p11_key_to_evp(&none, &session, 1), nullptr);
    EXPECT_EQ(p11_get_attr_bn(&none, &session, 1, CKA_MODULUS), nullptr);
}

} // namespace

namespace {

TEST_F(FakeModule, FindTakesTheFirstMatchAndHandsOutTheRecordBeforeAValueFailure) {
    g_fake.objects = {7, 8}; // two objects with the same id and class
    PKCS11_KEY_OBJ* key = nullptr;
    const unsigned char id[] = {'S', 'I', 'G', 'N'};
    ASSERT_EQ(p11_find_key(&module_, &session_, CKO_PRIVATE_KEY, id, 4, &key), CKR_OK);
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(ObjectHandle(key->object), 7u);
    EXPECT_EQ(g_fake.findCalls, 1) << "only one handle is ever asked for";
    p11_free_key_obj(key);

    g_fake.valueRv = CKR_DEVICE_ERROR;
    PKCS11_CERT_OBJ* cert = nullptr;
    EXPECT_EQ(p11_find_cert(&module_, &session_, id, 4, &cert), CKR_DEVICE_ERROR);
    ASSERT_NE(cert, nullptr) << "the record is the caller's even when the value read fails";
    EXPECT_EQ(ObjectHandle(cert->object), 7u);
    EXPECT_EQ(std::string(cert->id, cert->id + cert->idLen), "SIGN");
    p11_free_cert_obj(cert);
    EXPECT_EQ(g_fake.findInits, g_fake.findFinals) << "every search is ended";
}

TEST_F(FakeModule, RefusedLogoutKeepsTheRecordAndCanBeRepeated) {
    PKCS11 p11{&module_, nullptr, nullptr};
    ASSERT_EQ(LoginToken(&p11, 1, "1234", nullptr), OK);
    PKCS11_SESSION* session = p11.session;

    g_fake.logoutRv = CKR_DEVICE_ERROR;
    EXPECT_EQ(LogoutToken(&p11), 0xDA000030u);
    ASSERT_EQ(p11.session, session);
    EXPECT_TRUE(session->loggedIn && session->opened);

    // (A session the module says is gone, with the card, is not kept: see the token tests.)
    g_fake.logoutRv = CKR_OK;
    g_fake.closeRv = CKR_DEVICE_ERROR;
    EXPECT_EQ(LogoutToken(&p11), 0xDA000030u);
    ASSERT_EQ(p11.session, session);
    EXPECT_FALSE(session->loggedIn);
    EXPECT_TRUE(session->opened);

    g_fake.closeRv = CKR_OK;
    EXPECT_EQ(LogoutToken(&p11), OK);
    EXPECT_EQ(p11.session, nullptr);
    EXPECT_EQ(g_fake.logouts, 2) << "a logout already done is not repeated";
    EXPECT_EQ(g_fake.closedSessions.size(), 2u);
}

// A card key over the fake module: every attribute reads as 256 bytes of 'I', so the key has a
// 2,048-bit modulus (and an odd but harmless exponent).
class FakeCardKey : public FakeModule {
protected:
    void SetUp() override {
        FakeModule::SetUp();
        g_fake.idLength = 256;
        key_.reset(p11_key_to_evp(&module_, &session_, session_.objectIds.IdOf(42)));
        ASSERT_TRUE(key_);
        rsa_ = const_cast<RSA*>(EVP_PKEY_get0_RSA(key_.get()));
        ASSERT_EQ(RSA_size(rsa_), 256);
        ERR_clear_error();
    }
    void TearDown() override { ERR_clear_error(); }
    int SignSha256(std::vector<unsigned char>& sig, unsigned int& sigLen) {
        sig.assign(256, 0);
        sigLen = 0;
        return RSA_sign(NID_sha256, digest_, 32, sig.data(), &sigLen, rsa_);
    }
    fixtures::PkeyPtr key_;
    RSA* rsa_ = nullptr;
    unsigned char digest_[32] = {0xAB, 0xCD};
};

TEST_F(FakeCardKey, Sha256SendsThe51ByteDigestInfoToTheCard) {
    std::vector<unsigned char> sig;
    unsigned int sigLen = 0;
    ASSERT_EQ(SignSha256(sig, sigLen), 1);
    EXPECT_EQ(sigLen, 256u);
    EXPECT_EQ(sig, std::vector<unsigned char>(256, 0x5A));
    EXPECT_EQ(g_fake.mechanism, static_cast<CK_MECHANISM_TYPE>(CKM_RSA_PKCS));
    EXPECT_EQ(g_fake.signKey, 42u);
    EXPECT_EQ(g_fake.signCapacity, 256u) << "the card never gets more room than OpenSSL's buffer";
    const unsigned char prefix[19] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                      0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    ASSERT_EQ(g_fake.signedData.size(), 51u);
    EXPECT_TRUE(std::equal(prefix, prefix + 19, g_fake.signedData.begin()));
    EXPECT_TRUE(std::equal(digest_, digest_ + 32, g_fake.signedData.begin() + 19));
}

// A library writes nothing to the standard output (a peer's or a host's stream may be its
// protocol): the module's code goes to the error queue only.
TEST_F(FakeCardKey, CardRefusalsAreQueuedWithTheModulesCodeAndNotPrinted) {
    const struct {
        CK_RV signInit;
        CK_RV sign;
        const char* line;
    } cases[] = {
        {CKR_SESSION_HANDLE_INVALID, CKR_OK, "C_SignInit"},
        {CKR_OK, CKR_DEVICE_ERROR, "C_Sign"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        g_fake.signInitRv = c.signInit;
        g_fake.signRv = c.sign;
        ERR_clear_error();
        std::vector<unsigned char> sig;
        unsigned int sigLen = 0;
        ::testing::internal::CaptureStdout();
        const int rc = SignSha256(sig, sigLen);
        const std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(rc, 0);
        EXPECT_EQ(printed, "");
        const unsigned long err = ERR_peek_last_error();
        EXPECT_EQ(ERR_GET_LIB(err), ERR_LIB_USER);
        EXPECT_EQ(static_cast<CK_RV>(ERR_GET_REASON(err)),
                  c.signInit != CKR_OK ? c.signInit : c.sign);
    }
}

TEST_F(FakeCardKey, ACardWithoutSigningFunctionsFailsTheSignature) {
    list_.C_SignInit = nullptr;
    list_.C_DecryptInit = nullptr;
    std::vector<unsigned char> sig;
    unsigned int sigLen = 0;
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SignSha256(sig, sigLen), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), static_cast<int>(CKR_FUNCTION_FAILED));
    unsigned char in[256] = {};
    unsigned char out[256];
    EXPECT_EQ(RSA_private_decrypt(256, in, out, rsa_, RSA_PKCS1_PADDING), -3);
}

TEST_F(FakeCardKey, DecryptionReportsEachRefusalByItsOwnValue) {
    unsigned char in[256] = {};
    unsigned char out[256];
    EXPECT_EQ(RSA_private_decrypt(256, in, out, rsa_, RSA_PKCS1_PADDING), 3);
    EXPECT_EQ(RSA_private_decrypt(256, in, out, rsa_, RSA_NO_PADDING), -1);
    g_fake.decryptInitRv = CKR_KEY_HANDLE_INVALID;
    EXPECT_EQ(RSA_private_decrypt(256, in, out, rsa_, RSA_PKCS1_PADDING), -3);
    EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), static_cast<int>(CKR_KEY_HANDLE_INVALID));
    g_fake.decryptInitRv = CKR_OK;
    g_fake.decryptRv = CKR_ENCRYPTED_DATA_INVALID;
    EXPECT_EQ(RSA_private_decrypt(256, in, out, rsa_, RSA_PKCS1_PADDING), -4);
    EXPECT_EQ(ERR_GET_REASON(ERR_peek_last_error()), static_cast<int>(CKR_ENCRYPTED_DATA_INVALID));
}

} // namespace
