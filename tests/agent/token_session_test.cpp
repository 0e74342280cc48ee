// The agent's token session in process, on the test PKCS#11 module: readers, selection, card,
// login with its record, logout, the certificate record and signing, each through the agent's
// request handlers with their replies and log lines.
#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "openssl_owned.h"
#include "protocol/Base64.h"
#include "protocol/Frames.h"
#include "agent/MainWindow.h"
#include "protocol/Messages.h"
#include "agent/SharedMemory.h"
#include "agent/TokenAgent.h"
#include "p11/p11_key.h"
#include "platform/codepage.h"
#include "platform/console.h"
#include "platform/format.h"
#include "platform/window.h"
#include "tests/agent/test_support.h"
#include "tests/fixtures/files.h"
#include "tests/fixtures/local_time.h"
#include "tests/fixtures/test_module.h"

namespace {

using Bytes = std::vector<unsigned char>;

constexpr char kPin[] = "123456";
// "錯誤的 PIN 碼" and "憑證卡已逾期" in code page 950.
const std::string kWrongPinBig5 = "\xBF\xF9\xBB\x7E\xAA\xBA PIN \xBD\x58";
const std::string kExpiredBig5 = "\xBE\xCC\xC3\xD2\xA5\x64\xA4\x77\xB9\x4F\xB4\xC1";

std::string CertsFile(const std::string& name) {
    return NativePath(std::string(TESSIVO_TEST_CERTS_DIR) + "/" + name);
}

// Text up to its first zero byte.
std::string UntilZero(const Bytes& b) {
    return std::string(b.begin(), std::find(b.begin(), b.end(), 0));
}

// A self-signed key and certificate valid from `validFromDays` to `validToDays` days from now
// (PEM key, DER certificate).
struct OwnCert {
    std::string keyPem;
    std::string certDer;
};
OwnCert MakeCert(long validFromDays, long validToDays, int serialBytes = 4) {
    ossl::PkeyPtr key(EVP_RSA_gen(1024));
    ossl::X509Ptr cert(X509_new());
    X509_set_version(cert.get(), 2);
    ossl::BnPtr serial(BN_new());
    BN_rand(serial.get(), serialBytes * 8, BN_RAND_TOP_ONE, BN_RAND_BOTTOM_ANY);
    BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(cert.get()));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), validFromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), validToDays * 86400);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>("Own"), -1, -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509_set_pubkey(cert.get(), key.get());
    X509_sign(cert.get(), key.get(), EVP_sha256());
    OwnCert out;
    unsigned char* der = nullptr;
    const int n = i2d_X509(cert.get(), &der);
    out.certDer.assign(reinterpret_cast<char*>(der), static_cast<std::size_t>(n));
    OPENSSL_free(der);
    ossl::BioPtr bio(BIO_new(BIO_s_mem()));
    PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    char* pem = nullptr;
    const long len = BIO_get_mem_data(bio.get(), &pem);
    out.keyPem.assign(pem, static_cast<std::size_t>(len));
    return out;
}

bool SignsAbc(const std::string& element);

class Session : public ::testing::Test {
protected:
    static void SetUpTestSuite() { fixtures::UseTaipeiTime(); }

    // Starts an agent on the test module configured with `config`.
    void Start(const std::string& config) {
        config_.Write(config);
        fixtures::SetEnvironment("TESSIVO_PKCS11_MODULE", TestModulePath());
        agent_ = std::make_unique<CTokenAgent>();
        window_ = agent_test::CreateTestWindow();
        console_ = plat::CreateConsole(window_, kConsoleStyle, 0, 0, kConsoleWidth, kConsoleHeight);
        agent_->Activity().Attach(0, console_);
        agent_->Channels().Request().Reset(
            CreateSharedMemory(agent_test::UniqueName("SessionRequest").c_str()));
        ASSERT_NE(agent_->_hMem, nullptr);
        ASSERT_TRUE(agent_->m_LibraryOpen);
    }

    // A reader "Card Reader" with serial CARD0001 holding the fixture's citizen certificate.
    std::string CardConfig(const std::string& extra = "") {
        return "slot = Empty Reader ; 0 ; ; \n"
               "slot = Card Reader ; 1 ; CARD ; CARD0001\n"
               "pin = 123456\n" +
               FixtureCardObjects(TESSIVO_TEST_CERTS_DIR) + extra;
    }

    // A reader with serial CARD0001 holding `own` as both its certificates and keys.
    std::string OwnCardConfig(const std::string& reader, const OwnCert& own) {
        const std::string key = config_.AddFile("own.key", own.keyPem);
        const std::string cert = config_.AddFile("own.der", own.certDer);
        return "slot = " + reader + " ; 1 ; CARD ; CARD0001\npin = 123456\n" +
               "object = cert ; SIGN ; " + cert + "\nobject = key ; SIGN ; " + key +
               "\nobject = cert ; KEYX ; " + cert + "\nobject = key ; KEYX ; " + key + "\n";
    }

    void TearDown() override {
        agent_.reset();
        if (window_ != 0)
            plat::DestroyWindow(window_);
        window_ = 0;
    }

