#include "qvUtils.h"

#include "FileOps.h"
#include "NtlmPackage.h"
#include "ProgramPath.h"
#include "Streams.h"
#include "StringList.h"
#include "SysError.h"
#include "TextTrim.h"
#include "UniqueFd.h"
#include "qvTranslator.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

using plat::TrimView;

namespace {

const std::array<std::string, 7> kDayNames = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
const std::array<std::string, 12> kMonthNames = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                 "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiUpper(a[i]) != AsciiUpper(b[i])) return false;
  return true;
}

bool TryParseInt(std::string_view s, int& value) {
  s = TrimView(s);
  bool neg = false;
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) neg = s[i++] == '-';
  if (i == s.size()) return false;
  int64_t v = 0;
  for (; i < s.size(); ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    v = v * 10 + (s[i] - '0');
    if (v > 0x7FFFFFFF) return false;
  }
  value = static_cast<int>(neg ? -v : v);
  return true;
}

int StrToInt(std::string_view s) {
  int v = 0;
  if (!TryParseInt(s, v)) throw EConvertError("'" + std::string(s) + "' is not a valid integer value");
  return v;
}

// Two plain digits, else 0.
int DigitsOrZero(std::string_view s) {
  int v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return 0;
    v = v * 10 + (c - '0');
  }
  return v;
}

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

struct TUpdateGuard {
  explicit TUpdateGuard(TStrings& s) : S(s) { S.BeginUpdate(); }
  ~TUpdateGuard() { S.EndUpdate(); }
  TUpdateGuard(const TUpdateGuard&) = delete;
  TUpdateGuard& operator=(const TUpdateGuard&) = delete;
  TStrings& S;
};

bool IsUtf8(std::string_view cs) { return SameTextAscii(cs, "utf-8"); }

// Bytes at the end of a UTF-8 batch that start a sequence the batch cuts off.
size_t IncompleteUtf8Tail(const std::string& buf) {
  const size_t n = buf.size();
  for (size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto c = static_cast<unsigned char>(buf[n - back]);
    if ((c & 0xC0) == 0x80) continue;  // continuation byte: keep looking
    size_t need = 1;
    if (c >= 0xF0) need = 4;
    else if (c >= 0xE0) need = 3;
    else if (c >= 0xC0) need = 2;
    return need > back ? back : 0;
  }
  return 0;
}

constexpr int64_t kFileTimeUnixDelta = 116444736000000000LL;  // 1601 -> 1970 in 100 ns

TDateTime UnixMsToDateTime(int64_t ms) {
  const int64_t sec = ms >= 0 ? ms / 1000 : -((-ms + 999) / 1000);
  return UnixToDateTime(sec) + static_cast<double>(ms - sec * 1000) / MSecsPerDay;
}

std::mutex& WindowLock() {
  static std::mutex m;
  return m;
}

}  // namespace

// ---- Mail date and time zone ----

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
  for (char& c : s) c = AsciiUpper(c);
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

// ---- TqvBinaryData ----

TqvBinaryData::TqvBinaryData(int32_t ASize) { Allocate(ASize); }

TqvBinaryData::~TqvBinaryData() { Clear(); }

void TqvBinaryData::FreeData(uint8_t*& P) noexcept {
  std::free(P);
  P = nullptr;
}

void TqvBinaryData::AllocData(uint8_t*& P, int32_t ASize) {
  P = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(ASize)));
  if (P == nullptr) throw std::bad_alloc();
}

void TqvBinaryData::Allocate(int32_t ASize) {
  Clear();
  DataSize = ASize;
  if (ASize > 0) AllocData(Data, ASize);
}

void TqvBinaryData::Clear() {
  if (Data != nullptr) FreeData(Data);
  Data = nullptr;
  DataSize = 0;
}

void TqvBinaryData::AssignBytes(const TBytes& ABytes) {
  AssignRange(ABytes, 0, static_cast<int>(ABytes.size()));
}

void TqvBinaryData::AssignRange(const TBytes& ABytes, int AStart, int ACount) {
  Clear();
  if (AStart < 0 || static_cast<size_t>(AStart) >= ABytes.size() || ACount < 1) return;
  const size_t n = std::min(static_cast<size_t>(ACount), ABytes.size() - static_cast<size_t>(AStart));
  Allocate(static_cast<int32_t>(n));
  std::memcpy(Data, ABytes.data() + AStart, n);
}

