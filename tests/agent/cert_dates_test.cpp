#include "record/CertDates.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

#include "tests/fixtures/local_time.h"

using tessivo::CompareDates;
using tessivo::IsCertExpired;
using tessivo::LocalDateText;
using tessivo::LocalDateTimeText;
using tessivo::UtcToInstant;

namespace {

// The systems the agent serves run at UTC+8 without daylight saving time.
class CertDates : public ::testing::Test {
protected:
    static void SetUpTestSuite() { fixtures::UseTaipeiTime(); }
};

std::int64_t Utc(int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    return UtcToInstant(fixtures::CalendarTime(year, month, day, hour, minute, second));
}

} // namespace

TEST_F(CertDates, UtcInstantsAndLocalTexts) {
    EXPECT_EQ(Utc(1970, 1, 1), 0);
    EXPECT_EQ(Utc(2000, 3, 1), 951868800);
    EXPECT_EQ(Utc(2038, 1, 19, 3, 14, 8), std::int64_t(1) << 31);
    // The not-after instant falls on the next local day at UTC+8.
    EXPECT_EQ(LocalDateText(Utc(2025, 6, 30, 16)), u"2025.7.1");
    EXPECT_EQ(LocalDateText(Utc(2025, 6, 30, 15, 59, 59)), u"2025.6.30");
    EXPECT_EQ(LocalDateTimeText(Utc(2019, 1, 2, 2, 3, 55)), u"Wed Jan 02 10:03:55 2019");
    EXPECT_EQ(LocalDateTimeText(Utc(2049, 12, 31, 23, 0, 0)), u"Sat Jan 01 07:00:00 2050");
}

TEST_F(CertDates, CompareDates) {
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    struct Case {
        const char16_t* a;
        const char16_t* b;
        std::int32_t expected;
    };
    const Case cases[] = {
        {u"2025.7.1", u"2025.7.1", 0},
        {u"2025.6.30", u"2025.7.1", -86400},
        {u"2025.7.1", u"2025.6.30", 86400},
        {u"2024.2.28", u"2024.3.1", -2 * 86400},
        {u" 2025.+07.01", u"2025.7.1", 0}, // read as wcstol reads numbers
        {u"2025", u"2025.7.1", 0},         // a text without its dots compares as 0
        {u"2025.7.1", u"2025.7", 0},
        {u"", u"", 0},
        {u"1899.12.31", u"2000.1.1", -946656000}, // years before 1900 are the instant 0
        // More than 68 years apart: the difference no longer fits, the sign stays right.
        {u"2100.1.1", u"1990.1.1", kMax},
        {u"1990.1.1", u"2100.1.1", kMin},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(CompareDates(c.a, c.b), c.expected);
    }
}

TEST_F(CertDates, ExpiryCountsWholeLocalDays) {
    const std::u16string notAfter = LocalDateText(Utc(2025, 6, 30, 16)); // 2025.7.1
    EXPECT_FALSE(IsCertExpired(notAfter, Utc(2025, 6, 30, 16)));
    EXPECT_FALSE(IsCertExpired(notAfter, Utc(2025, 7, 1, 15, 59, 59))); // 23:59:59 local
    EXPECT_TRUE(IsCertExpired(notAfter, Utc(2025, 7, 1, 16)));          // 2025.7.2 local
    EXPECT_FALSE(IsCertExpired(u"", Utc(2099, 1, 1)));
    EXPECT_FALSE(IsCertExpired(u"no date", Utc(2099, 1, 1)));
    EXPECT_TRUE(IsCertExpired(u"1960.1.1", Utc(2099, 1, 1)));
}
