#include "qvMailDate.h"

#include "AsciiText.h"
#include "Decimal.h"
#include "TextTrim.h"
#include "qvTextSplit.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <limits>

using plat::TrimView;

namespace {

const std::array<std::string, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const std::array<std::string, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Trimmed, a sign allowed, at most 2147483647 either way (so never INT_MIN).
bool TryParseInt(std::string_view s, int& value) {
  const std::optional<int> v = plat::ParseDecimal<int>(TrimView(s), plat::TDecimalSign::PlusOrMinus);
  if (!v || *v == std::numeric_limits<int>::min()) return false;
  value = *v;
  return true;
}

int StrToInt(std::string_view s) {
  int v = 0;
  if (!TryParseInt(s, v)) throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
  return v;
}

// Two plain digits, else 0.
int DigitsOrZero(std::string_view s) { return plat::ParseDecimal<int>(s).value_or(0); }

// The mail date reader's cursor: each step trims and needs a blank.
class TWordCursor {
 public:
  explicit TWordCursor(std::string_view s) : FRest(s) {}
  bool Peek(std::string_view& word) {
    FRest = TrimView(FRest);
    const size_t b = FRest.find(' ');
    if (b == std::string_view::npos) return false;
    word = FRest.substr(0, b);
    return true;
  }
  void Drop(size_t n) { FRest.remove_prefix(std::min(n + 1, FRest.size())); }
  std::string_view Rest() {
    FRest = TrimView(FRest);
    return FRest;
  }

 private:
  std::string_view FRest;
};

constexpr int64_t kFileTimeUnixDelta = 116444736000000000LL;  // 1601 -> 1970 in 100 ns

}  // namespace

const std::string& ShortDayName(int ADayOfWeek) {
  Assert(ADayOfWeek >= 1 && ADayOfWeek <= 7);
  return kDayNames[static_cast<size_t>(ADayOfWeek - 1)];
}

const std::string& ShortMonthName(int AMonth) {
  Assert(AMonth >= 1 && AMonth <= 12);
  return kMonthNames[static_cast<size_t>(AMonth - 1)];
}

std::string GetTimeZoneBias() { return GetTimeZoneBias(Now()); }

std::string GetTimeZoneBias(TDateTime ALocal) {
  const int bias = LocalTimeBias(ALocal);
  const int a = std::abs(bias);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%s%.2d%.2d", bias <= 0 ? "+" : "-", a / 60, a % 60);
  return buf;
}

TDateTime TimeZoneToDateTime(std::string_view AZone) {
  if (AZone.size() < 5 || (AZone[0] != '+' && AZone[0] != '-')) return 0;
  const int h = DigitsOrZero(AZone.substr(1, 2));
  const int m = DigitsOrZero(AZone.substr(3, 2));
  if (h > 23 || m > 59) return 0;
  const TDateTime t = (h * 60 + m) / 1440.0;
  return AZone[0] == '-' ? -t : t;
}

TDateTime GlobalTimeToLocalTime(TDateTime AUtc) { return UTCToLocal(AUtc); }

TDateTime LocalTimeToGlobalTime(TDateTime ALocal) { return LocalToUTC(ALocal); }

TDateTime UnixMsToDateTime(int64_t AUnixMs) {
  const int64_t sec = AUnixMs >= 0 ? AUnixMs / 1000 : -((-AUnixMs + 999) / 1000);
  return UnixToDateTime(sec) + static_cast<double>(AUnixMs - sec * 1000) / MSecsPerDay;
}

TDateTime FileTimeToLocalDateTime(int64_t AFileTime) {
  // Years 1601..9999 only; outside that the conversion has no answer.
  constexpr int64_t kMaxFileTime = 2650467743999999999LL;  // 9999-12-31 23:59:59.999
  if (AFileTime < 0 || AFileTime > kMaxFileTime) return 0;
  const int64_t unixMs = (AFileTime - kFileTimeUnixDelta) / 10000;
  return UTCToLocal(UnixMsToDateTime(unixMs));
}

