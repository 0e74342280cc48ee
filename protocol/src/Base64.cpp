#include "protocol/Base64.h"

namespace tessivo {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kBytesPerLine = 57; // 76 characters
constexpr std::size_t kCharsPerLine = 76;

// The 6-bit value of a Base64 character, or -1 for anything else.
int SextetOf(unsigned char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

void AppendQuantum(std::string& out, const std::uint8_t* in, std::size_t n) {
    std::uint32_t bits = std::uint32_t(in[0]) << 16;
    if (n > 1)
        bits |= std::uint32_t(in[1]) << 8;
    if (n > 2)
        bits |= in[2];
    out += kAlphabet[(bits >> 18) & 0x3F];
    out += kAlphabet[(bits >> 12) & 0x3F];
    out += n > 1 ? kAlphabet[(bits >> 6) & 0x3F] : '=';
    out += n > 2 ? kAlphabet[bits & 0x3F] : '=';
}

} // namespace

std::string EncodeBase64(const std::uint8_t* data, std::size_t length) {
    std::string out;
    if (length == 0 || data == nullptr)
        return out;
    out.reserve((length + 2) / 3 * 4);
    for (std::size_t pos = 0; pos < length; pos += 3) {
        AppendQuantum(out, data + pos, length - pos < 3 ? length - pos : 3);
    }
    return out;
}

std::string EncodeBase64(const std::vector<std::uint8_t>& data) {
    return EncodeBase64(data.data(), data.size());
}

std::string EncodeBase64(const std::string& data) {
    return EncodeBase64(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

std::string EncodeBase64Lines(const std::uint8_t* data, std::size_t length) {
    std::string out;
    if (length == 0 || data == nullptr)
        return out;
    const std::size_t chars = (length + 2) / 3 * 4;
    out.reserve(chars + (chars / kCharsPerLine + 1) * 2);
    for (std::size_t pos = 0; pos < length; pos += 3) {
        if (pos > 0 && pos % kBytesPerLine == 0)
            out += "\r\n";
        AppendQuantum(out, data + pos, length - pos < 3 ? length - pos : 3);
    }
    if (length % kBytesPerLine == 0)
        out += "\r\n";
    return out;
}

std::vector<std::uint8_t> DecodeBase64Lenient(const char* text, std::size_t length) {
    std::vector<std::uint8_t> out;
    out.reserve(length / 4 * 3 + 2);
    std::uint32_t bits = 0;
    int count = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const int v = SextetOf(static_cast<unsigned char>(text[i]));
        if (v < 0)
            continue;
        bits = (bits << 6) | std::uint32_t(v);
        if (++count == 4) {
            out.push_back(std::uint8_t(bits >> 16));
            out.push_back(std::uint8_t(bits >> 8));
            out.push_back(std::uint8_t(bits));
            bits = 0;
            count = 0;
        }
    }
    // A trailing group of 3 characters holds 18 bits (two bytes), of 2 holds 12 (one byte).
    if (count == 3) {
        out.push_back(std::uint8_t(bits >> 10));
        out.push_back(std::uint8_t(bits >> 2));
    } else if (count == 2) {
        out.push_back(std::uint8_t(bits >> 4));
    }
    return out;
}

std::vector<std::uint8_t> DecodeBase64Lenient(const std::string& text) {
    return DecodeBase64Lenient(text.data(), text.size());
}

std::vector<std::uint8_t> DecodeBase64Strict(const std::string& text, bool& ok) {
    ok = false;
    std::vector<std::uint8_t> out;
    if (text.size() % 4 != 0) {
        return {};
    }
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        int v[4];
        int padding = 0;
        for (int k = 0; k < 4; ++k) {
            const char c = text[i + k];
            if (c == '=' && last && k >= 2) {
                v[k] = 0;
                ++padding;
                continue;
            }
            v[k] = SextetOf(static_cast<unsigned char>(c));
            if (v[k] < 0 || padding > 0) {
                return {};
            }
        }
        const std::uint32_t triple = (std::uint32_t(v[0]) << 18) | (std::uint32_t(v[1]) << 12) |
                                     (std::uint32_t(v[2]) << 6) | std::uint32_t(v[3]);
        // Bits beyond the data must be zero: one text per byte string.
        if ((padding == 1 && (triple & 0xFF) != 0) || (padding == 2 && (triple & 0xFFFF) != 0)) {
            return {};
        }
        out.push_back(static_cast<std::uint8_t>(triple >> 16));
        if (padding < 2) {
            out.push_back(static_cast<std::uint8_t>((triple >> 8) & 0xFF));
        }
        if (padding < 1) {
            out.push_back(static_cast<std::uint8_t>(triple & 0xFF));
        }
    }
    ok = true;
    return out;
}

} // namespace tessivo
