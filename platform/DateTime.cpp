#include "DateTime.h"

#include "AsciiText.h"
#include "ClassCore.h"

#include <cmath>
#include <ctime>

namespace {

// Day numbers from 1970-01-01 in the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t& y, int64_t& m, int64_t& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = yoe + era * 400 + (m <= 2);
}

// Day number (the whole part) and milliseconds into the day, rounded as one.
void SplitMs(TDateTime dt, int64_t& days, int64_t& msOfDay) {
  double whole = 0;
  const double frac = std::modf(dt, &whole);
  days = static_cast<int64_t>(whole);
  msOfDay = std::llround(std::fabs(frac) * static_cast<double>(MSecsPerDay));
  if (msOfDay >= MSecsPerDay) {
    // Rounded up to midnight: the next calendar day, whatever the sign.
    msOfDay -= MSecsPerDay;
    ++days;
  }
}

TDateTime ComposeMs(int64_t days, int64_t msOfDay) {
  const double frac = static_cast<double>(msOfDay) / static_cast<double>(MSecsPerDay);
  return days >= 0 ? static_cast<double>(days) + frac : static_cast<double>(days) - frac;
}

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

TDateTime FromUnixMs(int64_t unixMs) {
  const int64_t days = FloorDiv(unixMs, MSecsPerDay);
  return ComposeMs(days + UnixDateDelta, unixMs - days * MSecsPerDay);
}

int64_t ToUnixMs(TDateTime dt) {
  int64_t days = 0, ms = 0;
  SplitMs(dt, days, ms);
  return (days - UnixDateDelta) * MSecsPerDay + ms;
}

TDateTime FromTm(const std::tm& t, int64_t ms) {
  const int sec = t.tm_sec > 59 ? 59 : t.tm_sec;  // a leap second reads as :59
  const int64_t days = DaysFromCivil(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday) + UnixDateDelta;
  return ComposeMs(days, ((t.tm_hour * 60 + t.tm_min) * 60 + sec) * 1000 + ms);
}

// Broken-down local fields of dt, for mktime to resolve.
std::tm ToTm(TDateTime dt, int64_t& msRem) {
  int64_t days = 0, ms = 0;
  SplitMs(dt, days, ms);
  int64_t y = 0, m = 0, d = 0;
  CivilFromDays(days - UnixDateDelta, y, m, d);
  std::tm t{};
  t.tm_year = static_cast<int>(y - 1900);
  t.tm_mon = static_cast<int>(m - 1);
  t.tm_mday = static_cast<int>(d);
  t.tm_hour = static_cast<int>(ms / 3600000);
  t.tm_min = static_cast<int>(ms / 60000 % 60);
  t.tm_sec = static_cast<int>(ms / 1000 % 60);
  t.tm_isdst = -1;
  msRem = ms % 1000;
  return t;
}

timespec RealTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return ts;
}

}  // namespace

bool IsLeapYear(uint16_t Year) { return Year % 4 == 0 && (Year % 100 != 0 || Year % 400 == 0); }

uint16_t DaysInMonth(uint16_t Year, uint16_t Month) {
  static constexpr uint16_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (Month < 1 || Month > 12) return 0;
  return Month == 2 && IsLeapYear(Year) ? 29 : kDays[Month - 1];
}

bool TryEncodeDate(uint16_t Year, uint16_t Month, uint16_t Day, TDateTime& Result) {
  if (Year < 1 || Year > 9999 || Day < 1 || Day > DaysInMonth(Year, Month)) return false;
  Result = static_cast<double>(DaysFromCivil(Year, Month, Day) + UnixDateDelta);
  return true;
}

bool TryEncodeTime(uint16_t Hour, uint16_t Min, uint16_t Sec, uint16_t MSec, TDateTime& Result) {
  if (Hour > 23 || Min > 59 || Sec > 59 || MSec > 999) return false;
  Result = ComposeMs(0, ((Hour * 60 + Min) * 60 + Sec) * 1000 + MSec);
  return true;
}

TDateTime EncodeDate(uint16_t Year, uint16_t Month, uint16_t Day) {
  TDateTime r = 0;
  if (!TryEncodeDate(Year, Month, Day, r)) throw EConvertError("Invalid argument to date encode");
  return r;
}

TDateTime EncodeTime(uint16_t Hour, uint16_t Min, uint16_t Sec, uint16_t MSec) {
  TDateTime r = 0;
  if (!TryEncodeTime(Hour, Min, Sec, MSec, r)) throw EConvertError("Invalid argument to time encode");
  return r;
}

