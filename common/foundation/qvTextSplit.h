// Cutting and searching byte text: splitting at a separator outside quoted
// runs, extracting delimited words, adding and removing enclosing quotes and
// trailing characters, positions of substrings, and ASCII case-blind
// equality. Byte strings of the local code page; positions are 1-based. Pure
// functions, any thread; the list forms fill a borrowed TStrings. Errors:
// SplitText raises EAssertionFailed for unpaired quote sets; everything else
// returns its neutral value (0, empty).
#pragma once

#include <string>
#include <string_view>

class TStrings;

// Equal when the lengths match and the bytes do, ASCII letters without case.
[[nodiscard]] bool SameTextAscii(std::string_view A, std::string_view B);

// Case-sensitive; 0 when not found, AStart <= 0 or ASubStr empty.
[[nodiscard]] int TextPos(std::string_view ASubStr, std::string_view AText, int AStart = 1);
// Case-insensitive, backwards: the highest match at or before AStart (-1 = end).
[[nodiscard]] int RTextPos(std::string_view ASubStr, std::string_view AText, int AStart = -1);
[[nodiscard]] std::string RemoveTrailingChars(std::string_view AText, std::string_view ACharSet);

// Splits at ASeparator outside quoted runs; AOpenQuotes[k] pairs with
// ACloseQuotes[k] (unequal lengths raise EAssertionFailed). Empty pieces are
// dropped unless they held a quoted run. Inside a run only its own pair
// counts, so a ")" within quotes inside "(...)" still closes the group.
void SplitText(std::string_view AText, TStrings& AList, char ASeparator, bool AKeepQuotes,
               std::string_view AOpenQuotes, std::string_view ACloseQuotes);
void SplitText(std::string_view AText, TStrings& AList, char ASeparator);
void SplitText(std::string_view AText, TStrings& AList);

// Splits at any delimiter, keeping empty words ("a,,b" -> a, "", b; "a," -> a,
// ""); control characters other than TAB around words are dropped; an empty
// text gives no words.
void ExtractWords(std::string_view AText, TStrings& AList, std::string_view ADelimiters);
void ExtractWords(std::string_view AText, TStrings& AList, char ADelimiter);

// Words are maximal runs outside the delimiter set.
[[nodiscard]] int WordCount(std::string_view AText, std::string_view ADelimiters);
[[nodiscard]] int WordPosition(int AN, std::string_view AText, std::string_view ADelimiters);
[[nodiscard]] std::string ExtractWord(int AN, std::string_view AText, std::string_view ADelimiters);

// Removes one enclosing pair when the text is longer than one character.
[[nodiscard]] std::string ExtractQuotedString(std::string_view AText);
[[nodiscard]] std::string ExtractQuotedString(std::string_view AText, char AQuote);
[[nodiscard]] std::string ExtractQuotedString(std::string_view AText, char AOpen, char AClose);
// Adds the pair unless a non-empty text already starts or ends with it.
[[nodiscard]] std::string GetQuotedString(std::string_view AText);
[[nodiscard]] std::string GetQuotedString(std::string_view AText, char AOpen, char AClose);
// Appends AChar to a non-empty text not ending with it.
[[nodiscard]] std::string AddTrailingChar(std::string_view AText, char AChar);
