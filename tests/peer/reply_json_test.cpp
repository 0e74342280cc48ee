// The token replies as a script prints them: the lines are read by scripts and tests, so the
// keys, which fields a failed request leaves out and the difference between an empty and an
// absent certificate must survive any change to the reply types.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "peer/Script.h"

namespace {

peer::LoginReply SignedIn() {
    peer::LoginReply login;
    login.status = 0;
    login.serial = "0A1B";
    login.certSerial = "01";
    login.notAfter = "20301231235959Z";
    login.text = "TessivoRet1";
    login.infoLength = 120;
    login.certificate = "MIIB";
    return login;
}

TEST(ReplyJson, ScriptLines) {
    peer::LoginReply refusedLogin;
    refusedLogin.result = -1;
    refusedLogin.status = 7; // not decoded when the request failed: must not be printed
    peer::LoginReply wrongPin = SignedIn();
    wrongPin.status = 0xA0;
    wrongPin.text = "CKR_PIN_INCORRECT";
    wrongPin.certificate.reset();
    peer::LoginReply emptyChannel = SignedIn();
    emptyChannel.certificate = "";
    emptyChannel.error = "the agent's return channel TessivoRet1 cannot be read";

    peer::CardReply card{0, "0A1B", false};
    peer::CardReply noCard{0, "", true};
    peer::CardReply cardFailed{5, "0A1B", true};
    peer::SignReply signedReply{0, 4, "TessivoRet2", "AQID", std::nullopt};
    peer::SignReply shortSignature{0, 8, "TessivoRet2", "AQID", "not all there"};
    peer::SignReply signRefused{-2, 4, "TessivoRet2", "AQID", std::nullopt};

    const struct {
        const char* name;
        nlohmann::json object;
        const char* line;
    } cases[] = {
        {"slot", ToJson(peer::SlotReply{0}), R"({"request":"MWM_SLOT","result":0})"},
        {"logout", ToJson(peer::LogoutReply{-3}), R"({"request":"MWM_LOGOUT","result":-3})"},
        {"card", ToJson(card),
         R"({"noCard":false,"request":"MWM_CARD","result":0,"serial":"0A1B"})"},
        {"no card", ToJson(noCard),
         R"({"noCard":true,"request":"MWM_CARD","result":0,"serial":""})"},
        {"card failed", ToJson(cardFailed), R"({"request":"MWM_CARD","result":5})"},
        {"login", ToJson(SignedIn()),
         R"({"certSerial":"01","certificate":"MIIB","infoLength":120,"notAfter":"20301231235959Z",)"
         R"("request":"MWM_LOGIN","result":0,"serial":"0A1B","status":0,"text":"TessivoRet1"})"},
        {"login refused by the card", ToJson(wrongPin),
         R"({"certSerial":"01","infoLength":120,"notAfter":"20301231235959Z","request":"MWM_LOGIN",)"
         R"("result":0,"serial":"0A1B","status":160,"text":"CKR_PIN_INCORRECT"})"},
        {"login, channel unreadable", ToJson(emptyChannel),
         R"({"certSerial":"01","certificate":"","error":"the agent's return channel TessivoRet1 )"
         R"(cannot be read","infoLength":120,"notAfter":"20301231235959Z","request":"MWM_LOGIN",)"
         R"("result":0,"serial":"0A1B","status":0,"text":"TessivoRet1"})"},
        {"login failed", ToJson(refusedLogin), R"({"request":"MWM_LOGIN","result":-1})"},
        {"certinfo failed keeps its record", ToJson(peer::CertinfoReply{1, ""}),
         R"({"record":"","request":"MWM_CERTINF","result":1})"},
        {"certinfo", ToJson(peer::CertinfoReply{0, " SerialNo='01'"}),
         R"({"record":" SerialNo='01'","request":"MWM_CERTINF","result":0})"},
        {"sign", ToJson(signedReply),
         R"({"channel":"TessivoRet2","length":4,"request":"MWM_SIGN","result":0,"signature":"AQID"})"},
        {"sign, signature short", ToJson(shortSignature),
         R"({"channel":"TessivoRet2","error":"not all there","length":8,"request":"MWM_SIGN",)"
         R"("result":0,"signature":"AQID"})"},
        {"sign refused", ToJson(signRefused), R"({"request":"MWM_SIGN","result":-2})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(peer::ToLine(c.object), c.line);
    }
}

} // namespace
