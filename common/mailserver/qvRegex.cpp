#include "qvRegex.h"

namespace {

bool IsAsciiAlnum(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// One byte as a literal: a backslash before any non-alphanumeric byte makes
// it stand for itself; NUL would end the pattern text, so it is spelt out.
void AppendLiteral(std::string& ARegEx, char c) {
  if (c == '\0') {
    ARegEx += "\\x00";
    return;
  }
  if (!IsAsciiAlnum(c)) ARegEx += '\\';
  ARegEx += c;
}

}  // namespace

bool TqvRegEx::Match(const std::string& ASubject, const std::string& APattern, int AFlags) {
  return PcreMatch(ASubject, APattern, (AFlags >> 1) & 3);
}

std::string MailBoxPatternToRegEx(const std::string& APattern, const std::string& ASeparator) {
  std::string anyButSeparator = "[^";
  for (char c : ASeparator) AppendLiteral(anyButSeparator, c);
  anyButSeparator += "]*";
  // An empty separator leaves "%" free to cross levels, like "*".
  if (ASeparator.empty()) anyButSeparator = ".*";

  std::string result = "^";
  for (char c : APattern) {
    if (c == '*')
      result += ".*";
    else if (c == '%')
      result += anyButSeparator;
    else
      AppendLiteral(result, c);
  }
  result += '$';
  return result;
}
