#include "qvHeaderFieldList.h"

#include "StringList.h"
#include "qvTextUtils.h"
#include "qvTextSplit.h"

using qvtext::Trim;

TqvCharSet MakeCharSet(std::string_view AChars) {
  TqvCharSet set;
  for (const char c : AChars) set.set(static_cast<uint8_t>(c));
  return set;
}

namespace {
bool InSet(char c, const TqvCharSet& ASet) { return CharInSet(static_cast<uint8_t>(c), ASet); }

// Splits joined field text at CRLF, CR or LF.
void SplitLines(std::string_view AText, TStrings& AList) {
  size_t pos = 0;
  while (true) {
    const size_t brk = AText.find_first_of("\r\n", pos);
    AList.Add(std::string(AText.substr(pos, brk == std::string_view::npos ? std::string_view::npos : brk - pos)));
    if (brk == std::string_view::npos) break;
    pos = brk + ((AText[brk] == '\r' && brk + 1 < AText.size() && AText[brk + 1] == '\n') ? 2 : 1);
  }
}

// True when the text has a "<" that no ">" closed yet.
bool InsideAngle(const std::string& AText) {
  const size_t open = AText.rfind('<');
  if (open == std::string::npos) return false;
  const size_t close = AText.rfind('>');
  return close == std::string::npos || close < open;
}
}  // namespace

TqvCharSet TqvHeaderFieldList::GetQuoteChars() const { return MakeCharSet("\"'"); }
TqvCharSet TqvHeaderFieldList::GetItemSeparators() const { return MakeCharSet(",;"); }
TqvCharSet TqvHeaderFieldList::GetSpecialChars() const { return MakeCharSet("\"'(),;<>"); }
TqvCharSet TqvHeaderFieldList::GetBlanks() const { return MakeCharSet("\t\n\r "); }

TStrings& TqvHeaderFieldList::Lines() const {
  Assert(FSource != nullptr);
  return *FSource;
}

void TqvHeaderFieldList::AssertSingleLine(std::string_view AText) {
  // A lone CR or LF would split the line when it is written out.
  Assert(AText.find_first_of("\r\n") == std::string_view::npos);
}

bool TqvHeaderFieldList::IsContinuation(const std::string& ALine) {
  return !ALine.empty() && (ALine[0] == '\t' || ALine[0] == ' ');
}

int TqvHeaderFieldList::Parse(int AStart, TStrings* ASource) {
  FParseStart = AStart;
  FFields.clear();
  FSource = ASource;
  int i = AStart;
  TStrings& lines = Lines();
  for (; i < lines.Count(); ++i) {
    const std::string line = lines.Strings(i);
    if (line.empty()) break;
    if (IsContinuation(line)) continue;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    FFields.emplace_back(qvtext::LowerCase(line.substr(0, colon)), i);
  }
  FHeaderEnd = i;
  return FHeaderEnd;
}

int TqvHeaderFieldList::GetFieldIndex(std::string_view AName) const {
  const std::string name = qvtext::LowerCase(AName);
  for (size_t i = 0; i < FFields.size(); ++i)
    if (FFields[i].first == name) return static_cast<int>(i);
  return -1;
}

std::string TqvHeaderFieldList::GetFieldName(int AIndex) const {
  if (!ValidIndex(AIndex)) return {};
  return Lines().Strings(FFields[AIndex].second).substr(0, FFields[AIndex].first.size());
}

int TqvHeaderFieldList::GetFieldLine(int AIndex) const { return ValidIndex(AIndex) ? FFields[AIndex].second : -1; }

int TqvHeaderFieldList::GetFieldLastLine(int AIndex) const {
  if (!ValidIndex(AIndex)) return -1;
  TStrings& lines = Lines();
  int last = FFields[AIndex].second;
  while (last + 1 < lines.Count() && IsContinuation(lines.Strings(last + 1))) ++last;
  return last >= lines.Count() - 1 ? FHeaderEnd - 1 : last;
}

void TqvHeaderFieldList::GetFieldLines(int AIndex, TStrings& AList) const {
  AList.Clear();
  if (!ValidIndex(AIndex)) return;
  TStrings& lines = Lines();
  const int last = GetFieldLastLine(AIndex);
  for (int i = FFields[AIndex].second; i <= last && i < lines.Count(); ++i) AList.Add(lines.Strings(i));
}

