#include "qvImapUtils.h"

#include <array>
#include <cstdio>

#include "AsciiText.h"
#include "Decimal.h"
#include "qvEncoder.h"
#include "qvTranslator.h"
#include "qvMailDate.h"

namespace {

constexpr std::array<const char*, 6> kFlagNames = {"\\Answered", "\\Flagged", "\\Deleted",
                                                   "\\Seen",     "\\Draft",   "\\Recent"};
constexpr std::array<const char*, 6> kFlagKeys = {"\\ANSWERED", "\\FLAGGED", "\\DELETED",
                                                  "\\SEEN",     "\\DRAFT",   "\\RECENT"};

// Base64 with "," for "/" and no padding.
std::string ModifiedBase64(const std::string& AUnits) {
  std::string text = TqvEncoder::EncodeBytesToLine(TBytes(AUnits.begin(), AUnits.end()), cmBase64);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text)
    if (c == '/') c = ',';
  return text;
}

void PutUnit(std::string& AUnits, uint32_t AUnit) {
  AUnits += static_cast<char>((AUnit >> 8) & 0xFF);
  AUnits += static_cast<char>(AUnit & 0xFF);
}

// The UTF-16BE bytes of a modified base64 run, as UTF-8.
std::string DecodeRun(std::string_view ARun) {
  std::string text(ARun);
  for (char& c : text)
    if (c == ',') c = '/';
  while (text.size() % 4 != 0) text += '=';
  TBytes bytes;
  try {
    bytes = TqvEncoder::DecodeTextToBytes(text, cmBase64);
  } catch (const std::exception&) {
    return {};
  }
  std::u16string units;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    units += static_cast<char16_t>((bytes[i] << 8) | bytes[i + 1]);
  return WideStringToUtf8(units);
}

bool ReadNumber(std::string_view AText, size_t& APos, size_t AMinDigits, size_t AMaxDigits, int& AValue) {
  const std::string_view digits = plat::DecimalPrefix(AText.substr(std::min(APos, AText.size())), AMaxDigits);
  APos += digits.size();
  AValue = plat::ParseDecimal<int>(digits).value_or(0);
  return digits.size() >= AMinDigits;
}

bool Expect(std::string_view AText, size_t& APos, char AChar) {
  if (APos >= AText.size() || AText[APos] != AChar) return false;
  ++APos;
  return true;
}

}  // namespace

const std::string& ImapMessageFlagsText(TqvMailMessageFlags AFlags) {
  static const std::array<std::string, qvAllMessageFlags + 1> kTexts = [] {
    std::array<std::string, qvAllMessageFlags + 1> texts;
    for (size_t flags = 0; flags < texts.size(); ++flags)
      for (size_t i = 0; i < kFlagNames.size(); ++i) {
        if (!(flags & (1u << i))) continue;
        if (!texts[flags].empty()) texts[flags] += ' ';
        texts[flags] += kFlagNames[i];
      }
    return texts;
  }();
  return kTexts[AFlags & qvAllMessageFlags];
}

std::string GetImapMessageFlags(TqvMailMessageFlags AFlags) { return ImapMessageFlagsText(AFlags); }

TqvMailMessageFlags ParseImapMessageFlags(std::string_view AText) {
  TqvMailMessageFlags flags = 0;
  for (size_t i = 0; i < kFlagKeys.size(); ++i)
    if (AText.find(kFlagKeys[i]) != std::string_view::npos) flags |= static_cast<TqvMailMessageFlags>(1u << i);
  return flags;
}

std::string GetImapDateTimeStr(TDateTime ALocal) {
  uint16_t y, mo, d, h, mi, s, ms;
  DecodeDateTime(ALocal, y, mo, d, h, mi, s, ms);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%2d-%s-%04d %02d:%02d:%02d %s", d, ShortMonthName(mo).c_str(), y, h, mi, s,
                GetTimeZoneBias(ALocal).c_str());
  return buf;
}