void TqvBinaryData::AssignStream(TStream& AStream) { ReadFromStream(AStream, AStream.Size()); }

void TqvBinaryData::ReadFromStream(TStream& AStream, int64_t ACount) {
  Clear();
  const int64_t left = AStream.Size() - AStream.Position();
  const int64_t n = std::min(ACount, left);
  if (n < 1) return;
  Allocate(static_cast<int32_t>(std::min<int64_t>(n, 0x7FFFFFFF)));
  AStream.ReadBuffer(Data, DataSize);
}

void TqvBinaryData::Reduce(int32_t ASize) {
  if (ASize < DataSize) DataSize = ASize;
}

TBytes TqvBinaryData::ToBytes() const {
  if (DataSize <= 0 || Data == nullptr) return {};
  return TBytes(Data, Data + DataSize);
}

void TqvBinaryData::WriteTo(TStream& AStream) const {
  if (DataSize > 0 && Data != nullptr) AStream.WriteBuffer(Data, DataSize);
}

std::u16string TqvBinaryData::ToWideString() const {
  if (DataSize < 2 || Data == nullptr) return {};
  std::u16string w(static_cast<size_t>(DataSize / 2), u'\0');
  std::memcpy(w.data(), Data, w.size() * 2);
  if (w.back() == u'\0') w.pop_back();
  return w;
}

// ---- TqvStringsUtils ----

TqvStringsUtils::TqvStringsUtils(TStrings& AStrings, std::string ACharSet)
    : Strings(&AStrings), CharSet(std::move(ACharSet)) {}

void TqvStringsUtils::DoProgress(int64_t ABytesProceed, int64_t ATotalBytes) {
  if (OnProgress) OnProgress(this, ABytesProceed, ATotalBytes);
}

int TqvStringsUtils::AddTextStr(std::string_view AText, bool AAppendToLast) {
  AText = AText.substr(0, AText.find('\0'));
  TUpdateGuard guard(*Strings);
  bool first = true;
  size_t pos = 0;
  while (pos < AText.size()) {
    const size_t brk = AText.find_first_of("\r\n", pos);
    const size_t end = brk == std::string_view::npos ? AText.size() : brk;
    const std::string piece(AText.substr(pos, end - pos));
    if (first && AAppendToLast && Strings->Count() > 0) {
      const int last = Strings->Count() - 1;
      Strings->SetStrings(last, Strings->Strings(last) + piece);
    } else {
      Strings->Add(piece);
    }
    first = false;
    pos = end + 1;
    if (brk != std::string_view::npos && AText[brk] == '\r' && pos < AText.size() && AText[pos] == '\n') ++pos;
  }
  // Only a final LF finishes the text; a lone CR may still meet its LF.
  if (AText.empty() || AText.back() == '\n') return 0;
  return static_cast<int>(AText.size());
}

int TqvStringsUtils::AddTextStream(TStream& AStream) { return AddTextStream(AStream, false, 0); }

int TqvStringsUtils::AddTextStream(TStream& AStream, bool AAppendToLast) {
  return AddTextStream(AStream, AAppendToLast, 0);
}

int TqvStringsUtils::AddTextStream(TStream& AStream, bool AAppendToLast, int64_t AMaxBytes) {
  const int64_t remaining = AStream.Size() - AStream.Position();
  if (remaining <= 0) return 0;
  const int64_t batch = (BatchSize > 0 && BatchSize < remaining) ? BatchSize : remaining;
  std::string buf;
  std::string carry;  // a UTF-8 sequence cut by the previous batch
  int64_t counted = 0;
  int result = 0;
  bool append = AAppendToLast;
  bool skipLF = false;
  const bool utf8 = IsUtf8(CharSet);
  for (;;) {
    int64_t want = batch;
    if (AMaxBytes > 0) want = std::min(want, AMaxBytes - counted);
    if (want <= 0) break;
    buf.resize(static_cast<size_t>(want));
    const int64_t n = AStream.Read(buf.data(), want);
    if (n <= 0) break;
    buf.resize(static_cast<size_t>(n));
    DoProgress(counted, remaining);
    counted += n;
    // NUL bytes would end the conversion early; they count as blanks.
    for (char& c : buf)
      if (c == '\0') c = ' ';
    std::string bytes = carry + buf;
    carry.clear();
    const bool more = AMaxBytes <= 0 || counted < AMaxBytes;
    if (utf8 && more) {
      const size_t tail = IncompleteUtf8Tail(bytes);
      carry = bytes.substr(bytes.size() - tail);
      bytes.resize(bytes.size() - tail);
    }
    std::string text = TqvTranslator::GetString(bytes.data(), static_cast<int>(bytes.size()), CharSet);
    if (skipLF && !text.empty() && text.front() == '\n') text.erase(0, 1);
    skipLF = false;
    if (text.empty() && bytes.empty()) continue;
    result = AddTextStr(text, append);
    // A CR at the end already ended its line; an LF opening the next batch
    // belongs to it.
    const bool endsCR = !text.empty() && text.back() == '\r';
    append = result != 0 && !endsCR;
    skipLF = endsCR;
  }
  if (!carry.empty())
    result = AddTextStr(TqvTranslator::GetString(carry.data(), static_cast<int>(carry.size()), CharSet), append);
  return result;
}

