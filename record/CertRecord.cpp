#include "record/CertRecord.h"

#include <cstdint>
#include <ctime>
#include <memory>

#include "platform/text.h"
#include "record/CertDates.h"
#include "record/CertFields.h"

namespace tessivo {
namespace {

constexpr std::int32_t kSerialBuffer = 1024;

} // namespace

std::u16string WidenRecordValue(const std::string& narrow) {
    if (narrow.empty()) {
        return {};
    }
    std::vector<char16_t> buffer(narrow.size() + 1, u'\0');
    plat::WidenInto(narrow.data(), static_cast<int>(narrow.size()), buffer.data(),
                    static_cast<int>(buffer.size()));
    return std::u16string(buffer.data());
}

std::optional<std::u16string> CertSerialText(VR_CERT cert) {
    unsigned char serial[kSerialBuffer] = {};
    std::int32_t serialLength = kSerialBuffer;
    if (GetCertSerialNumber(cert, serial, &serialLength) != OK || serialLength < 0 ||
        serialLength > kSerialBuffer) {
        return std::nullopt;
    }
    return HexText(std::string(reinterpret_cast<const char*>(serial), serialLength));
}

std::optional<std::u16string> NotAfterText(VR_CERT cert) {
    std::tm notAfter{};
    if (GetNotAfter(cert, &notAfter) != OK) {
        return std::nullopt;
    }
    return LocalDateText(UtcToInstant(notAfter));
}

std::u16string BuildCertRecord(VR_CERT cert, const std::u16string& certSerial,
                               const WidenFn& widen) {
    return FormatCertInfo(ReadCertInfoFields(cert), certSerial, widen);
}

std::optional<CertRecord> BuildCertRecord(const std::vector<std::uint8_t>& der,
                                          const WidenFn& widen) {
    VR_CERT cert = nullptr;
    if (der.empty() || der.size() > static_cast<std::size_t>(INT32_MAX) ||
        DER2Cert(der.data(), static_cast<std::int32_t>(der.size()), &cert) != OK) {
        return std::nullopt;
    }
    const std::unique_ptr<void, VR_RESULT (*)(VR_CERT)> owner(cert, FreeCert);
    CertRecord out;
    out.record = BuildCertRecord(cert, CertSerialText(cert).value_or(std::u16string()), widen);
    out.notAfter = NotAfterText(cert).value_or(std::u16string());
    return out;
}

} // namespace tessivo
