// The one trim of the code base, as the class library's Trim: bytes up to
// 0x20 (blanks and control characters) off both ends, or, for INI lines,
// only blanks and tabs. Byte strings in any code page (no lead or trail byte
// of a double-byte character is 0x20 or below). No state; any thread.
#pragma once

#include <string>
#include <string_view>

namespace plat {

enum class TTrim { BlanksAndControls, BlanksAndTabs };

// A view into AText: valid while AText is.
[[nodiscard]] constexpr std::string_view TrimView(std::string_view AText,
                                                  TTrim AWhat = TTrim::BlanksAndControls) {
  const auto trimmed = [AWhat](char c) {
    return AWhat == TTrim::BlanksAndTabs ? (c == ' ' || c == '\t') : static_cast<unsigned char>(c) <= ' ';
  };
  size_t b = 0, e = AText.size();
  while (b < e && trimmed(AText[b])) ++b;
  while (e > b && trimmed(AText[e - 1])) --e;
  return AText.substr(b, e - b);
}

[[nodiscard]] inline std::string Trim(std::string_view AText, TTrim AWhat = TTrim::BlanksAndControls) {
  return std::string(TrimView(AText, AWhat));
}

}  // namespace plat
