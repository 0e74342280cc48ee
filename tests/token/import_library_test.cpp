// A program built against vantrel.h and nothing of the library but its import library (Windows)
// or its shared object: it runs on Vantrel.dll / libvantrel.so as any program of a vendor would.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/fixtures/test_module.h"
#include "vantrel.h"

namespace {

TEST(ImportLibrary, LibraryFrameOnTheTestModule) {
    PKCS11 p11{};
    char text[128];
    std::uint32_t len = sizeof text;
    EXPECT_EQ(GetLibraryDesc(&p11, text, &len), BASIC_MODULE_NOT_LOADED);
    EXPECT_EQ(InitLibrary("no-such-pkcs11-module.dll", &p11), 0xDA000006u);

    TestModuleConfig config;
    ASSERT_EQ(InitLibrary(TestModulePath().c_str(), &p11), OK);
    len = sizeof text;
    EXPECT_EQ(GetLibraryDesc(&p11, text, &len), OK);
    EXPECT_GT(len, 0u);
    VR_SLOT_ID slots[8];
    std::uint32_t count = 8;
    EXPECT_EQ(GetSlotID(&p11, slots, &count), OK);
    EXPECT_GE(count, 1u);
    EXPECT_EQ(CloseLibrary(&p11), OK);
}

TEST(ImportLibrary, CertificateAccessors) {
    const std::vector<unsigned char> der =
        fixtures::ReadFileBytes(std::string(TESSIVO_TEST_CERTS_DIR) + "/citizen.der");
    ASSERT_FALSE(der.empty());
    VR_CERT cert = nullptr;
    ASSERT_EQ(DER2Cert(der.data(), static_cast<std::int32_t>(der.size()), &cert), OK);
    char subject[512];
    std::int32_t len = sizeof subject;
    EXPECT_EQ(GetSubjectDN(cert, 0, subject, &len), OK);
    EXPECT_EQ(std::string(subject), "C=TW,O=Tessivo Citizens,CN=\u738b\u5c0f\u660e");
    EXPECT_EQ(FreeCert(cert), OK);
}

} // namespace