    std::int32_t Send(std::uint32_t message, const Bytes& payload, std::uint32_t wParam) {
        WriteSharedMemory(agent_->_hMem, payload.data(), static_cast<std::int32_t>(payload.size()));
        return agent_->Dispatch(window_, message, wParam, 0);
    }
    std::int32_t SendText(std::uint32_t message, const std::u16string& text) {
        return Send(message, tessivo::EncodeTextRequest(text),
                    static_cast<std::uint32_t>(text.size()));
    }
    std::int32_t Slot(const std::u16string& reader) { return SendText(MWM_SLOT, reader); }
    Bytes Login(const std::u16string& pin = u"123456") {
        EXPECT_EQ(SendText(MWM_LOGIN, pin), 0);
        return Request(620);
    }
    std::int32_t Sign(std::uint16_t mechanism, const std::string& base64) {
        const Bytes payload = tessivo::EncodeSignRequest({mechanism, base64});
        return Send(MWM_SIGN, payload, static_cast<std::uint32_t>(payload.size()));
    }
    Bytes Request(std::size_t n) {
        Bytes out(n);
        ReadSharedMemory(agent_->_hMem, out.data(), static_cast<std::int32_t>(n));
        return out;
    }
    Bytes Return(std::size_t n) {
        Bytes out(n);
        ReadSharedMemory(agent_->_hMem1, out.data(), static_cast<std::int32_t>(n));
        return out;
    }
    std::u16string LastLine() {
        std::u16string text = plat::ConsoleText(console_);
        if (!text.empty() && text.back() == u'\r')
            text.pop_back();
        return text.substr(text.rfind(u'\r') == std::u16string::npos ? 0 : text.rfind(u'\r') + 1);
    }
    std::u16string Console() { return plat::ConsoleText(console_); }

    // Signs "ABC" with SHA-256 and tells whether the reply verifies with the card's key.
    bool SignAbc() {
        return Sign(64, "QUJD") == 0 &&
               SignsAbc(std::string(reinterpret_cast<const char*>(Return(385).data()), 385));
    }
    // The test module's log of C_Login calls, one "user=TYPE length=N rv=0xRV" line each.
    std::string LoginLogSetting() { return "login_log = " + LoginLogPath() + "\n"; }
    std::string LoginLog() { return fixtures::ReadFileText(LoginLogPath()); }
    std::string LoginLogPath() { return NativePath(config_.Folder() + "/logins.txt"); }
    // The PIN copy the open session keeps for keys that need it before every use (null: none).
    std::shared_ptr<P11ContextPin> KeptPin() {
        PKCS11_SESSION* session = agent_->m_Pkcs11.session;
        return session != nullptr ? session->contextPin : nullptr;
    }

    TestModuleConfig config_;
    std::unique_ptr<CTokenAgent> agent_;
    plat::WindowHandle window_ = 0;
    plat::WindowHandle console_ = 0;
};

// Whether a <SignatureValue> element holds a signature of "ABC" by the fixture card's key.
bool SignsAbc(const std::string& element) {
    const std::vector<std::uint8_t> signature =
        tessivo::DecodeBase64Lenient(element.substr(16, 352));
    const std::string der = fixtures::ReadFileText(CertsFile("citizen.der"));
    const unsigned char* p = reinterpret_cast<const unsigned char*>(der.data());
    ossl::X509Ptr cert(d2i_X509(nullptr, &p, long(der.size())));
    ossl::MdCtxPtr ctx(EVP_MD_CTX_new());
    return cert && ctx &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, EVP_sha256(), nullptr,
                                X509_get0_pubkey(cert.get())) == 1 &&
           EVP_DigestVerify(ctx.get(), signature.data(), signature.size(),
                            reinterpret_cast<const unsigned char*>("ABC"), 3) == 1;
}

std::u16string Big5(const std::string& bytes) {
    char16_t buf[256] = {};
    const int n = plat::MultiByteToWide(plat::kCpBig5, 0, bytes.data(),
                                        static_cast<int>(bytes.size()), buf, 256);
    return std::u16string(buf, n > 0 ? n : 0);
}

// ---- readers ----

TEST_F(Session, ReaderListAndItsBounds) {
    Start("slot = A ; 1 ; L1 ; S1\nslot = BB ; 1 ; L2 ; S2\nslot = C ; 0 ; ; \n");
    EXPECT_EQ(agent_->ListReaders(nullptr), 10);
    std::u16string list(12, u'\0');
    EXPECT_EQ(agent_->ListReaders(&list[0], 10), 10);
    EXPECT_EQ(list, std::u16string(u"A\0BB\0C\0\0\0\0\0\0", 12));
    // A buffer smaller than the list is never written past.
    std::u16string small(6, u'#');
    agent_->ListReaders(&small[0], 4);
    EXPECT_EQ(small, std::u16string(u"A\0####", 6));
    agent_->ListReaders(&small[0], 5);
    EXPECT_EQ(small, std::u16string(u"A\0BB\0#", 6));

    EXPECT_EQ(Slot(u"C"), 2);
    EXPECT_EQ(Console(), u"DrviceName:A\rDrviceName:BB\rDrviceName:C\r"
                         u"message:MWM_SLOT,wparam:1,data:C->sucess;\r");
    EXPECT_TRUE(agent_->m_SlotSelected);
    EXPECT_EQ(agent_->m_SlotIndex, 2);
}

