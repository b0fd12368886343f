#include "qvImapMimeTree.h"

#include "Decimal.h"
#include "StringList.h"
#include "qvMailServerLimits.h"
#include "qvTextUtils.h"

#include <algorithm>

using qvtext::SameText;
using qvtext::Trim;

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The text with comments "( ... )" removed (quoted strings kept); nesting is
// counted, not recursed.
std::string WithoutComments(std::string_view AText) {
  std::string out;
  int depth = 0;
  bool quoted = false;
  for (size_t i = 0; i < AText.size(); ++i) {
    const char c = AText[i];
    if (quoted) {
      out += c;
      if (c == '\\' && i + 1 < AText.size()) out += AText[++i];
      else if (c == '"') quoted = false;
    } else if (depth > 0) {
      if (c == '\\') ++i;
      else if (c == '(') ++depth;
      else if (c == ')') --depth;
    } else if (c == '(') {
      depth = 1;
    } else {
      if (c == '"') quoted = true;
      out += c;
    }
  }
  return out;
}

// One parameter piece before joining: "name*1*" gives base "name", section 1, extended.
struct TPiece {
  std::string Base;
  int Section = -1;  // -1: not a continuation
  bool Extended = false;
  std::string Value;
};

TPiece SplitName(const std::string& AName, std::string AValue) {
  TPiece p;
  p.Value = std::move(AValue);
  std::string name = AName;
  if (name.size() > 1 && name.back() == '*') {
    p.Extended = true;
    name.pop_back();
  }
  const size_t star = name.rfind('*');
  const std::optional<int> section = star == std::string::npos || name.size() - star > 4
                                         ? std::nullopt
                                         : plat::ParseDecimal<int>(std::string_view(name).substr(star + 1));
  if (section) {
    p.Section = *section;
    p.Base = name.substr(0, star);
  } else {
    p.Base = name;
  }
  return p;
}

bool IsDelimiter(const std::string& ALine, const std::string& ABoundary, bool& AClose) {
  if (ALine.size() < ABoundary.size() + 2 || ALine[0] != '-' || ALine[1] != '-' ||
      ALine.compare(2, ABoundary.size(), ABoundary) != 0)
    return false;
  std::string_view rest = std::string_view(ALine).substr(ABoundary.size() + 2);
  AClose = rest.starts_with("--");
  if (AClose) rest.remove_prefix(2);
  return std::all_of(rest.begin(), rest.end(), IsBlank);
}

class TTreeParser {
 public:
  explicit TTreeParser(const TStrings& ALines) : FLines(ALines) {}

  // The entity in ARange: header, body and what lies below it.
  std::unique_ptr<TqvImapMimePart> Entity(TqvImapLineRange ARange, bool ADigestChild, int ADepth) {
    auto part = std::make_unique<TqvImapMimePart>();
    int blank = ARange.First;
    while (blank < ARange.End && !FLines.Strings(blank).empty()) ++blank;
    part->HeaderEnded = blank < ARange.End;
    if (blank < ARange.End) {
      part->Header = {ARange.First, blank + 1, false};
      part->Body = {blank + 1, ARange.End, ARange.DropCrLf};
      if (part->Body.Count() == 0) part->Header.DropCrLf = ARange.DropCrLf;
    } else {
      part->Header = ARange;
      part->Body = {ARange.End, ARange.End, false};
    }
    ReadFields(*part, ADigestChild);
    if (ADepth >= qvMaxImapMimeDepth) return part;
    if (part->IsMultipart()) {
      Split(*part, ADepth);
    } else if (part->IsMessage()) {
      // Read as a message whatever encoding it claims, as the reference
      // server does: base64 over it reads as a header without body.
      part->Message = Entity(part->Body, false, ADepth + 1);
    }
    return part;
  }

 private:
  // A part whose last line is markup (a closing delimiter of a multipart in
  // it, or a forwarded message's header that never ends) keeps the CRLF
  // before the next delimiter, as the reference server counts it; a part
  // ending in content gives that CRLF to the delimiter.
  static bool EndsInMarkup(const TqvImapMimePart& APart) {
    if (APart.IsMultipart())
      return APart.CloseLine >= 0 ? APart.CloseLine == APart.Body.End - 1
                                  : !APart.Parts.empty() && EndsInMarkup(*APart.Parts.back());
    if (APart.Message) return !APart.Message->HeaderEnded || EndsInMarkup(*APart.Message);
    return false;
  }

