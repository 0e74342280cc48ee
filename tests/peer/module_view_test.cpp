// The module view's failures carry what failed, and tessivo-peer reads them in one place: no
// module to view is the module's failure (exit status 3), a refusal after that an ordinary one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "peer/ModuleView.h"
#include "peer/PeerError.h"
#include "tests/fixtures/files.h"
#include "tests/fixtures/test_module.h"

namespace {

using fixtures::TempDir;
using fixtures::WriteFileBytes;
using tessivo::Fault;

const std::string kCard = "slot = View Reader ; 1 ; VIEW ; VIEW0001\npin = 123456\n";

TEST(ModuleViewTest, AFileThatIsNoModuleIsTheModulesFailure) {
    TempDir dir;
    const std::string missing = dir.Path() + "/missing-module";
    const std::string notModule = dir.Path() + "/not-a-module";
    WriteFileBytes(notModule, "plain text");
    for (const std::string& path : {missing, notModule}) {
        peer::ModuleView view;
        std::string error;
        const tessivo::Status status = view.Open(NativePath(path), error);
        EXPECT_EQ(status.fault, Fault::NoModule) << path;
        EXPECT_EQ(peer::ExitStatus(peer::ModuleViewError(status)), 3) << path;
        EXPECT_NE(error.find("cannot load the PKCS#11 module"), std::string::npos) << error;
    }
}

TEST(ModuleViewTest, AModuleThatRefusesToStartIsTheModulesFailureWithItsCode) {
    TestModuleConfig refused("initialize_rv = 0x30\n");
    peer::ModuleView view;
    std::string error;
    const tessivo::Status status = view.Open(TestModulePath(), error);
    EXPECT_EQ(status.fault, Fault::NoModule);
    EXPECT_EQ(status.p11, 0x30u);
    EXPECT_EQ(peer::ExitStatus(peer::ModuleViewError(status)), 3);
    EXPECT_NE(error.find("refused to start (0x30)"), std::string::npos) << error;
}

TEST(ModuleViewTest, ARefusalAfterOpeningIsAnOrdinaryFailureWithTheModulesCode) {
    // The module's first call after C_Initialize is the slot count.
    TestModuleConfig slotsRefused(kCard + "fail_call = 1 ; 0x30\n");
    {
        peer::ModuleView view;
        std::string error;
        ASSERT_TRUE(view.Open(TestModulePath(), error).Ok()) << error;
        std::vector<peer::SlotView> slots;
        const tessivo::Status status = view.Slots(slots, error);
        EXPECT_EQ(status.fault, Fault::Refused);
        EXPECT_EQ(status.p11, 0x30u);
        EXPECT_EQ(peer::ExitStatus(peer::ModuleViewError(status)), 1);
        EXPECT_NE(error.find("cannot list its slots (0x30)"), std::string::npos) << error;
    }
    // Slots take four calls (count, list, slot and token information); the fifth opens the
    // session the certificates are read on.
    TestModuleConfig certificatesRefused(kCard + "fail_call = 5 ; 0xE0\n");
    peer::ModuleView view;
    std::string error;
    ASSERT_TRUE(view.Open(TestModulePath(), error).Ok()) << error;
    std::vector<peer::SlotView> slots;
    ASSERT_TRUE(view.Slots(slots, error).Ok()) << error;
    ASSERT_EQ(slots.size(), 1u);
    std::vector<peer::PublicCertificate> certificates;
    const tessivo::Status status = view.PublicCertificates(slots[0].id, certificates, error);
    EXPECT_EQ(status.fault, Fault::Refused);
    EXPECT_EQ(status.p11, 0xE0u);
    EXPECT_EQ(peer::ExitStatus(peer::ModuleViewError(status)), 1);
    EXPECT_NE(error.find("certificates (0xe0)"), std::string::npos) << error;
}

} // namespace