TEST_F(Session, SelectionIsExactAndRefreshesUpToTheMatch) {
    Start(
        "slot = A ; 1 ; L ; 1\nslot = B ; 1 ; L ; 2\nslot = B ; 1 ; L ; 3\nslot = C ; 1 ; L ; 4\n");
    for (std::uint32_t& id : agent_->Card().slotIds)
        id = 0xAAAA;
    agent_->SelectReader(u"B");
    EXPECT_TRUE(agent_->m_SlotSelected);
    EXPECT_EQ(agent_->m_SlotIndex, 1); // the first of two equal descriptions
    EXPECT_EQ(agent_->m_SlotID[0], 1u);
    EXPECT_EQ(agent_->m_SlotID[1], 2u);
    EXPECT_EQ(agent_->m_SlotID[2], 0xAAAAu);
    for (const char16_t* miss : {u"b", u"B ", u"", u"D"}) {
        agent_->SelectReader(miss);
        EXPECT_FALSE(agent_->m_SlotSelected);
        EXPECT_EQ(agent_->m_SlotIndex, 1); // kept
    }
    EXPECT_EQ(agent_->m_SlotID[3], 4u); // a miss refreshes every entry
    // A reader that does not exist still reads as success.
    EXPECT_EQ(Slot(u"Nope"), 8);
    EXPECT_EQ(LastLine(), u"message:MWM_SLOT,wparam:4,data:Nope->sucess;");
    EXPECT_EQ(Slot(u""), 0);
    EXPECT_EQ(LastLine(), u"message:MWM_SLOT,wparam:0,data:->read data len=0;");
    EXPECT_EQ(SendText(MWM_SLOT, u"x"), 2);
    EXPECT_EQ(agent_->Dispatch(window_, MWM_SLOT, 512001, 0), -1);
}

TEST_F(Session, MoreThanAHundredSlotsListNothing) {
    Start("slot_count = 101\n");
    EXPECT_EQ(agent_->ListReaders(nullptr), 0);
    agent_->SelectReader(u"Reader 1");
    EXPECT_FALSE(agent_->m_SlotSelected);
    EXPECT_EQ(agent_->m_SlotIndex, -1);
}

// ---- card, login, logout ----

TEST_F(Session, CardRecords) {
    Start(CardConfig());
    EXPECT_EQ(agent_->Dispatch(window_, MWM_CARD, 3, 0), 0); // no reader selected
    Bytes record = Request(364);
    // Nothing but the serial and the status: the record re-encodes to the same bytes.
    EXPECT_EQ(tessivo::EncodeCardRecord(tessivo::DecodeCardRecord(record)), record);
    EXPECT_EQ(tessivo::DecodeCardRecord(record).status, 1u);
    EXPECT_EQ(LastLine(), u"message:MWM_CARD,wparam:3,data:-;");

    Slot(u"Empty Reader");
    EXPECT_EQ(agent_->Dispatch(window_, MWM_CARD, 0, 0), 0);
    EXPECT_EQ(tessivo::DecodeCardRecord(Request(364)).status, 1u);

    Slot(u"Card Reader");
    EXPECT_EQ(agent_->Dispatch(window_, MWM_CARD, 0, 0), 0);
    record = Request(364);
    EXPECT_EQ(tessivo::DecodeCardRecord(record).serial, "CARD0001");
    EXPECT_EQ(tessivo::DecodeCardRecord(record).status, 0u);
    EXPECT_EQ(LastLine(), u"message:MWM_CARD,wparam:0,data:-CARD0001;");
}

TEST_F(Session, SuccessfulLoginRecordAndCertificate) {
    Start(CardConfig());
    Slot(u"Card Reader");
    const Bytes record = Login();
    const tessivo::LoginRecord login = tessivo::DecodeLoginRecord(record);
    // Nothing outside the areas: the record re-encodes to the same bytes.
    EXPECT_EQ(tessivo::EncodeLoginRecord(login), record);
    EXPECT_EQ(login.cardSerial, "CARD0001");
    EXPECT_EQ(login.certSerial, "1234");
    EXPECT_EQ(login.notAfter, "2036.1.1"); // 2035-12-31 23:59:59 UTC at UTC+8
    EXPECT_EQ(login.textWidth, 256u);
    EXPECT_EQ(login.certLength, 2 * agent_->m_SignCertB64.size());
    EXPECT_EQ(login.infoLength, 2 * agent_->m_CertInfo.size());
    EXPECT_EQ(login.status, 0u);
    EXPECT_EQ(login.text, "Global\\qorQorTessivonReturnFileMappingObject");
    EXPECT_EQ(LastLine(), u"message:MWM_LOGIN,wparam:6,data:******->sucess(retval:0)");

    // The return channel holds the token's certificate, line-broken.
    const std::string der = fixtures::ReadFileText(CertsFile("citizen.der"));
    const std::string b64 =
        tessivo::EncodeBase64Lines(reinterpret_cast<const std::uint8_t*>(der.data()), der.size());
    const Bytes returned = Return(b64.size() + 2);
    EXPECT_EQ(std::string(returned.begin(), returned.end() - 2), b64);
    EXPECT_EQ(returned[b64.size()], 0);

    EXPECT_EQ(agent_->Dispatch(window_, MWM_CERTINF, 9, 0), 0);
    const Bytes info = Request(2 * agent_->m_CertInfo.size() + 2);
    EXPECT_EQ(std::memcmp(info.data(), agent_->m_CertInfo.data(), 2 * agent_->m_CertInfo.size()),
              0);
    EXPECT_NE(agent_->m_CertInfo.find(u" TypeString='自然人憑證' ID='1234' Ext='正卡'"),
              std::u16string::npos);
    EXPECT_EQ(LastLine(), plat::Format(u"message:MWM_CERTINF,wparam:9,data:->%d;",
                                       2 * static_cast<int>(agent_->m_CertInfo.size())));
}

