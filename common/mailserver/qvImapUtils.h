// What the IMAP4 server and its file store share: the message flags with
// their written forms, the INTERNALDATE text and its reader, the mailbox
// state record, and the modified UTF-7 codec of mailbox names (RFC 3501
// 5.1.3). Names on this side of the codec are UTF-8: that is what folder
// names on disk and "messages.dat" hold. Free functions without state; any
// thread. Nothing here raises on malformed input: a bad UTF-7 run decodes to
// what the bytes give, a bad date reads as "no date".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "ClassCore.h"
#include "DateTime.h"

enum TqvMailMessageFlag : uint8_t { mfAnswered, mfFlagged, mfDeleted, mfSeen, mfDraft, mfRecent };
// Bit i is flag i.
using TqvMailMessageFlags = uint8_t;
constexpr TqvMailMessageFlags MessageFlag(TqvMailMessageFlag AFlag) {
  return static_cast<TqvMailMessageFlags>(1u << AFlag);
}
constexpr TqvMailMessageFlags qvAllMessageFlags = 0x3F;

// "\Answered \Flagged \Deleted \Seen \Draft \Recent", the flags present in
// this order joined by one blank; "" for none. The reference form is made
// once per combination and lives as long as the program.
[[nodiscard]] std::string GetImapMessageFlags(TqvMailMessageFlags AFlags);
[[nodiscard]] const std::string& ImapMessageFlagsText(TqvMailMessageFlags AFlags);
// Each flag whose upper-case name ("\SEEN") occurs anywhere in AText; the
// test is case-sensitive, so callers upper-case the text first.
[[nodiscard]] TqvMailMessageFlags ParseImapMessageFlags(std::string_view AText);

// The IMAP date-time of a local time: " 5-Mar-2026 09:04:07 +0100" (day
// padded with a blank, the offset in force at that time).
[[nodiscard]] std::string GetImapDateTimeStr(TDateTime ALocal);
// Reads the IMAP date-time form ("05-Mar-2026 09:04:07 +0100", a leading
// blank or one-digit day allowed) as local time. False, leaving AResult, for
// anything else.
[[nodiscard]] bool TryImapDateTimeToDateTime(std::string_view AText, TDateTime& AResult);

// How command arguments group into words.
enum TqvImapSplitMode {
  ismQuotes,          // "..." is one word without its quotes, \\ and \" unescaped
  ismQuotesAndParens, // the same, and (...) one word without its parentheses
  ismKeepGroups,      // "...", (...) and {...} one word each, kept as written
};
// The words of AText, split at blanks outside groups. An empty quoted group
// is still a word; an unclosed group runs to the end.
[[nodiscard]] std::vector<std::string> SplitImapArguments(std::string_view AText, TqvImapSplitMode AMode);
// A word kept as written by ismKeepGroups, without its quotes and escapes
// when it is a quoted string; other words unchanged.
[[nodiscard]] std::string UnquoteImapString(std::string_view AWord);
// AText in double quotes with "\" and "\"" escaped.
[[nodiscard]] std::string QuoteImapString(std::string_view AText);

// The state of one mailbox as SELECT, EXAMINE and STATUS report it.
class TqvImap4MailBoxInfo : public TObject {
 public:
  TqvImap4MailBoxInfo() { Clear(); }
  VX_CLASS_NAME("TqvImap4MailBoxInfo")
  virtual void Clear();
  virtual void Assign(const TqvImap4MailBoxInfo& ASource);

  std::string Name;  // decoded
  int Recent = 0;
  int FirstUnseen = 0;  // 1-based position; 0 = none
  int Exists = 0;
  TqvMailMessageFlags Flags = 0;
  TqvMailMessageFlags PermanentFlags = 0;
  std::string UIDValidity;
  int64_t UIDNext = 0;
};

// Modified UTF-7 <-> UTF-8 mailbox names.
class TqvImapUtf7Encoder {
 public:
  // Printable ASCII stands for itself ("&" as "&-"); every other character
  // goes as UTF-16BE (surrogate pairs above U+FFFF) in "&" + modified
  // base64 + "-". Bytes that are not UTF-8 become U+FFFF (a stray
  // continuation byte) or U+FFFE (0xFE, 0xFF).
  [[nodiscard]] static std::string Encode(std::string_view AName);
  // "&-" is "&"; "&...-" is modified base64 of UTF-16BE, surrogate pairs
  // joined; a final "&" is dropped; a run without "-" ends at the end.
  [[nodiscard]] static std::string Decode(std::string_view AText);
  // True when every "&" run of AText is RFC 3501 5.1.3's: "&-", or modified
  // base64 ("A-Za-z0-9+,") of whole UTF-16 units with zero bits left over,
  // closed by "-", naming no printable ASCII and no lone surrogate; and
  // the text outside the runs is UTF-8. What Decode gives is then UTF-8.
  [[nodiscard]] static bool IsWellFormed(std::string_view AText);
};
