#include "qvDkimUtils.h"

#include "StringList.h"
#include "qvTextUtils.h"
#include "qvTranslator.h"
#include "qvTextSplit.h"

using qvtext::Trim;

const char* DkimErrorText(int ACode) {
  return plat::CodeText(kDkimErrors, ACode);
}

std::vector<std::string> SplitDkimTagValue(std::string_view AValue, char ADelimiter) {
  TStringList words;
  ExtractWords(AValue, words, ADelimiter);
  std::vector<std::string> parts;
  for (int i = 0; i < words.Count(); ++i)
    if (std::string part = Trim(words.Strings(i)); !part.empty()) parts.push_back(std::move(part));
  return parts;
}

// ---- quoted-printable ----

std::string TqvDkimQuotedPrintableEncoder::Encode(std::string_view AText) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const uint8_t b : TqvTranslator::GetBytes(AText, "us-ascii")) {
    if ((b >= 0x21 && b <= 0x3A) || b == 0x3C || (b >= 0x3E && b <= 0x7E)) {
      out += static_cast<char>(b);
    } else {
      out += '=';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

namespace {
int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

std::string TqvDkimQuotedPrintableEncoder::Decode(std::string_view AText) {
  std::string out;
  const size_t n = AText.size();
  for (size_t i = 0; i < n;) {
    if (AText[i] != '=') {
      out += AText[i++];
      continue;
    }
    if (i + 1 >= n) break;  // "=" at the end
    const int hi = HexValue(AText[i + 1]);
    if (hi < 0) {
      out += AText.substr(i, 2);
      i += 2;
      continue;
    }
    if (i + 2 >= n) break;  // "=X" at the end
    const int lo = HexValue(AText[i + 2]);
    if (lo >= 0)
      out += static_cast<char>(hi * 16 + lo);
    else
      out += AText.substr(i, 3);  // malformed: kept whole, the digit too
    i += 3;
  }
  return out;
}

// ---- header field list ----

TqvCharSet TqvDkimHeaderFieldList::GetQuoteChars() const { return TqvCharSet(); }

TqvCharSet TqvDkimHeaderFieldList::GetItemSeparators() const { return MakeCharSet(";"); }

std::string TqvDkimHeaderFieldList::GetFieldValue(int AIndex) const {
  if (!ValidIndex(AIndex)) return {};
  TStringList lines;
  GetFieldLines(AIndex, lines);
  if (lines.Count() == 0) return {};
  const std::string first = lines.Strings(0);
  const size_t colon = first.find(':');
  std::string value = colon == std::string::npos ? std::string() : Trim(std::string_view(first).substr(colon + 1));
  for (int i = 1; i < lines.Count(); ++i) value += Trim(lines.Strings(i));
  return value;
}

std::string TqvDkimHeaderFieldList::GetItemValue(std::string_view AValue, std::string_view AName, int& APos,
                                                 int& ALen) const {
  APos = 0;
  ALen = 0;
  if (AValue.empty() || AName.empty()) return {};
  const TqvCharSet blanks = GetBlanks();
  const auto isBlank = [&](char c) { return CharInSet(static_cast<uint8_t>(c), blanks); };
  // Where tags may start: the text's start, after a field name's ":" (a colon
  // before any "="), and after every ";".
  std::vector<size_t> starts{0};
  const size_t colon = AValue.find(':');
  if (colon != std::string_view::npos && colon < AValue.find('=')) starts.push_back(colon + 1);
  for (size_t p = AValue.find(';'); p != std::string_view::npos; p = AValue.find(';', p + 1)) starts.push_back(p + 1);
  for (size_t start : starts) {
    size_t k = start;
    while (k < AValue.size() && isBlank(AValue[k])) ++k;
    if (!qvtext::SameText(AValue.substr(k, AName.size()), AName)) continue;
    size_t e = k + AName.size();
    while (e < AValue.size() && isBlank(AValue[e])) ++e;
    if (e >= AValue.size() || AValue[e] != '=') continue;
    const size_t valueStart = e + 1;
    const size_t end = std::min(AValue.find(';', valueStart), AValue.size());
    APos = static_cast<int>(k) + 1;
    ALen = static_cast<int>(end - k);
    return std::string(AValue.substr(valueStart, end - valueStart));
  }
  return {};
}

std::string TqvDkimHeaderFieldList::IndexedName(int AIndex) const {
  return qvtext::LowerCase(qvtext::Trim(GetFieldName(AIndex)));
}

int TqvDkimHeaderFieldList::NextFieldIndex(std::string_view AName) {
  const std::string name = qvtext::LowerCase(Trim(AName));
  auto it = FInstances.begin();
  while (it != FInstances.end() && it->first != name) ++it;
  int i = it == FInstances.end() ? FieldCount() - 1 : it->second - 1;
  for (; i >= 0; --i) {
    if (IndexedName(i) != name) continue;
    if (it == FInstances.end())
      FInstances.emplace_back(name, i);
    else
      it->second = i;
    return i;
  }
  return -1;
}

void TqvDkimHeaderFieldList::DoAddFieldItem(int AFieldIndex, const std::string& AName, bool ANewLine,
                                            const std::string& AValue) {
  const std::string tag = qvtext::LowerCase(Trim(AName.substr(0, AName.find('='))));
  if (!ValidIndex(AFieldIndex) || CharsPerLine() <= 0) {
    TqvHeaderFieldList::DoAddFieldItem(AFieldIndex, AName, ANewLine, AValue);
    return;
  }
  AssertSingleLine(AValue);
  const std::string item = (!AName.empty() && AName.back() == '=' ? AName : AName + "=") + Trim(AValue);
  const int last = GetFieldLastLine(AFieldIndex);
  std::string line = Lines().Strings(last);
  const std::string t = Trim(line);
  const bool needsSeparator = !(t.empty() || t.back() == ':' || t.back() == ItemSeparator());
  const bool startsTabBlank = line.size() > 1 && line[0] == '\t' && line[1] == ' ';
  const size_t width = line.size() + (needsSeparator ? 1 : 0) + item.size() + 2;
  if (!ANewLine && !startsTabBlank && static_cast<int>(width) <= CharsPerLine()) {
    TqvHeaderFieldList::DoAddFieldItem(AFieldIndex, AName, false, AValue);
    return;
  }
  if (needsSeparator) line += ItemSeparator();
  Lines().SetStrings(last, line);
  std::vector<std::string> pieces{"\t"};
  if (tag == "b" || tag == "bh") {
    // Base64 takes whitespace anywhere: cut at the width.
    pieces = FoldPieces(item, CharsPerLine());
    for (size_t i = 0; i < pieces.size(); ++i) pieces[i] = (i == 0 ? "\t" : "\t ") + pieces[i];
  } else if (tag == "h") {
    // Header names are never cut: a fold goes after a ":".
    size_t from = 0;
    while (from < item.size()) {
      const size_t colon = item.find(':', from);
      const size_t end = colon == std::string::npos ? item.size() : colon + 1;
      const std::string part = item.substr(from, end - from);
      if (pieces.back().size() > 2 && static_cast<int>(pieces.back().size() + part.size()) > CharsPerLine())
        pieces.emplace_back("\t ");
      pieces.back() += part;
      from = end;
    }
  } else {
    pieces.back() += item;
  }
  InsertRawLines(last + 1, pieces);
}