TEST_F(Session, FailedLogins) {
    Start(CardConfig());
    // Before any reader is selected.
    Bytes record = Login();
    EXPECT_EQ(tessivo::DecodeLoginRecord(record).status, 0xFFFFFFFFu);
    EXPECT_EQ(Big5(tessivo::DecodeLoginRecord(record).text), u"不明原因的錯誤(code:65535)");
    EXPECT_EQ(LastLine(), u"message:MWM_LOGIN,wparam:6,data:******->"
                          u"不明原因的錯誤(code:65535)(retval:ffffffff)");

    Slot(u"Card Reader");
    ASSERT_EQ(tessivo::DecodeLoginRecord(Login()).status, 0u);
    const std::u16string serial = agent_->m_CertSerial;
    record = Login(u"9999");
    EXPECT_EQ(tessivo::DecodeLoginRecord(record).status, 0xDA0000A0u);
    EXPECT_EQ(tessivo::DecodeLoginRecord(record).text, kWrongPinBig5);
    EXPECT_EQ(tessivo::DecodeLoginRecord(record).cardSerial, "");
    EXPECT_EQ(LastLine(), u"message:MWM_LOGIN,wparam:4,data:****->錯誤的 PIN 碼(retval:da0000a0)");
    EXPECT_FALSE(agent_->m_LoggedIn);
    EXPECT_TRUE(agent_->m_CertInfo.empty());
    EXPECT_EQ(agent_->m_CertSerial, serial); // kept from the earlier login

    EXPECT_EQ(SendText(MWM_LOGIN, u""), 1);
    EXPECT_EQ(LastLine(), u"message:MWM_LOGIN,wparam:0,data:->read data len=0;");
}

TEST_F(Session, PinLengthInNarrowBytes) {
    const std::string pin63(63, '7');
    Start(CardConfig() + "pin = " + pin63 + "\n");
    Slot(u"Card Reader");
    // 63 bytes reach the card whole; 64 are refused before the card sees them (a cut PIN would
    // cost a retry). A Chinese character takes two bytes in code page 950.
    EXPECT_EQ(tessivo::DecodeLoginRecord(Login(std::u16string(63, u'7'))).status, 0u);
    EXPECT_EQ(tessivo::DecodeLoginRecord(Login(std::u16string(64, u'7'))).status, 0xDA0000A2u);
    EXPECT_EQ(tessivo::DecodeLoginRecord(Login(std::u16string(62, u'7') + u"王")).status,
              0xDA0000A2u);
    EXPECT_EQ(tessivo::DecodeLoginRecord(Login(std::u16string(63, u'7'))).status, 0u);

    // A refused PIN ends an earlier login as a rejected one does: logged out, no record, the
    // other texts kept.
    const std::u16string serial = agent_->m_CertSerial;
    ASSERT_FALSE(agent_->m_CertInfo.empty());
    const Bytes record = Login(std::u16string(64, u'7'));
    EXPECT_EQ(tessivo::DecodeLoginRecord(record).status, 0xDA0000A2u);
    EXPECT_EQ(Big5(tessivo::DecodeLoginRecord(record).text), u"輸入 PIN 碼長度");
    EXPECT_EQ(LastLine(), u"message:MWM_LOGIN,wparam:64,data:" + std::u16string(64, u'*') +
                              u"->輸入 PIN 碼長度(retval:da0000a2)");
    EXPECT_FALSE(agent_->m_LoggedIn);
    EXPECT_TRUE(agent_->m_CertInfo.empty());
    EXPECT_EQ(agent_->m_CertSerial, serial);
    EXPECT_EQ(Sign(64, "QUJD"), 1);
}

TEST_F(Session, ExpiredCertificateIsStillDelivered) {
    Start(OwnCardConfig("Card Reader", MakeCert(-30, -2)));
    Slot(u"Card Reader");
    const Bytes record = Login();
    EXPECT_EQ(tessivo::DecodeLoginRecord(record).status, 163u);
    EXPECT_EQ(tessivo::DecodeLoginRecord(record).text, kExpiredBig5);
    EXPECT_EQ(record[364 + kExpiredBig5.size()], 0);
    EXPECT_TRUE(agent_->IsCertExpired());
    const Bytes returned = Return(8);
    EXPECT_EQ(std::string(returned.begin(), returned.begin() + 4), "MIIB");
}

TEST_F(Session, LongSerialIsCutToItsArea) {
    Start(OwnCardConfig("R", MakeCert(-1, 30, 200))); // 400 hex digits
    Slot(u"R");
    const Bytes record = Login();
    ASSERT_EQ(tessivo::DecodeLoginRecord(record).status, 0u);
    EXPECT_GE(agent_->m_CertSerial.size(), 400u);
    EXPECT_EQ(tessivo::DecodeLoginRecord(record).certSerial.size(), 255u);
    EXPECT_EQ(tessivo::DecodeLoginRecord(record).notAfter.empty(), false);
}

