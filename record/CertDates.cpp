#include "record/CertDates.h"

#include <cstdio>
#include <limits>

namespace tessivo {
namespace {

// Days from 1970-01-01 to a proleptic Gregorian date (month 1-12).
std::int64_t DaysFromCivil(std::int64_t y, std::int64_t m, std::int64_t d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const std::int64_t yoe = y - era * 400;
    const std::int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

bool ToLocal(std::int64_t instant, std::tm& out) {
    const std::time_t t = static_cast<std::time_t>(instant);
#if defined(_WIN32)
    return localtime_s(&out, &t) == 0;
#else
    return localtime_r(&t, &out) != nullptr;
#endif
}

std::u16string Widen(const char* ascii) {
    std::u16string out;
    for (; *ascii != '\0'; ++ascii)
        out += static_cast<char16_t>(static_cast<unsigned char>(*ascii));
    return out;
}

// wcstol in base 10 over UTF-16: leading blanks, optional sign, digits; 0 without digits.
// Saturates instead of overflowing.
long ReadNumber(const std::u16string& text, std::size_t pos) {
    while (pos < text.size() && (text[pos] == u' ' || (text[pos] >= u'\t' && text[pos] <= u'\r')))
        ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == u'+' || text[pos] == u'-'))
        negative = text[pos++] == u'-';
    long value = 0;
    const long limit = std::numeric_limits<long>::max() / 10 - 1;
    for (; pos < text.size() && text[pos] >= u'0' && text[pos] <= u'9'; ++pos)
        value = value > limit ? value : value * 10 + (text[pos] - u'0');
    return negative ? -value : value;
}

struct DateParts {
    long year = 0, month = 0, day = 0;
};

// Splits "year.month.day"; false when one of the two dots is missing.
bool SplitDate(const std::u16string& text, DateParts& parts) {
    const std::size_t dot1 = text.find(u'.');
    if (dot1 == std::u16string::npos)
        return false;
    const std::size_t dot2 = text.find(u'.', dot1 + 1);
    if (dot2 == std::u16string::npos)
        return false;
    parts.year = ReadNumber(text.substr(0, dot1), 0);
    parts.month = ReadNumber(text.substr(dot1 + 1, dot2 - dot1 - 1), 0);
    parts.day = ReadNumber(text, dot2 + 1);
    return true;
}

// Local midnight of a date, daylight saving time as the system decides; years before 1900
// (and dates the C library cannot represent) give the instant 0.
std::int64_t LocalMidnight(const DateParts& d) {
    if (d.year < 1900 || d.year - 1900 > std::numeric_limits<int>::max())
        return 0;
    std::tm tm{};
    tm.tm_year = static_cast<int>(d.year - 1900);
    tm.tm_mon = static_cast<int>(d.month - 1);
    tm.tm_mday = static_cast<int>(d.day);
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    return t == static_cast<std::time_t>(-1) ? 0 : static_cast<std::int64_t>(t);
}

} // namespace

std::int64_t UtcToInstant(const std::tm& utc) {
    // Normalise the month first so that out-of-range fields still name one instant.
    std::int64_t year = std::int64_t(utc.tm_year) + 1900;
    std::int64_t month = utc.tm_mon;
    year += month / 12;
    month %= 12;
    if (month < 0) {
        month += 12;
        --year;
    }
    const std::int64_t days = DaysFromCivil(year, month + 1, 1) + utc.tm_mday - 1;
    return days * 86400 + std::int64_t(utc.tm_hour) * 3600 + std::int64_t(utc.tm_min) * 60 +
           utc.tm_sec;
}

std::u16string LocalDateText(std::int64_t instant) {
    std::tm tm{};
    if (!ToLocal(instant, tm))
        return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d.%d.%d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
    return Widen(buf);
}

std::u16string LocalDateTimeText(std::int64_t instant) {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm tm{};
    if (!ToLocal(instant, tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 ||
        tm.tm_mon > 11)
        return {};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%s %s %02d %02d:%02d:%02d %04d", kDays[tm.tm_wday],
                  kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  tm.tm_year + 1900);
    return Widen(buf);
}

std::int32_t CompareDates(const std::u16string& a, const std::u16string& b) {
    DateParts da, db;
    if (!SplitDate(a, da) || !SplitDate(b, db))
        return 0;
    const std::int64_t diff = LocalMidnight(da) - LocalMidnight(db);
    if (diff > std::numeric_limits<std::int32_t>::max())
        return std::numeric_limits<std::int32_t>::max();
    if (diff < std::numeric_limits<std::int32_t>::min())
        return std::numeric_limits<std::int32_t>::min();
    return static_cast<std::int32_t>(diff);
}

bool IsCertExpired(const std::u16string& notAfter, std::int64_t now) {
    if (notAfter.empty())
        return false;
    return CompareDates(notAfter, LocalDateText(now)) < 0;
}

} // namespace tessivo
