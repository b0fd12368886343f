#include "qvIdnTranslator.h"

#include "CodePage.h"
#include "StringList.h"
#include "qvTextSplit.h"

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

std::optional<std::u32string> TqvIdnTranslator::DecodeUtf8(std::string_view AText) {
  std::u32string out;
  for (size_t i = 0; i < AText.size();) {
    const auto lead = static_cast<uint8_t>(AText[i]);
    const int extra = lead < 0x80 ? 0 : lead >= 0xC2 && lead <= 0xDF ? 1 : (lead & 0xF0) == 0xE0 ? 2
                                      : lead >= 0xF0 && lead <= 0xF4 ? 3 : -1;
    if (extra < 0 || AText.size() - i <= static_cast<size_t>(extra)) return std::nullopt;
    char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      const auto next = static_cast<uint8_t>(AText[i + static_cast<size_t>(k)]);
      if ((next & 0xC0) != 0x80) return std::nullopt;
      c = (c << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not UTF-8.
    static constexpr char32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
    if (c < kLeast[extra] || (c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) return std::nullopt;
    out += c;
    i += static_cast<size_t>(extra) + 1;
  }
  return out;
}

std::u32string TqvIdnTranslator::ToCodePoints(std::string_view AText) {
  // Raw bytes that form UTF-8 are read as UTF-8; anything else is taken to
  // be local-code-page text.
  if (std::optional<std::u32string> utf8 = DecodeUtf8(AText)) return *utf8;
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