TEST_F(Session, LogoutNeedsANewSlotButKeepsTheRecord) {
    Start(CardConfig());
    Slot(u"Card Reader");
    ASSERT_EQ(tessivo::DecodeLoginRecord(Login()).status, 0u);
    const std::u16string info = agent_->m_CertInfo;
    EXPECT_EQ(agent_->Dispatch(window_, MWM_LOGOUT, 0, 0), 0);
    EXPECT_EQ(LastLine(), u"message:MWM_LOGOUT,wparam:0,data:->sucess;");
    EXPECT_EQ(agent_->Dispatch(window_, MWM_CARD, 0, 0), 0);
    EXPECT_EQ(tessivo::DecodeCardRecord(Request(364)).status, 1u);
    EXPECT_EQ(tessivo::DecodeLoginRecord(Login()).status, 0xFFFFFFFFu);
    agent_->Dispatch(window_, MWM_CERTINF, 0, 0);
    EXPECT_EQ(agent_->m_CertInfo, info);
    EXPECT_EQ(Sign(64, "QUJD"), 1); // the key's session is gone
}

TEST_F(Session, LogoutOfAPulledCardReopensTheLibrary) {
    Start(CardConfig("remove_after_login = 0\n"));
    Slot(u"Card Reader");
    Login();
    EXPECT_EQ(agent_->Dispatch(window_, MWM_LOGOUT, 0, 0), 0);
    EXPECT_TRUE(agent_->m_LibraryOpen);
    EXPECT_EQ(agent_->m_SlotIndex, -1);
}

// A logout the card refuses reopens the library: the key of the old module must not outlive it
// (the test module frees its function table when unloaded, so a stale key is a sanitizer
// report here, not a quiet success).
TEST_F(Session, FailedLogoutLeavesNoKeyOfTheUnloadedModule) {
    Start(CardConfig("logout_rv = 0x30\n"));
    Slot(u"Card Reader");
    EXPECT_EQ(agent_->Dispatch(window_, MWM_CARD, 0, 0), 0);
    ASSERT_EQ(tessivo::DecodeLoginRecord(Login()).status, 0u);
    agent_->Dispatch(window_, MWM_CERTINF, 0, 0);
    ASSERT_EQ(Sign(64, "QUJD"), 0);
    EXPECT_EQ(agent_->Dispatch(window_, MWM_LOGOUT, 0, 0), 0);
    EXPECT_TRUE(agent_->m_LibraryOpen);
    EXPECT_EQ(agent_->m_SignKey, nullptr);
    EXPECT_EQ(Sign(64, "QUJD"), 1);
    EXPECT_EQ(LastLine(), u"message:MWM_SIGN,wparam:10,data:QUJD->fail;");
    // A new selection and login sign again on the reopened module.
    Slot(u"Card Reader");
    ASSERT_EQ(tessivo::DecodeLoginRecord(Login()).status, 0u);
    EXPECT_EQ(Sign(64, "QUJD"), 0);
}

// A refused logout whose recovery also finds the module refusing to finalise must not leave the
// module's login behind a "successful" reopen: the next login would fail as already logged in
// until the agent restarts.
TEST_F(Session, FailedLogoutWithRefusedFinalizeCanLogInAgain) {
    Start(CardConfig("logout_rv = 0x30\nfinalize_rv = 0x5\n"));
    Slot(u"Card Reader");
    ASSERT_EQ(tessivo::DecodeLoginRecord(Login()).status, 0u);
    EXPECT_EQ(agent_->Dispatch(window_, MWM_LOGOUT, 0, 0), 0);
    EXPECT_EQ(LastLine(), u"message:MWM_LOGOUT,wparam:0,data:->sucess;");
    Slot(u"Card Reader");
    EXPECT_EQ(tessivo::DecodeLoginRecord(Login()).status, 0u);
    EXPECT_TRUE(SignAbc());
}

// A second agent of the same user must not share the first one's return channel: it takes the
// fixed name followed by its process id, and says so wherever the name travels.
TEST_F(Session, SecondAgentTakesAReturnChannelOfItsOwn) {
    Start(CardConfig());
    ASSERT_EQ(agent_->m_MemName1, kReturnChannelName);
    CTokenAgent second;
    const std::u16string own = PerAgentChannelName(kReturnChannelName, plat::CurrentProcessId());
    EXPECT_EQ(second.m_MemName1, own);
    ASSERT_NE(second._hMem1, nullptr);
    EXPECT_NE(second._hMem1, agent_->_hMem1);
    // Writing one channel leaves the other alone.
    WriteSharedMemory(second._hMem1, "second", 6);
    WriteSharedMemory(agent_->_hMem1, "first", 5);
    char seen[7] = {};
    ReadSharedMemory(second._hMem1, seen, 6);
    EXPECT_STREQ(seen, "second");
}