bool TryImapDateTimeToDateTime(std::string_view AText, TDateTime& AResult) {
  size_t pos = 0;
  if (pos < AText.size() && AText[pos] == ' ') ++pos;
  int day = 0, year = 0, hour = 0, minute = 0, second = 0, zh = 0, zm = 0;
  if (!ReadNumber(AText, pos, 1, 2, day) || !Expect(AText, pos, '-')) return false;
  if (pos + 3 > AText.size()) return false;
  const std::string_view name = AText.substr(pos, 3);
  int month = 0;
  for (int m = 1; m <= 12; ++m)
    if (plat::AsciiSameText(ShortMonthName(m), name)) month = m;
  pos += 3;
  if (month == 0 || !Expect(AText, pos, '-') || !ReadNumber(AText, pos, 4, 4, year) || !Expect(AText, pos, ' ') ||
      !ReadNumber(AText, pos, 2, 2, hour) || !Expect(AText, pos, ':') || !ReadNumber(AText, pos, 2, 2, minute) ||
      !Expect(AText, pos, ':') || !ReadNumber(AText, pos, 2, 2, second) || !Expect(AText, pos, ' '))
    return false;
  if (pos >= AText.size() || (AText[pos] != '+' && AText[pos] != '-')) return false;
  const bool west = AText[pos++] == '-';
  if (!ReadNumber(AText, pos, 2, 2, zh) || !ReadNumber(AText, pos, 2, 2, zm) || pos != AText.size()) return false;
  TDateTime date = 0, time = 0;
  if (!TryEncodeDate(static_cast<uint16_t>(year), static_cast<uint16_t>(month), static_cast<uint16_t>(day), date) ||
      !TryEncodeTime(static_cast<uint16_t>(hour), static_cast<uint16_t>(minute), static_cast<uint16_t>(second), 0,
                     time) ||
      zh > 23 || zm > 59)
    return false;
  const TDateTime zone = (west ? -1 : 1) * (zh * 60 + zm) / 1440.0;
  AResult = GlobalTimeToLocalTime(date + time - zone);
  return true;
}

std::vector<std::string> SplitImapArguments(std::string_view AText, TqvImapSplitMode AMode) {
  std::vector<std::string> words;
  std::string word;
  bool group = false;  // the word held a group, so it counts even when empty
  const bool keep = AMode == ismKeepGroups;
  size_t i = 0;
  while (i < AText.size()) {
    const char c = AText[i];
    if (c == ' ') {
      if (group || !word.empty()) words.push_back(word);
      word.clear();
      group = false;
      ++i;
    } else if (c == '"') {
      group = true;
      if (keep) word += c;
      for (++i; i < AText.size() && AText[i] != '"'; ++i) {
        if (AText[i] == '\\' && i + 1 < AText.size()) {
          if (keep) word += AText[i];
          ++i;
        }
        word += AText[i];
      }
      if (i < AText.size()) {
        if (keep) word += '"';
        ++i;
      }
    } else if ((c == '(' && AMode != ismQuotes) || (c == '{' && keep)) {
      const char close = c == '(' ? ')' : '}';
      group = true;
      if (keep) word += c;
      for (++i; i < AText.size() && AText[i] != close; ++i) word += AText[i];
      if (i < AText.size()) {
        if (keep) word += close;
        ++i;
      }
    } else {
      word += c;
      ++i;
    }
  }
  if (group || !word.empty()) words.push_back(word);
  return words;
}

std::string UnquoteImapString(std::string_view AWord) {
  if (AWord.size() < 2 || AWord.front() != '"' || AWord.back() != '"') return std::string(AWord);
  std::string result;
  for (size_t i = 1; i + 1 < AWord.size(); ++i) {
    if (AWord[i] == '\\' && i + 2 < AWord.size()) ++i;
    result += AWord[i];
  }
  return result;
}

std::string QuoteImapString(std::string_view AText) {
  std::string result = "\"";
  for (const char c : AText) {
    if (c == '"' || c == '\\') result += '\\';
    result += c;
  }
  return result + '"';
}

void TqvImap4MailBoxInfo::Clear() {
  Name.clear();
  Recent = FirstUnseen = Exists = 0;
  Flags = PermanentFlags = 0;
  UIDValidity.clear();
  UIDNext = 0;
}

void TqvImap4MailBoxInfo::Assign(const TqvImap4MailBoxInfo& ASource) {
  Name = ASource.Name;
  Recent = ASource.Recent;
  FirstUnseen = ASource.FirstUnseen;
  Exists = ASource.Exists;
  Flags = ASource.Flags;
  PermanentFlags = ASource.PermanentFlags;
  UIDValidity = ASource.UIDValidity;
  UIDNext = ASource.UIDNext;
}

