#include "qvImapFetch.h"

#include "qvImapMimeTree.h"

#include "ClassCore.h"
#include "Decimal.h"
#include "Streams.h"
#include "StringList.h"
#include "TextTrim.h"
#include "qvMailServerLimits.h"
#include "qvTextUtils.h"
#include "qvTextSplit.h"

#include <algorithm>
#include <cstdint>
#include <limits>

using qvtext::Trim;
using qvtext::UpperCase;

namespace {

constexpr const char* kCrLf = "\r\n";

void Put(TStream& AStream, std::string_view AText) {
  if (!AText.empty()) AStream.WriteBuffer(AText.data(), static_cast<int64_t>(AText.size()));
}


using plat::AllDecimalDigits;

// A decimal number of at most 32 bits, else -1.
int64_t ParseNumber(std::string_view AText) {
  const std::optional<uint32_t> v = AText.size() > 10 ? std::nullopt : plat::ParseDecimal<uint32_t>(AText);
  return v ? static_cast<int64_t>(*v) : -1;
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

// ---- BODYSTRUCTURE ----

std::string EnvelopeList(const TStrings& ALines, TqvImapLineRange AHeader);

std::string ParamList(const TqvMimeParams& AParams) {
  if (AParams.empty()) return "NIL";
  std::string out = "(";
  for (const auto& [name, value] : AParams) {
    if (out.size() > 1) out += ' ';
    out += ImapString(name) + " " + ImapString(value);
  }
  return out + ")";
}

std::string DispositionField(const TqvImapMimePart& APart) {
  if (APart.Disposition.empty()) return "NIL";
  return "(" + ImapString(APart.Disposition) + " " + ParamList(APart.DispositionParams) + ")";
}

std::string LanguageField(const TqvImapMimePart& APart) {
  if (APart.Languages.empty()) return "NIL";
  std::string out = "(";
  for (const std::string& tag : APart.Languages) out += (out.size() > 1 ? " " : "") + ImapString(tag);
  return out + ")";
}

std::string NString(bool AHas, const std::string& AText) { return AHas ? ImapString(AText) : std::string("NIL"); }

// A body (BODYSTRUCTURE when AExtensible, else the BODY form) of APart.
std::string PartStructure(const TStrings& ALines, const TqvImapMimePart& APart, bool AExtensible) {
  std::string out = "(";
  if (APart.IsMultipart()) {
    if (APart.Parts.empty()) {
      // No part could be found: one empty text part, as the grammar needs one.
      out += "(\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL \"7bit\" 0 0";
      out += AExtensible ? " NIL NIL NIL NIL)" : ")";
    }
    for (const auto& part : APart.Parts) out += PartStructure(ALines, *part, AExtensible);
    out += " " + ImapString(APart.SubType);
    if (AExtensible)
      out += " " + ParamList(APart.Params) + " " + DispositionField(APart) + " " + LanguageField(APart) + " " +
             NString(APart.HasLocation, APart.Location);
    return out + ")";
  }
  out += ImapString(APart.Type) + " " + ImapString(APart.SubType) + " " + ParamList(APart.Params) + " ";
  out += NString(APart.HasId, APart.Id) + " " + NString(APart.HasDescription, APart.Description) + " ";
  out += ImapString(APart.Encoding.empty() ? std::string("7bit") : APart.Encoding) + " ";
  out += std::to_string(APart.Body.Size(ALines));
  if (APart.IsMessage()) {
    if (APart.Message) {
      out += " " + EnvelopeList(ALines, APart.Message->Header) + " " +
             PartStructure(ALines, *APart.Message, AExtensible);
    } else {
      // Encoded over (not allowed, but sent) or too deep: an empty message.
      out += " (NIL NIL NIL NIL NIL NIL NIL NIL NIL NIL) (\"text\" \"plain\" (\"charset\" \"us-ascii\") NIL NIL "
             "\"7bit\" 0 0)";
    }
    out += " " + std::to_string(APart.Body.LineBreaks());
  } else if (APart.IsText()) {
    out += " " + std::to_string(APart.Body.LineBreaks());
  }
  if (AExtensible)
    out += " " + NString(APart.HasMd5, APart.Md5) + " " + DispositionField(APart) + " " + LanguageField(APart) +
           " " + NString(APart.HasLocation, APart.Location);
  return out + ")";
}

// ---- ENVELOPE ----

struct TAddress {
  std::string Name, Route, Mailbox, Host;
  bool Group = false;  // Mailbox holds the group's name, or nothing for its end
};

// The text of a quoted string starting at AText[i] (on the '"'); i ends past it.
std::string QuotedText(std::string_view AText, size_t& i) {
  std::string out;
  for (++i; i < AText.size() && AText[i] != '"'; ++i) {
    if (AText[i] == '\\' && i + 1 < AText.size()) ++i;
    out += AText[i];
  }
  if (i < AText.size()) ++i;
  return out;
}

// The comment starting at AText[i] (on the '('), nesting counted; i ends past it.
std::string CommentText(std::string_view AText, size_t& i) {
  std::string out;
  int depth = 0;
  for (; i < AText.size(); ++i) {
    const char c = AText[i];
    if (c == '\\' && i + 1 < AText.size()) {
      out += AText[++i];
      continue;
    }
    if (c == '(' && depth++ == 0) continue;
    if (c == ')' && --depth == 0) {
      ++i;
      break;
    }
    out += c;
  }
  return Trim(out);
}

// "@a,@b:local@domain" (or without route) into the address's fields.
void AddrSpec(std::string AText, TAddress& AAddress) {
  AText = Trim(AText);
  if (AText.starts_with("@")) {
    const size_t colon = AText.find(':');
    AAddress.Route = Trim(AText.substr(0, colon));
    AText = colon == std::string::npos ? std::string() : Trim(AText.substr(colon + 1));
  }
  const size_t at = AText.rfind('@');
  std::string local = at == std::string::npos ? AText : AText.substr(0, at);
  AAddress.Host = at == std::string::npos ? std::string() : Trim(AText.substr(at + 1));
  if (local.size() >= 2 && local.front() == '"' && local.back() == '"') {
    size_t i = 0;
    local = QuotedText(local, i);
  }
  AAddress.Mailbox = Trim(local);
  // As the reference server fills what an address lacks.
  if (AAddress.Mailbox.empty()) AAddress.Mailbox = "MISSING_MAILBOX";
  if (AAddress.Host.empty()) AAddress.Host = "MISSING_DOMAIN";
}

// An address list (RFC 5322 with groups, comments, quoted names and source
// routes), lenient: what cannot be read is skipped. Nothing recurses.
std::vector<TAddress> ParseAddressList(std::string_view AText) {
  std::vector<TAddress> out;
  bool inGroup = false;
  size_t i = 0;
  while (i < AText.size()) {
    std::string phrase, comment, angle, plain;
    bool hasAngle = false;
    char stop = 0;
    while (i < AText.size()) {
      const char c = AText[i];
      if (c == '"') {
        std::string q = QuotedText(AText, i);
        phrase += (phrase.empty() || phrase.back() == ' ' ? "" : " ") + q;
        plain += "\"" + q + "\"";
        continue;
      }
      if (c == '(') {
        comment = CommentText(AText, i);
        continue;
      }
      if (c == '<') {
        const size_t close = AText.find('>', i);
        angle = std::string(AText.substr(i + 1, close == std::string_view::npos ? std::string_view::npos : close - i - 1));
        hasAngle = true;
        i = close == std::string_view::npos ? AText.size() : close + 1;
        continue;
      }
      if (c == ',' || c == ';' || (c == ':' && !hasAngle)) {
        stop = c;
        ++i;
        break;
      }
      if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
        if (!phrase.empty() && phrase.back() != ' ') phrase += ' ';
      } else {
        phrase += c;
        plain += c;
      }
      ++i;
    }
    phrase = Trim(phrase);
    if (stop == ':') {
      out.push_back({"", "", phrase, "", true});
      inGroup = true;
      continue;
    }
    if (hasAngle || !plain.empty()) {
      TAddress a;
      a.Name = hasAngle ? phrase : comment;
      AddrSpec(hasAngle ? angle : plain, a);
      out.push_back(std::move(a));
    }
    if (stop == ';' && inGroup) {
      out.push_back({"", "", "", "", true});
      inGroup = false;
    }
  }
  if (inGroup) out.push_back({"", "", "", "", true});
  return out;
}

std::string AddressField(const std::vector<TqvImapHeaderField>& AFields, const char* AName) {
  bool found = false;
  const std::string value = ImapHeaderValue(AFields, AName, &found);
  if (!found) return "NIL";
  std::string out;
  for (const TAddress& a : ParseAddressList(value)) {
    if (a.Group) {
      out += "(NIL NIL " + ImapNString(a.Mailbox) + " NIL)";
      continue;
    }
    out += "(" + ImapNString(a.Name) + " " + ImapNString(a.Route) + " " + ImapString(a.Mailbox) + " " +
           ImapString(a.Host) + ")";
  }
  return out.empty() ? "NIL" : "(" + out + ")";
}

// "(date subject from sender reply-to to cc bcc in-reply-to message-id)" of
// the header in AHeader; Sender and Reply-To default to From.
std::string EnvelopeList(const TStrings& ALines, TqvImapLineRange AHeader) {
  const std::vector<TqvImapHeaderField> fields = ReadImapHeader(ALines, AHeader);
  const auto text = [&](const char* AName) {
    bool found = false;
    const std::string value = ImapHeaderValue(fields, AName, &found);
    return found ? ImapString(value) : std::string("NIL");
  };
  const std::string from = AddressField(fields, "From");
  std::string sender = AddressField(fields, "Sender");
  if (sender == "NIL") sender = from;
  std::string replyTo = AddressField(fields, "Reply-To");
  if (replyTo == "NIL") replyTo = from;
  return "(" + text("Date") + " " + text("Subject") + " " + from + " " + sender + " " + replyTo + " " +
         AddressField(fields, "To") + " " + AddressField(fields, "Cc") + " " + AddressField(fields, "Bcc") + " " +
         text("In-Reply-To") + " " + text("Message-ID") + ")";
}

// ---- sections ----

class TSectionWriter {
 public:
  TSectionWriter(TStream& AStream, std::string ALabel, std::string APartial)
      : FStream(AStream), FLabel(std::move(ALabel)), FPartial(std::move(APartial)) {}

