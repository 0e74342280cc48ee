// Dates of the signature certificate as the agent reports and compares them.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace tessivo {

// The instant that a broken-down UTC time (the C tm layout, year since 1900, month from 0)
// names, whatever the machine's time zone.
std::int64_t UtcToInstant(const std::tm& utc);

// "%d.%d.%d": year, month from 1 and day of the local calendar date of an instant
// (2025.7.1), the form of the not-after date.
std::u16string LocalDateText(std::int64_t instant);

// "Wed Jan 02 10:03:55 2019": the local date and time of an instant.
std::u16string LocalDateTimeText(std::int64_t instant);

// Seconds from date b to date a, both in the year.month.day form, each taken at its local
// midnight; 0 when either text lacks one of its two dots. Clamped to the 32-bit range so that
// dates far apart still compare with the right sign.
std::int32_t CompareDates(const std::u16string& a, const std::u16string& b);

// True when the not-after date lies before the local date of `now`: a certificate is valid
// through the whole local day of its not-after date. An empty date never counts as expired.
bool IsCertExpired(const std::u16string& notAfter, std::int64_t now);

} // namespace tessivo