std::string TqvImapUtf7Encoder::Encode(std::string_view AName) {
  std::string result, units;
  auto flush = [&] {
    if (units.empty()) return;
    result += '&' + ModifiedBase64(units) + '-';
    units.clear();
  };
  size_t i = 0;
  while (i < AName.size()) {
    const auto lead = static_cast<unsigned char>(AName[i++]);
    int64_t value;
    int more = 0;
    if (lead < 0x80) {
      value = lead;
    } else if ((lead & 0xC0) == 0x80) {
      value = -1;
    } else if (lead >= 0xFE) {
      value = -2;
    } else {
      more = lead >= 0xFC ? 5 : lead >= 0xF8 ? 4 : lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
      value = lead & (0x3F >> more);
      for (; more > 0 && i < AName.size() && (static_cast<unsigned char>(AName[i]) & 0xC0) == 0x80; --more)
        value = (value << 6) | (static_cast<unsigned char>(AName[i++]) & 0x3F);
    }
    if (value >= 32 && value <= 126) {
      flush();
      result += value == '&' ? std::string("&-") : std::string(1, static_cast<char>(value));
    } else if (value > 0xFFFF && value <= 0x10FFFF) {
      const int64_t v = value - 0x10000;
      PutUnit(units, 0xD800 + static_cast<uint32_t>(v >> 10));
      PutUnit(units, 0xDC00 + static_cast<uint32_t>(v & 0x3FF));
    } else {
      PutUnit(units, static_cast<uint32_t>(value & 0xFFFF));
    }
  }
  flush();
  return result;
}

std::string TqvImapUtf7Encoder::Decode(std::string_view AText) {
  std::string result;
  size_t i = 0;
  while (i < AText.size()) {
    const size_t amp = AText.find('&', i);
    if (amp == std::string_view::npos) {
      result += AText.substr(i);
      break;
    }
    result += AText.substr(i, amp - i);
    if (amp + 1 >= AText.size()) break;  // a final "&" is dropped
    size_t dash = AText.find('-', amp + 1);
    if (dash == std::string_view::npos) dash = AText.size();
    if (dash == amp + 1)
      result += '&';
    else
      result += DecodeRun(AText.substr(amp + 1, dash - amp - 1));
    i = dash + 1;
  }
  return result;
}

namespace {

int Base64Value(char AChar) {
  if (AChar >= 'A' && AChar <= 'Z') return AChar - 'A';
  if (AChar >= 'a' && AChar <= 'z') return AChar - 'a' + 26;
  if (AChar >= '0' && AChar <= '9') return AChar - '0' + 52;
  if (AChar == '+') return 62;
  if (AChar == ',') return 63;
  return -1;
}

// UTF-8 by the rules of RFC 3629: shortest forms, no surrogates, up to U+10FFFF.
bool IsUtf8(std::string_view AText) {
  size_t i = 0;
  while (i < AText.size()) {
    const auto lead = static_cast<unsigned char>(AText[i]);
    const int more = lead < 0x80 ? 0 : (lead & 0xE0) == 0xC0 ? 1 : (lead & 0xF0) == 0xE0 ? 2 : (lead & 0xF8) == 0xF0 ? 3 : -1;
    if (more < 0 || i + static_cast<size_t>(more) >= AText.size()) return false;
    uint32_t value = more == 0 ? lead : lead & (0x3F >> more);
    for (int k = 1; k <= more; ++k) {
      const auto c = static_cast<unsigned char>(AText[i + static_cast<size_t>(k)]);
      if ((c & 0xC0) != 0x80) return false;
      value = (value << 6) | (c & 0x3F);
    }
    static constexpr uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (value < kLeast[more] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    i += static_cast<size_t>(more) + 1;
  }
  return true;
}

}  // namespace

bool TqvImapUtf7Encoder::IsWellFormed(std::string_view AText) {
  std::string direct;
  size_t i = 0;
  while (i < AText.size()) {
    if (AText[i] != '&') {
      direct += AText[i++];
      continue;
    }
    const size_t dash = AText.find('-', i + 1);
    if (dash == std::string_view::npos) return false;
    const std::string_view run = AText.substr(i + 1, dash - i - 1);
    i = dash + 1;
    if (run.empty()) continue;  // "&-"
    uint32_t bits = 0;
    int count = 0;
    uint32_t high = 0;  // a high surrogate waiting for its low one
    for (const char c : run) {
      const int v = Base64Value(c);
      if (v < 0) return false;
      bits = (bits << 6) | static_cast<uint32_t>(v);
      count += 6;
      if (count < 16) continue;
      count -= 16;
      const uint32_t unit = (bits >> count) & 0xFFFF;
      bits &= (1u << count) - 1;
      if (high != 0) {
        if (unit < 0xDC00 || unit > 0xDFFF) return false;
        high = 0;
      } else if (unit >= 0xD800 && unit <= 0xDBFF) {
        high = unit;
      } else if ((unit >= 0xDC00 && unit <= 0xDFFF) || (unit >= 0x20 && unit <= 0x7E)) {
        return false;
      }
    }
    if (high != 0 || count >= 6 || bits != 0) return false;
  }
  return IsUtf8(direct);
}
