// The frames against literal bytes laid out as the agent and its peers exchange them, and
// encode -> decode round trips.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "protocol/Frames.h"
#include "protocol/Mechanisms.h"
#include "protocol/ResultCodes.h"

namespace {

using tessivo::Bytes;

Bytes Literal(std::initializer_list<int> values) {
    Bytes bytes;
    for (int v : values) {
        bytes.push_back(static_cast<std::uint8_t>(v));
    }
    return bytes;
}

void Place(Bytes& bytes, std::size_t offset, const std::string& text) {
    std::memcpy(bytes.data() + offset, text.data(), text.size());
}

TEST(TextRequest, IsLittleEndianUtf16EndingAtTheFirstZeroUnit) {
    const Bytes bytes = Literal({0x41, 0x00, 0x42, 0x00, 0x8B, 0x73});
    EXPECT_EQ(tessivo::EncodeTextRequest(u"AB\u738B"), bytes);
    EXPECT_EQ(tessivo::DecodeTextRequest(bytes.data(), bytes.size()), u"AB\u738B");
    // A zero unit ends the text; an odd last byte is no unit.
    const Bytes cut = Literal({0x31, 0x00, 0x00, 0x00, 0x32, 0x00});
    EXPECT_EQ(tessivo::DecodeTextRequest(cut.data(), cut.size()), u"1");
    EXPECT_EQ(tessivo::DecodeTextRequest(bytes.data(), 5), u"AB");
    EXPECT_TRUE(tessivo::EncodeTextRequest(u"").empty());
}

TEST(SignRequest, HeaderWordsAndTextAsSent) {
    const Bytes bytes = Literal({0x06, 0x00, 0x46, 0x00, 0x04, 0x00, 'Q', 'U', 'J', 'D'});
    EXPECT_EQ(tessivo::EncodeSignRequest({tessivo::kSha224RsaPkcs, "QUJD"}), bytes);
    const auto decoded = tessivo::DecodeSignRequest(bytes.data(), bytes.size());
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->mechanism, 0x46);
    EXPECT_EQ(decoded->text, "QUJD");

    // The mechanism is 16-bit unsigned; the length word is not trusted, the text ends at its
    // first zero byte or at the end of what was read.
    const Bytes high = Literal({0x06, 0x00, 0xFF, 0xFF, 0x01, 0x00, 'A', 'B', 0x00, 'C'});
    const auto odd = tessivo::DecodeSignRequest(high.data(), high.size());
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->mechanism, 0xFFFF);
    EXPECT_EQ(odd->text, "AB");
    EXPECT_EQ(tessivo::DecodeSignRequest(high.data(), 7)->text, "A");
    EXPECT_EQ(tessivo::DecodeSignRequest(high.data(), 6)->text, "");
    EXPECT_FALSE(tessivo::DecodeSignRequest(high.data(), 5));
    EXPECT_FALSE(tessivo::DecodeSignRequest(nullptr, 0));
}

TEST(SignHeader, LengthAndChannelName) {
    const Bytes bytes = Literal({0x06, 0x00, 0x00, 0x00, 0x81, 0x01, 'R', 'e', 't'});
    EXPECT_EQ(tessivo::EncodeSignHeader({385, "Ret"}), bytes);
    tessivo::SignHeader header = tessivo::DecodeSignHeader(bytes);
    EXPECT_EQ(header.length, 385);
    EXPECT_EQ(header.channel, "Ret");

    // As read from the channel: zero bytes follow the name.
    Bytes read(tessivo::kSignHeaderReadSize, 0);
    std::memcpy(read.data(), bytes.data(), bytes.size());
    EXPECT_EQ(tessivo::DecodeSignHeader(read).channel, "Ret");
    // A name filling the whole area is taken up to the area's end.
    std::memset(read.data() + 6, 'n', read.size() - 6);
    read.push_back('x');
    EXPECT_EQ(tessivo::DecodeSignHeader(read).channel, std::string(256, 'n'));
    EXPECT_EQ(tessivo::DecodeSignHeader(Literal({0x06, 0x00})).length, 0);
}

