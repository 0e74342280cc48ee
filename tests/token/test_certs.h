// Access to the certificates made by the fixture maker and to what openssl read from them.
#pragma once

#include "vantrel.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace cert_test {

using Bytes = std::vector<unsigned char>;

// Path of a file in the generated certificate folder (a Z: path under Wine).
std::string CertPath(const std::string& file);
Bytes ReadFileBytes(const std::string& file);

// NAME.expect: "key=value" lines in file order; a key may repeat.
class Expect {
public:
    explicit Expect(const std::string& certName);
    // The first value of key, or "" when absent.
    std::string Get(const std::string& key) const;
    std::vector<std::string> All(const std::string& key) const;
    bool Has(const std::string& key) const;
    // Every key starting with prefix, with its value, in file order.
    std::vector<std::pair<std::string, std::string>> WithPrefix(const std::string& prefix) const;

private:
    std::vector<std::pair<std::string, std::string>> lines_;
};

struct CertFree {
    void operator()(void* cert) const { FreeCert(cert); }
};
using CertPtr = std::unique_ptr<void, CertFree>;

// Parses NAME.der with DER2Cert; fails the test when it cannot.
CertPtr LoadCert(const std::string& certName);

Bytes FromHex(const std::string& hex);
std::string Text(const Bytes& bytes);
Bytes AsBytes(const std::string& text);

} // namespace cert_test
