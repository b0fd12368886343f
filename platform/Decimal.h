// The decimal parser every number in a protocol line, a stored file or a
// setting is read with: the whole text as a number of type T, or nothing.
// No blanks are skipped and nothing trails; a value outside T is nothing,
// never a wrapped or clamped one. A reader with its own rule (trimming,
// clamping, a digit limit, a prefix) states that rule beside its call, on top
// of this one. No state; any thread; nothing throws.
#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string_view>

namespace plat {

// Which sign may open the digits. Minus is std::from_chars' own rule.
enum class TDecimalSign { None, Minus, PlusOrMinus };

[[nodiscard]] constexpr bool IsDecimalDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// True for one or more digits and nothing else.
[[nodiscard]] constexpr bool AllDecimalDigits(std::string_view AText) noexcept {
  if (AText.empty()) return false;
  for (const char c : AText)
    if (!IsDecimalDigit(c)) return false;
  return true;
}

// The run of digits AText starts with (empty for none), at most AMaxDigits
// long; a view into AText.
[[nodiscard]] constexpr std::string_view DecimalPrefix(std::string_view AText,
                                                       size_t AMaxDigits = std::string_view::npos) noexcept {
  size_t n = 0;
  while (n < AText.size() && n < AMaxDigits && IsDecimalDigit(AText[n])) ++n;
  return AText.substr(0, n);
}

// AText whole as a T: digits, after one sign where ASign allows it; nothing
// for an empty text, a lone sign, any other byte, or a value outside T.
template <std::integral T>
[[nodiscard]] std::optional<T> ParseDecimal(std::string_view AText,
                                            TDecimalSign ASign = TDecimalSign::None) noexcept {
  std::string_view digits = AText;
  if (ASign != TDecimalSign::None && !digits.empty() &&
      (digits[0] == '-' || (digits[0] == '+' && ASign == TDecimalSign::PlusOrMinus))) {
    digits.remove_prefix(1);
    if (AText[0] == '+') AText.remove_prefix(1);  // from_chars reads '-' itself, never '+'
  }
  if (!AllDecimalDigits(digits)) return std::nullopt;
  T value{};
  const char* end = AText.data() + AText.size();
  const auto [ptr, ec] = std::from_chars(AText.data(), end, value, 10);
  if (ec != std::errc() || ptr != end) return std::nullopt;
  return value;
}

}  // namespace plat