std::vector<std::string> TqvHeaderFieldList::FoldPieces(std::string_view AText, int AWidth) const {
  std::vector<std::string> pieces;
  if (AText.empty() || AWidth <= 0) {
    pieces.emplace_back(AText);
    return pieces;
  }
  const size_t total = AText.size() + 1;  // one place for an item separator
  const size_t count = total / AWidth + (total % AWidth > 0 ? 1 : 0);
  const size_t len = total / count;
  const TqvCharSet specials = GetSpecialChars();
  for (size_t start = 0; start + 1 < total; start += len) {
    std::string piece(AText.substr(start, len));
    if (!pieces.empty() && piece.size() == 1 && InSet(piece[0], specials))
      pieces.back() += piece;
    else
      pieces.push_back(std::move(piece));
  }
  return pieces;
}

std::vector<std::string> TqvHeaderFieldList::FoldAtWhitespace(std::string_view ALine, int AWidth) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  std::vector<std::string> lines;
  // The first cut may come only after the first token of the value (of the
  // line, for a continuation line).
  size_t from = 0;
  if (!ALine.empty() && !blank(ALine[0])) {
    from = ALine.find(':');
    from = from == std::string_view::npos ? 0 : from + 1;
  }
  while (from < ALine.size() && blank(ALine[from])) ++from;
  std::string_view rest = ALine;
  while (AWidth > 0 && rest.size() > static_cast<size_t>(AWidth)) {
    // Cut points: whitespace after a token with a token still to come.
    size_t best = std::string_view::npos;
    for (size_t p = from + 1; p < rest.size(); ++p) {
      if (!blank(rest[p]) || blank(rest[p - 1])) continue;
      size_t q = p;
      while (q < rest.size() && blank(rest[q])) ++q;
      if (q == rest.size()) break;
      if (p > static_cast<size_t>(AWidth) && best != std::string_view::npos) break;
      best = p;
      if (p > static_cast<size_t>(AWidth)) break;
    }
    if (best == std::string_view::npos) break;
    lines.emplace_back(rest.substr(0, best));
    rest.remove_prefix(best);
    from = 1;  // past the whitespace the continuation starts with
  }
  lines.emplace_back(rest);
  return lines;
}

bool TqvHeaderFieldList::IsOwnFold(const std::vector<std::string>& ALines) const {
  if (ALines.size() < 2 || FCharsPerLine <= 0) return false;
  std::string joined = ALines[0];
  for (size_t i = 1; i < ALines.size(); ++i) {
    if (ALines[i].size() < 2 || ALines[i][0] != '\t') return false;
    joined += ALines[i].substr(1);
  }
  const auto pieces = FoldPieces(joined, FCharsPerLine);
  if (pieces.size() != ALines.size() || pieces[0] != ALines[0]) return false;
  for (size_t i = 1; i < ALines.size(); ++i)
    if (pieces[i] != ALines[i].substr(1)) return false;
  return true;
}

bool TqvHeaderFieldList::IsOwnItemFold(const std::vector<std::string>& ALines, size_t AFrom, size_t ATo) const {
  if (ATo - AFrom < 2 || FCharsPerLine <= 0) return false;
  std::string item = ALines[AFrom].substr(1);
  for (size_t i = AFrom + 1; i < ATo; ++i) item += ALines[i].substr(2);
  const auto pieces = FoldPieces(item, FCharsPerLine);
  if (pieces.size() != ATo - AFrom || pieces[0] != ALines[AFrom].substr(1)) return false;
  for (size_t i = AFrom + 1; i < ATo; ++i)
    if (pieces[i - AFrom] != ALines[i].substr(2)) return false;
  return true;
}

