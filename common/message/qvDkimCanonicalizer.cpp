#include "qvDkimCanonicalizer.h"

#include "StringList.h"
#include "qvTextUtils.h"

namespace {

bool IsWsp(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Runs of blanks, TABs, CR and LF become one blank.
std::string CollapseWsp(std::string_view AText) {
  std::string out;
  out.reserve(AText.size());
  for (size_t i = 0; i < AText.size();) {
    if (IsWsp(AText[i])) {
      while (i < AText.size() && IsWsp(AText[i])) ++i;
      out += ' ';
    } else {
      out += AText[i++];
    }
  }
  return out;
}

std::string AfterColon(const std::string& ALine) {
  const size_t colon = ALine.find(':');
  return colon == std::string::npos ? std::string() : ALine.substr(colon + 1);
}

// The list only reads the lines it is bound to.
void BindList(TqvDkimHeaderFieldList& AList, const TStrings& ALines) {
  AList.Parse(0, const_cast<TStrings*>(&ALines));
}

}  // namespace

std::string TqvDkimCanonicalizer::CanonicalizeBody(const TStrings& ALines) const {
  TqvDkimHeaderFieldList header;
  BindList(header, ALines);
  // The body starts after the empty line that ends the header.
  const int first = header.HeaderEnd() + 1;
  std::vector<std::string> lines;
  size_t total = 0;
  for (int i = first; i < ALines.Count(); ++i) {
    lines.push_back(CanonicalizeBodyLine(ALines.Strings(i)));
    total += lines.back().size() + 2;
  }
  // Trailing empty lines vanish, so the body ends with exactly one CR LF.
  while (!lines.empty() && lines.back().empty()) {
    lines.pop_back();
    total -= 2;
  }
  if (lines.empty()) return EmptyBody();
  std::string body;
  body.reserve(total);
  for (const auto& l : lines) {
    body += l;
    body += "\r\n";
  }
  return body;
}

std::string TqvDkimCanonicalizer::CanonicalizeField(const TqvDkimHeaderFieldList& AList, int AIndex) const {
  return CanonicalizeHeaderName(AList.GetFieldName(AIndex)) + ":" + CanonicalizeHeaderValue(AList, AIndex);
}

std::string TqvDkimCanonicalizer::CanonicalizeHeaders(const TStrings& ALines, const TStrings& ANames) const {
  TqvDkimHeaderFieldList header;
  BindList(header, ALines);
  header.ResetInstances();
  std::string out;
  for (int n = 0; n < ANames.Count(); ++n) {
    const int i = header.NextFieldIndex(ANames.Strings(n));
    if (i >= 0) out += CanonicalizeField(header, i);
  }
  return out;
}

std::string TqvDkimCanonicalizer::CanonicalizeHeader(const TStrings& ALines, std::string_view AName) const {
  TStringList names;
  names.Add(std::string(AName));
  return CanonicalizeHeaders(ALines, names);
}

// ---- simple ----

std::string TqvDkimSimpleCanonicalizer::CanonicalizeBodyLine(std::string_view ALine) const { return std::string(ALine); }

std::string TqvDkimSimpleCanonicalizer::CanonicalizeHeaderName(std::string_view AName) const {
  return std::string(AName);
}

std::string TqvDkimSimpleCanonicalizer::CanonicalizeHeaderValue(const TqvDkimHeaderFieldList& AList,
                                                                int AIndex) const {
  TStringList lines;
  AList.GetFieldLines(AIndex, lines);
  if (lines.Count() == 0) return {};
  std::string out = AfterColon(lines.Strings(0)) + "\r\n";
  for (int i = 1; i < lines.Count(); ++i) out += lines.Strings(i) + "\r\n";
  return out;
}

// ---- relaxed ----

std::string TqvDkimRelaxedCanonicalizer::CanonicalizeBodyLine(std::string_view ALine) const {
  size_t end = ALine.size();
  while (end > 0 && IsWsp(ALine[end - 1])) --end;
  return CollapseWsp(ALine.substr(0, end));
}

std::string TqvDkimRelaxedCanonicalizer::CanonicalizeHeaderName(std::string_view AName) const {
  return qvtext::LowerCase(qvtext::Trim(AName));
}

std::string TqvDkimRelaxedCanonicalizer::CanonicalizeHeaderValue(const TqvDkimHeaderFieldList& AList,
                                                                 int AIndex) const {
  TStringList lines;
  AList.GetFieldLines(AIndex, lines);
  if (lines.Count() == 0) return {};
  std::string value = AfterColon(lines.Strings(0));
  for (int i = 1; i < lines.Count(); ++i) value += lines.Strings(i);
  return CollapseWsp(qvtext::Trim(value)) + "\r\n";
}