void DecodeDateTime(TDateTime DateTime, uint16_t& Year, uint16_t& Month, uint16_t& Day, uint16_t& Hour,
                    uint16_t& Min, uint16_t& Sec, uint16_t& MSec) {
  int64_t days = 0, ms = 0;
  SplitMs(DateTime, days, ms);
  int64_t y = 0, m = 0, d = 0;
  CivilFromDays(days - UnixDateDelta, y, m, d);
  Year = static_cast<uint16_t>(y);
  Month = static_cast<uint16_t>(m);
  Day = static_cast<uint16_t>(d);
  Hour = static_cast<uint16_t>(ms / 3600000);
  Min = static_cast<uint16_t>(ms / 60000 % 60);
  Sec = static_cast<uint16_t>(ms / 1000 % 60);
  MSec = static_cast<uint16_t>(ms % 1000);
}

void DecodeDate(TDateTime DateTime, uint16_t& Year, uint16_t& Month, uint16_t& Day) {
  uint16_t h, n, s, z;
  DecodeDateTime(DateTime, Year, Month, Day, h, n, s, z);
}

void DecodeTime(TDateTime DateTime, uint16_t& Hour, uint16_t& Min, uint16_t& Sec, uint16_t& MSec) {
  uint16_t y, m, d;
  DecodeDateTime(DateTime, y, m, d, Hour, Min, Sec, MSec);
}

int DayOfWeek(TDateTime DateTime) {
  int64_t days = 0, ms = 0;
  SplitMs(DateTime, days, ms);
  // Day 1 (1899-12-31) was a Sunday.
  return static_cast<int>(((days - 1) % 7 + 7) % 7) + 1;
}

TDateTime Now() {
  const timespec ts = RealTime();
  std::tm t{};
  localtime_r(&ts.tv_sec, &t);
  return FromTm(t, ts.tv_nsec / 1000000);
}

TDateTime Date() { return std::trunc(Now()); }

TDateTime Time() {
  int64_t days = 0, ms = 0;
  SplitMs(Now(), days, ms);
  return ComposeMs(0, ms);
}

TDateTime NowUTC() {
  const timespec ts = RealTime();
  return FromUnixMs(static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000);
}

TDateTime LocalToUTC(TDateTime Local) {
  int64_t ms = 0;
  std::tm t = ToTm(Local, ms);
  const time_t unixSec = mktime(&t);
  return FromUnixMs(static_cast<int64_t>(unixSec) * 1000 + ms);
}

TDateTime UTCToLocal(TDateTime UTC) {
  const int64_t unixMs = ToUnixMs(UTC);
  const time_t unixSec = static_cast<time_t>(FloorDiv(unixMs, 1000));
  std::tm t{};
  localtime_r(&unixSec, &t);
  return FromTm(t, unixMs - static_cast<int64_t>(unixSec) * 1000);
}

int LocalTimeBias(TDateTime ALocal) {
  int64_t ms = 0;
  std::tm t = ToTm(ALocal, ms);
  mktime(&t);  // fills in tm_gmtoff for that moment
  return static_cast<int>(-t.tm_gmtoff / 60);
}

TDateTime UnixToDateTime(int64_t UnixSeconds) { return FromUnixMs(UnixSeconds * 1000); }

int64_t DateTimeToUnix(TDateTime DateTime) { return FloorDiv(ToUnixMs(DateTime), 1000); }

namespace {

std::string Pad(unsigned value, int width) {
  std::string s = std::to_string(value);
  if (static_cast<int>(s.size()) < width) s.insert(0, static_cast<size_t>(width) - s.size(), '0');
  return s;
}

}  // namespace

std::string FormatDateTime(const std::string& Format, TDateTime DateTime) {
  uint16_t y, mo, d, h, mi, s, ms;
  DecodeDateTime(DateTime, y, mo, d, h, mi, s, ms);
  std::string out;
  bool afterHour = false;
  size_t i = 0;
  while (i < Format.size()) {
    const char c = Format[i];
    if (c == '"' || c == '\'') {
      size_t end = Format.find(c, i + 1);
      if (end == std::string::npos) end = Format.size();
      out.append(Format, i + 1, end - i - 1);
      i = end + 1;
      continue;
    }
    const char lc = plat::AsciiLower(c);
    size_t run = 1;
    while (i + run < Format.size() && plat::AsciiLower(Format[i + run]) == lc) ++run;
    const size_t pair = run >= 2 ? 2 : 1;
    const int width = static_cast<int>(pair);
    size_t take = pair;
    bool hourToken = false;
    switch (lc) {
      case 'd': out += Pad(d, width); break;
      case 'm': out += Pad(afterHour ? mi : mo, width); break;
      case 'y':
        take = run;
        out += run <= 2 ? Pad(y % 100u, 2) : Pad(y, 4);
        break;
      case 'h': out += Pad(h, width); hourToken = true; break;
      case 'n': out += Pad(mi, width); break;
      case 's': out += Pad(s, width); break;
      case 'z':
        take = run >= 3 ? 3 : 1;
        out += Pad(ms, take == 3 ? 3 : 1);
        break;
      default:
        // Separators and other characters leave the hour context alone.
        out += c;
        i += 1;
        continue;
    }
    afterHour = hourToken;
    i += take;
  }
  return out;
}