std::string TqvHeaderFieldList::UnfoldValue(int AIndex, bool AAddressAware, bool AListCommas) const {
  if (!ValidIndex(AIndex)) return {};
  TStringList list;
  GetFieldLines(AIndex, list);
  std::vector<std::string> lines;
  for (int i = 0; i < list.Count(); ++i) lines.push_back(list.Strings(i));
  if (lines.empty()) return {};
  const size_t nameLen = FFields[AIndex].first.size() + 1;
  const auto dropLead = [](std::string s) {
    if (!s.empty() && (s[0] == '\t' || s[0] == ' ')) s.erase(0, 1);
    return s;
  };
  if (IsOwnFold(lines)) {
    // Our own cut at a fixed width, maybe inside a word: join directly.
    std::string joined = lines[0];
    for (size_t i = 1; i < lines.size(); ++i) joined += lines[i].substr(1);
    return dropLead(joined.size() > nameLen ? joined.substr(nameLen) : std::string());
  }
  std::string text = dropLead(lines[0].size() > nameLen ? lines[0].substr(nameLen) : std::string());
  for (size_t i = 1; i < lines.size();) {
    const std::string& line = lines[i];
    if (AListCommas && !text.empty() && text.back() == '>') text += ',';
    if (line.size() > 1 && line[0] == '\t' && line[1] != ' ') {
      size_t j = i + 1;
      while (j < lines.size() && lines[j].size() > 1 && lines[j][0] == '\t' && lines[j][1] == ' ') ++j;
      if (IsOwnItemFold(lines, i, j)) {
        text += '\t' + line.substr(1);
        for (size_t k = i + 1; k < j; ++k) text += lines[k].substr(2);
        i = j;
        continue;
      }
    }
    // Other software folds between words: the TAB stays as whitespace,
    // except inside an address, where whitespace means nothing.
    if (line[0] == '\t' && AAddressAware && InsideAngle(text))
      text += line.substr(1);
    else
      text += line;
    ++i;
  }
  return text;
}

std::string TqvHeaderFieldList::GetFieldValue(int AIndex) const { return UnfoldValue(AIndex, false, false); }

std::string TqvHeaderFieldList::GetTrimmedFieldValue(int AIndex) const { return Trim(GetFieldValue(AIndex)); }

std::string TqvHeaderFieldList::GetFieldValue(std::string_view AName) const {
  const int i = GetFieldIndex(AName);
  return i < 0 ? std::string() : GetTrimmedFieldValue(i);
}

std::string TqvHeaderFieldList::GetItemValue(std::string_view AValue, std::string_view AName, int& APos,
                                             int& ALen) const {
  APos = 0;
  ALen = 0;
  size_t matchPos = 0, matchLen = 0;
  if (!AName.empty() || AValue.empty()) {
    if (AValue.empty() || AName.empty()) return {};
    const std::string lv = qvtext::LowerCase(AValue);
    const std::string ln = qvtext::LowerCase(AName);
    const TqvCharSet blanks = GetBlanks();
    bool found = false;
    for (size_t p = lv.find(ln); p != std::string::npos; p = lv.find(ln, p + 1)) {
      size_t k = p + ln.size();
      while (k < lv.size() && InSet(lv[k], blanks)) ++k;
      if (k < lv.size() && lv[k] == '=') {
        matchPos = p;
        matchLen = k + 1 - p;
        found = true;
        break;
      }
    }
    if (!found) return {};
  }
  APos = static_cast<int>(matchPos) + 1;
  ALen = static_cast<int>(AValue.size()) - APos + 1;
  const std::string_view cand = AValue.substr(matchPos + matchLen);
  const TqvCharSet quotes = GetQuoteChars();
  const TqvCharSet seps = GetItemSeparators();
  char quote = 0;
  for (size_t j = 0; j < cand.size(); ++j) {
    const char c = cand[j];
    if (quote == 0) {
      if (InSet(c, quotes)) {
        quote = c;
      } else if (InSet(c, seps)) {
        ALen = static_cast<int>(matchLen + j);
        return std::string(cand.substr(0, j));
      }
    } else if (c == quote) {
      ALen = static_cast<int>(matchLen + j + 1);
      return std::string(cand.substr(0, j + 1));
    }
  }
  return std::string(cand);
}

std::string TqvHeaderFieldList::GetItem(std::string_view AValue, std::string_view AName) const {
  int pos, len;
  std::string v = Trim(GetItemValue(AValue, AName, pos, len));
  const TqvCharSet quotes = GetQuoteChars();
  if (v.size() > 1 && InSet(v.front(), quotes) && InSet(v.back(), quotes)) v = v.substr(1, v.size() - 2);
  return v;
}

std::string TqvHeaderFieldList::RemoveItem(std::string_view AText, std::string_view AName) const {
  int pos, len;
  (void)GetItemValue(AText, AName, pos, len);
  if (pos == 0) return std::string(AText);
  size_t start = static_cast<size_t>(pos - 1);
  size_t end = start + static_cast<size_t>(len);
  if (end < AText.size() && AText[end] == FItemSeparator) ++end;
  const TqvCharSet blanks = GetBlanks();
  bool onlyBlanks = true;
  for (size_t k = end; k < AText.size(); ++k)
    if (!InSet(AText[k], blanks)) onlyBlanks = false;
  while (start > 0) {
    const char c = AText[start - 1];
    if (InSet(c, blanks) || (c == FItemSeparator && onlyBlanks))
      --start;
    else
      break;
  }
  return std::string(AText.substr(0, start)) + std::string(AText.substr(end));
}

