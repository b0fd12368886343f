// The FETCH data items of the IMAP4 server: TqvImap4FetchList turns a FETCH
// item text into items (macros ALL, FAST and FULL expanded, BODY without a
// section named kFetchBodyShapeItem), and the writers put the message-derived
// answers on a stream: ENVELOPE, BODYSTRUCTURE, BODY and BODY[section]<partial>.
// Structure and sections come from one MIME tree of the lines
// (qvImapMimeTree), so every size described is the byte count BODY[section]
// returns.
// The writers take the stored message as lines (no line breaks) and write
// bytes without charset conversion. Every string they write is an IMAP quoted
// string with "\" and '"' escaped, or a literal when it holds CR, LF, NUL or
// 8-bit bytes; every literal's count is the number of bytes that follow it.
// A forwarded message (a message/rfc822 part) is parsed in place: it is
// described with its own envelope and structure, and section parts inside it
// resolve against it. No state: any thread may call them. They never raise
// for malformed mail (it reads as empty or default values) and never touch
// the disk. Bounded by the message's own size and qvMaxImapMimeDepth parts
// inside one another; nothing recurses on the client's item text.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

class TStream;
class TStrings;

// One FETCH item: Name upper-cased ("BODY", "BODY.PEEK", "FLAGS", ...),
// Section the text between "[" and "]" without the brackets, Partial the text
// between "<" and ">" ("0.100") without them.
class TqvImap4FetchItem {
 public:
  explicit TqvImap4FetchItem(std::string AName) : Name(std::move(AName)) {}
  std::string Name;
  std::string Section;
  std::string Partial;
};

class TqvImap4FetchList {
 public:
  TqvImap4FetchList() = default;
  virtual ~TqvImap4FetchList() = default;
  TqvImap4FetchList(const TqvImap4FetchList&) = delete;
  TqvImap4FetchList& operator=(const TqvImap4FetchList&) = delete;

  [[nodiscard]] int GetCount() const { return static_cast<int>(FItems.size()); }
  // Raises EListError out of range; the item lives until Delete, Clear or Parse.
  [[nodiscard]] TqvImap4FetchItem& GetItem(int AIndex) const;
  TqvImap4FetchItem& Add(std::unique_ptr<TqvImap4FetchItem> AItem);
  TqvImap4FetchItem& Add(const std::string& AName);
  void Delete(int AIndex);
  void Clear() { FItems.clear(); }

  // Replaces the list with the items of AText: the FETCH argument after the
  // message set, with or without one pair of enclosing parentheses.
  virtual void Parse(std::string_view AText);

  // False when a BODY or BODY.PEEK section is not one IMAP4rev1 knows
  // (part numbers, HEADER, HEADER.FIELDS[.NOT] (names), TEXT, MIME) or a
  // partial is not "<origin>.<count>": the command is then answered BAD before
  // anything is written.
  [[nodiscard]] bool SectionsValid() const;

 private:
  std::vector<std::unique_ptr<TqvImap4FetchItem>> FItems;
};

class TqvImap4FetchEnvelope {
 public:
  // Writes "ENVELOPE (date subject from sender reply-to to cc bcc in-reply-to
  // message-id)" from the raw header fields (encoded words stay encoded).
  static void GetEnvelope(const TStrings& ALines, TStream& AStream);
};

// The item name Parse gives BODY without a section (the non-extensible body
// structure); no client can send it, as client item names are upper-cased.
inline constexpr const char* kFetchBodyShapeItem = "BODY(shape)";

class TqvImap4FetchBodyStructure {
 public:
  // Writes "BODYSTRUCTURE (...)" for the message's MIME structure: the tree
  // that BODY[section] resolves, with every field of each part's header.
  static void GetBodyStructure(const TStrings& ALines, TStream& AStream);
  // Writes "BODY (...)": the same without extension data.
  static void GetBody(const TStrings& ALines, TStream& AStream);
};

class TqvImap4FetchBody {
 public:
  // Writes ALabel + " {n}" CRLF + the n bytes of the section (none for a
  // part that does not exist; HEADER.FIELDS selecting nothing gives the empty
  // line alone). Labels: "BODY[<section>]" for BODY and
  // BODY.PEEK, "RFC822" (no section), "RFC822.HEADER" ("HEADER"),
  // "RFC822.TEXT" ("TEXT"). Below a message/rfc822 part, numbers, HEADER and
  // TEXT refer to the forwarded message, MIME to the part. A non-empty
  // APartial ("origin.count", as parsed) writes ALabel + "<origin>" and that
  // slice of the section's bytes, empty past the end. A section that
  // SectionsValid refuses writes ALabel + " NIL".
  static void GetBody(const TStrings& ALines, const std::string& ALabel, TStream& AStream,
                      const std::string& ASection, const std::string& APartial = "");

  // True for a section (without brackets) that GetBody can answer.
  [[nodiscard]] static bool IsValidSection(std::string_view ASection);
  // True for "" or "<digits>.<non-zero digits>"; the numbers fit in 32 bits.
  [[nodiscard]] static bool IsValidPartial(std::string_view APartial);
};

// An IMAP string for a reply: NIL for nothing is not chosen here. Quoted with
// "\" and '"' escaped, or a literal "{n}" CRLF + bytes when AText holds CR,
// LF, NUL or bytes above 127.
[[nodiscard]] std::string ImapString(std::string_view AText);
// ImapString, or NIL for an empty text.
[[nodiscard]] std::string ImapNString(std::string_view AText);