// A reply that cannot be written because its channel is not open: result 1, the request's
// line as usual.
TEST_F(Session, RepliesNeedTheirChannels) {
    Start(CardConfig());
    // Before any login the record is empty: the channel is left all zero.
    WriteSharedMemory(agent_->_hMem, Bytes(16, 0xEE).data(), 16);
    EXPECT_EQ(agent_->Dispatch(window_, MWM_CERTINF, 2, 0), 0);
    EXPECT_EQ(Request(16), Bytes(16, 0));
    EXPECT_EQ(LastLine(), u"message:MWM_CERTINF,wparam:2,data:->0;");

    Slot(u"Card Reader");
    ChannelSet& channels = agent_->Channels();
    const plat::MappingHandle returned = channels.Return().Release();
    EXPECT_EQ(SendText(MWM_LOGIN, u"123456"), 1);
    const Bytes kept = Request(2); // no record: the channel still holds the PIN
    EXPECT_EQ(tessivo::DecodeTextRequest(kept.data(), kept.size()), u"1");
    EXPECT_EQ(LastLine(), u"message:MWM_LOGIN,wparam:6,data:******->sucess(retval:0)");
    EXPECT_TRUE(agent_->m_LoggedIn);
    EXPECT_EQ(Sign(64, "QUJD"), 1);
    EXPECT_EQ(LastLine(), u"message:MWM_SIGN,wparam:10,data:QUJD->sucess;");
    EXPECT_EQ(Request(7)[6], 'Q'); // no sign header either
    channels.Return().Reset(returned);

    const plat::MappingHandle request = channels.Request().Release();
    EXPECT_EQ(agent_->Dispatch(window_, MWM_CARD, 5, 0), 1);
    EXPECT_EQ(LastLine(), u"message:MWM_CARD,wparam:5,data:->new data =null;");
    EXPECT_EQ(agent_->Dispatch(window_, MWM_CERTINF, 5, 0), 0);
    EXPECT_EQ(LastLine(), plat::Format(u"message:MWM_CERTINF,wparam:5,data:->%d;",
                                       2 * static_cast<int>(agent_->m_CertInfo.size())));
    channels.Request().Reset(request);
}

// ---- signing ----

TEST_F(Session, SigningRequests) {
    Start(CardConfig());
    EXPECT_EQ(Sign(64, "QUJD"), 1); // before any login
    EXPECT_EQ(LastLine(), u"message:MWM_SIGN,wparam:10,data:QUJD->fail;");
    Slot(u"Card Reader");
    Login();

    ASSERT_EQ(Sign(64, "QU JD="), 0);
    const Bytes header = Request(64);
    const std::string name = "Global\\qorQorTessivonReturnFileMappingObject";
    const tessivo::SignHeader decoded = tessivo::DecodeSignHeader(header);
    EXPECT_EQ(decoded.length, 385u);
    EXPECT_EQ(decoded.channel, name);
    // 6, 0, the length and the name, then zero bytes.
    Bytes frame = tessivo::EncodeSignHeader(decoded);
    frame.resize(header.size(), 0);
    EXPECT_EQ(frame, header);
    const Bytes reply = Return(390);
    const std::string element(reply.begin(), reply.begin() + 385);
    EXPECT_EQ(element.rfind("<SignatureValue>", 0), 0u);
    EXPECT_EQ(element.substr(385 - 17), "</SignatureValue>");
    EXPECT_EQ(reply[385], 0);
    EXPECT_EQ(LastLine(), u"message:MWM_SIGN,wparam:12,data:QU JD=->sucess;");

    // The signature verifies with the certificate's key over "ABC".
    EXPECT_TRUE(SignsAbc(element));

    // The same data signs the same way again; mechanism 2 and short payloads fail.
    ASSERT_EQ(Sign(64, "QUJD"), 0);
    EXPECT_EQ(Return(385), Bytes(reply.begin(), reply.begin() + 385));
    EXPECT_EQ(Sign(2, "QUJD"), 1);
    EXPECT_EQ(Request(10)[6], 'Q'); // the failed request is left as it was
    EXPECT_EQ(Send(MWM_SIGN, Bytes{6, 0, 64}, 3), 1);
    EXPECT_EQ(LastLine(), u"message:MWM_SIGN,wparam:3,data:->fail;");
    EXPECT_EQ(Send(MWM_SIGN, Bytes{}, 0), 1);
    EXPECT_EQ(LastLine(), u"message:MWM_SIGN,wparam:0,data:->read data len=0;");
}

TEST_F(Session, SignDataReplies) {
    Start(CardConfig());
    Slot(u"Card Reader");
    Login();
    std::u16string reply;
    EXPECT_EQ(agent_->SignData(64, "QUJD", reply), 0u);
    EXPECT_EQ(reply.size(), 385u);
    for (std::uint32_t mechanism : {1u, 5u, 6u, 65u, 66u, 70u}) {
        std::u16string other;
        // For mechanism 1 "QUJD" stands for a (too short but accepted) DigestInfo.
        EXPECT_EQ(agent_->SignData(mechanism, "QUJD", other), 0u) << mechanism;
        EXPECT_NE(other, reply);
    }
    // A failure carries the library's code to the caller; the handler answers 1 all the same.
    std::u16string none;
    EXPECT_EQ(agent_->SignData(2, "QUJD", none), CRYPTO_MECHANISM_INVALID);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(Sign(2, "QUJD"), 1);
    agent_->Dispatch(window_, MWM_LOGOUT, 0, 0);
    agent_->ReleaseKey();
    EXPECT_EQ(agent_->SignData(64, "QUJD", none), 1u); // no key: nothing signed, no library code
}