  void WriteRange(const TStrings& ALines, TqvImapLineRange ARange) { WriteBytes(ARange.Text(ALines)); }

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

  // Every field of the header whose name is (or with ANot, is not) among
  // ANames, as its lines stand, in header order; then the empty line.
  void WriteFields(const TStrings& ALines, TqvImapLineRange AHeader, const std::vector<std::string>& ANames,
                   bool ANot) {
    std::string out;
    for (const TqvImapHeaderField& f : ReadImapHeader(ALines, AHeader)) {
      const bool named =
          std::any_of(ANames.begin(), ANames.end(), [&](const std::string& n) { return qvtext::SameText(n, f.Name); });
      if (named != ANot) out += TqvImapLineRange{f.Lines.First, f.Lines.End, false}.Text(ALines);
    }
    WriteBytes(out + kCrLf);
  }

 private:
  TStream& FStream;
  const std::string FLabel;
  const std::string FPartial;
};

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
  std::string_view text = plat::TrimView(AText, plat::TTrim::Blanks);
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
      item->Name = kFetchBodyShapeItem;
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
  TqvImapLineRange header{0, ALines.Count(), false};
  int i = 0;
  while (i < ALines.Count() && !ALines.Strings(i).empty()) ++i;
  header.End = std::min(i + 1, ALines.Count());
  Put(AStream, "ENVELOPE " + EnvelopeList(ALines, header));
}

