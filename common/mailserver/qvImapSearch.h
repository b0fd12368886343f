// The SEARCH program of the IMAP4 server: its criteria parsed into a tree of
// keys (flags, sequence and UID sets, FROM/TO/SUBJECT text, parenthesised
// lists, NOT and OR) and matched against one message at a time. Text keys are
// compared as UTF-8 on both sides, case-insensitively, as substrings of the
// header field with its encoded words decoded. The parser counts nesting and
// refuses programs deeper than qvMaxImapSearchNesting, so no client input
// makes it (or the matching) recurse further. One program per command; no
// shared state, any thread.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "qvImapUtils.h"

class TStrings;
class TqvImap4MessageItem;
class TqvImap4MessageList;

enum class TqvImapSearchResult { kOk, kBad, kBadCharSet };

class TqvImapSearchProgram {
 public:
  // Reads AText (the SEARCH arguments, an optional "CHARSET name" first).
  // kBad: a key is unknown or incomplete, a quote unclosed, or the nesting
  // too deep; kBadCharSet: a charset other than US-ASCII or UTF-8. Sets are
  // resolved against AMessages (numbered) now.
  [[nodiscard]] TqvImapSearchResult Parse(std::string_view AText, TqvImap4MessageList& AMessages);
  // True when a key needs the message's header lines.
  [[nodiscard]] bool NeedsHeader() const;
  // AHeader: the message lines (at least its header) when NeedsHeader, else
  // may be null.
  [[nodiscard]] bool Matches(const TqvImap4MessageItem& AMessage, const TStrings* AHeader) const;

  // A header value with its RFC 2047 encoded words decoded, as UTF-8; raw
  // 8-bit text is taken as UTF-8. Exposed for the tests.
  [[nodiscard]] static std::string DecodeToUtf8(std::string_view AValue);
  // ASCII, Latin-1, Greek and Cyrillic letters folded to lower case.
  [[nodiscard]] static std::string FoldCase(std::string_view AUtf8);

  struct TKey {
    enum TKind { kAll, kHeader, kFlag, kNoFlag, kNew, kOld, kSet, kAnd, kNot, kOr } Kind = kAll;
    std::string Field;  // kHeader: field name; the folded needle is Text
    std::string Text;
    TqvMailMessageFlag Flag = mfSeen;
    std::vector<bool> Members;  // kSet: by 0-based position
    std::vector<TKey> Children;
  };

 private:
  TKey FRoot;
};
