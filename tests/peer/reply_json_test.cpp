// The token replies as a script prints them: the lines are read by scripts and tests, so the
// keys, which fields a failed request leaves out and the difference between an empty and an
// absent certificate must survive any change to the reply types.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "peer/Script.h"

namespace {

peer::login_reply signed_in() {
    peer::login_reply login;
    login.status = 0;
    login.serial = "0A1B";
    login.cert_serial = "01";
    login.not_after = "20301231235959Z";
    login.text = "TessivoRet1";
    login.info_length = 120;
    login.certificate = "MIIB";
    return login;
}

TEST(ReplyJson, ScriptLines) {
    peer::login_reply refused_login;
    refused_login.result = -1;
    refused_login.status = 7; // not decoded when the request failed: must not be printed
    peer::login_reply wrong_pin = signed_in();
    wrong_pin.status = 0xA0;
    wrong_pin.text = "CKR_PIN_INCORRECT";
    wrong_pin.certificate.reset();
    peer::login_reply empty_channel = signed_in();
    empty_channel.certificate = "";
    empty_channel.error = "the agent's return channel TessivoRet1 cannot be read";

    peer::card_reply card{0, "0A1B", false};
    peer::card_reply no_card{0, "", true};
    peer::card_reply card_failed{5, "0A1B", true};
    peer::sign_reply signed_{0, 4, "TessivoRet2", "AQID", std::nullopt};
    peer::sign_reply short_signature{0, 8, "TessivoRet2", "AQID", "not all there"};
    peer::sign_reply sign_refused{-2, 4, "TessivoRet2", "AQID", std::nullopt};

    const struct {
        const char* name;
        nlohmann::json object;
        const char* line;
    } cases[] = {
        {"slot", to_json(peer::slot_reply{0}), R"({"request":"MWM_SLOT","result":0})"},
        {"logout", to_json(peer::logout_reply{-3}), R"({"request":"MWM_LOGOUT","result":-3})"},
        {"card", to_json(card),
         R"({"noCard":false,"request":"MWM_CARD","result":0,"serial":"0A1B"})"},
        {"no card", to_json(no_card),
         R"({"noCard":true,"request":"MWM_CARD","result":0,"serial":""})"},
        {"card failed", to_json(card_failed), R"({"request":"MWM_CARD","result":5})"},
        {"login", to_json(signed_in()),
         R"({"certSerial":"01","certificate":"MIIB","infoLength":120,"notAfter":"20301231235959Z",)"
         R"("request":"MWM_LOGIN","result":0,"serial":"0A1B","status":0,"text":"TessivoRet1"})"},
        {"login refused by the card", to_json(wrong_pin),
         R"({"certSerial":"01","infoLength":120,"notAfter":"20301231235959Z","request":"MWM_LOGIN",)"
         R"("result":0,"serial":"0A1B","status":160,"text":"CKR_PIN_INCORRECT"})"},
        {"login, channel unreadable", to_json(empty_channel),
         R"({"certSerial":"01","certificate":"","error":"the agent's return channel TessivoRet1 )"
         R"(cannot be read","infoLength":120,"notAfter":"20301231235959Z","request":"MWM_LOGIN",)"
         R"("result":0,"serial":"0A1B","status":0,"text":"TessivoRet1"})"},
        {"login failed", to_json(refused_login), R"({"request":"MWM_LOGIN","result":-1})"},
        {"certinfo failed keeps its record", to_json(peer::certinfo_reply{1, ""}),
         R"({"record":"","request":"MWM_CERTINF","result":1})"},
        {"certinfo", to_json(peer::certinfo_reply{0, " SerialNo='01'"}),
         R"({"record":" SerialNo='01'","request":"MWM_CERTINF","result":0})"},
        {"sign", to_json(signed_),
         R"({"channel":"TessivoRet2","length":4,"request":"MWM_SIGN","result":0,"signature":"AQID"})"},
        {"sign, signature short", to_json(short_signature),
         R"({"channel":"TessivoRet2","error":"not all there","length":8,"request":"MWM_SIGN",)"
         R"("result":0,"signature":"AQID"})"},
        {"sign refused", to_json(sign_refused), R"({"request":"MWM_SIGN","result":-2})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(peer::to_line(c.object), c.line);
    }
}

} // namespace