TEST(CardRecord, LayoutOfSerialAndStatus) {
    Bytes bytes(tessivo::kCardRecordSize, 0);
    bytes[0] = 0x6C; // 364
    bytes[1] = 0x01;
    Place(bytes, 2, "CARD0001");
    EXPECT_EQ(tessivo::EncodeCardRecord({"CARD0001", 0}), bytes);
    EXPECT_EQ(tessivo::DecodeCardRecord(bytes).serial, "CARD0001");
    EXPECT_EQ(tessivo::DecodeCardRecord(bytes).status, 0u);

    // No card: an empty serial and status 1 at offset 360.
    Bytes none(tessivo::kCardRecordSize, 0);
    none[0] = 0x6C;
    none[1] = 0x01;
    none[360] = 0x01;
    EXPECT_EQ(tessivo::EncodeCardRecord({"", tessivo::kStatusNoCard}), none);
    EXPECT_EQ(tessivo::DecodeCardRecord(none).status, tessivo::kStatusNoCard);

    // A 64-byte serial fills its area without a terminator; a longer one is cut there, and the
    // decoder stops at the area's end even when the next byte is not zero.
    const std::string serial(70, '9');
    Bytes full = tessivo::EncodeCardRecord({serial, 0});
    EXPECT_EQ(full[65], '9');
    EXPECT_EQ(full[66], 0);
    full[66] = 'x';
    EXPECT_EQ(tessivo::DecodeCardRecord(full).serial, serial.substr(0, 64));
    // A short read gives what it holds.
    EXPECT_EQ(tessivo::DecodeCardRecord(Bytes(full.begin(), full.begin() + 10)).serial,
              serial.substr(0, 8));
    EXPECT_EQ(tessivo::DecodeCardRecord(Bytes(full.begin(), full.begin() + 10)).status, 0u);
}

TEST(LoginRecord, LayoutAfterASuccessfulAndAFailedLogin) {
    Bytes bytes(tessivo::kLoginRecordSize, 0);
    bytes[0] = 0x6C;
    bytes[1] = 0x01;
    Place(bytes, 2, "CARD0001");
    Place(bytes, 66, "01a3");
    Place(bytes, 322, "2030.12.31");
    bytes[354] = 0x00; // 256
    bytes[355] = 0x01;
    bytes[356] = 0x34; // 0x1234
    bytes[357] = 0x12;
    bytes[358] = 0xCD; // 0xABCD
    bytes[359] = 0xAB;
    bytes[360] = 0xA3; // expired
    Place(bytes, 364, "ReturnChannel");

    tessivo::LoginRecord login;
    login.cardSerial = "CARD0001";
    login.certSerial = "01a3";
    login.notAfter = "2030.12.31";
    login.certLength = 0x1234;
    login.infoLength = 0xABCD;
    login.status = tessivo::kStatusExpired;
    login.text = "ReturnChannel";
    EXPECT_EQ(tessivo::EncodeLoginRecord(login), bytes);

    const tessivo::LoginRecord decoded = tessivo::DecodeLoginRecord(bytes);
    EXPECT_EQ(decoded.cardSerial, "CARD0001");
    EXPECT_EQ(decoded.certSerial, "01a3");
    EXPECT_EQ(decoded.notAfter, "2030.12.31");
    EXPECT_EQ(decoded.textWidth, 256);
    EXPECT_EQ(decoded.certLength, 0x1234);
    EXPECT_EQ(decoded.infoLength, 0xABCD);
    EXPECT_EQ(decoded.status, tessivo::kStatusExpired);
    EXPECT_EQ(decoded.text, "ReturnChannel");

    // A failed login: only the text width, the full 32-bit code and the error text.
    tessivo::LoginRecord failed;
    failed.status = tessivo::kPinLengthRange;
    failed.text = "error";
    Bytes expected(tessivo::kLoginRecordSize, 0);
    expected[0] = 0x6C;
    expected[1] = 0x01;
    expected[355] = 0x01;
    expected[360] = 0xA2;
    expected[363] = 0xDA;
    Place(expected, 364, "error");
    EXPECT_EQ(tessivo::EncodeLoginRecord(failed), expected);
    EXPECT_EQ(tessivo::DecodeLoginRecord(expected).status, 0xDA0000A2u);
}

