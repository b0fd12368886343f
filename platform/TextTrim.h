// The one trim of the code base, as the class library's Trim: bytes up to
// 0x20 (blanks and control characters) off both ends, or, for INI lines,
// only blanks and tabs, or, for IMAP lists, only blanks; and the cut of a
// system message quoted inside another text. Byte strings in any code page
// (no lead or trail byte of a double-byte character is 0x20 or below). No
// state; any thread.
#pragma once

#include <string>
#include <string_view>

namespace plat {

enum class TTrim { BlanksAndControls, BlanksAndTabs, Blanks };

// A view into AText: valid while AText is.
[[nodiscard]] constexpr std::string_view TrimView(std::string_view AText,
                                                  TTrim AWhat = TTrim::BlanksAndControls) {
  const auto trimmed = [AWhat](char c) {
    if (AWhat == TTrim::Blanks) return c == ' ';
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

// A system message as a clause of another text: trimmed, and without the
// full stops (and blanks between them) that close it. A view into AText.
[[nodiscard]] constexpr std::string_view TrimMessageView(std::string_view AText) {
  std::string_view s = TrimView(AText);
  while (!s.empty() && s.back() == '.') s = TrimView(s.substr(0, s.size() - 1));
  return s;
}

}  // namespace plat