int TqvStringsUtils::IndexOf(std::string_view AText) const {
  for (int i = 0; i < Strings->Count(); ++i)
    if (SameTextAscii(Strings->Strings(i), AText)) return i;
  return -1;
}

int64_t TqvStringsUtils::GetTextSize() const {
  int64_t n = 0;
  for (int i = 0; i < Strings->Count(); ++i) n += static_cast<int64_t>(Strings->Strings(i).size()) + 2;
  return n;
}

void TqvStringsUtils::LoadFromStream(TStream& AStream) {
  const int64_t n = AStream.Size() - AStream.Position();
  if (n <= 0) return;
  std::string buf(static_cast<size_t>(n), '\0');
  AStream.ReadBuffer(buf.data(), n);
  for (char& c : buf)
    if (c == '\0') c = ' ';
  Strings->SetText(TqvTranslator::GetString(buf.data(), static_cast<int>(buf.size()), CharSet));
}

void TqvStringsUtils::SaveToStream(TStream& AStream) const {
  std::string text;
  for (int i = 0; i < Strings->Count(); ++i) text += Strings->Strings(i) + "\r\n";
  if (text.empty()) return;
  const TBytes bytes = TqvTranslator::GetBytes(text, CharSet);
  AStream.WriteBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
}

int IndexOfText(std::string_view AText, const std::vector<std::string>& AArray) {
  for (size_t i = 0; i < AArray.size(); ++i)
    if (SameTextAscii(AArray[i], AText)) return static_cast<int>(i);
  return -1;
}

int IndexOfText(std::string_view AText, const TStrings& AStrings) {
  return TqvStringsUtils(const_cast<TStrings&>(AStrings)).IndexOf(AText);
}

int64_t GetStringsSize(const TStrings& AStrings) {
  return TqvStringsUtils(const_cast<TStrings&>(AStrings)).GetTextSize();
}

int AddTextStr(TStrings& AList, std::string_view AText, bool AAppend) {
  return TqvStringsUtils(AList).AddTextStr(AText, AAppend);
}

int AddTextStream(TStrings& AList, TStream& AStream) { return TqvStringsUtils(AList).AddTextStream(AStream); }

void SaveStringsToStream(const TStrings& AStrings, TStream& AStream, const std::string& ACharSet) {
  TqvStringsUtils(const_cast<TStrings&>(AStrings), ACharSet).SaveToStream(AStream);
}

void SaveStringsToFile(const TStrings& AStrings, const std::string& AFileName, const std::string& ACharSet) {
  TFileStream f(AFileName, fmCreate);  // truncates even when nothing is written
  SaveStringsToStream(AStrings, f, ACharSet);
}

void LoadStringsFromStream(TStream& AStream, TStrings& AStrings, const std::string& ACharSet) {
  TqvStringsUtils(AStrings, ACharSet).LoadFromStream(AStream);
}

void LoadStringsFromFile(const std::string& AFileName, TStrings& AStrings, const std::string& ACharSet) {
  TFileStream f(AFileName, fmOpenRead | fmShareDenyWrite);
  LoadStringsFromStream(f, AStrings, ACharSet);
}

// ---- String helpers ----