TEST(LoginRecord, OverlongTextsStayInTheirAreasAndTerminated) {
    tessivo::LoginRecord login;
    login.cardSerial = std::string(100, 'c');
    login.certSerial = std::string(300, 's');
    login.notAfter = std::string(40, 'd');
    login.text = std::string(300, 't');
    const Bytes bytes = tessivo::EncodeLoginRecord(login);
    ASSERT_EQ(bytes.size(), tessivo::kLoginRecordSize);
    const struct {
        std::size_t offset, width;
    } areas[] = {{2, 64}, {66, 256}, {322, 32}, {364, 256}};
    for (const auto& area : areas) {
        EXPECT_NE(bytes[area.offset + area.width - 2], 0) << area.offset;
        EXPECT_EQ(bytes[area.offset + area.width - 1], 0) << area.offset;
    }
    EXPECT_EQ(bytes[354], 0x00); // the text width is not overwritten
    EXPECT_EQ(bytes[355], 0x01);
    const tessivo::LoginRecord decoded = tessivo::DecodeLoginRecord(bytes);
    EXPECT_EQ(decoded.cardSerial, std::string(63, 'c'));
    EXPECT_EQ(decoded.certSerial, std::string(255, 's'));
    EXPECT_EQ(decoded.notAfter, std::string(31, 'd'));
    EXPECT_EQ(decoded.text, std::string(255, 't'));
    EXPECT_EQ(decoded.status, 0u);
}

TEST(LogFrame, TextAtTheFramesOwnOffset) {
    const Bytes bytes = Literal({0x04, 0x00, 0x00, 0x00, 'l', 'o', 'g'});
    EXPECT_EQ(tessivo::EncodeLogFrame("log"), bytes);
    EXPECT_EQ(tessivo::DecodeLogFrame(bytes), "log");
    Bytes read = bytes;
    read.resize(64, 0);
    EXPECT_EQ(tessivo::DecodeLogFrame(read), "log");
    // The offset word is the frame's own, not a fixed 4.
    EXPECT_EQ(tessivo::DecodeLogFrame(Literal({0x03, 0x00, 'x', 'y', 'z', 0x00, 'w'})), "yz");
    EXPECT_EQ(tessivo::DecodeLogFrame(Literal({0x09, 0x00, 'x'})), "");
    EXPECT_EQ(tessivo::DecodeLogFrame(Literal({0x04})), "");
    EXPECT_EQ(tessivo::EncodeLogFrame(""), Literal({0x04, 0x00, 0x00, 0x00}));
}

TEST(Mechanisms, NumbersNamesAndHashes) {
    const struct {
        const char* shortName;
        std::uint32_t number;
        const char* name;
        bool hashed;
    } cases[] = {
        {"raw", 1, "CKM_RSA_PKCS", false},           {"md5", 5, "CKM_MD5_RSA_PKCS", true},
        {"sha1", 6, "CKM_SHA1_RSA_PKCS", true},      {"sha224", 70, "CKM_SHA224_RSA_PKCS", true},
        {"sha256", 64, "CKM_SHA256_RSA_PKCS", true}, {"sha384", 65, "CKM_SHA384_RSA_PKCS", true},
        {"sha512", 66, "CKM_SHA512_RSA_PKCS", true},
    };
    EXPECT_EQ(tessivo::Mechanisms().size(), std::size(cases));
    for (const auto& c : cases) {
        const tessivo::Mechanism* byName = tessivo::FindMechanism(std::string(c.shortName));
        ASSERT_NE(byName, nullptr) << c.shortName;
        EXPECT_EQ(byName, tessivo::FindMechanism(c.number));
        EXPECT_EQ(byName->number, c.number);
        EXPECT_STREQ(byName->name, c.name);
        EXPECT_EQ(byName->hash.has_value(), c.hashed) << c.shortName;
    }
    EXPECT_EQ(tessivo::FindMechanism(0x41)->hash, tessivo::HashAlgorithm::Sha384);
    EXPECT_EQ(tessivo::FindMechanism(std::uint32_t{2}), nullptr);
    EXPECT_EQ(tessivo::FindMechanism(std::string("SHA256")), nullptr);
}

} // namespace
