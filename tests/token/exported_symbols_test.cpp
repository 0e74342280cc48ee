// libvantrel.so exports exactly the library's 61 functions: 59 under their plain names and the
// two key-usage searches under their C++-decorated names, and nothing else.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<std::string> kExpected = {
    "BasicAsymDecrypt",
    "BasicAsymEncrypt",
    "BasicSign",
    "BasicVerify",
    "Cert2DER",
    "CloseLibrary",
    "DER2Cert",
    "FreeCert",
    "FreeKey",
    "GetAuthorityInfoAccess",
    "GetCAIssuers",
    "GetCRLDistributionPoint",
    "GetCardID",
    "GetCert",
    "GetCertAuthorityKeyIdentifier",
    "GetCertID",
    "GetCertNum",
    "GetCertPolicyOID",
    "GetCertPublicKey",
    "GetCertSerialNumber",
    "GetCertSignatureAlgorithm",
    "GetCertTypeID",
    "GetEnciphermentCert",
    "GetEnciphermentKey",
    "GetEntityOID",
    "GetExtensionDER",
    "GetGroupID",
    "GetIssuerDN",
    "GetKey",
    "GetKeyID",
    "GetKeyNum",
    "GetKeyUsage",
    "GetLibraryDesc",
    "GetNotAfter",
    "GetNotBefore",
    "GetOCSP",
    "GetSignatureCert",
    "GetSignatureKey",
    "GetSlotDesc",
    "GetSlotID",
    "GetSubjectAltName",
    "GetSubjectDN",
    "GetSubjectDirectoryAttribute",
    "GetSubjectHolderRank",
    "GetSubjectKeyIdentifier",
    "GetSubjectTypeOID",
    "GetTailOfCitizenID",
    "GetTokenLabel",
    "GetTokenSerialNumber",
    "GetUID",
    "GetUniformOrganizationID",
    "InitLibrary",
    "IsKeyUsageEncipherment",
    "IsKeyUsageSignature",
    "IsTokenPresent",
    "LoginToken",
    "LogoutToken",
    "P7B2Cert",
    "VerifyCert",
    // unsigned 32-bit GetCertByKU(PKCS11*, void**, unsigned char), and GetKeyByKU alike.
    "_Z11GetCertByKUP6PKCS11PPvh",
    "_Z10GetKeyByKUP6PKCS11PPvh",
};

// The functions the library defines in its dynamic symbol table ("nm -D --defined-only").
std::set<std::string> ExportedFunctions(const std::string& library) {
    const std::string command = "nm -D --defined-only '" + library + "'";
    std::unique_ptr<FILE, decltype(&pclose)> pipe(popen(command.c_str(), "r"), pclose);
    std::set<std::string> names;
    if (!pipe) {
        return names;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, pipe.get())) {
        std::istringstream fields(line);
        std::string address, type, name;
        if (fields >> address >> type >> name && (type == "T" || type == "W" || type == "i")) {
            names.insert(name);
        }
    }
    return names;
}

std::string Join(const std::set<std::string>& names) {
    std::string text;
    for (const auto& name : names) {
        text += "  " + name + "\n";
    }
    return text;
}

TEST(ExportedSymbols, LibraryExportsExactlyItsFunctions) {
    ASSERT_EQ(kExpected.size(), 61u);
    const std::set<std::string> exported = ExportedFunctions(TESSIVO_VANTREL_SO);
    ASSERT_FALSE(exported.empty()) << "nm found no functions in " << TESSIVO_VANTREL_SO;

    std::set<std::string> missing, extra;
    for (const auto& name : kExpected) {
        if (!exported.count(name)) {
            missing.insert(name);
        }
    }
    for (const auto& name : exported) {
        if (!kExpected.count(name)) {
            extra.insert(name);
        }
    }
    EXPECT_TRUE(missing.empty()) << missing.size() << " missing:\n" << Join(missing);
    EXPECT_TRUE(extra.empty()) << extra.size() << " not part of the API:\n" << Join(extra);
}

} // namespace