int TextPos(std::string_view ASubStr, std::string_view AText, int AStart) {
  if (AStart <= 0 || ASubStr.empty() || static_cast<size_t>(AStart) > AText.size()) return 0;
  const size_t p = AText.find(ASubStr, static_cast<size_t>(AStart - 1));
  return p == std::string_view::npos ? 0 : static_cast<int>(p) + 1;
}

int RTextPos(std::string_view ASubStr, std::string_view AText, int AStart) {
  if (ASubStr.empty() || ASubStr.size() > AText.size()) return 0;
  int p = static_cast<int>(AText.size() - ASubStr.size()) + 1;
  if (AStart >= 0) p = std::min(p, AStart);
  for (; p >= 1; --p)
    if (SameTextAscii(AText.substr(static_cast<size_t>(p - 1), ASubStr.size()), ASubStr)) return p;
  return 0;
}

std::string RemoveTrailingChars(std::string_view AText, std::string_view ACharSet) {
  const size_t e = AText.find_last_not_of(ACharSet);
  return e == std::string_view::npos ? std::string() : std::string(AText.substr(0, e + 1));
}

void SplitText(std::string_view AText, TStrings& AList, char ASeparator, bool AKeepQuotes,
               std::string_view AOpenQuotes, std::string_view ACloseQuotes) {
  Assert(AOpenQuotes.size() == ACloseQuotes.size());
  TUpdateGuard guard(AList);
  AList.Clear();
  std::string piece;
  bool quoted = false;  // the piece holds a quoted run, perhaps an empty one
  int depth = 0;
  char open = 0, close = 0;
  for (const char ch : AText) {
    if (depth > 0) {
      if (ch == close) {
        if (--depth > 0 || AKeepQuotes) piece += ch;
      } else {
        if (ch == open && open != close) ++depth;
        piece += ch;
      }
      continue;
    }
    const size_t k = AOpenQuotes.find(ch);
    if (k != std::string_view::npos) {
      if (!piece.empty() && quoted) {
        AList.Add(piece);
        piece.clear();
      }
      open = ch;
      close = ACloseQuotes[k];
      depth = 1;
      quoted = true;
      if (AKeepQuotes) piece += ch;
    } else if (ch == ASeparator) {
      if (!piece.empty() || quoted) AList.Add(piece);
      piece.clear();
      quoted = false;
    } else {
      piece += ch;
    }
  }
  if (!piece.empty() || quoted) AList.Add(piece);
}

void SplitText(std::string_view AText, TStrings& AList, char ASeparator) {
  SplitText(AText, AList, ASeparator, false, "\"", "\"");
}

void SplitText(std::string_view AText, TStrings& AList) { SplitText(AText, AList, ' '); }

void ExtractWords(std::string_view AText, TStrings& AList, std::string_view ADelimiters) {
  const auto skippable = [](char c) { return c >= 1 && c <= 31 && c != '\t'; };
  const auto isDelim = [&](char c) { return ADelimiters.find(c) != std::string_view::npos; };
  TUpdateGuard guard(AList);
  AList.Clear();
  const size_t n = AText.size();
  size_t i = 0;
  const auto skip = [&] {
    while (i < n && skippable(AText[i])) ++i;
  };
  skip();
  if (i >= n) return;
  do {
    const size_t start = i;
    while (i < n && AText[i] != '\0' && !skippable(AText[i]) && !isDelim(AText[i])) ++i;
    AList.Add(std::string(AText.substr(start, i - start)));
    skip();
    if (i >= n || !isDelim(AText[i])) break;
    if (i == n - 1) AList.Add(std::string());
    ++i;
    skip();
  } while (i < n);
}

void ExtractWords(std::string_view AText, TStrings& AList, char ADelimiter) {
  ExtractWords(AText, AList, std::string_view(&ADelimiter, 1));
}

namespace {
// Start (0-based) and length of the N-th word, or false.
bool FindWord(int AN, std::string_view AText, std::string_view ADelimiters, size_t& start, size_t& len) {
  int count = 0;
  size_t i = 0;
  while (i < AText.size()) {
    while (i < AText.size() && ADelimiters.find(AText[i]) != std::string_view::npos) ++i;
    if (i >= AText.size()) break;
    const size_t s = i;
    while (i < AText.size() && ADelimiters.find(AText[i]) == std::string_view::npos) ++i;
    if (++count == AN) {
      start = s;
      len = i - s;
      return true;
    }
  }
  return false;
}
}  // namespace

