#include "protocol/Base64.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <random>
#include <string>
#include <vector>

using tessivo::DecodeBase64Lenient;
using tessivo::EncodeBase64Lines;

namespace {

std::vector<std::uint8_t> RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::vector<std::uint8_t> out(n);
    for (auto& b : out)
        b = static_cast<std::uint8_t>(rng());
    return out;
}

std::string Encode(const std::vector<std::uint8_t>& data) {
    return EncodeBase64Lines(data.data(), data.size());
}

// OpenSSL's unbroken encoding, as an independent reference for the characters.
std::string Reference(const std::vector<std::uint8_t>& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data.data(),
                                  static_cast<int>(data.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

std::string WithoutLineBreaks(std::string text) {
    std::string out;
    for (char c : text) {
        if (c != '\r' && c != '\n')
            out += c;
    }
    return out;
}

std::string Bytes(const std::vector<std::uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

} // namespace

TEST(Base64Encode, ShortInputs) {
    EXPECT_EQ(EncodeBase64Lines(nullptr, 0), "");
    EXPECT_EQ(Encode({'A'}), "QQ==");
    EXPECT_EQ(Encode({'A', 'B'}), "QUI=");
    EXPECT_EQ(Encode({'A', 'B', 'C'}), "QUJD");
}

// Lines are 76 characters joined by CR LF; whole-line data (multiples of 57 bytes) also ends
// with CR LF, anything else has no break after its last line.
TEST(Base64Encode, LineLayoutAgainstOpenSsl) {
    for (std::size_t n : {1u, 56u, 57u, 58u, 113u, 114u, 115u, 128u, 171u, 256u, 1000u}) {
        SCOPED_TRACE(n);
        const auto data = RandomBytes(n, static_cast<unsigned>(n));
        const std::string text = Encode(data);
        EXPECT_EQ(WithoutLineBreaks(text), Reference(data));

        std::size_t pos = 0;
        std::size_t lines = 0;
        while (pos < text.size()) {
            const std::size_t end = text.find("\r\n", pos);
            const std::size_t len = (end == std::string::npos ? text.size() : end) - pos;
            if (end != std::string::npos && end + 2 < text.size()) {
                EXPECT_EQ(len, 76u) << "line " << lines;
            }
            EXPECT_LE(len, 76u);
            ++lines;
            pos = end == std::string::npos ? text.size() : end + 2;
        }
        const bool endsWithBreak =
            text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0;
        EXPECT_EQ(endsWithBreak, n % 57 == 0);
    }
}

TEST(Base64Encode, SignatureLengths) {
    // A 2048-bit signature: four full lines with CR LF and a 40-character last line.
    const std::string s2048 = Encode(RandomBytes(256, 1));
    EXPECT_EQ(s2048.size(), 352u);
    EXPECT_EQ(s2048.size() + 16 + 17, 385u);
    EXPECT_EQ(s2048.rfind("\r\n"), 4 * 78 - 2);
    EXPECT_EQ(s2048.compare(s2048.size() - 2, 2, "=="), 0);
    // A 1024-bit signature: two full lines and a 20-character last line with one "=".
    const std::string s1024 = Encode(RandomBytes(128, 2));
    EXPECT_EQ(s1024.size(), 176u);
    EXPECT_EQ(s1024.rfind("\r\n"), 2 * 78 - 2);
    EXPECT_EQ(s1024.back(), '=');
    EXPECT_NE(s1024[s1024.size() - 2], '=');
}

TEST(Base64Decode, LenientCases) {
    struct Case {
        std::string text;
        std::string bytes;
    };
    const Case cases[] = {
        {"QUJD", "ABC"},
        {"QU\r\nJD", "ABC"},
        {"QUJD=", "ABC"},
        {"QQ", "A"},
        {"QQ==", "A"},
        {"QUI", "AB"},
        {"Q", ""},
        {"", ""},
        {"====\r\n \t", ""},
        {" Q\x80U\xff J-D_", "ABC"},
        {"QUJD=QUJD", "ABCABC"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Bytes(DecodeBase64Lenient(c.text)), c.bytes);
    }
}

TEST(Base64Decode, RoundTripsLineBrokenText) {
    for (std::size_t n = 0; n < 300; n += 7) {
        const auto data = RandomBytes(n, static_cast<unsigned>(n + 100));
        EXPECT_EQ(DecodeBase64Lenient(Encode(data)), data) << n;
    }
}

TEST(Base64Strict, RoundTripsAndRejectsEveryOtherText) {
    for (std::size_t n = 0; n < 70; ++n) {
        std::vector<std::uint8_t> bytes(n);
        for (std::size_t i = 0; i < n; ++i) {
            bytes[i] = static_cast<std::uint8_t>(i * 37 + 11);
        }
        bool ok = false;
        EXPECT_EQ(tessivo::DecodeBase64Strict(tessivo::EncodeBase64(bytes), ok), bytes);
        EXPECT_TRUE(ok);
    }
    EXPECT_EQ(tessivo::EncodeBase64(std::string("ABCD")), "QUJDRA==");
    for (const char* bad : {"QUJ", "QUJD=", "Q===", "QU=D", "QUJD\n", " QUJD", "QR==", "QUJ="}) {
        bool ok = true;
        tessivo::DecodeBase64Strict(bad, ok);
        EXPECT_FALSE(ok) << bad;
    }
}

TEST(Base64Encode, OneLineMatchesOpenSsl) {
    for (std::size_t n : {0, 1, 2, 3, 57, 58, 1000}) {
        const std::vector<std::uint8_t> data = RandomBytes(n, static_cast<unsigned>(n));
        EXPECT_EQ(tessivo::EncodeBase64(data), Reference(data)) << n;
    }
}
