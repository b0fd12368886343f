// The MIME tree of a stored message as IMAP numbers its parts: one part per
// entity, a multipart's parts below it, a forwarded message (message/rfc822)
// as the one entity below its part. Every part records where its header and
// body lie in the message lines, so BODYSTRUCTURE's sizes and BODY[section]'s
// bytes come from the same ranges: a part ends before the CRLF that belongs to
// the next boundary line. Header values are kept as they stand (unfolded,
// encoded words and RFC 2231 forms untouched). Borrows the lines, which must
// outlive the tree; no state beyond it, any thread. Never raises for malformed
// mail; nesting deeper than qvMaxImapMimeDepth is kept as opaque leaves.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TStrings;

// Lines [First, End) of the message; DropCrLf: the last line's CRLF belongs
// to the boundary after it, not to this range.
struct TqvImapLineRange {
  int First = 0;
  int End = 0;
  bool DropCrLf = false;
  [[nodiscard]] int Count() const { return End - First; }
  // Bytes of the range, each line counted with its CRLF.
  [[nodiscard]] int64_t Size(const TStrings& ALines) const;
  // Line breaks in the range.
  [[nodiscard]] int64_t LineBreaks() const { return Count() > 0 && DropCrLf ? Count() - 1 : Count(); }
  [[nodiscard]] std::string Text(const TStrings& ALines) const;
};

using TqvMimeParams = std::vector<std::pair<std::string, std::string>>;

// One header field: its name as written, its lines, its unfolded value.
struct TqvImapHeaderField {
  std::string Name;
  TqvImapLineRange Lines;
  std::string Value;
};

// The fields of the header in ARange, in order.
[[nodiscard]] std::vector<TqvImapHeaderField> ReadImapHeader(const TStrings& ALines, TqvImapLineRange ARange);
// The trimmed value of the first field named AName (any case); AFound false when absent.
[[nodiscard]] std::string ImapHeaderValue(const std::vector<TqvImapHeaderField>& AFields, std::string_view AName,
                                          bool* AFound = nullptr);

// "value; a=b; c*0=..." of Content-Type or Content-Disposition: the main value
// (comments removed, as written) and the parameters as they stand, RFC 2231
// continuations joined ("name*" when a piece is extended), quotes removed.
void ParseImapMimeValue(std::string_view AText, std::string& AMain, TqvMimeParams& AParams);

class TqvImapMimePart {
 public:
  TqvImapLineRange Header;  // the blank line included
  TqvImapLineRange Body;
  std::string Type = "text";  // as written
  std::string SubType = "plain";
  TqvMimeParams Params;
  bool TypeGiven = false;  // the header has a Content-Type that could be read
  std::string Id, Description, Encoding, Md5, Location;
  bool HasId = false, HasDescription = false, HasMd5 = false, HasLocation = false;
  std::string Disposition;  // empty: none
  TqvMimeParams DispositionParams;
  std::vector<std::string> Languages;
  bool HeaderEnded = false;  // the header has its empty line
  int CloseLine = -1;        // a multipart's closing delimiter line, -1 for none
  std::vector<std::unique_ptr<TqvImapMimePart>> Parts;  // a multipart's parts
  std::unique_ptr<TqvImapMimePart> Message;             // the forwarded message of a message/rfc822 part

  [[nodiscard]] bool IsMultipart() const;
  [[nodiscard]] bool IsMessage() const;  // message/rfc822
  [[nodiscard]] bool IsText() const;
};

// The tree of the whole message in ALines.
[[nodiscard]] std::unique_ptr<TqvImapMimePart> ParseImapMimeTree(const TStrings& ALines);
