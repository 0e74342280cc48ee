// The agent's code catalogues and the display text of a code.
#include <gtest/gtest.h>

#include "agent/AgentResult.h"

#include "agent/ResultNames.h"

namespace {

class ResultNames : public ::testing::Test {
protected:
    void SetUp() override {
        results_[1] = u"left over"; // filling clears first
        FillResultNames(results_);
        FillCkrNames(ckr_);
    }
    std::map<std::int32_t, std::u16string> results_;
    std::map<std::int32_t, std::u16string> ckr_;
};

TEST_F(ResultNames, CataloguesHaveTheirEntries) {
    EXPECT_EQ(results_.size(), 67u);
    EXPECT_EQ(ckr_.size(), 88u);
    EXPECT_EQ(results_.count(1), 0u);
    EXPECT_EQ(ckr_.at(static_cast<std::int32_t>(0x80000000u)), u"CKR_VENDOR_DEFINED");
    EXPECT_EQ(results_.at(static_cast<std::int32_t>(0xDF001005u)), u"CRL_VERIFY_FAIL");
}

TEST_F(ResultNames, ErrorText) {
    const struct {
        std::uint32_t code;
        const char16_t* text;
    } cases[] = {
        {0, u"OK"},
        {0xDA000150u, u"BASIC_BUFFER_TOO_SMALL"},
        {0xA4, u"憑證已被鎖"},
        {0xA0, u"錯誤的 PIN 碼"},
        {0xE0, u"憑證卡未插入"},
        {0x150, u"CKR_BUFFER_TOO_SMALL"},
        {0x1003, u"不明原因的錯誤(code:4099)"},
        {0xDA001001u & 0xFFFF, u"不明原因的錯誤(code:4097)"},
        {0xFFFFFFFFu, u"不明原因的錯誤(code:-1)"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ErrorTextFor(results_, ckr_, static_cast<std::int32_t>(c.code)), c.text)
            << std::hex << c.code;
    }
}

} // namespace

// The wire edge of the agent's results: what Login and SignData answer for each kind of failure.
TEST(AgentResults, MapOntoThePeersCodes) {
    const struct {
        AgentResult result;
        std::uint32_t login;
        std::uint32_t sign;
    } cases[] = {
        {AgentResult::Done(), 0u, 0u},
        {AgentResult::Fail(Failed::NotReady, ""), 0xFFFFFFFFu, 1u},
        {AgentResult::Fail(Failed::PinTooLong, ""), 0xDA0000A2u, 1u},
        {AgentResult::Fail(Failed::Library, "", 0xDA0000A0u), 0xDA0000A0u, 0xDA0000A0u},
        {AgentResult::Fail(Failed::NoSignature, ""), 0u, 1u},
        {AgentResult::Fail(Failed::Unexpected, "", OK, 8u), 8u, 1u},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LoginResultCode(c.result), c.login) << static_cast<int>(c.result.what);
        EXPECT_EQ(SignResultCode(c.result), c.sign) << static_cast<int>(c.result.what);
    }
}
