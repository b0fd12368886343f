#include "qvImapFetch.h"

#include "ClassCore.h"
#include "Streams.h"
#include "StringList.h"
#include "qvEmailAddress.h"
#include "qvMailHeader.h"
#include "qvMailMessage.h"
#include "qvMailServerLimits.h"
#include "qvMessageBody.h"
#include "qvTextUtils.h"
#include "qvUtils.h"

#include <algorithm>
#include <cstdint>
#include <limits>

using qvtext::Trim;
using qvtext::UpperCase;

namespace {

constexpr const char* kCrLf = "\r\n";
constexpr const char* kHeaderCharSet = "iso-8859-1";
constexpr int kHeaderCharsPerLine = 76;
// RFC 2045: a text part that names no charset is US-ASCII.
constexpr const char* kDefaultCharSet = "us-ascii";

void Put(TStream& AStream, std::string_view AText) {
  if (!AText.empty()) AStream.WriteBuffer(AText.data(), static_cast<int64_t>(AText.size()));
}

TStrings* Readable(const TStrings& ALines) { return const_cast<TStrings*>(&ALines); }

bool IsDigits(std::string_view AText) {
  return !AText.empty() && std::all_of(AText.begin(), AText.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A decimal number of at most 32 bits, else -1.
int64_t ParseNumber(std::string_view AText) {
  if (!IsDigits(AText) || AText.size() > 10) return -1;
  const int64_t v = std::stoll(std::string(AText));
  return v <= std::numeric_limits<uint32_t>::max() ? v : -1;
}

// Splits a section at "." outside parentheses.
std::vector<std::string> SplitSection(std::string_view ASection) {
  std::vector<std::string> parts(1);
  int depth = 0;
  for (const char c : ASection) {
    if (c == '(') ++depth;
    if (c == ')' && depth > 0) --depth;
    if (c == '.' && depth == 0) {
      parts.emplace_back();
      continue;
    }
    parts.back() += c;
  }
  return parts;
}

// "FIELDS (A B)" / "NOT (A B)": the names between the parentheses (quotes honoured).
std::vector<std::string> FieldNames(const std::string& APart) {
  std::vector<std::string> names;
  const size_t open = APart.find('(');
  if (open == std::string::npos) return names;
  const size_t close = APart.rfind(')');
  const std::string inner =
      APart.substr(open + 1, close == std::string::npos || close < open ? std::string::npos : close - open - 1);
  TStringList words;
  SplitText(inner, words, ' ', false, "\"", "\"");
  for (int i = 0; i < words.Count(); ++i)
    if (!words.Strings(i).empty()) names.push_back(words.Strings(i));
  return names;
}

// A field-name list as the grammar has it: "(" name *(SP name) ")".
bool IsFieldList(std::string_view AText) {
  if (AText.size() < 3 || AText.front() != '(' || AText.back() != ')') return false;
  return !FieldNames(std::string(AText)).empty();
}

// ---- line ranges ----

struct TLineRange {
  int First = 0;
  int Count = 0;  // clipped to the text
};

TLineRange Clip(const TStrings& ALines, int AFirst, int ACount) {
  TLineRange r;
  r.First = std::clamp(AFirst, 0, ALines.Count());
  r.Count = std::clamp(ACount, 0, ALines.Count() - r.First);
  return r;
}

std::string JoinLines(const TStrings& ALines, TLineRange ARange) {
  std::string out;
  for (int i = ARange.First; i < ARange.First + ARange.Count; ++i) {
    out += ALines.Strings(i);
    out += kCrLf;
  }
  return out;
}

int64_t RangeSize(const TStrings& ALines, TLineRange ARange) {
  int64_t n = 0;
  for (int i = ARange.First; i < ARange.First + ARange.Count; ++i) n += static_cast<int64_t>(ALines.Strings(i).size()) + 2;
  return n;
}

// A body's encoded data as the parser recorded its place.
TLineRange DataRange(const TStrings& ALines, const TqvMessageBody& ABody) {
  return Clip(ALines, ABody.DataStart(), ABody.EncodedLines());
}

// A header from AFirst up to and including the first empty line (or the end).
TLineRange HeaderRange(const TStrings& ALines, int AFirst) {
  int i = std::max(AFirst, 0);
  while (i < ALines.Count() && !ALines.Strings(i).empty()) ++i;
  if (i < ALines.Count()) ++i;
  return Clip(ALines, AFirst, i - AFirst);
}

// ---- BODYSTRUCTURE pieces ----

// The halves of a content type; a part without one is text/plain (RFC 2045).
void TypeHalves(const std::string& AContentType, std::string& AType, std::string& ASubType, bool& AHasSub) {
  std::string ct = Trim(AContentType);
  if (ct.empty()) ct = "text/plain";
  const size_t slash = ct.find('/');
  AType = ct.substr(0, slash);
  AHasSub = slash != std::string::npos && slash + 1 < ct.size();
  ASubType = AHasSub ? ct.substr(slash + 1) : std::string();
}

std::string TypePair(const std::string& AContentType) {
  std::string type, sub;
  bool hasSub = false;
  TypeHalves(AContentType, type, sub, hasSub);
  return ImapNString(type) + " " + (hasSub ? ImapString(sub) : std::string("NIL"));
}

bool IsTextType(const std::string& AContentType) {
  std::string type, sub;
  bool hasSub = false;
  TypeHalves(AContentType, type, sub, hasSub);
  return qvtext::SameText(type, "text");
}

std::string EncodingWord(TqvEncodeMethod AMethod) {
  switch (AMethod) {
    case cmQuotedPrintable:
      return "\"quoted-printable\"";
    case cmBase64:
      return "\"base64\"";
    case cmUUEncode:
      return "NIL";
    case cm8Bit:
      return "\"8bit\"";
    default:
      return "\"7bit\"";
  }
}

std::string CharSetList(std::string ACharSet) {
  if (Trim(ACharSet).empty()) ACharSet = kDefaultCharSet;
  return "(\"charset\" " + ImapString(ACharSet) + ")";
}

// " <subtype> ([type <t> ]boundary <b>) NIL NIL" after a multipart's parts.
std::string MultipartTail(const std::string& AContentType, const std::string& AContentSubType,
                          const std::string& ABoundary) {
  std::string type, sub;
  bool hasSub = false;
  TypeHalves(AContentType, type, sub, hasSub);
  std::string out = " " + (hasSub ? ImapString(sub) : std::string("NIL")) + " (";
  if (!AContentSubType.empty()) out += "\"type\" " + ImapString(AContentSubType) + " ";
  return out + "\"boundary\" " + ImapString(ABoundary) + ") NIL NIL";
}

// A Content-ID as the header had it, angle brackets included.
std::string ContentIdString(const std::string& AId) {
  return ImapString(AId.starts_with("<") ? AId : "<" + AId + ">");
}

std::string BodiesStructure(const TStrings& ALines, const TqvMessageBodies& ABodies, bool AAlwaysEnclose, int ADepth);
std::string MessageStructure(const TStrings& ALines, const TqvMailMessage& AMessage, int ADepth);
std::string EnvelopeList(const TStrings& ALines);

// ---- forwarded messages ----

// A message/rfc822 part whose data is the message itself (no transfer
// encoding over it): its lines and their parse, for describing it and for
// resolving section parts inside it.
struct TEncapsulated {
  TEncapsulated(const TStrings& ALines, const TqvMessageBody& ABody) {
    const TLineRange data = DataRange(ALines, ABody);
    Lines.BeginUpdate();
    for (int i = data.First; i < data.First + data.Count; ++i) Lines.Add(ALines.Strings(i));
    Lines.EndUpdate();
    Message.SetMessageSource(Lines);
  }
  TStringList Lines;
  TqvMailMessage Message;
};

bool IsMessageType(const TqvMessageBody& ABody) {
  return dynamic_cast<const TqvMultipartBody*>(&ABody) == nullptr &&
         qvtext::SameText(Trim(ABody.ContentType()), "message/rfc822");
}

// A forwarded message that can be parsed in place: one with base64 or
// quoted-printable over it (not allowed, but sent) reads as an empty message.
bool CanEnter(const TqvMessageBody& ABody, int ADepth) {
  const TqvEncodeMethod enc = ABody.GetEncoding();
  return IsMessageType(ABody) && (enc == cmNone || enc == cm8Bit) && ADepth < qvMaxImapMessageNesting;
}

// The Content-Type parameters and the Content-Disposition of a part as its
// header has them: ("name" "x") or NIL, ("attachment" ("filename" "x")) or NIL.
void PartFields(const TStrings& AHeader, std::string& AParams, std::string& ADisposition) {
  TqvMailHeaderFieldList fields(kHeaderCharSet, kHeaderCharsPerLine, cmNone);
  fields.Parse(0, Readable(AHeader));
  const std::string name = fields.GetItem(fields.GetFieldValue("Content-Type"), "name");
  AParams = name.empty() ? std::string("NIL") : "(\"name\" " + ImapString(name) + ")";
  const std::string disposition = fields.GetFieldValue("Content-Disposition");
  std::string kind = Trim(disposition.substr(0, disposition.find(';')));
  if (kind.empty()) {
    ADisposition = "NIL";
    return;
  }
  const std::string file = fields.GetItem(disposition, "filename");
  ADisposition = "(" + ImapString(kind) + " " +
                 (file.empty() ? std::string("NIL") : "(\"filename\" " + ImapString(file) + ")") + ")";
}

// "message" "rfc822" params id NIL enc size envelope (body) lines NIL dsp NIL.
std::string MessagePartStructure(const TStrings& ALines, const TqvMessageBody& ABody, int ADepth) {
  std::string params, disposition;
  PartFields(ABody.RawHeader(), params, disposition);
  const TLineRange data = DataRange(ALines, ABody);
  std::string out = TypePair(ABody.ContentType()) + " " + params + " ";
  const auto* att = dynamic_cast<const TqvAttachmentBody*>(&ABody);
  out += (att && !att->ContentID().empty() ? ContentIdString(att->ContentID()) : std::string("NIL")) + " NIL ";
  out += EncodingWord(ABody.GetEncoding()) + " " + std::to_string(RangeSize(ALines, data)) + " ";
  if (CanEnter(ABody, ADepth)) {
    const TEncapsulated inner(ALines, ABody);
    out += EnvelopeList(inner.Lines) + " (" + MessageStructure(inner.Lines, inner.Message, ADepth + 1) + ")";
  } else {
    out += "(NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL) "
           "(\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 0 0 NIL NIL NIL)";
  }
  return out + " " + std::to_string(data.Count) + " NIL " + disposition + " NIL";
}

// The charset parameter of a header's Content-Type, or "".
std::string HeaderCharSet(const TStrings& AHeader) {
  TqvMailHeaderFieldList fields(kHeaderCharSet, kHeaderCharsPerLine, cmNone);
  fields.Parse(0, Readable(AHeader));
  return fields.GetItem(fields.GetFieldValue("Content-Type"), "charset");
}

std::string Sizes(const TStrings& ALines, const TqvMessageBody& ABody, bool AText) {
  const TLineRange data = DataRange(ALines, ABody);
  std::string out = std::to_string(RangeSize(ALines, data));
  if (AText) out += " " + std::to_string(data.Count);
  return out;
}

std::string BodyStructure(const TStrings& ALines, const TqvMessageBody& ABody, int ADepth) {
  if (IsMessageType(ABody)) return MessagePartStructure(ALines, ABody, ADepth);
  if (const auto* multi = dynamic_cast<const TqvMultipartBody*>(&ABody)) {
    // A nested multipart always lists its parts in parentheses, even one.
    return Trim(BodiesStructure(ALines, multi->Bodies(), true, ADepth)) +
           MultipartTail(multi->ContentType(), multi->ContentSubType(), multi->Boundary());
  }
  const bool text = IsTextType(ABody.ContentType());
  const std::string enc = EncodingWord(ABody.GetEncoding());
  if (const auto* att = dynamic_cast<const TqvAttachmentBody*>(&ABody); att && !text) {
    std::string out = TypePair(att->ContentType()) + " (\"name\" " + ImapString(att->FileName()) + ") ";
    if (!att->ContentID().empty()) {
      out += ContentIdString(att->ContentID()) + " NIL " + enc + " " + Sizes(ALines, ABody, false) +
             " NIL NIL NIL";
    } else {
      out += "NIL NIL " + enc + " " + Sizes(ALines, ABody, false) + " NIL (\"attachment\" (\"filename\" " +
             ImapString(att->FileName()) + ")) NIL";
    }
    return out;
  }
  // The part's own charset parameter, not the message component's default.
  std::string charSet;
  if (const auto* tb = dynamic_cast<const TqvTextBody*>(&ABody)) charSet = tb->CharSet();
  return TypePair(ABody.ContentType()) + " " + CharSetList(charSet) + " NIL NIL " + enc + " " +
         Sizes(ALines, ABody, true) + " NIL NIL NIL";
}

std::string BodiesStructure(const TStrings& ALines, const TqvMessageBodies& ABodies, bool AAlwaysEnclose, int ADepth) {
  if (ABodies.Count() == 0) {
    // Nothing was parsed (an empty text): an empty text part.
    const std::string part = "\"text\" \"plain\" " + CharSetList(AAlwaysEnclose ? std::string() : HeaderCharSet(ABodies.Message()->RawHeader())) +
                             " NIL NIL \"7bit\" 0 0 NIL NIL NIL";
    return AAlwaysEnclose ? "(" + part + ")" : part;
  }
  const bool enclose = AAlwaysEnclose || ABodies.Count() > 1;
  std::string out;
  for (int i = 0; i < ABodies.Count(); ++i) {
    const std::string part = BodyStructure(ALines, *ABodies.Items(i), ADepth);
    out += enclose ? "(" + part + ")" : part;
  }
  return out;
}

// ---- ENVELOPE pieces ----

std::string AddressList(const TqvMailHeaderFieldList& AFields, const char* AName) {
  const int index = AFields.GetFieldIndex(AName);
  if (index < 0) return "NIL";
  std::string out;
  for (const std::string& piece : SplitAddresses(AFields.GetTrimmedFieldValue(index))) {
    const std::string text = Trim(piece);
    if (text.empty()) continue;
    TqvEmailAddressItem address;
    address.SetFullAddress(text);
    // A bare word without "@" is an address (all host), not a display name.
    if (address.Email().empty() && text.find('<') == std::string::npos) {
      address.SetEmail(address.Name());
      address.SetName("");
    }
    const std::string& email = address.Email();
    const size_t at = email.find('@');
    const std::string mailbox = at == std::string::npos ? std::string() : email.substr(0, at);
    const std::string host = at == std::string::npos ? email : email.substr(at + 1);
    const std::string& name = address.Name();
    out += "(";
    out += name.empty() ? std::string("NIL") : "{" + std::to_string(name.size()) + "}" + kCrLf + name;
    out += " NIL " + ImapNString(mailbox) + " " + ImapNString(host) + ")";
  }
  return out.empty() ? "NIL" : "(" + out + ")";
}

// "(date subject from sender reply-to to cc bcc in-reply-to message-id)" of
// the header at the top of ALines.
std::string EnvelopeList(const TStrings& ALines) {
  TqvMailHeaderFieldList fields(kHeaderCharSet, kHeaderCharsPerLine, cmNone);
  fields.Parse(0, Readable(ALines));
  const auto value = [&](const char* AName) {
    const int index = fields.GetFieldIndex(AName);
    return index < 0 ? std::string() : Trim(fields.GetTrimmedFieldValue(index));
  };
  const std::string from = AddressList(fields, "From");
  std::string sender = AddressList(fields, "Sender");
  if (sender == "NIL") sender = from;
  std::string out = "(";
  out += ImapNString(value("Date")) + " ";
  out += ImapString(value("Subject")) + " ";
  out += from + " " + sender + " " + AddressList(fields, "Reply-To") + " ";
  out += AddressList(fields, "To") + " " + AddressList(fields, "Cc") + " " + AddressList(fields, "Bcc") + " ";
  return out + "NIL " + ImapNString(value("Message-ID")) + ")";
}

// The body structure of a parsed message, without its outer parentheses.
std::string MessageStructure(const TStrings& ALines, const TqvMailMessage& AMessage, int ADepth) {
  if (AMessage.MessageFormat() == mfUUencode) {
    // Counted after the first empty line.
    int first = 0;
    while (first < ALines.Count() && !ALines.Strings(first).empty()) ++first;
    const TLineRange text = first >= ALines.Count() ? TLineRange{} : Clip(ALines, first + 1, ALines.Count());
    return "\"TEXT\" \"PLAIN\" NIL NIL NIL \"7BIT\" " + std::to_string(RangeSize(ALines, text)) + " " +
           std::to_string(text.Count) + " NIL NIL NIL";
  }
  std::string structure = BodiesStructure(ALines, AMessage.Bodies(), false, ADepth);
  if (AMessage.Bodies().Count() > 1 && !AMessage.Boundary().empty())
    structure = Trim(structure) + MultipartTail(AMessage.ContentType(), AMessage.ContentSubType(), AMessage.Boundary());
  return structure;
}

// ---- sections ----

class TSectionWriter {
 public:
  TSectionWriter(TStream& AStream, std::string ALabel, std::string APartial)
      : FStream(AStream), FLabel(std::move(ALabel)), FPartial(std::move(APartial)) {}

  void WriteRange(const TStrings& ALines, TLineRange ARange) { WriteBytes(JoinLines(ALines, ARange)); }

  // label[<origin>] {n} CRLF bytes, n counted over exactly what follows.
  void WriteBytes(const std::string& AData) {
    if (FPartial.empty()) {
      Put(FStream, FLabel + " {" + std::to_string(AData.size()) + "}" + kCrLf);
      Put(FStream, AData);
      return;
    }
    const size_t dot = FPartial.find('.');
    const uint64_t origin = static_cast<uint64_t>(ParseNumber(FPartial.substr(0, dot)));
    const uint64_t count = static_cast<uint64_t>(ParseNumber(FPartial.substr(dot + 1)));
    const std::string slice = origin < AData.size() ? AData.substr(origin, count) : std::string();
    Put(FStream, FLabel + "<" + std::to_string(origin) + "> {" + std::to_string(slice.size()) + "}" + kCrLf);
    Put(FStream, slice);
  }

  void WriteNil() { Put(FStream, FLabel + " NIL"); }

  void WriteFields(const TStrings& AHeader, const std::vector<std::string>& ANames, bool ANot) {
    TqvMailHeaderFieldList fields(kHeaderCharSet, kHeaderCharsPerLine, cmNone);
    fields.Parse(0, Readable(AHeader));
    std::string out;
    const auto line = [&](int AIndex) {
      out += fields.GetFieldName(AIndex) + ": " + fields.GetFieldValue(AIndex) + kCrLf;
    };
    if (ANot) {
      for (int i = 0; i < fields.FieldCount(); ++i) {
        const std::string name = fields.GetFieldName(i);
        const bool excluded =
            std::any_of(ANames.begin(), ANames.end(), [&](const std::string& n) { return qvtext::SameText(n, name); });
        if (!excluded) line(i);
      }
    } else {
      for (const std::string& n : ANames) {
        const int index = fields.GetFieldIndex(n);
        if (index >= 0) line(index);
      }
    }
    if (out.empty()) return WriteNil();
    WriteBytes(out + kCrLf);
  }

 private:
  TStream& FStream;
  const std::string FLabel;
  const std::string FPartial;
};

const TqvTextBody* FirstTextBody(const TqvMessageBodies& ABodies) {
  for (int i = 0; i < ABodies.Count(); ++i) {
    const TqvMessageBody* body = ABodies.Items(i);
    if (const auto* text = dynamic_cast<const TqvTextBody*>(body)) return text;
    if (const auto* multi = dynamic_cast<const TqvMultipartBody*>(body))
      if (const TqvTextBody* inner = FirstTextBody(multi->Bodies())) return inner;
  }
  return nullptr;
}

// The header lines of ABody (without its empty line), or the message's.
const TStrings& HeaderLines(const TqvMailMessage& AMessage, const TqvMessageBody* ABody) {
  return ABody ? ABody->RawHeader() : AMessage.RawHeader();
}

}  // namespace

// ---- strings ----

std::string ImapString(std::string_view AText) {
  const bool literal = std::any_of(AText.begin(), AText.end(), [](char c) {
    const auto b = static_cast<uint8_t>(c);
    return b == 0 || b == '\r' || b == '\n' || b > 127;
  });
  if (literal) return "{" + std::to_string(AText.size()) + "}" + kCrLf + std::string(AText);
  std::string out = "\"";
  for (const char c : AText) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string ImapNString(std::string_view AText) { return AText.empty() ? std::string("NIL") : ImapString(AText); }

// ---- the item list ----

TqvImap4FetchItem& TqvImap4FetchList::GetItem(int AIndex) const {
  if (AIndex < 0 || AIndex >= GetCount()) throw EListError::OutOfBounds(AIndex);
  return *FItems[static_cast<size_t>(AIndex)];
}

TqvImap4FetchItem& TqvImap4FetchList::Add(std::unique_ptr<TqvImap4FetchItem> AItem) {
  FItems.push_back(std::move(AItem));
  return *FItems.back();
}

TqvImap4FetchItem& TqvImap4FetchList::Add(const std::string& AName) {
  return Add(std::make_unique<TqvImap4FetchItem>(AName));
}

void TqvImap4FetchList::Delete(int AIndex) {
  (void)GetItem(AIndex);
  FItems.erase(FItems.begin() + AIndex);
}

void TqvImap4FetchList::Parse(std::string_view AText) {
  Clear();
  std::string_view text = AText;
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.size() >= 2 && text.front() == '(' && text.back() == ')') text = text.substr(1, text.size() - 2);

  std::string token;
  bool inBrackets = false;
  bool inPartial = false;
  TqvImap4FetchItem* current = nullptr;
  const auto newItem = [&]() -> TqvImap4FetchItem* {
    if (token.empty()) return nullptr;
    return &Add(UpperCase(token));
  };
  for (const char c : text) {
    switch (c) {
      case ' ':
        if (inBrackets || inPartial) {
          token += c;
        } else {
          current = nullptr;
          newItem();
          token.clear();
        }
        break;
      case '[':
        inBrackets = true;
        current = newItem();
        token = "[";
        break;
      case ']':
        token += c;
        if (inBrackets && current) current->Section = token;
        token.clear();
        inBrackets = false;
        break;
      case '<':
        if (inBrackets) {
          token += c;
        } else {
          inBrackets = true;
          inPartial = true;
        }
        break;
      case '>':
        if (inPartial) {
          if (current) current->Partial = token;
          token.clear();
          inBrackets = false;
        } else if (inBrackets) {
          token += c;
        }
        inPartial = false;
        break;
      default:
        token += c;
    }
  }
  if (!token.empty() && !inBrackets) newItem();

  // Macros, last to first, append their items at the end.
  static const std::vector<std::string> kFast = {"FLAGS", "INTERNALDATE", "RFC822.SIZE"};
  for (int i = GetCount() - 1; i >= 0; --i) {
    const std::string name = GetItem(i).Name;
    if (name != "ALL" && name != "FAST" && name != "FULL") continue;
    Delete(i);
    for (const auto& n : kFast) Add(n);
    if (name != "FAST") Add("ENVELOPE");
    if (name == "FULL") Add("BODY");
  }

  for (const auto& item : FItems) {
    const bool bracketed = item->Section.size() >= 2 && item->Section.front() == '[' && item->Section.back() == ']';
    if (item->Name == "BODY" && item->Section.empty()) {
      item->Name = "BODYSTRUCTURE";
    } else if ((item->Name == "BODY" || item->Name == "BODY.PEEK") && bracketed) {
      item->Section = item->Section.substr(1, item->Section.size() - 2);
    }
  }
}

bool TqvImap4FetchList::SectionsValid() const {
  for (const auto& item : FItems) {
    if (item->Name != "BODY" && item->Name != "BODY.PEEK") continue;
    if (!TqvImap4FetchBody::IsValidSection(item->Section)) return false;
    if (!TqvImap4FetchBody::IsValidPartial(item->Partial)) return false;
  }
  return true;
}

// ---- ENVELOPE ----

void TqvImap4FetchEnvelope::GetEnvelope(const TStrings& ALines, TStream& AStream) {
  Put(AStream, "ENVELOPE " + EnvelopeList(ALines));
}

// ---- BODYSTRUCTURE ----

void TqvImap4FetchBodyStructure::GetBodyStructure(const TStrings& ALines, TStream& AStream) {
  TqvMailMessage message;
  message.SetMessageSource(ALines);
  Put(AStream, "BODYSTRUCTURE (" + MessageStructure(ALines, message, 0) + ")");
}

// ---- BODY[section] ----

bool TqvImap4FetchBody::IsValidSection(std::string_view ASection) {
  if (ASection.empty()) return true;
  const std::vector<std::string> parts = SplitSection(UpperCase(ASection));
  size_t i = 0;
  while (i < parts.size() && IsDigits(parts[i])) {
    if (ParseNumber(parts[i]) < 1) return false;
    ++i;
  }
  if (i == parts.size()) return true;
  const bool afterNumber = i > 0;
  const size_t rest = parts.size() - i;
  const std::string& word = parts[i];
  if (word == "TEXT") return rest == 1;
  if (word == "MIME") return rest == 1 && afterNumber;
  if (word != "HEADER") return false;
  if (rest == 1) return true;
  if (rest == 2 && parts[i + 1].starts_with("FIELDS ")) return IsFieldList(Trim(parts[i + 1].substr(7)));
  if (rest == 3 && parts[i + 1] == "FIELDS" && parts[i + 2].starts_with("NOT "))
    return IsFieldList(Trim(parts[i + 2].substr(4)));
  return false;
}

bool TqvImap4FetchBody::IsValidPartial(std::string_view APartial) {
  if (APartial.empty()) return true;
  const size_t dot = APartial.find('.');
  if (dot == std::string_view::npos) return false;
  return ParseNumber(APartial.substr(0, dot)) >= 0 && ParseNumber(APartial.substr(dot + 1)) > 0;
}

void TqvImap4FetchBody::GetBody(const TStrings& ALines, const std::string& ALabel, TStream& AStream,
                                const std::string& ASection, const std::string& APartial) {
  TSectionWriter writer(AStream, ALabel, IsValidPartial(APartial) ? APartial : std::string());
  if (ASection.empty()) return writer.WriteRange(ALines, Clip(ALines, 0, ALines.Count()));
  if (!IsValidSection(ASection)) return writer.WriteNil();

  TqvMailMessage message;
  message.SetMessageSource(ALines);
  // Where resolution stands: the message (the top one, or a forwarded one
  // entered through its message/rfc822 part), the body list numbers pick
  // from, and the body picked (none: the message itself).
  const TStrings* lines = &ALines;
  const TqvMailMessage* msg = &message;
  const TqvMessageBodies* list = &message.Bodies();
  const TqvMessageBody* current = nullptr;
  std::vector<std::unique_ptr<TEncapsulated>> entered;
  // Inside a message/rfc822 part, numbers, HEADER and TEXT refer to the
  // forwarded message; MIME stays with the part's own header.
  const auto enter = [&]() {
    if (!current || !CanEnter(*current, static_cast<int>(entered.size()))) return;
    entered.push_back(std::make_unique<TEncapsulated>(*lines, *current));
    lines = &entered.back()->Lines;
    msg = &entered.back()->Message;
    list = &msg->Bodies();
    current = nullptr;
  };
  const auto currentData = [&]() {
    return current ? DataRange(*lines, *current) : Clip(*lines, 0, lines->Count());
  };

  const std::vector<std::string> parts = SplitSection(UpperCase(ASection));
  size_t p = 0;
  while (p < parts.size() && IsDigits(parts[p])) {
    enter();
    const int64_t n = ParseNumber(parts[p]);
    // A number where no list is at hand, or above the count, gives the current body.
    if (!list || n > list->Count()) return writer.WriteRange(*lines, currentData());
    current = list->Items(static_cast<int>(n - 1));
    if (++p == parts.size()) return writer.WriteRange(*lines, currentData());
    const auto* multi = dynamic_cast<const TqvMultipartBody*>(current);
    list = multi ? &multi->Bodies() : nullptr;
  }

  const std::string& word = parts[p];
  if (word == "MIME") return writer.WriteRange(*lines, HeaderRange(*lines, current->HeaderStart()));
  enter();
  if (word == "HEADER" && p + 1 == parts.size())
    return writer.WriteRange(*lines, HeaderRange(*lines, current ? current->HeaderStart() : 0));
  if (word == "HEADER") {
    const bool isNot = p + 2 < parts.size();
    return writer.WriteFields(HeaderLines(*msg, current), FieldNames(parts[isNot ? p + 2 : p + 1]), isNot);
  }
  // TEXT: of a message, everything after its header (multipart included);
  // inside another part, its first text part or its data.
  if (!current) return writer.WriteRange(*lines, Clip(*lines, msg->BodyStart(), lines->Count()));
  if (list)
    if (const TqvTextBody* text = FirstTextBody(*list)) return writer.WriteRange(*lines, DataRange(*lines, *text));
  writer.WriteRange(*lines, currentData());
}
