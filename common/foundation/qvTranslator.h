// Text <-> bytes in a named character set. Program strings are bytes in the
// process ANSI code page (plat::GetACP, 936 by default). Two kinds of charset
// are known: "utf-8" (any ASCII case), converted through UTF-16 with the code
// page and the UTF-8 codec below, and twelve built-in single-byte tables
// (GetCharsetTable). Any other name, "utf8", "us-ascii" and "" among them,
// leaves the bytes unchanged. Bytes become text only up to the first NUL.
// Nothing raises: malformed UTF-8 gives blanks or U+0080, and what the code
// page lacks becomes "?". No state; every function may be called from any
// thread. The Cyrillic tables assume a Windows-1251 local side and
// "ISO-8859-2" a Windows-1250 one, whatever the real code page is.
#pragma once

#include "ClassCore.h"
#include "CodePage.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TStream;

// One built-in table. Bytes 0..127 map to themselves in both directions; the
// tables are not permutations (several bytes may map to one).
struct TqvCharsetTable {
  std::string_view Name;               // empty for "no table"
  std::array<uint8_t, 256> ToLocal;    // charset byte -> local byte
  std::array<uint8_t, 256> ToCharset;  // local byte -> charset byte
};

class TqvTranslator {
 public:
  TqvTranslator() = delete;

  // Length of GetBytes(AText, ACharSet).
  [[nodiscard]] static int GetByteCount(std::string_view AText, std::string_view ACharSet);
  // The text's bytes in the charset; without a charset, unchanged.
  [[nodiscard]] static TBytes GetBytes(std::string_view AText, std::string_view ACharSet);
  [[nodiscard]] static TBytes GetBytes(std::string_view AText);
  // Converts and copies at most ACount bytes into ABuffer; returns the number
  // copied (0 when ACount <= 0 or ABuffer is null).
  static int GetBytes(std::string_view AText, void* ABuffer, std::string_view ACharSet, int ACount);

  // The bytes as text, ending at the first NUL.
  [[nodiscard]] static std::string GetString(const TBytes& ABytes, std::string_view ACharSet);
  // ACount bytes from AIndex (0-based), clipped to the array; ACount <= 0 gives "".
  [[nodiscard]] static std::string GetString(const TBytes& ABytes, int AIndex, int ACount,
                                             std::string_view ACharSet);
  // ACount bytes of ABuffer; ACount <= 0 or a null buffer gives "".
  [[nodiscard]] static std::string GetString(const void* ABuffer, int ACount, std::string_view ACharSet);

  // Byte by byte through a table (local -> charset, charset -> local); a name
  // without a table returns the text unchanged. NUL bytes are kept.
  [[nodiscard]] static std::string TranslateTo(std::string_view ACharSet, std::string_view AText);
  [[nodiscard]] static std::string TranslateFrom(std::string_view ACharSet, std::string_view AText);
  // The same over whole streams: ASource is read from position 0, ADest is
  // written from position 0 (over what is there), and both positions are put
  // back afterwards. Raises only what the streams raise.
  static void TranslateStreamTo(std::string_view ACharSet, TStream& ASource, TStream& ADest);
  static void TranslateStreamFrom(std::string_view ACharSet, TStream& ASource, TStream& ADest);

  // The first table whose name equals ACharSet ignoring ASCII case, else a
  // record with an empty name and identity tables. Valid for the whole run.
  [[nodiscard]] static const TqvCharsetTable& GetCharsetTable(std::string_view ACharSet);
};

// The code-page conversions (code page 0 is the ANSI code page).
using plat::CodePageToWideString;
using plat::WideStringToCodePage;

// UTF-16 -> UTF-8. A surrogate pair gives one four-byte sequence; a lone
// surrogate is encoded alone in three bytes.
[[nodiscard]] std::string WideStringToUtf8(std::u16string_view AText);
// UTF-8 -> UTF-16. A four-byte sequence of a character above U+FFFF gives a
// surrogate pair. A malformed sequence gives one unit and consumes two or
// three bytes: a blank when the offending byte is a blank, else U+0080; a
// sequence cut off by the end counts as followed by NUL.
[[nodiscard]] std::u16string Utf8ToWideString(std::string_view AText);

// The bounded forms of the two above: they stop before a sequence (or unit
// pair) that would not fit the destination and return how much they wrote.
// 3 bytes per unit always suffice for encoding, 1 unit per byte for decoding.
size_t Utf8Encode(char* ADest, size_t AMaxDestBytes, const char16_t* ASource, size_t ASourceUnits);
size_t Utf8Decode(char16_t* ADest, size_t AMaxDestUnits, const char* ASource, size_t ASourceBytes);