int WordCount(std::string_view AText, std::string_view ADelimiters) {
  int count = 0;
  bool inWord = false;
  for (const char c : AText) {
    const bool delim = ADelimiters.find(c) != std::string_view::npos;
    if (!delim && !inWord) ++count;
    inWord = !delim;
  }
  return count;
}

int WordPosition(int AN, std::string_view AText, std::string_view ADelimiters) {
  size_t s = 0, l = 0;
  return FindWord(AN, AText, ADelimiters, s, l) ? static_cast<int>(s) + 1 : 0;
}

std::string ExtractWord(int AN, std::string_view AText, std::string_view ADelimiters) {
  size_t s = 0, l = 0;
  return FindWord(AN, AText, ADelimiters, s, l) ? std::string(AText.substr(s, l)) : std::string();
}

std::string ExtractQuotedString(std::string_view AText) { return ExtractQuotedString(AText, '"', '"'); }

std::string ExtractQuotedString(std::string_view AText, char AQuote) {
  return ExtractQuotedString(AText, AQuote, AQuote);
}

std::string ExtractQuotedString(std::string_view AText, char AOpen, char AClose) {
  if (AText.size() > 1 && AText.front() == AOpen && AText.back() == AClose)
    return std::string(AText.substr(1, AText.size() - 2));
  return std::string(AText);
}

std::string GetQuotedString(std::string_view AText) { return GetQuotedString(AText, '"', '"'); }

std::string GetQuotedString(std::string_view AText, char AOpen, char AClose) {
  if (!AText.empty() && (AText.front() == AOpen || AText.back() == AClose)) return std::string(AText);
  return AOpen + std::string(AText) + AClose;
}

std::string AddTrailingChar(std::string_view AText, char AChar) {
  if (AText.empty() || AText.back() == AChar) return std::string(AText);
  return std::string(AText) + AChar;
}

// ---- Bytes ----

TBytes ReverseBytes(const TBytes& ABytes) { return TBytes(ABytes.rbegin(), ABytes.rend()); }

int FirstNonZeroByte(const TBytes& ABytes) {
  for (size_t i = 0; i < ABytes.size(); ++i)
    if (ABytes[i] != 0) return static_cast<int>(i);
  return -1;
}

TBytes TrimLeadingZeroBytes(const TBytes& ABytes) {
  const int first = FirstNonZeroByte(ABytes);
  if (first <= 0) return ABytes;
  return TBytes(ABytes.begin() + first, ABytes.end());
}

std::string BytesToHex(const void* ABuffer, int ACount) {
  if (ACount <= 0 || ABuffer == nullptr) return {};
  const auto* p = static_cast<const uint8_t*>(ABuffer);
  return BytesToHex(TBytes(p, p + ACount));
}

std::string BytesToHex(const TBytes& ABytes) { return BytesToHex(ABytes, {}); }

std::string BytesToHex(const TBytes& ABytes, std::string_view ASeparator) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(ABytes.size() * (2 + ASeparator.size()));
  for (size_t i = 0; i < ABytes.size(); ++i) {
    if (i > 0) out += ASeparator;
    out += kHex[ABytes[i] >> 4];
    out += kHex[ABytes[i] & 0x0F];
  }
  return out;
}

namespace {
bool Fits(const TBytes& b, int index, int n) {
  return index >= 0 && static_cast<size_t>(index) + static_cast<size_t>(n) <= b.size();
}
}  // namespace

void PutWordBE(uint16_t AValue, TBytes& ABytes, int& AIndex) {
  Assert(Fits(ABytes, AIndex, 2));
  ABytes[static_cast<size_t>(AIndex)] = static_cast<uint8_t>(AValue >> 8);
  ABytes[static_cast<size_t>(AIndex) + 1] = static_cast<uint8_t>(AValue);
  AIndex += 2;
}

void PutDWordBE(uint32_t AValue, TBytes& ABytes, int& AIndex) {
  Assert(Fits(ABytes, AIndex, 4));
  PutWordBE(static_cast<uint16_t>(AValue >> 16), ABytes, AIndex);
  PutWordBE(static_cast<uint16_t>(AValue), ABytes, AIndex);
}