// ---- faults ----

// What one road through the agent gave: the results and replies a peer would read.
struct RoadResult {
    std::uint32_t cardStatus = 0;
    std::string cardSerial;
    std::uint32_t loginStatus = 0;
    std::string certificate; // the return channel's text after the login
    std::u16string certInfo;
    std::int32_t firstSign = -1;
    std::string firstSignature; // the <SignatureValue> element
    std::int32_t secondSign = -1;
};

// Every call of the road fails in turn, with a value a pulled card or a confused module gives:
// the agent must neither crash nor hang (the sanitizer build runs this too), and whatever it
// reports as a success must be one.
TEST_F(Session, EveryModuleCallFailingInTurn) {
    const std::string log = config_.AddFile("calls.log", std::string());
    auto road = [&](const std::string& faults) {
        Start(CardConfig(faults));
        RoadResult r;
        Slot(u"Card Reader");
        agent_->Dispatch(window_, MWM_CARD, 0, 0);
        const Bytes card = Request(364);
        r.cardStatus = tessivo::DecodeCardRecord(card).status;
        r.cardSerial = tessivo::DecodeCardRecord(card).serial;
        SendText(MWM_LOGIN, u"123456");
        const Bytes login = Request(620);
        r.loginStatus = tessivo::DecodeLoginRecord(login).status;
        const Bytes certificate = Return(4096);
        r.certificate = UntilZero(certificate);
        agent_->Dispatch(window_, MWM_CERTINF, 0, 0);
        r.certInfo = agent_->m_CertInfo;
        r.firstSign = Sign(64, "QUJD");
        if (r.firstSign == 0) {
            const Bytes element = Return(tessivo::DecodeSignHeader(Request(6)).length);
            r.firstSignature.assign(element.begin(), element.end());
        }
        agent_->Dispatch(window_, MWM_LOGOUT, 0, 0);
        r.secondSign = Sign(64, "QUJD");
        agent_->Dispatch(window_, MWM_CARD, 0, 0);
        TearDown();
        agent_.reset();
        window_ = 0;
        return r;
    };
    const RoadResult clean = road("call_log = " + log + "\n");
    ASSERT_EQ(clean.loginStatus, 0u);
    ASSERT_EQ(clean.firstSign, 0);
    std::size_t calls = 0;
    for (char c : fixtures::ReadFileText(log))
        calls += c == '\n';
    ASSERT_GT(calls, 10u);

    // CKR_DEVICE_REMOVED and CKR_GENERAL_ERROR
    for (std::uint32_t rv : {0x32u, 0x5u}) {
        for (std::size_t n = 1; n <= calls; ++n) {
            SCOPED_TRACE("call " + std::to_string(n) + " failing with " + std::to_string(rv));
            const RoadResult r =
                road("fail_call = " + std::to_string(n) + " ; " + std::to_string(rv) + "\n");
            if (r.cardStatus == 0) {
                EXPECT_EQ(r.cardSerial, clean.cardSerial);
            }
            if (r.loginStatus == 0) {
                // A login stands even when the certificates cannot be read; then nothing is sent.
                EXPECT_TRUE(r.certificate.empty() || r.certificate == clean.certificate);
                EXPECT_TRUE(r.certInfo.empty() || r.certInfo == clean.certInfo);
            }
            // PKCS#1 v1.5 is deterministic: a signature reported is the one and only right one.
            if (r.firstSign == 0) {
                EXPECT_EQ(r.firstSignature, clean.firstSignature);
            }
            EXPECT_NE(r.secondSign, 0); // after the logout nothing signs
        }
    }
}

// A long session of every kind of request in turn: the replies stay right to the end and the
// sanitizer build finds nothing (leaks included) over 10,000 requests.
TEST_F(Session, TenThousandMixedRequests) {
    Start(CardConfig());
    constexpr int kRequests = 10000;
    Bytes firstSignature;
    int done = 0;
    for (int cycle = 0; done < kRequests; ++cycle) {
        Slot(u"Card Reader");
        ASSERT_EQ(agent_->Dispatch(window_, MWM_CARD, 0, 0), 0);
        ASSERT_EQ(tessivo::DecodeCardRecord(Request(364)).serial, "CARD0001");
        ASSERT_EQ(tessivo::DecodeLoginRecord(Login()).status, 0u) << cycle;
        ASSERT_EQ(agent_->Dispatch(window_, MWM_CERTINF, 0, 0), 0);
        ASSERT_EQ(Sign(64, "QUJD"), 0) << cycle;
        const Bytes signature = Return(tessivo::DecodeSignHeader(Request(6)).length);
        if (firstSignature.empty())
            firstSignature = signature;
        ASSERT_EQ(signature, firstSignature) << cycle;
        agent_->Dispatch(window_, MWM_LASTRESULT, 0, 0);
        ASSERT_EQ(agent_->Dispatch(window_, MWM_LOGOUT, 0, 0), 0);
        done += 8;
    }
}

} // namespace

// ---- cards of other kinds ----

