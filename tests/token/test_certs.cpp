#include "tests/token/test_certs.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace cert_test {

std::string CertPath(const std::string& file) {
#if defined(_WIN32)
    const std::string root = std::string("Z:") + TESSIVO_TEST_CERTS_DIR;
#else
    const std::string root = TESSIVO_TEST_CERTS_DIR;
#endif
    return root + "/" + file;
}

Bytes ReadFileBytes(const std::string& file) {
    std::ifstream in(CertPath(file), std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot open " << CertPath(file);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Expect::Expect(const std::string& certName) {
    std::ifstream in(CertPath(certName + ".expect"), std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot open the readings of " << certName;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const auto eq = line.find('=');
        if (eq != std::string::npos) {
            lines_.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
    }
}

std::string Expect::Get(const std::string& key) const {
    for (const auto& [k, v] : lines_) {
        if (k == key) {
            return v;
        }
    }
    return {};
}

std::vector<std::string> Expect::All(const std::string& key) const {
    std::vector<std::string> values;
    for (const auto& [k, v] : lines_) {
        if (k == key) {
            values.push_back(v);
        }
    }
    return values;
}

bool Expect::Has(const std::string& key) const {
    return !All(key).empty();
}

std::vector<std::pair<std::string, std::string>>
Expect::WithPrefix(const std::string& prefix) const {
    std::vector<std::pair<std::string, std::string>> found;
    for (const auto& [k, v] : lines_) {
        if (k.compare(0, prefix.size(), prefix) == 0) {
            found.emplace_back(k.substr(prefix.size()), v);
        }
    }
    return found;
}

CertPtr LoadCert(const std::string& certName) {
    const Bytes der = ReadFileBytes(certName + ".der");
    VR_CERT cert = nullptr;
    EXPECT_EQ(DER2Cert(der.data(), static_cast<std::int32_t>(der.size()), &cert), OK) << certName;
    EXPECT_NE(cert, nullptr) << certName;
    return CertPtr(cert);
}

Bytes FromHex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

Bytes AsBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

} // namespace cert_test
