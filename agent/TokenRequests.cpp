// The handlers of the token requests: each reads its payload from the request channel, calls
// its session operation, writes its reply frames and logs one line.
#include <algorithm>
#include <cstring>
#include <new>
#include <optional>
#include <vector>

#include <openssl/crypto.h>

#include "protocol/Frames.h"
#include "protocol/Messages.h"
#include "protocol/ResultCodes.h"
#include "agent/RequestHandlers.h"
#include "agent/SharedMemory.h"
#include "platform/text.h"
#include "platform/format.h"

namespace {

constexpr std::size_t kStatusTextUnits = 255;
// "憑證卡已逾期" (the certificate card has expired) in code page 950.
constexpr char kExpiredText[] = "\xBE\xCC\xC3\xD2\xA5\x64\xA4\x77\xB9\x4F\xB4\xC1";

// A request whose payload cannot fit in the channel is refused by the read anyway; it is not
// worth allocating a buffer for.
bool FitsChannel(std::uint64_t bytes) {
    return bytes <= static_cast<std::uint64_t>(kChannelSize);
}

int AsInt(std::uint32_t value) {
    return static_cast<int>(value);
}

// The outcomes of a request that ends before its payload is read.
constexpr char16_t kReadNothing[] = u"read data len=0";
constexpr char16_t kNoBuffer[] = u"new data =null";

std::u16string NoDataLine(const char16_t* message, std::uint32_t wParam, const char16_t* outcome) {
    return plat::Format(u"message:%s,wparam:%d,data:->%s;", message, AsInt(wParam), outcome);
}

} // namespace

// ---- MWM_SLOT ----

std::int32_t RequestHandlers::OnSlot(std::uint32_t wParam) {
    const std::uint64_t bytes = 2 * std::uint64_t(wParam);
    if (!FitsChannel(bytes)) {
        // The read would be refused: more than the channel holds.
        Log(NoDataLine(u"MWM_SLOT", wParam, kReadNothing));
        return -1;
    }
    std::vector<char16_t> text;
    try {
        text.assign(std::size_t(wParam) + 1, u'\0');
    } catch (const std::bad_alloc&) {
        Log(NoDataLine(u"MWM_SLOT", wParam, kNoBuffer));
        return -1;
    }
    const std::int32_t n =
        ReadSharedMemory(RequestChannel(), text.data(), static_cast<std::int32_t>(bytes));
    if (n <= 0) {
        Log(NoDataLine(u"MWM_SLOT", wParam, kReadNothing));
        return n;
    }
    LogReaders();
    card_.SelectReader(text.data());
    Log(plat::Format(u"message:MWM_SLOT,wparam:%d,data:%s->sucess;", AsInt(wParam), text.data()));
    return n;
}

void RequestHandlers::LogReaders() {
    const std::int32_t total = card_.ListReaders(nullptr, 0);
    if (total <= 0) {
        return;
    }
    std::vector<char16_t> list(static_cast<std::size_t>(total) + 2, u'\0');
    card_.ListReaders(list.data(), total);
    for (std::size_t pos = 0; pos < list.size() && list[pos] != u'\0';) {
        const char16_t* name = list.data() + pos;
        Log(plat::Format(u"DrviceName:%s", name));
        pos += std::char_traits<char16_t>::length(name) + 1;
    }
}

// ---- MWM_CARD ----

std::int32_t RequestHandlers::OnCard(std::uint32_t wParam) {
    const std::string serial = plat::NarrowText(card_.ReadCardSerial());
    const tessivo::Bytes record =
        tessivo::EncodeCardRecord({serial, serial.empty() ? tessivo::kStatusNoCard : 0});
    if (RequestChannel() == nullptr) {
        Log(NoDataLine(u"MWM_CARD", wParam, kNoBuffer));
        return 1;
    }
    // The line shows the serial as the record holds it, cut to its area.
    const std::u16string text = plat::WidenText(tessivo::DecodeCardRecord(record).serial);
    Log(plat::Format(u"message:MWM_CARD,wparam:%d,data:-%s;", AsInt(wParam), text.c_str()));
    WriteSharedMemory(RequestChannel(), record.data(), static_cast<std::int32_t>(record.size()));
    return 0;
}

// ---- MWM_LOGIN ----

std::int32_t RequestHandlers::OnLogin(std::uint32_t wParam) {
    const std::uint64_t bytes = 2 * std::uint64_t(wParam);
    if (!FitsChannel(bytes)) {
        Log(NoDataLine(u"MWM_LOGIN", wParam, kReadNothing));
        return 1;
    }
    std::vector<char16_t> pin;
    try {
        pin.assign(std::size_t(wParam) + 1, u'\0');
    } catch (const std::bad_alloc&) {
        Log(NoDataLine(u"MWM_LOGIN", wParam, kNoBuffer));
        return 1;
    }
    const std::int32_t n =
        ReadSharedMemory(RequestChannel(), pin.data(), static_cast<std::int32_t>(bytes));
    if (n <= 0) {
        OPENSSL_cleanse(pin.data(), pin.size() * sizeof(char16_t));
        Log(NoDataLine(u"MWM_LOGIN", wParam, kReadNothing));
        return 1;
    }
    const std::uint32_t code = card_.Login(pin.data());
    // The log shows one asterisk per PIN character; the PIN itself is wiped.
    const std::u16string stars(std::char_traits<char16_t>::length(pin.data()), u'*');
    OPENSSL_cleanse(pin.data(), pin.size() * sizeof(char16_t));

    std::u16string errorText;
    std::int32_t result = 1;
    if (code == 0) {
        result = WriteLoginSuccess() ? 0 : 1;
    } else {
        errorText = names_.ErrorText(static_cast<std::int32_t>(code & 0xFFFF));
        result = WriteLoginFailure(code, errorText) ? 0 : 1;
    }
    std::u16string status =
        plat::Format(u"%s(retval:%x)", code == 0 ? u"sucess" : errorText.c_str(), AsInt(code));
    if (status.size() > kStatusTextUnits) {
        status.resize(kStatusTextUnits);
    }
    Log(plat::Format(u"message:MWM_LOGIN,wparam:%d,data:%s->%s", AsInt(wParam), stars.c_str(),
                     status.c_str()));
    return result;
}

