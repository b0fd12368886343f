// Date and time as the class library keeps them: a TDateTime is a double of
// days since 1899-12-30, the fraction being the time of day (before that date
// the whole part counts back and the fraction still counts forward). Decoding
// rounds the whole value to the millisecond first, so it never gives 1000 ms
// or 60 s; it is exact for years 1 to 9999. Encoding raises EConvertError on an
// invalid field. Local time follows the process time zone (TZ, tzset); the
// conversions call mktime/localtime_r and are as thread-safe as those.
#pragma once

#include <cstdint>
#include <string>

using TDateTime = double;

constexpr int64_t MSecsPerDay = 86400000;
constexpr int64_t SecsPerDay = 86400;
// Days from 1899-12-30 to 1970-01-01.
constexpr int64_t UnixDateDelta = 25569;

[[nodiscard]] bool IsLeapYear(uint16_t Year);
// 0 for a month outside 1..12.
[[nodiscard]] uint16_t DaysInMonth(uint16_t Year, uint16_t Month);

// False, leaving Result alone, for a year outside 1..9999 or a bad month or day.
[[nodiscard]] bool TryEncodeDate(uint16_t Year, uint16_t Month, uint16_t Day, TDateTime& Result);
// False for hour > 23, minute > 59, second > 59 or ms > 999.
[[nodiscard]] bool TryEncodeTime(uint16_t Hour, uint16_t Min, uint16_t Sec, uint16_t MSec, TDateTime& Result);
[[nodiscard]] TDateTime EncodeDate(uint16_t Year, uint16_t Month, uint16_t Day);
[[nodiscard]] TDateTime EncodeTime(uint16_t Hour, uint16_t Min, uint16_t Sec, uint16_t MSec);

void DecodeDate(TDateTime DateTime, uint16_t& Year, uint16_t& Month, uint16_t& Day);
void DecodeTime(TDateTime DateTime, uint16_t& Hour, uint16_t& Min, uint16_t& Sec, uint16_t& MSec);
void DecodeDateTime(TDateTime DateTime, uint16_t& Year, uint16_t& Month, uint16_t& Day, uint16_t& Hour,
                    uint16_t& Min, uint16_t& Sec, uint16_t& MSec);
// 1 = Sunday ... 7 = Saturday.
[[nodiscard]] int DayOfWeek(TDateTime DateTime);

// Local date and time, to the millisecond.
[[nodiscard]] TDateTime Now();
[[nodiscard]] TDateTime Date();
[[nodiscard]] TDateTime Time();
[[nodiscard]] TDateTime NowUTC();

// A local time that falls in a skipped or repeated hour is resolved by mktime.
[[nodiscard]] TDateTime LocalToUTC(TDateTime Local);
[[nodiscard]] TDateTime UTCToLocal(TDateTime UTC);
// Minutes to add to the local time ALocal to get UTC: -60 for CET, 300 for
// US Eastern standard time (the sign is the opposite of "+0100").
[[nodiscard]] int LocalTimeBias(TDateTime ALocal);

[[nodiscard]] TDateTime UnixToDateTime(int64_t UnixSeconds);
// Whole seconds; milliseconds are dropped.
[[nodiscard]] int64_t DateTimeToUnix(TDateTime DateTime);

// d dd m mm yy yyyy h hh n nn s ss z zzz (letters in either case); ":" gives
// ":" and "/" gives "/"; text in '...' or "..." is copied bare; anything else
// is copied. m or mm after h or hh (separators between allowed) gives the
// minutes, so "hh:mm" reads as a time.
[[nodiscard]] std::string FormatDateTime(const std::string& Format, TDateTime DateTime);
