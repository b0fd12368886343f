// The mail date text ("Thu, 5 Mar 2026 09:04:07 +0100") both ways, the local
// time-zone offset as mail writes it, and the UTC/local and file-time
// conversions the file helpers share. Day and month names are English,
// whatever the locale; local time follows the process TZ. Pure functions, any
// thread. Errors: MailTimeToDateTime and StrToTimeOfDay raise EConvertError on
// bad numbers or impossible dates; ShortDayName and ShortMonthName raise
// EAssertionFailed outside 1..7 and 1..12.
#pragma once

#include "ClassCore.h"
#include "DateTime.h"

#include <cstdint>
#include <string>
#include <string_view>

// English names, independent of the locale: index 1 = Sunday / January.
[[nodiscard]] const std::string& ShortDayName(int ADayOfWeek);
[[nodiscard]] const std::string& ShortMonthName(int AMonth);

// The local offset now as "+hhmm"/"-hhmm" ("+0100" for CET, "-0500" for EST).
[[nodiscard]] std::string GetTimeZoneBias();
// The offset in force at the local time ALocal (daylight time included).
[[nodiscard]] std::string GetTimeZoneBias(TDateTime ALocal);
// "+hhmm" or "-hhmm" as a signed fraction of a day; 0 for anything else
// (zone names, short text, hours > 23, minutes > 59).
[[nodiscard]] TDateTime TimeZoneToDateTime(std::string_view AZone);
[[nodiscard]] TDateTime GlobalTimeToLocalTime(TDateTime AUtc);
[[nodiscard]] TDateTime LocalTimeToGlobalTime(TDateTime ALocal);
// Milliseconds since 1970-01-01 UTC as a UTC date and time (negative values
// count back from 1970).
[[nodiscard]] TDateTime UnixMsToDateTime(int64_t AUnixMs);
// A file time (100 ns units since 1601-01-01 UTC) as local time; 0 when it is
// out of range.
[[nodiscard]] TDateTime FileTimeToLocalDateTime(int64_t AFileTime);
// "Thu, 5 Mar 2026 09:04:07 +0100"; the offset is the one in force at ALocal.
[[nodiscard]] std::string DateTimeToMailTime(TDateTime ALocal);
// The local time of a mail date; 0 when day, month or year is missing.
// AZone receives the text's offset as a fraction of a day. A day or year that
// is no number, or an impossible date or time, raises EConvertError. Two-digit
// years: 0..10 are 2000..2010, 11..99 are 1911..1999. Without a zone after the
// time the time is not read (00:00:00).
[[nodiscard]] TDateTime MailTimeToDateTime(std::string_view AText, TDateTime& AZone);
[[nodiscard]] TDateTime MailTimeToDateTime(std::string_view AText);
// "h:m:s" with an optional AM/PM as a fraction of a day; missing or non-numeric
// parts count as 0; an impossible time raises EConvertError.
[[nodiscard]] TDateTime StrToTimeOfDay(std::string_view AText);
[[nodiscard]] int GetCurrentMonth();