  static void KeepCrLf(TqvImapMimePart& APart) {
    APart.Body.DropCrLf = false;
    if (APart.Body.Count() == 0) APart.Header.DropCrLf = false;
    if (APart.IsMultipart() && APart.CloseLine < 0 && !APart.Parts.empty()) KeepCrLf(*APart.Parts.back());
    if (APart.Message) KeepCrLf(*APart.Message);
  }

  void ReadFields(TqvImapMimePart& APart, bool ADigestChild) {
    const std::vector<TqvImapHeaderField> fields = ReadImapHeader(FLines, APart.Header);
    bool found = false;
    const std::string type = ImapHeaderValue(fields, "Content-Type", &found);
    std::string main;
    if (found) ParseImapMimeValue(type, main, APart.Params);
    const size_t slash = main.find('/');
    if (slash != std::string::npos && slash > 0 && slash + 1 < main.size()) {
      APart.Type = Trim(main.substr(0, slash));
      APart.SubType = Trim(main.substr(slash + 1));
      APart.TypeGiven = true;
    } else {
      APart.Params.clear();
      if (ADigestChild) {
        APart.Type = "message";
        APart.SubType = "rfc822";
      }
    }
    if (APart.IsText()) {
      const bool hasCharSet = std::any_of(APart.Params.begin(), APart.Params.end(),
                                          [](const auto& p) { return SameText(p.first, "charset"); });
      if (!hasCharSet) APart.Params.emplace_back("charset", "us-ascii");
    }
    const std::string encoding = ImapHeaderValue(fields, "Content-Transfer-Encoding");
    APart.Encoding = Trim(WithoutComments(encoding));
    APart.Id = ImapHeaderValue(fields, "Content-ID", &APart.HasId);
    APart.Description = ImapHeaderValue(fields, "Content-Description", &APart.HasDescription);
    APart.Md5 = ImapHeaderValue(fields, "Content-MD5", &APart.HasMd5);
    APart.Location = ImapHeaderValue(fields, "Content-Location", &APart.HasLocation);
    const std::string disposition = ImapHeaderValue(fields, "Content-Disposition", &found);
    if (found) ParseImapMimeValue(disposition, APart.Disposition, APart.DispositionParams);
    for (const std::string& tag : SplitText(WithoutComments(ImapHeaderValue(fields, "Content-Language")), ',')) {
      const std::string t = Trim(tag);
      if (!t.empty()) APart.Languages.push_back(t);
    }
  }

  static std::vector<std::string> SplitText(const std::string& AText, char ASep) {
    std::vector<std::string> out(1);
    for (const char c : AText) {
      if (c == ASep) out.emplace_back();
      else out.back() += c;
    }
    return out;
  }

  // A multipart's parts: between its delimiter lines, each ending before the
  // CRLF that precedes the next delimiter; the last one, without a closing
  // delimiter, runs to the end of the body.
  void Split(TqvImapMimePart& APart, int ADepth) {
    std::string boundary;
    for (const auto& [name, value] : APart.Params)
      if (SameText(name, "boundary")) boundary = value;
    if (boundary.empty()) return;
    const bool digest = SameText(APart.SubType, "digest");
    int open = -1;
    for (int i = APart.Body.First; i < APart.Body.End; ++i) {
      bool close = false;
      if (!IsDelimiter(FLines.Strings(i), boundary, close)) continue;
      if (open >= 0) {
        APart.Parts.push_back(Entity({open, i, true}, digest, ADepth + 1));
        if (EndsInMarkup(*APart.Parts.back())) KeepCrLf(*APart.Parts.back());
      }
      open = close ? -1 : i + 1;
      if (close) {
        APart.CloseLine = i;
        return;
      }
    }
    if (open >= 0) APart.Parts.push_back(Entity({open, APart.Body.End, APart.Body.DropCrLf}, digest, ADepth + 1));
  }

  const TStrings& FLines;
};

}  // namespace

int64_t TqvImapLineRange::Size(const TStrings& ALines) const {
  int64_t n = 0;
  for (int i = First; i < End; ++i) n += static_cast<int64_t>(ALines.Strings(i).size()) + 2;
  return Count() > 0 && DropCrLf ? n - 2 : n;
}