std::string TqvHeaderFieldList::ClearItemValue(std::string_view AText, std::string_view AName) const {
  int pos, len;
  const std::string v = GetItemValue(AText, AName, pos, len);
  if (pos == 0) return std::string(AText);
  const size_t end = static_cast<size_t>(pos - 1 + len);
  return std::string(AText.substr(0, end - v.size())) + std::string(AText.substr(end));
}

void TqvHeaderFieldList::InsertRawLines(int ALine, const std::vector<std::string>& ALines) {
  TStrings& lines = Lines();
  for (const auto& l : ALines) {
    lines.Insert(ALine++, l);
    ++FHeaderEnd;
  }
}

int TqvHeaderFieldList::InsertLine(int AIndex, const std::string& ALine, bool AFold) {
  AssertSingleLine(ALine);
  TStrings& lines = Lines();
  if (AIndex > FHeaderEnd) AIndex = FHeaderEnd;
  if (AIndex < FParseStart) AIndex = FParseStart;  // never above this list's own header
  if (ALine.empty()) return FHeaderEnd;
  if (AFold && FCharsPerLine > 0) {
    InsertRawLines(AIndex, FoldAtWhitespace(ALine, FCharsPerLine));
  } else {
    lines.Insert(AIndex, ALine);
  }
  return Parse(FParseStart, FSource);
}

void TqvHeaderFieldList::InsertLines(int AIndex, const TStrings& AList) {
  TStrings& lines = Lines();
  for (int i = 0; i < AList.Count(); ++i) lines.Insert(AIndex + i, AList.Strings(i));
  FHeaderEnd += AList.Count();
}

void TqvHeaderFieldList::DeleteField(int AIndex) {
  if (!ValidIndex(AIndex)) return;
  TStrings& lines = Lines();
  const int first = FFields[AIndex].second;
  int last = first;
  while (last + 1 < lines.Count() && IsContinuation(lines.Strings(last + 1))) ++last;
  for (int i = last; i >= first; --i) lines.Delete(i);
  FHeaderEnd -= last - first + 1;
}

void TqvHeaderFieldList::AddField(const std::string& AName, const std::string& AValue) {
  if (AValue.empty()) return;
  InsertLine(FHeaderEnd, AName + ": " + AValue, true);
}

void TqvHeaderFieldList::AddUnfoldedField(const std::string& AName, const std::string& AValue) {
  if (AValue.empty()) return;
  InsertLine(FHeaderEnd, AName + ": " + AValue, false);
}

void TqvHeaderFieldList::AddFieldIfMissing(const std::string& AName, const std::string& AValue) {
  if (GetFieldIndex(AName) < 0) AddField(AName, AValue);
}

void TqvHeaderFieldList::AddEmptyField(const std::string& AName) { InsertLine(FHeaderEnd, AName + ":", true); }

void TqvHeaderFieldList::InsertEmptyField(int ALineIndex, const std::string& AName) {
  InsertLine(ALineIndex, AName + ":", true);
}

void TqvHeaderFieldList::AddLines(const TStrings& AList) {
  for (int i = 0; i < AList.Count(); ++i) InsertLine(FHeaderEnd, AList.Strings(i), true);
}

void TqvHeaderFieldList::AddEndOfHeader() {
  TStrings& lines = Lines();
  if (lines.Count() == 0) return;
  if (FHeaderEnd < lines.Count()) {
    if (!lines.Strings(FHeaderEnd).empty()) lines.Insert(FHeaderEnd, "");
  } else if (!lines.Strings(lines.Count() - 1).empty()) {
    lines.Add("");
  }
  Parse(FParseStart, FSource);
}

