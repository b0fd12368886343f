#include "qvTranslator.h"

#include "AsciiText.h"
#include "Streams.h"
#include "qvTranslatorTables.h"

#include <algorithm>
#include <cstring>

namespace {

using qv_translator_detail::kCharSetTables;

bool IsUtf8(std::string_view ACharSet) { return plat::AsciiSameText(ACharSet, "utf-8"); }

constexpr TqvCharsetTable MakeIdentityTable() {
  TqvCharsetTable t{};
  for (int i = 0; i < 256; ++i) {
    t.ToLocal[i] = static_cast<uint8_t>(i);
    t.ToCharset[i] = static_cast<uint8_t>(i);
  }
  return t;
}

constexpr TqvCharsetTable kNoTable = MakeIdentityTable();

std::string Translate(std::string_view AText, const std::array<uint8_t, 256>& AMap) {
  std::string out(AText);
  // No table for the character set: the bytes stay as they are.
  if (&AMap == &kNoTable.ToLocal || &AMap == &kNoTable.ToCharset) return out;
  for (char& c : out) c = static_cast<char>(AMap[static_cast<unsigned char>(c)]);
  return out;
}

// Reads the source from position 0 and writes the dest from position 0,
// seeking before every piece so that one stream may be both.
void TranslateStream(TStream& ASource, TStream& ADest, const std::array<uint8_t, 256>& AMap) {
  const int64_t srcPos = ASource.Position();
  const int64_t dstPos = ADest.Position();
  char buf[4096];
  int64_t off = 0;
  for (;;) {
    ASource.SetPosition(off);
    int64_t n = ASource.Read(buf, sizeof buf);
    if (n <= 0) break;
    for (int64_t i = 0; i < n; ++i) buf[i] = static_cast<char>(AMap[static_cast<unsigned char>(buf[i])]);
    ADest.SetPosition(off);
    ADest.WriteBuffer(buf, n);
    off += n;
  }
  ASource.SetPosition(srcPos);
  ADest.SetPosition(dstPos);
}

// The bytes become text only up to the first NUL.
std::string BytesToText(const char* AData, size_t ASize, std::string_view ACharSet) {
  if (ASize == 0) return {};
  if (const void* nul = std::memchr(AData, 0, ASize)) ASize = static_cast<const char*>(nul) - AData;
  std::string_view bytes(AData, ASize);
  if (IsUtf8(ACharSet)) return plat::WideStringToCodePage(Utf8ToWideString(bytes), plat::GetACP());
  return TqvTranslator::TranslateFrom(ACharSet, bytes);
}

bool IsContinuation(uint8_t b) { return (b & 0xC0) == 0x80; }
bool IsHighSurrogate(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The unit a malformed sequence leaves, from the byte that broke it.
char16_t BrokenUnit(uint8_t AOffending) { return AOffending == ' ' ? u' ' : u'\x80'; }

}  // namespace

int TqvTranslator::GetByteCount(std::string_view AText, std::string_view ACharSet) {
  return static_cast<int>(GetBytes(AText, ACharSet).size());
}

TBytes TqvTranslator::GetBytes(std::string_view AText, std::string_view ACharSet) {
  std::string bytes = IsUtf8(ACharSet)
                          ? WideStringToUtf8(plat::CodePageToWideString(AText, plat::GetACP()))
                          : TranslateTo(ACharSet, AText);
  return TBytes(bytes.begin(), bytes.end());
}

TBytes TqvTranslator::GetBytes(std::string_view AText) { return GetBytes(AText, {}); }

int TqvTranslator::GetBytes(std::string_view AText, void* ABuffer, std::string_view ACharSet, int ACount) {
  if (ACount <= 0 || ABuffer == nullptr) return 0;
  TBytes bytes = GetBytes(AText, ACharSet);
  size_t n = std::min(bytes.size(), static_cast<size_t>(ACount));
  if (n) std::memcpy(ABuffer, bytes.data(), n);
  return static_cast<int>(n);
}

std::string TqvTranslator::GetString(const TBytes& ABytes, std::string_view ACharSet) {
  return BytesToText(reinterpret_cast<const char*>(ABytes.data()), ABytes.size(), ACharSet);
}

std::string TqvTranslator::GetString(const TBytes& ABytes, int AIndex, int ACount, std::string_view ACharSet) {
  // Only the part of [AIndex, AIndex + ACount) that lies inside the array.
  int64_t from = std::max<int64_t>(AIndex, 0);
  int64_t to = std::min<int64_t>(int64_t{AIndex} + ACount, static_cast<int64_t>(ABytes.size()));
  if (ACount <= 0 || from >= to) return {};
  return BytesToText(reinterpret_cast<const char*>(ABytes.data()) + from, static_cast<size_t>(to - from),
                     ACharSet);
}

std::string TqvTranslator::GetString(const void* ABuffer, int ACount, std::string_view ACharSet) {
  if (ACount <= 0 || ABuffer == nullptr) return {};
  return BytesToText(static_cast<const char*>(ABuffer), static_cast<size_t>(ACount), ACharSet);
}

std::string TqvTranslator::TranslateTo(std::string_view ACharSet, std::string_view AText) {
  return Translate(AText, GetCharsetTable(ACharSet).ToCharset);
}

std::string TqvTranslator::TranslateFrom(std::string_view ACharSet, std::string_view AText) {
  return Translate(AText, GetCharsetTable(ACharSet).ToLocal);
}

void TqvTranslator::TranslateStreamTo(std::string_view ACharSet, TStream& ASource, TStream& ADest) {
  TranslateStream(ASource, ADest, GetCharsetTable(ACharSet).ToCharset);
}

void TqvTranslator::TranslateStreamFrom(std::string_view ACharSet, TStream& ASource, TStream& ADest) {
  TranslateStream(ASource, ADest, GetCharsetTable(ACharSet).ToLocal);
}

const TqvCharsetTable& TqvTranslator::GetCharsetTable(std::string_view ACharSet) {
  for (const TqvCharsetTable& t : kCharSetTables)
    if (plat::AsciiSameText(t.Name, ACharSet)) return t;
  return kNoTable;
}

size_t Utf8Encode(char* ADest, size_t AMaxDestBytes, const char16_t* ASource, size_t ASourceUnits) {
  size_t pos = 0;
  for (size_t k = 0; k < ASourceUnits; ++k) {
    uint32_t u = ASource[k];
    uint8_t seq[4];
    size_t len;
    if (u < 0x80) {
      seq[0] = static_cast<uint8_t>(u);
      len = 1;
    } else if (u < 0x800) {
      seq[0] = static_cast<uint8_t>(0xC0 | u >> 6);
      seq[1] = static_cast<uint8_t>(0x80 | (u & 0x3F));
      len = 2;
    } else if (IsHighSurrogate(ASource[k]) && k + 1 < ASourceUnits && IsLowSurrogate(ASource[k + 1])) {
      uint32_t cp = 0x10000 + ((u - 0xD800) << 10) + (ASource[k + 1] - 0xDC00u);
      seq[0] = static_cast<uint8_t>(0xF0 | cp >> 18);
      seq[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
      seq[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
      seq[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
      len = 4;
    } else {
      seq[0] = static_cast<uint8_t>(0xE0 | u >> 12);
      seq[1] = static_cast<uint8_t>(0x80 | ((u >> 6) & 0x3F));
      seq[2] = static_cast<uint8_t>(0x80 | (u & 0x3F));
      len = 3;
    }
    if (pos + len > AMaxDestBytes) break;
    std::memcpy(ADest + pos, seq, len);
    pos += len;
    if (len == 4) ++k;
  }
  return pos;
}

size_t Utf8Decode(char16_t* ADest, size_t AMaxDestUnits, const char* ASource, size_t ASourceBytes) {
  // A byte past the end reads as NUL, which breaks any sequence.
  auto at = [&](size_t k) -> uint8_t {
    return k < ASourceBytes ? static_cast<uint8_t>(ASource[k]) : 0;
  };
  size_t i = 0, n = 0;
  while (i < ASourceBytes && n < AMaxDestUnits) {
    const uint8_t a = at(i);
    if (a < 0x80) {
      ADest[n++] = a;
      ++i;
      continue;
    }
    if (a >= 0xF0 && a <= 0xF4 && IsContinuation(at(i + 1)) && IsContinuation(at(i + 2)) &&
        IsContinuation(at(i + 3))) {
      uint32_t cp = (a & 0x07u) << 18 | (at(i + 1) & 0x3Fu) << 12 | (at(i + 2) & 0x3Fu) << 6 |
                    (at(i + 3) & 0x3Fu);
      if (cp >= 0x10000 && cp <= 0x10FFFF) {
        if (n + 2 > AMaxDestUnits) break;
        cp -= 0x10000;
        ADest[n++] = static_cast<char16_t>(0xD800 + (cp >> 10));
        ADest[n++] = static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        i += 4;
        continue;
      }
      // Overlong or beyond U+10FFFF: read as the three-byte form below.
    }
    const uint8_t c = at(i + 1);
    i += 2;
    if (!(a & 0x20)) {
      ADest[n++] = IsContinuation(c) ? static_cast<char16_t>((a & 0x3F) << 6 | (c & 0x3F)) : BrokenUnit(c);
      continue;
    }
    if (!IsContinuation(c)) {
      ADest[n++] = BrokenUnit(c);
      continue;
    }
    const uint8_t d = at(i);
    ++i;
    ADest[n++] = IsContinuation(d) ? static_cast<char16_t>((a & 0x0F) << 12 | (c & 0x3F) << 6 | (d & 0x3F))
                                   : BrokenUnit(d);
  }
  return n;
}

std::string WideStringToUtf8(std::u16string_view AText) {
  std::string out(AText.size() * 3, '\0');
  out.resize(Utf8Encode(out.data(), out.size(), AText.data(), AText.size()));
  return out;
}

std::u16string Utf8ToWideString(std::string_view AText) {
  std::u16string out(AText.size(), u'\0');
  out.resize(Utf8Decode(out.data(), out.size(), AText.data(), AText.size()));
  return out;
}
