#include "qvIdnTranslator.h"

#include "CodePage.h"
#include "StringList.h"
#include "qvUtils.h"

namespace {
constexpr uint32_t kBase = 36, kTMin = 1, kTMax = 26, kSkew = 38, kDamp = 700;
constexpr uint32_t kInitialBias = 72, kInitialN = 128;
constexpr uint32_t kMaxInt = 2147483647;
}  // namespace

bool TqvIdnTranslator::IsAscii(std::string_view AText) {
  for (const char c : AText)
    if (static_cast<uint8_t>(c) >= 128) return false;
  return true;
}

char TqvIdnTranslator::EncodeDigit(uint32_t ADigit) {
  if (ADigit < 26) return static_cast<char>('a' + ADigit);
  if (ADigit < 36) return static_cast<char>('0' + ADigit - 26);
  throw EqvIdnError(kIdnBadInput);
}

uint32_t TqvIdnTranslator::Adapt(uint32_t ADelta, uint32_t APoints, bool AFirstTime) {
  ADelta = AFirstTime ? ADelta / kDamp : ADelta / 2;
  ADelta += ADelta / APoints;
  uint32_t k = 0;
  while (ADelta > ((kBase - kTMin) * kTMax) / 2) {
    ADelta /= kBase - kTMin;
    k += kBase;
  }
  return k + (kBase - kTMin + 1) * ADelta / (ADelta + kSkew);
}

std::u32string TqvIdnTranslator::ToCodePoints(std::string_view AText) {
  const std::u16string wide = plat::CodePageToWideString(AText, plat::CP_ACP);
  std::u32string out;
  for (size_t i = 0; i < wide.size(); ++i) {
    const char16_t u = wide[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
      out += static_cast<char32_t>(0x10000 + ((u - 0xD800) << 10) + (wide[i + 1] - 0xDC00));
      ++i;
    } else {
      out += static_cast<char32_t>(u);
    }
  }
  return out;
}

std::string TqvIdnTranslator::EncodeLabel(std::string_view AInput) {
  if (IsAscii(AInput)) return std::string(AInput);
  return EncodeLabel(ToCodePoints(AInput));
}

std::string TqvIdnTranslator::EncodeLabel(std::u32string_view AInput) {
  std::string output;
  for (const char32_t c : AInput)
    if (IsBasic(c)) output += static_cast<char>(c);
  const auto b = static_cast<uint32_t>(output.size());
  if (b == AInput.size()) return output;
  output = "xn--" + output;
  if (b > 0) output += '-';
  uint32_t n = kInitialN, delta = 0, bias = kInitialBias, h = b;
  while (h < AInput.size()) {
    uint32_t m = 0xFFFFFFFF;
    for (const char32_t c : AInput)
      if (c >= n && c < m) m = c;
    if ((kMaxInt - delta) / (h + 1) < m - n) throw EqvIdnError(kIdnOverflow);
    delta += (m - n) * (h + 1);
    n = m;
    for (const char32_t c : AInput) {
      if (c < n && ++delta > kMaxInt) throw EqvIdnError(kIdnOverflow);
      if (c != n) continue;
      uint32_t q = delta;
      for (uint32_t k = kBase;; k += kBase) {
        const uint32_t t = k <= bias ? kTMin : (k >= bias + kTMax ? kTMax : k - bias);
        if (q < t) break;
        output += EncodeDigit(t + (q - t) % (kBase - t));
        q = (q - t) / (kBase - t);
      }
      output += EncodeDigit(q);
      bias = Adapt(delta, h + 1, h == b);
      delta = 0;
      ++h;
    }
    ++delta;
    ++n;
  }
  return output;
}

std::string TqvIdnTranslator::EncodeDomain(std::string_view ADomain) {
  TStringList labels;
  ExtractWords(ADomain, labels, '.');
  std::string out;
  for (int i = 0; i < labels.Count(); ++i) {
    if (i > 0) out += '.';
    out += EncodeLabel(labels.Strings(i));
  }
  return out;
}
