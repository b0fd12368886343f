// Fixed texts by code: each layer keeps its errors (and replies) as one
// constexpr table of {code, text} rows, and every table is read through
// CodeText, so a text is looked up and never retyped. Rows are unordered and
// few; the first row with the code wins. Texts are string literals, valid
// for the whole run. No state; any thread; nothing throws.
#pragma once

#include <cstddef>
#include <type_traits>

namespace plat {

template <class TCode = int>
struct TCodeText {
  TCode Code;
  const char* Text;
};

// The text of ACode in ATable; AMissing when no row has it.
template <class TCode, std::size_t N>
[[nodiscard]] constexpr const char* CodeText(const TCodeText<TCode> (&ATable)[N], std::type_identity_t<TCode> ACode,
                                             const char* AMissing = "") noexcept {
  for (const TCodeText<TCode>& row : ATable)
    if (row.Code == ACode) return row.Text;
  return AMissing;
}

}  // namespace plat
