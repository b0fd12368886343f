#include "qvTextSplit.h"

#include "AsciiText.h"
#include "ClassCore.h"
#include "StringList.h"
#include "qvStringsUtils.h"

#include <algorithm>

bool SameTextAscii(std::string_view a, std::string_view b) { return plat::AsciiSameText(a, b); }

int TextPos(std::string_view ASubStr, std::string_view AText, int AStart) {
  if (AStart <= 0 || ASubStr.empty() || static_cast<size_t>(AStart) > AText.size()) return 0;
  const size_t p = AText.find(ASubStr, static_cast<size_t>(AStart - 1));
  return p == std::string_view::npos ? 0 : static_cast<int>(p) + 1;
}

int RTextPos(std::string_view ASubStr, std::string_view AText, int AStart) {
  if (ASubStr.empty() || ASubStr.size() > AText.size()) return 0;
  int p = static_cast<int>(AText.size() - ASubStr.size()) + 1;
  if (AStart >= 0) p = std::min(p, AStart);
  for (; p >= 1; --p)
    if (SameTextAscii(AText.substr(static_cast<size_t>(p - 1), ASubStr.size()), ASubStr)) return p;
  return 0;
}

std::string RemoveTrailingChars(std::string_view AText, std::string_view ACharSet) {
  const size_t e = AText.find_last_not_of(ACharSet);
  return e == std::string_view::npos ? std::string() : std::string(AText.substr(0, e + 1));
}

void SplitText(std::string_view AText, TStrings& AList, char ASeparator, bool AKeepQuotes,
               std::string_view AOpenQuotes, std::string_view ACloseQuotes) {
  Assert(AOpenQuotes.size() == ACloseQuotes.size());
  TqvStringsUpdate guard(AList);
  AList.Clear();
  std::string piece;
  bool quoted = false;  // the piece holds a quoted run, perhaps an empty one
  int depth = 0;
  char open = 0, close = 0;
  for (const char ch : AText) {
    if (depth > 0) {
      if (ch == close) {
        if (--depth > 0 || AKeepQuotes) piece += ch;
      } else {
        if (ch == open && open != close) ++depth;
        piece += ch;
      }
      continue;
    }
    const size_t k = AOpenQuotes.find(ch);
    if (k != std::string_view::npos) {
      if (!piece.empty() && quoted) {
        AList.Add(piece);
        piece.clear();
      }
      open = ch;
      close = ACloseQuotes[k];
      depth = 1;
      quoted = true;
      if (AKeepQuotes) piece += ch;
    } else if (ch == ASeparator) {
      if (!piece.empty() || quoted) AList.Add(piece);
      piece.clear();
      quoted = false;
    } else {
      piece += ch;
    }
  }
  if (!piece.empty() || quoted) AList.Add(piece);
}

void SplitText(std::string_view AText, TStrings& AList, char ASeparator) {
  SplitText(AText, AList, ASeparator, false, "\"", "\"");
}

void SplitText(std::string_view AText, TStrings& AList) { SplitText(AText, AList, ' '); }

void ExtractWords(std::string_view AText, TStrings& AList, std::string_view ADelimiters) {
  const auto skippable = [](char c) { return c >= 1 && c <= 31 && c != '\t'; };
  const auto isDelim = [&](char c) { return ADelimiters.find(c) != std::string_view::npos; };
  TqvStringsUpdate guard(AList);
  AList.Clear();
  const size_t n = AText.size();
  size_t i = 0;
  const auto skip = [&] {
    while (i < n && skippable(AText[i])) ++i;
  };
  skip();
  if (i >= n) return;
  do {
    const size_t start = i;
    while (i < n && AText[i] != '\0' && !skippable(AText[i]) && !isDelim(AText[i])) ++i;
    AList.Add(std::string(AText.substr(start, i - start)));
    skip();
    if (i >= n || !isDelim(AText[i])) break;
    if (i == n - 1) AList.Add(std::string());
    ++i;
    skip();
  } while (i < n);
}

void ExtractWords(std::string_view AText, TStrings& AList, char ADelimiter) {
  ExtractWords(AText, AList, std::string_view(&ADelimiter, 1));
}

namespace {
// Start (0-based) and length of the N-th word, or false.
bool FindWord(int AN, std::string_view AText, std::string_view ADelimiters, size_t& start, size_t& len) {
  int count = 0;
  size_t i = 0;
  while (i < AText.size()) {
    while (i < AText.size() && ADelimiters.find(AText[i]) != std::string_view::npos) ++i;
    if (i >= AText.size()) break;
    const size_t s = i;
    while (i < AText.size() && ADelimiters.find(AText[i]) == std::string_view::npos) ++i;
    if (++count == AN) {
      start = s;
      len = i - s;
      return true;
    }
  }
  return false;
}
}  // namespace

int WordCount(std::string_view AText, std::string_view ADelimiters) {
  int count = 0;
  bool inWord = false;
  for (const char c : AText) {
    const bool delim = ADelimiters.find(c) != std::string_view::npos;
    if (!delim && !inWord) ++count;
    inWord = !delim;
  }
  return count;
}

int WordPosition(int AN, std::string_view AText, std::string_view ADelimiters) {
  size_t s = 0, l = 0;
  return FindWord(AN, AText, ADelimiters, s, l) ? static_cast<int>(s) + 1 : 0;
}

std::string ExtractWord(int AN, std::string_view AText, std::string_view ADelimiters) {
  size_t s = 0, l = 0;
  return FindWord(AN, AText, ADelimiters, s, l) ? std::string(AText.substr(s, l)) : std::string();
}

std::string ExtractQuotedString(std::string_view AText) { return ExtractQuotedString(AText, '"', '"'); }

std::string ExtractQuotedString(std::string_view AText, char AQuote) {
  return ExtractQuotedString(AText, AQuote, AQuote);
}

std::string ExtractQuotedString(std::string_view AText, char AOpen, char AClose) {
  if (AText.size() > 1 && AText.front() == AOpen && AText.back() == AClose)
    return std::string(AText.substr(1, AText.size() - 2));
  return std::string(AText);
}

std::string GetQuotedString(std::string_view AText) { return GetQuotedString(AText, '"', '"'); }

std::string GetQuotedString(std::string_view AText, char AOpen, char AClose) {
  if (!AText.empty() && (AText.front() == AOpen || AText.back() == AClose)) return std::string(AText);
  return AOpen + std::string(AText) + AClose;
}

std::string AddTrailingChar(std::string_view AText, char AChar) {
  if (AText.empty() || AText.back() == AChar) return std::string(AText);
  return std::string(AText) + AChar;
}