// ---- BODYSTRUCTURE ----

void TqvImap4FetchBodyStructure::GetBodyStructure(const TStrings& ALines, TStream& AStream) {
  Put(AStream, "BODYSTRUCTURE " + PartStructure(ALines, *ParseImapMimeTree(ALines), true));
}

void TqvImap4FetchBodyStructure::GetBody(const TStrings& ALines, TStream& AStream) {
  Put(AStream, "BODY " + PartStructure(ALines, *ParseImapMimeTree(ALines), false));
}

// ---- BODY[section] ----

// ---- BODY[section] ----

bool TqvImap4FetchBody::IsValidSection(std::string_view ASection) {
  if (ASection.empty()) return true;
  const std::vector<std::string> parts = SplitSection(UpperCase(ASection));
  size_t i = 0;
  while (i < parts.size() && AllDecimalDigits(parts[i])) {
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
  if (ASection.empty()) return writer.WriteBytes(TqvImapLineRange{0, ALines.Count(), false}.Text(ALines));
  if (!IsValidSection(ASection)) return writer.WriteNil();

  const std::unique_ptr<TqvImapMimePart> root = ParseImapMimeTree(ALines);
  const std::vector<std::string> parts = SplitSection(UpperCase(ASection));
  // Part numbers as the structure shows them: a forwarded message's parts
  // are numbered inside it, a part that is no multipart has only itself as 1.
  const TqvImapMimePart* part = root.get();
  size_t p = 0;
  for (; p < parts.size() && AllDecimalDigits(parts[p]); ++p) {
    const int64_t n = ParseNumber(parts[p]);
    // The message itself is part 1 of a message that is no multipart, even a
    // message/rfc822 one; below the top, numbers go inside a forwarded message.
    if (p > 0 && part->Message) part = part->Message.get();
    if (part->IsMultipart()) {
      if (n > static_cast<int64_t>(part->Parts.size())) return writer.WriteBytes("");
      part = part->Parts[static_cast<size_t>(n - 1)].get();
    } else if (n != 1) {
      return writer.WriteBytes("");
    }
  }
  if (p == parts.size()) return writer.WriteRange(ALines, part->Body);
  const std::string& word = parts[p];
  if (word == "MIME") return writer.WriteRange(ALines, part->Header);
  // HEADER and TEXT: of the message, or of the message a message/rfc822 part holds.
  const TqvImapMimePart* message = p == 0 ? root.get() : part->Message.get();
  if (!message) return writer.WriteBytes("");
  if (word == "TEXT") return writer.WriteRange(ALines, message->Body);
  if (p + 1 == parts.size()) return writer.WriteRange(ALines, message->Header);
  const bool isNot = p + 2 < parts.size();
  writer.WriteFields(ALines, message->Header, FieldNames(parts[isNot ? p + 2 : p + 1]), isNot);
}
