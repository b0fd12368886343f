#include "qvMailHeader.h"

#include "AsciiText.h"
#include "StringList.h"
#include "qvEmailAddress.h"
#include "qvTextUtils.h"
#include "qvTranslator.h"
#include "qvTextSplit.h"

#include <algorithm>
#include <climits>
#include <vector>

using qvtext::Trim;

namespace {

// A width of 0 means "never fold": nothing is ever cut then.
constexpr int kUnlimited = INT_MAX / 4;

std::vector<std::string> SplitCrlf(std::string_view AText) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (true) {
    const size_t brk = AText.find("\r\n", pos);
    out.emplace_back(AText.substr(pos, brk == std::string_view::npos ? std::string_view::npos : brk - pos));
    if (brk == std::string_view::npos) break;
    pos = brk + 2;
  }
  return out;
}

// AText cut into pieces of count / AParts characters each (the last may be
// shorter), never inside a character of the local code page.
std::vector<std::string> CutText(std::string_view AText, size_t AParts) {
  const size_t count = qvtext::CharCount(AText);
  const size_t len = std::max<size_t>(1, AParts == 0 ? count : count / AParts);
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < AText.size()) {
    const size_t size = qvtext::CharOffset(AText.substr(pos), len);
    out.emplace_back(AText.substr(pos, size));
    pos += size;
  }
  return out;
}

size_t CeilDiv(size_t a, size_t b) { return (a + b - 1) / b; }

