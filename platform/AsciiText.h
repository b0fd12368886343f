// ASCII text rules shared by every layer: a case fold that changes only the
// letters A-Z and a-z (never the locale, never a byte above 0x7F, so a lead
// or trail byte of a double-byte code page passes unchanged), and equality,
// order and prefix or suffix tests under that fold. Protocol words, header
// names, charset names, file-name extensions and user names are all compared
// here. No state; any thread; nothing throws but the allocating copies.
#pragma once

#include <string>
#include <string_view>

namespace plat {

[[nodiscard]] constexpr char AsciiLower(char c) noexcept {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

[[nodiscard]] constexpr char AsciiUpper(char c) noexcept {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

[[nodiscard]] inline std::string AsciiLowerCase(std::string_view AText) {
  std::string r(AText);
  for (char& c : r) c = AsciiLower(c);
  return r;
}

[[nodiscard]] inline std::string AsciiUpperCase(std::string_view AText) {
  std::string r(AText);
  for (char& c : r) c = AsciiUpper(c);
  return r;
}

// Equal once both are folded.
[[nodiscard]] constexpr bool AsciiSameText(std::string_view A, std::string_view B) noexcept {
  if (A.size() != B.size()) return false;
  for (size_t i = 0; i < A.size(); ++i)
    if (AsciiLower(A[i]) != AsciiLower(B[i])) return false;
  return true;
}

[[nodiscard]] constexpr bool AsciiStartsWith(std::string_view AText, std::string_view APrefix) noexcept {
  return AText.size() >= APrefix.size() && AsciiSameText(AText.substr(0, APrefix.size()), APrefix);
}

[[nodiscard]] constexpr bool AsciiEndsWith(std::string_view AText, std::string_view ASuffix) noexcept {
  return AText.size() >= ASuffix.size() && AsciiSameText(AText.substr(AText.size() - ASuffix.size()), ASuffix);
}

// The order of the folded texts as unsigned bytes, a shorter text first when
// one is a prefix of the other: negative, 0 or positive. AFold says which
// case letters are folded to, which decides where "[\]^_`" sort.
[[nodiscard]] constexpr int AsciiCompareText(std::string_view A, std::string_view B,
                                             char (*AFold)(char) noexcept = AsciiLower) noexcept {
  const size_t n = A.size() < B.size() ? A.size() : B.size();
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(AFold(A[i]));
    const auto y = static_cast<unsigned char>(AFold(B[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  return A.size() < B.size() ? -1 : (A.size() > B.size() ? 1 : 0);
}

}  // namespace plat
