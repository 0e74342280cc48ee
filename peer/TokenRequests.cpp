#include "peer/TokenRequests.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <thread>

#include <openssl/crypto.h>

#include "agent/Protocol.h"
#include "peer/Script.h"
#include "platform/codepage.h"
#include "platform/mapping.h"

namespace peer {

namespace {

// The most of the return channel's name that is read after the sign header.
constexpr std::size_t kSignNameArea = 256;
constexpr char kReaderLinePrefix[] = "DrviceName:";

std::uint32_t get16(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    if (offset + 2 > bytes.size()) {
        return 0;
    }
    return bytes[offset] | (std::uint32_t(bytes[offset + 1]) << 8);
}

std::uint32_t get32(const std::vector<std::uint8_t>& bytes, std::size_t offset) {
    return get16(bytes, offset) | (get16(bytes, offset + 2) << 16);
}

// Narrow text of an area: up to its first zero byte or its end.
std::string area_text(const std::vector<std::uint8_t>& bytes, std::size_t offset,
                      std::size_t width) {
    std::string text;
    for (std::size_t i = offset; i < offset + width && i < bytes.size() && bytes[i] != 0; ++i) {
        text.push_back(static_cast<char>(bytes[i]));
    }
    return text;
}

std::string area_text(const std::vector<std::uint8_t>& bytes, RecordArea area) {
    return area_text(bytes, area.offset, area.width);
}

std::string until_zero(const std::vector<std::uint8_t>& bytes) {
    return area_text(bytes, 0, bytes.size());
}

std::vector<std::uint8_t> utf16_payload(const std::u16string& text) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(text.size() * 2);
    for (char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

nlohmann::json result_of(std::uint32_t message, std::int32_t result) {
    return {{"request", request_name(message)}, {"result", result}};
}

// Watches the log channel while the agent lists its readers. The channel holds only the latest
// entry, so every frame is taken as it appears, through one view kept for the whole request.
class log_watch {
public:
    explicit log_watch(plat::MappingHandle handle) : view_(plat::MapView(handle)) {
        if (view_.data != nullptr) {
            thread_ = std::thread([this] { run(); });
            // The agent lists its readers within moments of the request: the watch must already
            // be looking when the request goes out.
            while (!watching_) {
                std::this_thread::yield();
            }
        }
    }
    ~log_watch() {
        stop();
        if (view_.data != nullptr) {
            plat::UnmapView(view_);
        }
    }
    log_watch(const log_watch&) = delete;
    log_watch& operator=(const log_watch&) = delete;

    // The reader lines seen, in order; call once the request has returned.
    std::vector<std::string> finish() {
        stop();
        return lines_;
    }

private:
    void stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    std::string snapshot() const {
        constexpr std::size_t kLook = kLogTextOffset + 1024;
        std::vector<std::uint8_t> bytes(view_.data, view_.data + std::min(kLook, view_.size));
        if (get16(bytes, 0) != kLogTextOffset) {
            return {};
        }
        return area_text(bytes, kLogTextOffset, bytes.size() - kLogTextOffset);
    }

    void run() {
        std::string previous;
        std::string taken;
        bool changed = true;
        // Check once more after the stop so that the last frame is not missed.
        for (bool last = false; !last;) {
            last = stop_;
            const std::string text = snapshot();
            if (text != taken) {
                changed = true;
            }
            // A frame counts once it reads the same twice in a row (not caught mid-write); a
            // frame equal to the one taken before counts again once something else was seen in
            // between (two readers of one description).
            if (changed && !text.empty() && text == previous &&
                text.rfind(kReaderLinePrefix, 0) == 0) {
                lines_.push_back(text);
                taken = text;
                changed = false;
            }
            previous = text;
            watching_ = true;
        }
    }

    plat::MappedView view_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> watching_{false};
    std::vector<std::string> lines_;
    std::thread thread_;
};

} // namespace

std::u16string utf8_to_u16(const std::string& text) {
    if (text.empty()) {
        return {};
    }
    const int units = plat::MultiByteToWide(plat::kCpUtf8, 0, text.data(),
                                            static_cast<int>(text.size()), nullptr, 0);
    if (units <= 0) {
        return {};
    }
    std::u16string wide(static_cast<std::size_t>(units), u'\0');
    plat::MultiByteToWide(plat::kCpUtf8, 0, text.data(), static_cast<int>(text.size()), &wide[0],
                          units);
    return wide;
}

std::string u16_to_utf8(const std::u16string& text) {
    if (text.empty()) {
        return {};
    }
    const int bytes = plat::WideToMultiByte(plat::kCpUtf8, 0, text.data(),
                                            static_cast<int>(text.size()), nullptr, 0);
    if (bytes <= 0) {
        return {};
    }
    std::string narrow(static_cast<std::size_t>(bytes), '\0');
    plat::WideToMultiByte(plat::kCpUtf8, 0, text.data(), static_cast<int>(text.size()), &narrow[0],
                          bytes);
    return narrow;
}

std::optional<std::uint32_t> parse_mechanism(const std::string& text) {
    static const std::map<std::string, std::uint32_t> names = {
        {"raw", 1},     {"md5", 5},     {"sha1", 6},    {"sha224", 70},
        {"sha256", 64}, {"sha384", 65}, {"sha512", 66},
    };
    const auto found = names.find(text);
    if (found != names.end()) {
        return found->second;
    }
    try {
        std::size_t used = 0;
        const unsigned long value = std::stoul(text, &used, 0);
        if (used == text.size() && value <= 0xFFFF) {
            return static_cast<std::uint32_t>(value);
        }
    } catch (const std::exception&) {
    }
    return std::nullopt;
}

nlohmann::json token_requests::slot(const std::u16string& reader) {
    session_.write_request(utf16_payload(reader));
    return result_of(MWM_SLOT, session_.send(MWM_SLOT, reader.size(), 0));
}

nlohmann::json token_requests::card() {
    nlohmann::json out = result_of(MWM_CARD, session_.send(MWM_CARD, 0, 0));
    if (out["result"] == 0) {
        const std::vector<std::uint8_t> record = session_.read_request(kCardRecordSize);
        out["serial"] = ansi_to_utf8(area_text(record, kCardSerialArea));
        out["noCard"] = get32(record, kStatusOffset) == 1;
    }
    return out;
}

nlohmann::json token_requests::login(const std::string& pin_utf8) {
    std::u16string pin = utf8_to_u16(pin_utf8);
    std::vector<std::uint8_t> payload = utf16_payload(pin);
    session_.write_request(payload);
    const std::size_t units = pin.size();
    OPENSSL_cleanse(&pin[0], pin.size() * sizeof(char16_t));
    if (!payload.empty()) {
        OPENSSL_cleanse(payload.data(), payload.size());
    }
    nlohmann::json out = result_of(MWM_LOGIN, session_.send(MWM_LOGIN, units, 0));
    if (out["result"] != 0) {
        return out;
    }
    const std::vector<std::uint8_t> record = session_.read_request(kLoginRecordSize);
    const std::uint32_t status = get32(record, kStatusOffset);
    out["status"] = status;
    out["serial"] = ansi_to_utf8(area_text(record, kCardSerialArea));
    out["certSerial"] = ansi_to_utf8(area_text(record, kCertSerialArea));
    out["notAfter"] = ansi_to_utf8(area_text(record, kNotAfterArea));
    out["text"] = ansi_to_utf8(area_text(record, kRecordTextArea));
    if (status == 0 || status == kStatusExpired) {
        out["certificate"] = until_zero(session_.read_return(kChannelSize));
    }
    return out;
}

nlohmann::json token_requests::logout() {
    return result_of(MWM_LOGOUT, session_.send(MWM_LOGOUT, 0, 0));
}

nlohmann::json token_requests::certinfo() {
    nlohmann::json out = result_of(MWM_CERTINF, session_.send(MWM_CERTINF, 0, 0));
    const std::vector<std::uint8_t> bytes = session_.read_request(kChannelSize);
    std::u16string record;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const char16_t unit = static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (unit == 0) {
            break;
        }
        record.push_back(unit);
    }
    out["record"] = u16_to_utf8(record);
    return out;
}

nlohmann::json token_requests::sign(std::uint32_t mechanism, const std::string& base64) {
    std::vector<std::uint8_t> payload = {kSignHeaderSize,
                                         0,
                                         static_cast<std::uint8_t>(mechanism & 0xFF),
                                         static_cast<std::uint8_t>((mechanism >> 8) & 0xFF),
                                         static_cast<std::uint8_t>(base64.size() & 0xFF),
                                         static_cast<std::uint8_t>((base64.size() >> 8) & 0xFF)};
    payload.insert(payload.end(), base64.begin(), base64.end());
    session_.write_request(payload);
    nlohmann::json out = result_of(MWM_SIGN, session_.send(MWM_SIGN, payload.size(), 0));
    if (out["result"] != 0) {
        return out;
    }
    const std::vector<std::uint8_t> header = session_.read_request(kSignHeaderSize + kSignNameArea);
    const std::uint32_t length = get16(header, 4);
    out["length"] = length;
    out["channel"] = ansi_to_utf8(area_text(header, kSignHeaderSize, kSignNameArea));
    out["signature"] = area_text(session_.read_return(length), 0, length);
    return out;
}

namespace {

// Adds the names of one pass to the list of all passes. A pass sees the readers in their order
// but may miss some, so each name it saw is placed after the one it saw before it. Returns
// whether the list grew.
bool merge_pass(std::vector<std::string>& merged, const std::vector<std::string>& pass) {
    bool grew = false;
    std::size_t position = 0;
    for (const std::string& name : pass) {
        auto found = std::find(merged.begin() + position, merged.end(), name);
        if (found == merged.end()) {
            found = merged.insert(merged.begin() + position, name);
            grew = true;
        }
        position = static_cast<std::size_t>(found - merged.begin()) + 1;
    }
    return grew;
}

} // namespace

std::vector<std::string> token_requests::readers() {
    // A text no reader is expected to have: the agent lists every reader before it selects.
    const std::u16string probe = u"\u2400";
    // The reader lines reach the peer only as log frames, and the log channel holds the latest
    // one alone: a busy machine can keep the watch from seeing some of them. Every pass lists
    // all readers, so the passes are merged until a reader missed by all of them has become
    // unlikely, judged by how many of the known readers the passes saw.
    constexpr int kMaxPasses = 200;
    constexpr int kPassesWhenNothingSeen = 20;
    constexpr int kQuietPasses = 4;
    constexpr double kMissedChance = 1e-3;
    std::vector<std::string> merged;
    std::size_t seen = 0;
    int quiet = 0;
    for (int pass = 1; pass <= kMaxPasses; ++pass) {
        std::vector<std::string> lines;
        {
            log_watch watch(session_.log_handle());
            slot(probe);
            lines = watch.finish();
        }
        std::vector<std::string> names;
        for (const std::string& line : lines) {
            names.push_back(ansi_to_utf8(line.substr(std::strlen(kReaderLinePrefix))));
        }
        seen += names.size();
        quiet = merge_pass(merged, names) ? 0 : quiet + 1;
        if (merged.empty()) {
            if (pass >= kPassesWhenNothingSeen) {
                break;
            }
            continue;
        }
        // The chance that a pass sees a given reader, and that all passes missed one.
        const double caught = std::min(1.0, double(seen) / (double(pass) * merged.size()));
        if (quiet >= kQuietPasses && std::pow(1.0 - caught, pass) < kMissedChance) {
            break;
        }
    }
    return merged;
}

void add_token_commands(script_runner& runner, token_requests& requests) {
    using args_t = const std::vector<std::string>&;
    runner.add("slot", [&requests](args_t args) -> std::optional<nlohmann::json> {
        std::string text;
        for (std::size_t i = 0; i < args.size(); ++i) {
            text += (i > 0 ? " " : "") + args[i];
        }
        return requests.slot(utf8_to_u16(text));
    });
    runner.add("card", [&requests](args_t args) -> std::optional<nlohmann::json> {
        if (!args.empty()) {
            throw script_error("usage: card");
        }
        return requests.card();
    });
    runner.add("login", [&requests](args_t args) -> std::optional<nlohmann::json> {
        if (args.size() > 1) {
            throw script_error("usage: login PIN");
        }
        return requests.login(args.empty() ? std::string() : args[0]);
    });
    runner.add("logout", [&requests](args_t args) -> std::optional<nlohmann::json> {
        if (!args.empty()) {
            throw script_error("usage: logout");
        }
        return requests.logout();
    });
    runner.add("certinfo", [&requests](args_t args) -> std::optional<nlohmann::json> {
        if (!args.empty()) {
            throw script_error("usage: certinfo");
        }
        return requests.certinfo();
    });
    runner.add("sign", [&requests](args_t args) -> std::optional<nlohmann::json> {
        if (args.empty() || args.size() > 2) {
            throw script_error("usage: sign MECH BASE64");
        }
        const std::optional<std::uint32_t> mechanism = parse_mechanism(args[0]);
        if (!mechanism) {
            throw script_error("not a mechanism: " + args[0]);
        }
        return requests.sign(*mechanism, args.size() == 2 ? args[1] : std::string());
    });
}

} // namespace peer
