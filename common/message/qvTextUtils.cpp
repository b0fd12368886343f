#include "qvTextUtils.h"

#include "AsciiText.h"
#include "CodePage.h"
#include "TextTrim.h"

#include <algorithm>

namespace qvtext {

std::string Trim(std::string_view AText) { return plat::Trim(AText); }

std::string LowerCase(std::string_view AText) { return plat::AsciiLowerCase(AText); }

std::string UpperCase(std::string_view AText) { return plat::AsciiUpperCase(AText); }

bool SameText(std::string_view A, std::string_view B) { return plat::AsciiSameText(A, B); }

size_t FindText(std::string_view AText, std::string_view ASub, size_t AFrom) {
  if (ASub.empty() || ASub.size() > AText.size()) return std::string_view::npos;
  for (size_t i = AFrom; i + ASub.size() <= AText.size(); ++i)
    if (SameText(AText.substr(i, ASub.size()), ASub)) return i;
  return std::string_view::npos;
}

std::string IntToHex(uint32_t AValue, int ADigits) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string r;
  do {
    r.insert(r.begin(), kHex[AValue & 15]);
    AValue >>= 4;
  } while (AValue != 0);
  while (static_cast<int>(r.size()) < ADigits) r.insert(r.begin(), '0');
  return r;
}

std::string ReplaceAll(std::string_view AText, std::string_view AFrom, std::string_view ATo) {
  if (AFrom.empty()) return std::string(AText);
  std::string r;
  size_t pos = 0;
  for (size_t hit; (hit = AText.find(AFrom, pos)) != std::string_view::npos; pos = hit + AFrom.size()) {
    r.append(AText.substr(pos, hit - pos));
    r.append(ATo);
  }
  r.append(AText.substr(pos));
  return r;
}

size_t CharLength(std::string_view AText, size_t APos) {
  if (APos >= AText.size()) return 1;
  const auto b = static_cast<uint8_t>(AText[APos]);
  if (b < 0x80) return 1;
  const size_t left = AText.size() - APos;
  const uint32_t cp = plat::GetACP();
  if (cp == plat::CP_UTF8) {
    size_t len = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
    if (len > left) return left;
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<uint8_t>(AText[APos + k]) & 0xC0) != 0x80) return k;
    return len;
  }
  // The double-byte code pages: a lead byte takes the byte after it.
  if (cp == 932 || cp == 936 || cp == 949 || cp == 950)
    return (b >= 0x81 && b <= 0xFE && left >= 2) ? 2 : 1;
  return 1;
}

size_t CharCount(std::string_view AText) {
  size_t count = 0;
  for (size_t i = 0; i < AText.size(); i += CharLength(AText, i)) ++count;
  return count;
}

size_t CharOffset(std::string_view AText, size_t AChar) {
  size_t i = 0;
  for (size_t k = 0; k < AChar && i < AText.size(); ++k) i += CharLength(AText, i);
  return std::min(i, AText.size());
}

}  // namespace qvtext
