// Regular-expression matching for the IMAP server: a one-call match with
// option flags, and the translation of a LIST/LSUB mailbox pattern into an
// anchored expression. Stateless, any thread. Match raises EPCRE (qvPCRE.h)
// for a pattern that does not compile; a translated mailbox pattern always
// compiles, since every byte but the two wildcards is matched literally.
#pragma once

#include <string>

#include "qvPCRE.h"

class TqvRegEx {
 public:
  // Flag bits for Match.
  static constexpr int rfCaseless = 2;
  static constexpr int rfMultiLine = 4;

  // PcreMatch of ASubject against APattern (subject first), with rfCaseless
  // giving caseless matching and rfMultiLine multi-line anchors.
  [[nodiscard]] static bool Match(const std::string& ASubject, const std::string& APattern, int AFlags);
};

// "^" + the pattern + "$", where "*" matches anything, "%" anything but the
// separator's characters, and every other byte only itself (ASCII letters
// and digits as they are, the rest escaped). Hand it the reference and the
// pattern joined, both already decoded.
[[nodiscard]] std::string MailBoxPatternToRegEx(const std::string& APattern, const std::string& ASeparator);
