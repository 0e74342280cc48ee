// The host's request checks: every fault gets its stable code and nothing acts on a request
// that is not whole and well-formed.
#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "host/Messages.h"
#include "protocol/Base64.h"

namespace {

using nlohmann::json;

const std::string kCert = "MIIB"; // three bytes: enough for the parser, which only decodes it
const std::string kHash256(43, 'A');

json SignArguments() {
    return {{"origin", "https://gov.example.tw"},
            {"certificate", kCert},
            {"hash", kHash256 + "="},
            {"hashAlgorithm", "SHA-256"},
            {"pin", "123456"}};
}

std::string Request(const std::string& command, const json& arguments) {
    return json{{"version", 1}, {"id", "r1"}, {"command", command}, {"arguments", arguments}}
        .dump();
}

std::string SignWith(const std::string& key, const json& value) {
    json arguments = SignArguments();
    if (value.is_null()) {
        arguments.erase(key);
    } else {
        arguments[key] = value;
    }
    return Request("sign", arguments);
}

struct Case {
    const char* name;
    std::string body;
    const char* code; // empty: accepted
    bool idKnown;
};

} // namespace

TEST(HostMessages, EveryFaultHasItsCode) {
    const Case cases[] = {
        {"status", R"({"version":1,"id":"a","command":"status"})", "", true},
        {"unknown fields ignored", R"({"version":1,"id":"a","command":"quit","x":[1]})", "", true},
        {"sign", Request("sign", SignArguments()), "", true},
        {"certificate, any reader",
         Request("get-signing-certificate", {{"origin", "http://localhost:8080"}}), "", true},
        {"empty", "", "invalid-message", false},
        {"not UTF-8", std::string("{\"version\":1,\"id\":\"\xC3\x28\"}"), "invalid-utf8", false},
        {"overlong UTF-8", std::string("{\"id\":\"\xC0\xAF\"}"), "invalid-utf8", false},
        {"surrogate in UTF-8", std::string("{\"id\":\"\xED\xA0\x80\"}"), "invalid-utf8", false},
        {"cut UTF-8", std::string("{\"id\":\"\xE4\xB8"), "invalid-utf8", false},
        {"not JSON", "{\"version\":1,", "invalid-json", false},
        {"JSON array", "[1,2]", "invalid-json", false},
        {"two objects", "{} {}", "invalid-json", false},
        {"no id", R"({"version":1,"command":"status"})", "invalid-message", false},
        {"numeric id", R"({"version":1,"id":7,"command":"status"})", "invalid-message", false},
        {"long id",
         json{{"version", 1}, {"id", std::string(129, 'i')}, {"command", "status"}}.dump(),
         "invalid-message", false},
        {"no version", R"({"id":"a","command":"status"})", "invalid-message", true},
        {"version 2", R"({"version":2,"id":"a","command":"status"})", "unsupported-version", true},
        {"version text", R"({"version":"1","id":"a","command":"status"})", "invalid-message", true},
        {"unknown command", R"({"version":1,"id":"a","command":"format"})", "unknown-command",
         true},
        {"arguments not object", R"({"version":1,"id":"a","command":"sign","arguments":[]})",
         "invalid-message", true},
        {"no origin", Request("get-signing-certificate", json::object()), "invalid-message", true},
        {"http origin", SignWith("origin", "http://gov.example.tw"), "origin-refused", true},
        {"localhost look-alike", SignWith("origin", "http://localhost.example.tw"),
         "origin-refused", true},
        {"origin with path", SignWith("origin", "https://gov.example.tw/form"), "origin-refused",
         true},
        {"file origin", SignWith("origin", "file://"), "origin-refused", true},
        {"origin port out of range", SignWith("origin", "https://a.tw:70000"), "origin-refused",
         true},
        {"long origin", SignWith("origin", "https://" + std::string(3000, 'a')), "invalid-message",
         true},
        {"reader not text", SignWith("reader", 5), "invalid-message", true},
        {"long reader", SignWith("reader", std::string(300, 'r')), "invalid-message", true},
        {"no certificate", SignWith("certificate", nullptr), "invalid-message", true},
        {"certificate not Base64", SignWith("certificate", "MII*"), "invalid-certificate", true},
        {"certificate unpadded", SignWith("certificate", "MIIBAA"), "invalid-certificate", true},
        {"certificate too large", SignWith("certificate", std::string(21848, 'A')),
         "invalid-certificate", true},
        {"unknown algorithm", SignWith("hashAlgorithm", "SHA-1"), "invalid-hash-algorithm", true},
        {"hash too short", SignWith("hash", std::string(40, 'A') + "=="), "invalid-hash", true},
        {"hash of another algorithm", SignWith("hashAlgorithm", "SHA-384"), "invalid-hash", true},
        {"hash with line break",
         SignWith("hash", std::string(20, 'A') + "\r\n" + std::string(23, 'A') + "="),
         "invalid-hash", true},
        {"hash with stray bits", SignWith("hash", std::string(42, 'A') + "B="), "invalid-hash",
         true},
        {"hash number", SignWith("hash", 12), "invalid-message", true},
        // Without a PIN for a reader with a PIN pad; the host refuses it later for any other.
        {"no PIN", SignWith("pin", nullptr), "", true},
        {"empty PIN", SignWith("pin", ""), "invalid-pin", true},
        {"PIN of 64 bytes", SignWith("pin", std::string(64, '1')), "invalid-pin", true},
        {"PIN with NUL",
         SignWith("pin", std::string("12\0"
                                     "34",
                                     5)),
         "invalid-pin", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const host::Parsed p = host::ParseRequest(c.body);
        if (std::string(c.code).empty()) {
            EXPECT_TRUE(p.ok.has_value());
            EXPECT_FALSE(p.failed.has_value());
            continue;
        }
        ASSERT_TRUE(p.failed.has_value());
        EXPECT_FALSE(p.ok.has_value());
        EXPECT_EQ(p.failed->code, c.code) << p.failed->message;
        // The reply repeats the id whenever the request had a readable one.
        const json reply = json::parse(host::ErrorReply(p.id, *p.failed));
        EXPECT_EQ(reply["id"].is_null(), !c.idKnown);
        EXPECT_EQ(reply["error"]["code"], c.code);
        EXPECT_EQ(reply["version"], 1);
    }
}

// Origins as a browser serialises them; anything else may not ask.
TEST(HostMessages, OnlyStrictOrigins) {
    const struct {
        std::string origin;
        bool allowed;
    } cases[] = {
        {"https://gov.example.tw", true},
        {"https://gov.example.tw:8443", true},
        {"https://a.tw:65535", true},
        {"https://xn--kpry57d.tw", true}, // an IDN in its ASCII form
        {"https://192.0.2.10", true},
        {"https://[2001:db8::1]:8443", true},
        {"https://[::1]", true},
        {"http://localhost", true},
        {"http://localhost:8080", true},
        {"https://localhost", true},
        {"https://..", false},
        {"https://a..b", false},
        {"https://.example.tw", false},
        {"https://example.tw.", false}, // the same site under a second name
        {"https://", false},
        {"https://:443", false},
        {"https://u@x.tw", false},
        {"https://u:p@x.tw", false},
        {"https://x.tw/", false},
        {"https://x.tw/form", false},
        {"https://x.tw?q=1", false},
        {"https://x.tw#f", false},
        {"https://GOV.example.tw", false},
        {"HTTPS://gov.example.tw", false},
        {"https://gov_x.example.tw", false},
        {"https://-a.tw", false},
        {"https://a-.tw", false},
        {"https://" + std::string(64, 'a') + ".tw", false},
        {"https://a.tw:", false},
        {"https://a.tw:0", false},
        {"https://a.tw:0443", false},
        {"https://a.tw:65536", false},
        {"https://a.tw:+443", false},
        {"https://a.tw: 443", false},
        {"https://a.tw:443x", false},
        {"https://a.tw:1:2", false},
        {"https://256.0.0.1", false},
        {"https://1.2.3", false},
        {"https://01.2.3.4", false},
        {"https://a.123", false},
        {"https://[2001:db8::1", false},
        {"https://[2001:DB8::1]", false},
        {"https://[1::2::3]", false},
        {"https://[::1]x", false},
        {"https://2001:db8::1", false},
        {"http://gov.example.tw", false},
        {"http://127.0.0.1", false},
        {"http://[::1]", false},
        {"http://localhost.example.tw", false},
        {"http://localhost.", false},
        {"ftp://localhost", false},
        {"chrome-extension://odjbehelncmcpifhghbpaeabblndacbo", false},
        {"null", false},
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(host::OriginAllowed(c.origin), c.allowed) << c.origin;
    }
}

TEST(HostMessages, SignRequestIsDecoded) {
    json arguments = SignArguments();
    arguments["hash"] = tessivo::EncodeBase64(std::vector<std::uint8_t>(64, 0xAB));
    arguments["hashAlgorithm"] = "SHA-512";
    arguments["reader"] = "讀卡機 1";
    const host::Parsed p = host::ParseRequest(Request("sign", arguments));
    ASSERT_TRUE(p.ok.has_value());
    EXPECT_EQ(p.ok->id, "r1");
    EXPECT_EQ(p.ok->what, host::Command::Sign);
    EXPECT_EQ(p.ok->algorithm, tessivo::HashAlgorithm::Sha512);
    EXPECT_EQ(p.ok->hash, std::vector<std::uint8_t>(64, 0xAB));
    EXPECT_EQ(p.ok->certificate, (std::vector<std::uint8_t>{0x30, 0x82, 0x01}));
    EXPECT_EQ(p.ok->reader, "讀卡機 1");
    EXPECT_EQ(p.ok->pin, "123456");
}

TEST(HostMessages, RepliesAboveTheBrowsersLimitBecomeErrors) {
    const std::string small = host::ResultReply("r9", {{"signature", "AAAA"}});
    EXPECT_EQ(json::parse(small)["result"]["signature"], "AAAA");
    const std::string big = host::ResultReply("r9", {{"blob", std::string(1024 * 1024, 'x')}});
    EXPECT_LT(big.size(), 1024u);
    EXPECT_EQ(json::parse(big)["error"]["code"], "reply-too-large");
    EXPECT_EQ(json::parse(big)["id"], "r9");
    // Bytes from a module that are not UTF-8 are replaced, not thrown.
    const json odd = json::parse(host::ResultReply("r9", {{"label", std::string("\xFF\xFE")}}));
    EXPECT_TRUE(odd["result"]["label"].is_string());
}
