// Small string helpers of the message model: trimming as the mail code means
// it (every byte up to the blank), ASCII case, hex numbers, replacing, and the
// character boundaries of the local code page, so that text is never cut
// inside a multibyte character. Pure functions, any thread, raise nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qvtext {

// Bytes 0..32 removed at both ends (the platform's trim).
[[nodiscard]] std::string Trim(std::string_view AText);
// ASCII letters only; other bytes stay.
[[nodiscard]] std::string LowerCase(std::string_view AText);
[[nodiscard]] std::string UpperCase(std::string_view AText);
[[nodiscard]] bool SameText(std::string_view A, std::string_view B);
// Position of ASub in AText ignoring ASCII case, npos when absent.
[[nodiscard]] size_t FindText(std::string_view AText, std::string_view ASub, size_t AFrom = 0);
// Upper-case hex with at least ADigits digits.
[[nodiscard]] std::string IntToHex(uint32_t AValue, int ADigits);
[[nodiscard]] std::string ReplaceAll(std::string_view AText, std::string_view AFrom, std::string_view ATo);
// Bytes of the character that starts at APos in local-code-page text (1 at
// the end or on a broken sequence; never past the end).
[[nodiscard]] size_t CharLength(std::string_view AText, size_t APos);
// Number of characters of local-code-page text.
[[nodiscard]] size_t CharCount(std::string_view AText);
// Byte offset of the character with index AChar (the length when past the end).
[[nodiscard]] size_t CharOffset(std::string_view AText, size_t AChar);

}  // namespace qvtext