uint16_t GetWordBE(const TBytes& ABytes, int& AIndex) {
  if (!Fits(ABytes, AIndex, 2)) return 0;
  const auto i = static_cast<size_t>(AIndex);
  AIndex += 2;
  return MakeWordBE(ABytes[i], ABytes[i + 1]);
}

uint32_t GetDWordBE(const TBytes& ABytes, int& AIndex) {
  if (!Fits(ABytes, AIndex, 4)) return 0;
  const uint32_t hi = GetWordBE(ABytes, AIndex);
  return (hi << 16) | GetWordBE(ABytes, AIndex);
}

bool ByteArraysEqual(const TBytes& A, const TBytes& B) { return A == B; }

// ---- Files and system ----

bool ForceDirectoryPath(const std::string& ADir) {
  std::string dir = ADir;
  while (!dir.empty() && dir.back() == '/') dir.pop_back();
  if (dir.empty()) return true;  // "" or the root
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const size_t slash = dir.rfind('/');
  if (slash != std::string::npos) {
    const std::string parent = dir.substr(0, slash);
    if (parent != dir && !ForceDirectoryPath(parent.empty() ? "/" : parent)) return false;
  }
  if (::mkdir(dir.c_str(), 0777) == 0) return true;
  const bool raced = errno == EEXIST && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (!raced) plat::SetLastErrorFromErrno();
  return raced;
}

bool ForceFileDirectories(const std::string& AFileName) {
  return ForceDirectoryPath(plat::ExtractFilePath(AFileName));
}

bool DeleteDirectoryTree(const std::string& ADir) {
  std::string dir = ADir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  struct stat st {};
  // A link to a folder is not a folder of ours: leave what it points to alone.
  if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  {
    plat::TDirStream d(dir);
    while (const dirent* e = d.Next()) {
      const std::string path = dir + "/" + e->d_name;
      struct stat est {};
      if (::lstat(path.c_str(), &est) != 0) continue;
      if (S_ISDIR(est.st_mode))
        (void)DeleteDirectoryTree(path);
      else
        (void)::unlink(path.c_str());
    }
  }
  if (::rmdir(dir.c_str()) == 0) return true;
  plat::SetLastErrorFromErrno();
  return false;
}

namespace {

timespec LocalTimeToTimespec(TDateTime ALocalTime) {
  const TDateTime utc = LocalTimeToGlobalTime(ALocalTime);
  const double ms = std::round((utc - UnixDateDelta) * MSecsPerDay);
  const auto totalMs = static_cast<int64_t>(ms);
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(totalMs >= 0 ? totalMs / 1000 : -((-totalMs + 999) / 1000));
  ts.tv_nsec = static_cast<long>((totalMs - static_cast<int64_t>(ts.tv_sec) * 1000) * 1000000);
  return ts;
}

}  // namespace

void SetFileDateTime(const std::string& AFileName, TDateTime ALocalTime) {
  const plat::UniqueFd fd(::open(AFileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
  if (!fd) return;
  const timespec ts = LocalTimeToTimespec(ALocalTime);
  const timespec times[2] = {ts, ts};
  (void)::futimens(fd.Get(), times);
}

bool SetExistingFileDateTime(const std::string& AFileName, TDateTime ALocalTime) {
  const timespec ts = LocalTimeToTimespec(ALocalTime);
  const timespec times[2] = {ts, ts};
  return ::utimensat(AT_FDCWD, AFileName.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

TDateTime GetFileDateTime(const std::string& AFileName) {
  struct stat st {};
  if (::stat(AFileName.c_str(), &st) != 0) return Now();
  const int64_t ms = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
  return GlobalTimeToLocalTime(UnixMsToDateTime(ms));
}

std::string GetCurrentUserName() {
  // An impersonated client (NTLM) on this thread comes first.
  return plat::GetCurrentUserName();
}

uint32_t GetLastErrorCode() { return plat::GetLastError(); }

std::unique_ptr<plat::TMessageWindow> AllocateWindowSafe(plat::TMessageWindow::Handler AMethod) {
  const std::scoped_lock lock(WindowLock());
  return std::make_unique<plat::TMessageWindow>(std::move(AMethod));
}

void DeallocateWindowSafe(std::unique_ptr<plat::TMessageWindow>& AWnd) {
  const std::scoped_lock lock(WindowLock());
  AWnd.reset();
}