// Outside the letters, digits and "!*+-/" a Q word in a phrase must escape
// everything, or quotes, commas and brackets would end the word's context.
std::string MakePhraseSafe(std::string_view AEncoded) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr std::string_view kUnsafe = "\"(),.:;<>@[\\]'";
  std::string out;
  for (size_t i = 0; i < AEncoded.size(); ++i) {
    const char c = AEncoded[i];
    if (c == '=' && i + 2 < AEncoded.size()) {
      out.append(AEncoded.substr(i, 3));
      i += 2;
    } else if (kUnsafe.find(c) != std::string_view::npos) {
      out += '=';
      out += kHex[static_cast<uint8_t>(c) >> 4];
      out += kHex[static_cast<uint8_t>(c) & 15];
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::vector<std::string> SplitAddresses(std::string_view AText) {
  std::vector<std::string> out;
  std::string cur;
  bool inQuote = false;
  int depth = 0;
  for (size_t i = 0; i < AText.size(); ++i) {
    const char c = AText[i];
    if (c == '\\' && (inQuote || depth > 0) && i + 1 < AText.size()) {
      cur += c;
      cur += AText[++i];
      continue;
    }
    if (inQuote) {
      if (c == '"') inQuote = false;
    } else if (c == '"' && depth == 0) {
      inQuote = true;
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && depth > 0) {
      --depth;
    } else if (c == ',' && depth == 0) {
      out.push_back(cur);
      cur.clear();
      continue;
    }
    cur += c;
  }
  out.push_back(cur);
  return out;
}

namespace {

// Fields holding address lists, where a line ending in ">" ends one entry.
// Elsewhere (References, Received, ...) a fold is only whitespace.
bool IsAddressField(std::string_view AName) {
  std::string_view name = AName;
  if (name.size() > 7 && plat::AsciiStartsWith(name, "resent-")) name.remove_prefix(7);
  for (const std::string_view f : {"from", "sender", "reply-to", "to", "cc", "bcc", "disposition-notification-to",
                                   "return-receipt-to", "list-unsubscribe"})
    if (qvtext::SameText(name, f)) return true;
  return false;
}

struct TDecodedPiece {
  bool Word;
  std::string Data;     // literal text, or the word's decoded bytes
  std::string CharSet;  // of a word
};

}  // namespace

// ---- RFC 2231 values ----

bool TqvRfc2231HeaderEncoder::MustEncode(uint8_t AByte) const {
  if ((AByte >= 'a' && AByte <= 'z') || (AByte >= 'A' && AByte <= 'Z') || (AByte >= '0' && AByte <= '9'))
    return false;
  return std::string_view("!#$&+-.^_`{|}~").find(static_cast<char>(AByte)) == std::string_view::npos;
}

bool TqvRfc2231HeaderEncoder::ParseValue(std::string_view AText, std::string& ACharSet, std::string& AValue,
                                         std::string& ALanguage) const {
  const size_t a1 = AText.find('\'');
  const size_t a2 = a1 == std::string_view::npos ? a1 : AText.find('\'', a1 + 1);
  if (a2 == std::string_view::npos) {
    ACharSet.clear();
    ALanguage.clear();
    AValue = std::string(AText);
    return false;
  }
  ACharSet = std::string(AText.substr(0, a1));
  ALanguage = std::string(AText.substr(a1 + 1, a2 - a1 - 1));
  AValue = std::string(AText.substr(a2 + 1));
  return true;
}

std::string TqvRfc2231HeaderEncoder::BuildValue(std::string_view AEncoded, std::string_view ACharSet,
                                                std::string_view ALanguage) const {
  return std::string(ACharSet) + "'" + std::string(ALanguage) + "'" + std::string(AEncoded);
}

std::string TqvRfc2231HeaderEncoder::Encode(std::string_view AText, std::string_view ACharSet,
                                            std::string_view ALanguage) {
  CharSet = std::string(ACharSet);
  Language = std::string(ALanguage);
  if (ACharSet.empty()) {
    Language.clear();
    return std::string(AText);
  }
  return BuildValue(EncodeString(AText, ACharSet), ACharSet, ALanguage);
}

std::string TqvRfc2231HeaderEncoder::Decode(std::string_view AText) {
  std::string value;
  if (!ParseValue(AText, CharSet, value, Language)) return std::string(AText);
  return DecodeString(value, CharSet);
}

// ---- the list ----

TqvMailHeaderFieldList::TqvMailHeaderFieldList(std::string ACharSet, int ACharsPerLine, TqvEncodeMethod AEncoding)
    : CharSet(std::move(ACharSet)), HeaderEncoding(AEncoding) {
  SetCharsPerLine(ACharsPerLine);
}

TqvCharSet TqvMailHeaderFieldList::GetQuoteChars() const {
  return ReadingExtendedParameter ? MakeCharSet("\"") : TqvHeaderFieldList::GetQuoteChars();
}

std::string TqvMailHeaderFieldList::GetTrimmedFieldValue(int AIndex) const {
  if (!ValidIndex(AIndex)) return {};
  const std::string name = GetFieldName(AIndex);
  if (qvtext::SameText(name, "subject")) return GetFieldValue(AIndex);
  return Trim(UnfoldValue(AIndex, true, IsAddressField(name)));
}

TqvEncodeMethod TqvMailHeaderFieldList::MethodOfLetter(char ALetter) {
  if (ALetter == 'B' || ALetter == 'b') return cmBase64;
  if (ALetter == 'Q' || ALetter == 'q') return cmQuotedPrintable;
  return cmNone;
}

std::string TqvMailHeaderFieldList::EncodeWord(std::string_view AText, std::string_view ACharSet,
                                               TqvEncodeMethod& AMethod) {
  const TBytes bytes = TqvTranslator::GetBytes(AText, ACharSet);
  TqvEncoder encoder;
  encoder.SetSuppressCrlf(true);
  if (AMethod == cmNone) AMethod = encoder.GetPreferredEncoding(bytes);
  // A line break written plain or as Q would end the header line.
  const bool hasBreak = std::find_if(bytes.begin(), bytes.end(), [](uint8_t b) { return b == '\r' || b == '\n'; }) !=
                        bytes.end();
  if (hasBreak && (AMethod == cmNone || AMethod == cmQuotedPrintable)) AMethod = cmBase64;
  encoder.SetEncodeMethod(AMethod);
  std::string encoded = encoder.EncodeBytes(bytes);
  char letter = 0;
  if (AMethod == cmQuotedPrintable) {
    encoded = qvtext::ReplaceAll(encoded, "_", "=5F");
    encoded = qvtext::ReplaceAll(encoded, " ", "_");
    encoded = qvtext::ReplaceAll(encoded, "=\r\n", "\r\n");
    encoded = qvtext::ReplaceAll(encoded, "?", "=3F");
    encoded = MakePhraseSafe(encoded);
    letter = 'Q';
  } else if (AMethod == cmBase64) {
    letter = 'B';
  }
  if (letter == 0) return encoded;
  return "=?" + std::string(ACharSet) + "?" + letter + "?" + encoded + "?=";
}

std::string TqvMailHeaderFieldList::EncodeHeaderText(std::string_view AText, std::string_view ACharSet,
                                                     int AMaxLength, TqvEncodeMethod AMethod) {
  Assert(AMaxLength >= 1);
  if (AText.empty() || AMethod == cmUUEncode) return std::string(AText);
  const auto max = static_cast<size_t>(AMaxLength);
  TqvEncodeMethod m = AMethod;
  std::string whole = EncodeWord(AText, ACharSet, m);
  size_t parts = CeilDiv(whole.size(), max);
  if (m == cmNone && parts > 1) {
    m = cmQuotedPrintable;
    whole = EncodeWord(AText, ACharSet, m);
    parts = CeilDiv(whole.size(), max);
  }
  const size_t chars = qvtext::CharCount(AText);
  std::vector<std::string> words;
  while (true) {
    words.clear();
    size_t longest = 0;
    for (const auto& piece : CutText(AText, parts)) {
      TqvEncodeMethod pm = m;
      words.push_back(EncodeWord(piece, ACharSet, pm));
      longest = std::max(longest, words.back().size());
    }
    // Equal character counts need not give equal word lengths: cut finer.
    if (longest <= max || parts >= chars) break;
    parts = std::max(parts + 1, parts * longest / max);
  }
  std::string result;
  for (const auto& w : words) result += w + "\r\n";
  result = Trim(result);
  return result.empty() ? std::string(AText) : result;
}

std::string TqvMailHeaderFieldList::DecodeEncodedWords(std::string_view AText, std::string_view ADefaultCharSet) {
  std::vector<TDecodedPiece> pieces;
  bool decodedAny = false, allUtf8 = true;
  const auto literal = [&](std::string_view s) {
    if (!s.empty()) pieces.push_back({false, std::string(s), {}});
  };
  std::string_view rest = AText;
  while (true) {
    const size_t start = rest.find("=?");
    if (start == std::string_view::npos) {
      literal(rest);
      break;
    }
    literal(rest.substr(0, start));
    const size_t q1 = rest.find('?', start + 2);
    const size_t end = (q1 == std::string_view::npos || q1 + 2 >= rest.size() || rest[q1 + 2] != '?')
                           ? std::string_view::npos
                           : rest.find("?=", q1 + 3);
    if (end == std::string_view::npos) {
      literal(rest.substr(start));
      break;
    }
    std::string charset(rest.substr(start + 2, q1 - start - 2));
    // RFC 2231 lets a word name its language after the charset ("utf-8*en").
    if (const size_t star = charset.find('*'); star != std::string::npos) charset.resize(star);
    const TqvEncodeMethod method = MethodOfLetter(rest[q1 + 1]);
    std::string payload(rest.substr(q1 + 3, end - q1 - 3));
    TBytes bytes;
    try {
      if (method == cmQuotedPrintable) {
        // "_" stands for a blank; an encoded "=5F" stays an underscore.
        for (auto& c : payload)
          if (c == '_') c = ' ';
      }
      bytes = method == cmNone ? TBytes(payload.begin(), payload.end())
                               : TqvEncoder::DecodeTextToBytes(payload, method);
    } catch (const EqvEncoderError&) {
      literal("=?");
      rest = rest.substr(start + 2);
      continue;
    }
    allUtf8 = allUtf8 && qvtext::SameText(charset, "utf-8");
    pieces.push_back({true, std::string(bytes.begin(), bytes.end()), charset});
    decodedAny = true;
    rest = rest.substr(end + 2);
    size_t skip = 0;
    while (skip < rest.size() && static_cast<uint8_t>(rest[skip]) <= ' ') ++skip;
    // Whitespace between two encoded words is no part of the text; any
    // other whitespace, a fold's TAB included, is.
    if (rest.substr(skip).starts_with("=?")) rest = rest.substr(skip);
  }
  if (!decodedAny) return TqvTranslator::GetString(TBytes(AText.begin(), AText.end()), ADefaultCharSet);
  std::string result;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (!pieces[i].Word) {
      result += pieces[i].Data;
      continue;
    }
    std::string bytes = pieces[i].Data;
    // All words UTF-8: a run of adjacent words is one byte sequence, so a
    // character split between two words comes back whole.
    while (allUtf8 && i + 1 < pieces.size() && pieces[i + 1].Word) bytes += pieces[++i].Data;
    result += TqvTranslator::GetString(TBytes(bytes.begin(), bytes.end()), pieces[i].CharSet);
  }
  return result;
}

std::string TqvMailHeaderFieldList::EncodeAddress(std::string_view AFullAddress, int AMaxLength) const {
  const int b = AMaxLength - 2;
  TqvEmailAddressItem item;
  item.SetFullAddress(AFullAddress);
  if (item.Name().empty()) return std::string(AFullAddress);
  item.SetName(EncodeHeaderText(item.Name(), CharSet, b, HeaderEncoding));
  const std::string full = item.GetFullAddress();
  std::string addr = item.Email();
  const int r = static_cast<int>(full.size()) - static_cast<int>(addr.size()) - 3;
  const size_t lastBreak = full.rfind("\r\n");
  int room = lastBreak == std::string::npos ? b - r : AMaxLength + static_cast<int>(lastBreak + 1) - r - 2;
  if (room < static_cast<int>(addr.size())) {
    item.SetDelimiter("\r\n");
    room = AMaxLength - 3;
  }
  if (room + 1 < static_cast<int>(addr.size())) {
    const size_t keep = static_cast<size_t>(std::max(room, 0));
    std::string cut = addr.substr(0, keep);
    for (size_t pos = keep; pos < addr.size(); pos += static_cast<size_t>(std::max(b, 1)))
      cut += "\r\n" + addr.substr(pos, static_cast<size_t>(std::max(b, 1)));
    item.SetEmail(cut);
  }
  return item.GetFullAddress();
}

std::string TqvMailHeaderFieldList::DecodeAddress(std::string_view AText) const {
  std::string name, addr;
  if (GetEmailAddressParts(AText, name, addr) && !addr.empty())
    return BuildFullAddress(DecodeEncodedWords(name, CharSet), addr);
  return std::string(AText);
}

std::string TqvMailHeaderFieldList::EncodeExtendedParameter(const std::string& AName, std::string_view AValue,
                                                            int AMaxLength) const {
  Assert(AMaxLength >= 1);
  TqvRfc2231HeaderEncoder encoder;
  const std::string whole = encoder.Encode(AValue, CharSet, "");
  size_t parts = CeilDiv(whole.size(), static_cast<size_t>(AMaxLength));
  if (parts < 2) return AName + "=" + whole;
  const size_t chars = qvtext::CharCount(AValue);
  std::vector<std::string> items;
  while (true) {
    items.clear();
    size_t longest = 0;
    const auto pieces = CutText(AValue, parts);
    for (size_t i = 0; i < pieces.size(); ++i) {
      const std::string enc = i == 0 ? encoder.Encode(pieces[i], CharSet, "") : encoder.EncodeString(pieces[i], CharSet);
      items.push_back(AName + std::to_string(i) + "*=" + enc);
      longest = std::max(longest, enc.size());
    }
    if (longest <= static_cast<size_t>(AMaxLength) || parts >= chars) break;
    parts = std::max(parts + 1, parts * longest / static_cast<size_t>(AMaxLength));
  }
  std::string result;
  for (size_t i = 0; i < items.size(); ++i) result += (i > 0 ? ";\r\n" : "") + items[i];
  return Trim(result);
}

std::string TqvMailHeaderFieldList::GetParameter(std::string_view AValue, std::string_view AName) {
  const bool extended = !AName.empty() && AName.back() == '*';
  struct TResetFlag {
    bool& Flag;
    ~TResetFlag() { Flag = false; }
  } reset{ReadingExtendedParameter};
  ReadingExtendedParameter = extended;
  const std::string v = GetItem(AValue, AName);
  if (!extended) return DecodeEncodedWords(v, CharSet);
  TqvRfc2231HeaderEncoder encoder;
  if (!v.empty()) return encoder.Decode(v);
  // Encoded segments are one byte sequence in the first segment's charset:
  // a character may be split between two of them, so convert each run once.
  std::string result, knownCharSet;
  TBytes pending;
  const auto flush = [&] {
    if (!pending.empty()) result += TqvTranslator::GetString(pending, knownCharSet);
    pending.clear();
  };
  for (int i = 0;; ++i) {
    const std::string plain = std::string(AName) + std::to_string(i);
    int pos, len;
    (void)GetItemValue(AValue, plain, pos, len);
    if (pos > 0) {
      flush();
      result += DecodeEncodedWords(GetItem(AValue, plain), CharSet);
      continue;
    }
    const std::string encoded = plain + "*";
    (void)GetItemValue(AValue, encoded, pos, len);
    if (pos == 0) break;
    const std::string seg = GetItem(AValue, encoded);
    std::string cs, value = seg, lang;
    if ((i == 0 || knownCharSet.empty()) && encoder.ParseValue(seg, cs, value, lang)) {
      flush();
      knownCharSet = cs;
    }
    // A later segment without a prefix is still percent-encoded.
    const TBytes bytes = encoder.DecodeToBytes(value);
    pending.insert(pending.end(), bytes.begin(), bytes.end());
  }
  flush();
  return result;
}

// ---- writing ----

int TqvMailHeaderFieldList::MaxLengthFor(const std::string& AName, int AReserve) const {
  return CharsPerLine() > 0 ? CharsPerLine() - static_cast<int>(AName.size()) - AReserve : kUnlimited;
}

void TqvMailHeaderFieldList::AddFieldLines(const std::string& AName, const std::string& AText) {
  const auto lines = SplitCrlf(AText);
  std::vector<std::string> out;
  for (size_t i = 0; i < lines.size(); ++i) {
    AssertSingleLine(lines[i]);
    out.push_back(i == 0 ? AName + ": " + lines[i] : "\t" + lines[i]);
  }
  Lines();
  InsertRawLines(HeaderEnd(), out);
  Parse(ParseStart(), Source());
}

void TqvMailHeaderFieldList::AddEncodedField(const std::string& AName, const std::string& AValue) {
  Lines();
  if (Trim(AValue).empty()) return;
  AddFieldLines(AName, EncodeHeaderText(AValue, CharSet, MaxLengthFor(AName, 2), HeaderEncoding));
}

void TqvMailHeaderFieldList::AddEncodedAddressField(const std::string& AName, const std::string& AValue) {
  Lines();
  if (Trim(AValue).empty()) return;
  AddFieldLines(AName, EncodeAddress(AValue, MaxLengthFor(AName, 2)));
}

void TqvMailHeaderFieldList::AddAddressListField(const std::string& AName, const TqvEmailAddressList& AList) {
  Lines();
  if (AList.Count() == 0) return;
  std::string text;
  for (int i = 0; i < AList.Count(); ++i) {
    const int max = i == 0 ? MaxLengthFor(AName, 2) : (CharsPerLine() > 0 ? CharsPerLine() - 1 : kUnlimited);
    if (i > 0) text += "\r\n";
    text += EncodeAddress(AList.Items(i)->GetFullAddress(), max);
    if (i + 1 < AList.Count()) text += ",";
  }
  AddFieldLines(AName, text);
}

void TqvMailHeaderFieldList::AddParameter(const std::string& AFieldName, const std::string& AName,
                                          const std::string& AValue) {
  AddParameter(GetFieldIndex(AFieldName), AName, AValue);
}

void TqvMailHeaderFieldList::AddParameter(int AFieldIndex, const std::string& AName, const std::string& AValue) {
  if (!ValidIndex(AFieldIndex) || Trim(AValue).empty()) return;
  std::string item;
  if (!AName.empty() && AName.back() == '*')
    item = EncodeExtendedParameter(AName, AValue, MaxLengthFor(AName, 8));
  else {
    // A quote inside the value would end the quoted string early: encode it.
    const size_t quote = AValue.find('"', 1);
    const bool innerQuote = quote != std::string::npos && quote + 1 < AValue.size();
    const TqvEncodeMethod method = innerQuote && HeaderEncoding == cmNone ? cmQuotedPrintable : HeaderEncoding;
    item = AName + "=" + GetQuotedString(EncodeHeaderText(AValue, CharSet, MaxLengthFor(AName, 4), method));
  }
  TStrings& lines = Lines();
  const int last = GetFieldLastLine(AFieldIndex);
  const std::string t = Trim(lines.Strings(last));
  if (!(t.empty() || t.back() == ':' || t.back() == ';')) lines.SetStrings(last, lines.Strings(last) + ";");
  std::vector<std::string> out;
  for (const auto& l : SplitCrlf(item)) {
    AssertSingleLine(l);
    out.push_back("\t" + l);
  }
  InsertRawLines(last + 1, out);
}

// ---- reading ----

std::string TqvMailHeaderFieldList::GetDecodedFieldValue(const std::string& AName) const {
  return GetDecodedFieldValue(GetFieldIndex(AName));
}

std::string TqvMailHeaderFieldList::GetDecodedFieldValue(int AIndex) const {
  return DecodeEncodedWords(GetTrimmedFieldValue(AIndex), CharSet);
}

std::string TqvMailHeaderFieldList::GetDecodedAddress(const std::string& AName) const {
  return GetDecodedAddress(GetFieldIndex(AName));
}

std::string TqvMailHeaderFieldList::GetDecodedAddress(int AIndex) const {
  return DecodeAddress(GetTrimmedFieldValue(AIndex));
}

void TqvMailHeaderFieldList::GetAddressList(const std::string& AName, TqvEmailAddressList& AList) const {
  GetAddressList(GetFieldIndex(AName), AList);
}

void TqvMailHeaderFieldList::GetAddressList(int AIndex, TqvEmailAddressList& AList) const {
  AList.Clear();
  if (!ValidIndex(AIndex)) return;
  for (const auto& piece : SplitAddresses(GetTrimmedFieldValue(AIndex))) {
    const std::string t = Trim(piece);
    if (!t.empty()) AList.AddFullAddress(DecodeAddress(t));
  }
}