std::string TqvImapLineRange::Text(const TStrings& ALines) const {
  std::string out;
  out.reserve(static_cast<size_t>(Size(ALines)));
  for (int i = First; i < End; ++i) {
    out += ALines.Strings(i);
    if (i + 1 < End || !DropCrLf) out += "\r\n";
  }
  return out;
}

std::vector<TqvImapHeaderField> ReadImapHeader(const TStrings& ALines, TqvImapLineRange ARange) {
  std::vector<TqvImapHeaderField> fields;
  for (int i = ARange.First; i < ARange.End; ++i) {
    const std::string& line = ALines.Strings(i);
    if (line.empty()) break;
    if (IsBlank(line[0])) {
      if (!fields.empty()) {
        fields.back().Lines.End = i + 1;
        fields.back().Value += line;
      }
      continue;
    }
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    TqvImapHeaderField field;
    field.Name = Trim(line.substr(0, colon));
    field.Lines = {i, i + 1, false};
    field.Value = line.substr(colon + 1);
    fields.push_back(std::move(field));
  }
  return fields;
}

std::string ImapHeaderValue(const std::vector<TqvImapHeaderField>& AFields, std::string_view AName, bool* AFound) {
  for (const TqvImapHeaderField& f : AFields) {
    if (!SameText(f.Name, AName)) continue;
    if (AFound) *AFound = true;
    return Trim(f.Value);
  }
  if (AFound) *AFound = false;
  return std::string();
}

void ParseImapMimeValue(std::string_view AText, std::string& AMain, TqvMimeParams& AParams) {
  const std::string text = WithoutComments(AText);
  AParams.clear();
  size_t i = text.find(';');
  AMain = Trim(text.substr(0, i));
  std::vector<TPiece> pieces;
  while (i != std::string::npos && i < text.size()) {
    ++i;  // past ";"
    while (i < text.size() && (IsBlank(text[i]) || text[i] == ';')) ++i;
    const size_t eq = text.find_first_of("=;", i);
    if (eq == std::string::npos || text[eq] == ';') {
      i = eq;
      continue;
    }
    const std::string name = Trim(text.substr(i, eq - i));
    i = eq + 1;
    while (i < text.size() && IsBlank(text[i])) ++i;
    std::string value;
    if (i < text.size() && text[i] == '"') {
      for (++i; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] == '\\' && i + 1 < text.size()) ++i;
        value += text[i];
      }
      i = text.find(';', i);
    } else {
      const size_t end = text.find(';', i);
      value = Trim(text.substr(i, end == std::string::npos ? std::string::npos : end - i));
      i = end;
    }
    if (!name.empty()) pieces.push_back(SplitName(name, std::move(value)));
  }
  // Continuations joined in section order at the place of their first piece.
  std::vector<bool> used(pieces.size(), false);
  for (size_t p = 0; p < pieces.size(); ++p) {
    if (used[p]) continue;
    if (pieces[p].Section < 0) {
      AParams.emplace_back(pieces[p].Base + (pieces[p].Extended ? "*" : ""), pieces[p].Value);
      continue;
    }
    std::vector<size_t> run;
    for (size_t q = p; q < pieces.size(); ++q)
      if (!used[q] && pieces[q].Section >= 0 && SameText(pieces[q].Base, pieces[p].Base)) run.push_back(q);
    std::stable_sort(run.begin(), run.end(), [&](size_t a, size_t b) { return pieces[a].Section < pieces[b].Section; });
    std::string value;
    bool extended = false;
    for (const size_t q : run) {
      used[q] = true;
      value += pieces[q].Value;
      extended = extended || pieces[q].Extended;
    }
    AParams.emplace_back(pieces[p].Base + (extended ? "*" : ""), value);
  }
}

bool TqvImapMimePart::IsMultipart() const { return SameText(Type, "multipart"); }
bool TqvImapMimePart::IsMessage() const { return SameText(Type, "message") && SameText(SubType, "rfc822"); }
bool TqvImapMimePart::IsText() const { return SameText(Type, "text"); }

std::unique_ptr<TqvImapMimePart> ParseImapMimeTree(const TStrings& ALines) {
  return TTreeParser(ALines).Entity({0, ALines.Count(), false}, false, 0);
}