bool RequestHandlers::WriteLoginSuccess() {
    const std::string cardSerial = plat::NarrowText(card_.ReadCardSerial());
    if (RequestChannel() == nullptr || ReturnChannel() == nullptr) {
        return false;
    }
    tessivo::LoginRecord login;
    login.cardSerial = cardSerial;
    login.certSerial = plat::NarrowText(card_.certSerial);
    login.notAfter = plat::NarrowText(card_.notAfter);
    login.certLength = static_cast<std::uint16_t>(2 * card_.signCertB64.size());
    login.infoLength = static_cast<std::uint16_t>(2 * card_.certInfo.size());
    if (card_.IsCertExpired()) {
        login.status = tessivo::kStatusExpired;
        login.text = kExpiredText;
    } else {
        login.text = plat::NarrowText(channels_.returnName);
    }
    const tessivo::Bytes record = tessivo::EncodeLoginRecord(login);
    WriteSharedMemory(RequestChannel(), record.data(), static_cast<std::int32_t>(record.size()));
    const std::string certificate = plat::NarrowText(card_.signCertB64);
    WriteSharedMemory(ReturnChannel(), certificate.data(),
                      static_cast<std::int32_t>(certificate.size()));
    return true;
}

bool RequestHandlers::WriteLoginFailure(std::uint32_t code, const std::u16string& errorText) {
    if (RequestChannel() == nullptr) {
        return false;
    }
    tessivo::LoginRecord login;
    login.status = code;
    login.text = plat::NarrowText(errorText);
    const tessivo::Bytes record = tessivo::EncodeLoginRecord(login);
    WriteSharedMemory(RequestChannel(), record.data(), static_cast<std::int32_t>(record.size()));
    return true;
}

// ---- MWM_LOGOUT ----

std::int32_t RequestHandlers::OnLogout(std::uint32_t wParam) {
    const std::uint32_t result = card_.Logout();
    Log(plat::Format(u"message:MWM_LOGOUT,wparam:%d,data:->%s;", AsInt(wParam),
                     result == 0 ? u"sucess" : u"fail"));
    return static_cast<std::int32_t>(result);
}

// ---- MWM_CERTINF ----

std::int32_t RequestHandlers::OnCertInf(std::uint32_t wParam) {
    const auto bytes = static_cast<std::int32_t>(2 * card_.certInfo.size());
    WriteSharedMemory(RequestChannel(), card_.certInfo.data(), bytes);
    Log(plat::Format(u"message:MWM_CERTINF,wparam:%d,data:->%d;", AsInt(wParam), bytes));
    return 0;
}

// ---- MWM_SIGN ----

std::int32_t RequestHandlers::OnSign(std::uint32_t wParam) {
    if (!FitsChannel(wParam)) {
        Log(NoDataLine(u"MWM_SIGN", wParam, kReadNothing));
        return 1;
    }
    std::vector<char> request;
    try {
        request.assign(std::size_t(wParam) + 2, '\0');
    } catch (const std::bad_alloc&) {
        Log(NoDataLine(u"MWM_SIGN", wParam, kNoBuffer));
        return 1;
    }
    const std::int32_t n =
        ReadSharedMemory(RequestChannel(), request.data(), static_cast<std::int32_t>(wParam));
    if (n <= 0) {
        Log(NoDataLine(u"MWM_SIGN", wParam, kReadNothing));
        return 1;
    }
    // A payload without its 6-byte header carries neither mechanism nor data.
    const std::optional<tessivo::SignRequest> signRequest = tessivo::DecodeSignRequest(
        reinterpret_cast<const std::uint8_t*>(request.data()), static_cast<std::size_t>(n));
    if (!signRequest) {
        Log(plat::Format(u"message:MWM_SIGN,wparam:%d,data:%s->fail;", AsInt(wParam), u""));
        return 1;
    }
    const std::uint32_t mechanism = signRequest->mechanism;
    const char* data = signRequest->text.c_str();
    const std::u16string shown = plat::WidenText(data);

    std::u16string reply;
    if (card_.SignData(mechanism, data, reply) != 0) {
        Log(plat::Format(u"message:MWM_SIGN,wparam:%d,data:%s->fail;", AsInt(wParam),
                         shown.c_str()));
        return 1;
    }
    const std::u16string line =
        plat::Format(u"message:MWM_SIGN,wparam:%d,data:%s->sucess;", AsInt(wParam), shown.c_str());
    const std::string text = plat::NarrowText(reply);
    if (ReturnChannel() == nullptr) {
        Log(line);
        return 1;
    }
    WriteSharedMemory(ReturnChannel(), text.data(), static_cast<std::int32_t>(text.size()));

    const std::string channelName = plat::NarrowText(channels_.returnName);
    const std::size_t nameBytes = std::min(channels_.returnName.size(), channelName.size());
    const tessivo::Bytes signHeader = tessivo::EncodeSignHeader(
        {static_cast<std::uint16_t>(text.size()), channelName.substr(0, nameBytes)});
    WriteSharedMemory(RequestChannel(), signHeader.data(),
                      static_cast<std::int32_t>(signHeader.size()));
    Log(line);
    return 0;
}
