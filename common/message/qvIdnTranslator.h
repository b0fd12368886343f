// Punycode (RFC 3492, encoding only) for internationalised domain labels.
// Labels arrive as raw bytes: valid UTF-8 is read as UTF-8, anything else as
// local-code-page text, and decoded to Unicode code points before encoding; only code points below 128 are copied as they are
// (no case folding, no name preparation). Stateless; any thread. Raises
// EqvIdnError when a digit is out of range or the delta would overflow.
#pragma once

#include "ClassCore.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

class EqvIdnError : public Exception {
 public:
  using Exception::Exception;
  VX_CLASS_NAME("EqvIdnError")
};

constexpr const char* kIdnBadInput = "Bad input value for the IDN translator";
constexpr const char* kIdnOverflow = "Input value needs wider integers to translate";

class TqvIdnTranslator {
 public:
  TqvIdnTranslator() = delete;

  // The label unchanged when it is all ASCII (the empty label too), else
  // "xn--" + Punycode of its code points.
  [[nodiscard]] static std::string EncodeLabel(std::string_view AInput);
  [[nodiscard]] static std::string EncodeLabel(std::u32string_view ACodePoints);
  // Every "."-separated label through EncodeLabel; empty labels stay.
  [[nodiscard]] static std::string EncodeDomain(std::string_view ADomain);
  [[nodiscard]] static bool IsAscii(std::string_view AText);
  [[nodiscard]] static bool IsBasic(uint32_t ACodePoint) { return ACodePoint < 128; }
  // 0..25 -> 'a'..'z', 26..35 -> '0'..'9'.
  [[nodiscard]] static char EncodeDigit(uint32_t ADigit);
  [[nodiscard]] static uint32_t Adapt(uint32_t ADelta, uint32_t APoints, bool AFirstTime);
  // The code points of AText: as UTF-8 when it is valid UTF-8, else as
  // local-code-page text (surrogate pairs joined).
  [[nodiscard]] static std::u32string ToCodePoints(std::string_view AText);
  // Strict UTF-8 (no overlong forms, surrogates or values past U+10FFFF);
  // empty for anything else.
  [[nodiscard]] static std::optional<std::u32string> DecodeUtf8(std::string_view AText);
};