void TqvHeaderFieldList::DoAddFieldItem(int AFieldIndex, const std::string& AName, bool ANewLine,
                                        const std::string& AValue) {
  if (!ValidIndex(AFieldIndex)) return;
  AssertSingleLine(AValue);
  AssertSingleLine(AName);
  const std::string item =
      (!AName.empty() && AName.back() == '=' ? AName : AName + "=") + Trim(AValue);
  TStrings& lines = Lines();
  const int last = GetFieldLastLine(AFieldIndex);
  std::string line = lines.Strings(last);
  const std::string t = Trim(line);
  if (!(t.empty() || t.back() == ':' || t.back() == FItemSeparator)) line += FItemSeparator;
  const bool startsTabBlank = line.size() > 1 && line[0] == '\t' && line[1] == ' ';
  if (!ANewLine && (FCharsPerLine <= 0 ||
                    (static_cast<int>(line.size() + item.size()) + 2 <= FCharsPerLine && !startsTabBlank))) {
    lines.SetStrings(last, line + " " + item);
    return;
  }
  lines.SetStrings(last, line);
  // The item on a line of its own, cut only at whitespace inside it.
  InsertRawLines(last + 1, FoldAtWhitespace("\t" + item, FCharsPerLine));
}

void TqvHeaderFieldList::AddFieldItem(const std::string& AFieldName, const std::string& AName,
                                      const std::string& AValue) {
  AddFieldItem(GetFieldIndex(AFieldName), AName, false, AValue);
}

void TqvHeaderFieldList::AddFieldItem(const std::string& AFieldName, const std::string& AName, bool ANewLine,
                                      const std::string& AValue) {
  AddFieldItem(GetFieldIndex(AFieldName), AName, ANewLine, AValue);
}

void TqvHeaderFieldList::AddFieldItem(int AFieldIndex, const std::string& AName, const std::string& AValue) {
  AddFieldItem(AFieldIndex, AName, false, AValue);
}

void TqvHeaderFieldList::AddFieldItem(int AFieldIndex, const std::string& AName, bool ANewLine,
                                      const std::string& AValue) {
  if (Trim(AValue).empty()) return;
  DoAddFieldItem(AFieldIndex, AName, ANewLine, AValue);
}

void TqvHeaderFieldList::AddQuotedFieldItem(const std::string& AFieldName, const std::string& AName, bool ANewLine,
                                            const std::string& AValue) {
  AddQuotedFieldItem(GetFieldIndex(AFieldName), AName, ANewLine, AValue);
}

void TqvHeaderFieldList::AddQuotedFieldItem(int AFieldIndex, const std::string& AName, bool ANewLine,
                                            const std::string& AValue) {
  if (Trim(AValue).empty()) return;
  DoAddFieldItem(AFieldIndex, AName, ANewLine, GetQuotedString(AValue));
}

void TqvHeaderFieldList::AddEmptyFieldItem(const std::string& AFieldName, const std::string& AName, bool ANewLine) {
  AddEmptyFieldItem(GetFieldIndex(AFieldName), AName, ANewLine);
}

void TqvHeaderFieldList::AddEmptyFieldItem(int AFieldIndex, const std::string& AName, bool ANewLine) {
  DoAddFieldItem(AFieldIndex, AName, ANewLine, std::string());
}

void TqvHeaderFieldList::EditFieldText(int AIndex, const std::string& AName, bool ARemove) {
  if (!ValidIndex(AIndex)) return;
  TStringList old;
  GetFieldLines(AIndex, old);
  std::string text;
  for (int i = 0; i < old.Count(); ++i) text += (i > 0 ? "\r\n" : "") + old.Strings(i);
  const std::string edited = ARemove ? RemoveItem(text, AName) : ClearItemValue(text, AName);
  TStringList fresh;
  SplitLines(edited, fresh);
  const int line = FFields[AIndex].second;
  DeleteField(AIndex);
  InsertLines(line, fresh);
  Parse(FParseStart, FSource);
}

void TqvHeaderFieldList::RemoveFieldItem(const std::string& AFieldName, const std::string& AName) {
  RemoveFieldItem(GetFieldIndex(AFieldName), AName);
}

void TqvHeaderFieldList::RemoveFieldItem(int AIndex, const std::string& AName) { EditFieldText(AIndex, AName, true); }

void TqvHeaderFieldList::ClearFieldItemValue(int AIndex, const std::string& AName) {
  EditFieldText(AIndex, AName, false);
}

void TqvHeaderFieldList::RemoveField(const std::string& AName) { RemoveField(GetFieldIndex(AName)); }

void TqvHeaderFieldList::RemoveField(int AIndex) {
  if (!ValidIndex(AIndex)) return;
  DeleteField(AIndex);
  Parse(FParseStart, FSource);
}