namespace {

// OpenSC's handles are pointer values above 2^32: readers, login, certificate record and
// signing all work through them.
TEST_F(Session, PointerWideHandlesServeTheWholeRoad) {
    if (sizeof(CK_ULONG) < 8) {
        GTEST_SKIP() << "CK_ULONG is 32-bit here";
    }
    Start(CardConfig("wide_handles = 1\n"));
    Slot(u"Card Reader");
    ASSERT_EQ(agent_->m_SlotIndex, 1);
    const Bytes record = Login();
    ASSERT_EQ(tessivo::DecodeLoginRecord(record).status, 0u);
    EXPECT_EQ(tessivo::DecodeLoginRecord(record).cardSerial, "CARD0001");
    EXPECT_NE(agent_->m_CertInfo.find(u" ID='1234'"), std::u16string::npos);
    EXPECT_TRUE(SignAbc());
    EXPECT_EQ(agent_->Dispatch(window_, MWM_LOGOUT, 0, 0), 0);
    EXPECT_EQ(LastLine(), u"message:MWM_LOGOUT,wparam:0,data:->sucess;");
}

// A key with CKA_ALWAYS_AUTHENTICATE: one context-specific login with the PIN per signature,
// from a copy that lives only while logged in.
TEST_F(Session, KeyThatNeedsThePinForEveryUse) {
    Start(CardConfig("always_authenticate = 1\n" + LoginLogSetting()));
    Slot(u"Card Reader");
    ASSERT_EQ(tessivo::DecodeLoginRecord(Login()).status, 0u);
    std::shared_ptr<P11ContextPin> kept = KeptPin();
    ASSERT_NE(kept, nullptr);
    EXPECT_TRUE(kept->Held());
    EXPECT_TRUE(SignAbc());
    EXPECT_TRUE(SignAbc());
    EXPECT_EQ(LoginLog(), "user=1 length=6 rv=0x0\n"
                          "user=2 length=6 rv=0x0\n"
                          "user=2 length=6 rv=0x0\n");

    // Logout wipes the copy, though the agent's key still shares it.
    EXPECT_EQ(agent_->Dispatch(window_, MWM_LOGOUT, 0, 0), 0);
    EXPECT_FALSE(kept->Held());
    EXPECT_EQ(kept->Length(), 0u);

    // A refused login (after which the agent logs out) leaves no copy either.
    Slot(u"Card Reader");
    ASSERT_EQ(tessivo::DecodeLoginRecord(Login()).status, 0u);
    kept = KeptPin();
    ASSERT_NE(kept, nullptr);
    EXPECT_NE(tessivo::DecodeLoginRecord(Login(u"000000")).status, 0u);
    EXPECT_FALSE(kept->Held());
    EXPECT_EQ(KeptPin(), nullptr);
}

// A key without the attribute signs as before: no copy is kept and no further login is made.
TEST_F(Session, OrdinaryKeyKeepsNoPinAndLogsInOnce) {
    Start(CardConfig(LoginLogSetting()));
    Slot(u"Card Reader");
    ASSERT_EQ(tessivo::DecodeLoginRecord(Login()).status, 0u);
    EXPECT_EQ(KeptPin(), nullptr);
    EXPECT_TRUE(SignAbc());
    EXPECT_TRUE(SignAbc());
    EXPECT_EQ(LoginLog(), "user=1 length=6 rv=0x0\n");
}

// A context login the card refuses fails that signature; it is never tried again, since every
// try costs the holder one of the PIN's tries.
TEST_F(Session, RefusedContextLoginFailsTheSignatureWithoutARetry) {
    // The user login takes any PIN here, the per-use login only the right one.
    Start(CardConfig("always_authenticate = 1\nlogin_rv = 0\n" + LoginLogSetting()));
    Slot(u"Card Reader");
    ASSERT_EQ(tessivo::DecodeLoginRecord(Login(u"654321")).status, 0u);
    EXPECT_EQ(Sign(64, "QUJD"), 1);
    EXPECT_EQ(LastLine(), u"message:MWM_SIGN,wparam:10,data:QUJD->fail;");
    EXPECT_EQ(LoginLog(), "user=1 length=6 rv=0x0\n"
                          "user=2 length=6 rv=0xa0\n");
}

// A reader with a PIN pad: the peer sends an empty PIN (one zero code unit), the module gets a
// login with length 0 and the holder types the PIN on the reader; a key that needs the PIN before
// every use sends each of its logins to the pad as well.
TEST_F(Session, PinPadReaderLogsInWithAnEmptyPin) {
    const struct {
        const char* setting;
        const char* logins;
    } cases[] = {
        {"", "user=1 length=0 rv=0x0\n"},
        // A key that needs the PIN before every use asks the pad again.
        {"always_authenticate = 1\n", "user=1 length=0 rv=0x0\nuser=2 length=0 rv=0x0\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.setting);
        TearDown();
        std::remove(LoginLogPath().c_str());
        Start(CardConfig(std::string("protected_auth = 1\n") + c.setting + LoginLogSetting()));
        Slot(u"Card Reader");
        ASSERT_EQ(Send(MWM_LOGIN, Bytes{0, 0}, 1), 0);
        EXPECT_EQ(tessivo::DecodeLoginRecord(Request(620)).status, 0u);
        EXPECT_TRUE(SignAbc());
        EXPECT_EQ(LoginLog(), c.logins);
    }
}

} // namespace