std::string DateTimeToMailTime(TDateTime ALocal) {
  uint16_t y, mo, d, h, mi, s, ms;
  DecodeDateTime(ALocal, y, mo, d, h, mi, s, ms);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s, %d %s %d %.2d:%.2d:%.2d %s", ShortDayName(DayOfWeek(ALocal)).c_str(),
                d, ShortMonthName(mo).c_str(), y, h, mi, s, GetTimeZoneBias(ALocal).c_str());
  return buf;
}

TDateTime MailTimeToDateTime(std::string_view AText) {
  TDateTime zone = 0;
  return MailTimeToDateTime(AText, zone);
}

TDateTime MailTimeToDateTime(std::string_view AText, TDateTime& AZone) {
  AZone = 0;
  std::string_view text = TrimView(AText);
  // Only the day name and its comma go; the trims below take any blank, so
  // "Tue,8 Dec ..." reads like "Tue, 8 Dec ...".
  if (const size_t c = text.find(','); c != std::string_view::npos) text.remove_prefix(c + 1);
  TWordCursor cur(text);
  std::string_view w;
  int day = 0, month = 0, year = 0;
  TDateTime time = 0;
  if (cur.Peek(w)) {
    day = StrToInt(w);
    cur.Drop(w.size());
  }
  if (cur.Peek(w)) {
    month = GetCurrentMonth();
    for (int i = 0; i < 12; ++i)
      if (SameTextAscii(w, kMonthNames[static_cast<size_t>(i)])) {
        month = i + 1;
        cur.Drop(w.size());
        break;
      }
  }
  if (cur.Peek(w)) {
    year = StrToInt(w);
    cur.Drop(w.size());
    if (year >= 0 && year <= 10) year += 2000;
    else if (year > 10 && year < 100) year += 1900;
  }
  if (cur.Peek(w)) {
    std::string timeText(w);
    cur.Drop(w.size());
    // "1:38:26 PM +0000": the AM/PM word belongs to the time, not the zone.
    const std::string_view rest = cur.Rest();
    const std::string_view next = rest.substr(0, rest.find(' '));
    if (SameTextAscii(next, "AM") || SameTextAscii(next, "PM")) {
      timeText += next;
      cur.Drop(next.size());
    }
    time = StrToTimeOfDay(timeText);
  }
  if (year == 0 || month == 0 || day == 0) return 0;
  std::string_view zone = cur.Rest();
  zone = zone.substr(0, zone.find(' '));
  AZone = TimeZoneToDateTime(zone);
  if (year < 1 || year > 9999 || day < 1 || day > 31)
    throw EConvertError("Invalid argument to date encode");
  const TDateTime date = EncodeDate(static_cast<uint16_t>(year), static_cast<uint16_t>(month),
                                    static_cast<uint16_t>(day));
  return GlobalTimeToLocalTime(date + time - AZone);
}

TDateTime StrToTimeOfDay(std::string_view AText) {
  std::string s(AText);
  for (char& c : s) c = plat::AsciiUpper(c);
  const size_t pm = s.find("PM");
  if (pm != std::string::npos) s.erase(pm);
  const size_t am = s.find("AM");
  if (am != std::string::npos) s.erase(am);
  const std::string t(TrimView(s));
  int parts[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i)
    if (!TryParseInt(ExtractWord(i + 1, t, ":"), parts[i])) parts[i] = 0;
  int h = parts[0];
  if (pm != std::string::npos && h < 12) h += 12;
  if (am != std::string::npos && h == 12) h = 0;
  if (h < 0 || h > 23 || parts[1] < 0 || parts[1] > 59 || parts[2] < 0 || parts[2] > 59)
    throw EConvertError("Invalid argument to time encode");
  return EncodeTime(static_cast<uint16_t>(h), static_cast<uint16_t>(parts[1]), static_cast<uint16_t>(parts[2]), 0);
}

int GetCurrentMonth() {
  uint16_t y, m, d;
  DecodeDate(Now(), y, m, d);
  return m;
}
