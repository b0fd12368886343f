#include "qvImapSearch.h"

#include "AsciiText.h"
#include "StringList.h"
#include "qvEncoder.h"
#include "qvImap4Records.h"
#include "qvImapMimeTree.h"
#include "qvMailServerLimits.h"
#include "qvTextUtils.h"
#include "qvTranslator.h"

#include <algorithm>
#include <cstdint>

namespace {

using TKey = TqvImapSearchProgram::TKey;

// Atoms, quoted strings (unescaped) and single parentheses; false for an
// unclosed quote.
bool SearchTokens(std::string_view AText, std::vector<std::string>& ATokens, std::vector<bool>& AQuoted) {
  size_t i = 0;
  while (i < AText.size()) {
    const char c = AText[i];
    if (c == ' ') {
      ++i;
    } else if (c == '(' || c == ')') {
      ATokens.emplace_back(1, c);
      AQuoted.push_back(false);
      ++i;
    } else if (c == '"') {
      std::string word;
      ++i;
      while (i < AText.size() && AText[i] != '"') {
        if (AText[i] == '\\' && i + 1 < AText.size()) ++i;
        word += AText[i++];
      }
      if (i >= AText.size()) return false;
      ++i;
      ATokens.push_back(word);
      AQuoted.push_back(true);
    } else {
      const size_t start = i;
      while (i < AText.size() && AText[i] != ' ' && AText[i] != '(' && AText[i] != ')') ++i;
      ATokens.emplace_back(AText.substr(start, i - start));
      AQuoted.push_back(false);
    }
  }
  return true;
}

class TParser {
 public:
  TParser(std::vector<std::string> ATokens, std::vector<bool> AQuoted, TqvImap4MessageList& AMessages)
      : FTokens(std::move(ATokens)), FQuoted(std::move(AQuoted)), FMessages(AMessages) {}

  TqvImapSearchResult Parse(TKey& ARoot) {
    ARoot.Kind = TKey::kAnd;
    if (FPos + 1 < FTokens.size() && !FQuoted[FPos] && qvtext::UpperCase(FTokens[FPos]) == "CHARSET") {
      const std::string charset = qvtext::UpperCase(FTokens[FPos + 1]);
      if (charset != "US-ASCII" && charset != "UTF-8") return TqvImapSearchResult::kBadCharSet;
      FPos += 2;
    }
    if (FPos >= FTokens.size()) return TqvImapSearchResult::kBad;
    while (FPos < FTokens.size()) {
      ARoot.Children.emplace_back();
      if (!Key(ARoot.Children.back(), 0)) return TqvImapSearchResult::kBad;
    }
    return TqvImapSearchResult::kOk;
  }

 private:
  bool Next(std::string& AWord) {
    if (FPos >= FTokens.size()) return false;
    AWord = FTokens[FPos++];
    return true;
  }

  // ADepth: lists, NOT and OR this key lies in.
  bool Key(TKey& AKey, int ADepth) {
    std::string word;
    if (!Next(word) || FQuoted[FPos - 1]) return false;
    if (word == "(" || qvtext::SameText(word, "NOT") || qvtext::SameText(word, "OR")) {
      if (ADepth >= qvMaxImapSearchNesting) return false;
    }
    if (word == "(") {
      AKey.Kind = TKey::kAnd;
      while (FPos < FTokens.size() && !(FTokens[FPos] == ")" && !FQuoted[FPos])) {
        AKey.Children.emplace_back();
        if (!Key(AKey.Children.back(), ADepth + 1)) return false;
      }
      if (FPos >= FTokens.size() || AKey.Children.empty()) return false;
      ++FPos;
      return true;
    }
    const std::string name = qvtext::UpperCase(word);
    static const std::pair<const char*, TqvMailMessageFlag> kFlags[] = {
        {"ANSWERED", mfAnswered}, {"DELETED", mfDeleted}, {"DRAFT", mfDraft},
        {"FLAGGED", mfFlagged},   {"SEEN", mfSeen},       {"RECENT", mfRecent}};
    for (const auto& [key, flag] : kFlags) {
      if (name == key) {
        AKey.Kind = TKey::kFlag;
        AKey.Flag = flag;
        return true;
      }
      if (name == std::string("UN") + key && flag != mfRecent) {
        AKey.Kind = TKey::kNoFlag;
        AKey.Flag = flag;
        return true;
      }
    }
    if (name == "ALL") {
      AKey.Kind = TKey::kAll;
      return true;
    }
    if (name == "NEW" || name == "OLD") {
      AKey.Kind = name == "NEW" ? TKey::kNew : TKey::kOld;
      return true;
    }
    if (name == "FROM" || name == "TO" || name == "SUBJECT") {
      AKey.Kind = TKey::kHeader;
      AKey.Field = name;
      if (!Next(AKey.Text)) return false;
      AKey.Text = TqvImapSearchProgram::FoldCase(AKey.Text);
      return true;
    }
    if (name == "NOT" || name == "OR") {
      AKey.Kind = name == "NOT" ? TKey::kNot : TKey::kOr;
      for (int i = name == "NOT" ? 1 : 2; i > 0; --i) {
        AKey.Children.emplace_back();
        if (!Key(AKey.Children.back(), ADepth + 1)) return false;
      }
      return true;
    }
    const bool uid = name == "UID";
    if (uid && !Next(word)) return false;
    if (word.empty() || word.find_first_not_of("0123456789*:,") != std::string::npos) return false;
    AKey.Kind = TKey::kSet;
    AKey.Members.assign(static_cast<size_t>(FMessages.Count()), false);
    const std::unique_ptr<TqvImap4MessageList> view = FMessages.SetView(word, uid);
    for (int i = 0; i < view->Count(); ++i) AKey.Members[static_cast<size_t>(view->Peek(i)->SequenceNumber - 1)] = true;
    return true;
  }

  std::vector<std::string> FTokens;
  std::vector<bool> FQuoted;
  TqvImap4MessageList& FMessages;
  size_t FPos = 0;
};

bool KeyNeedsHeader(const TKey& AKey) {
  if (AKey.Kind == TKey::kHeader) return true;
  return std::any_of(AKey.Children.begin(), AKey.Children.end(), KeyNeedsHeader);
}

bool KeyMatches(const TKey& AKey, const TqvImap4MessageItem& AMessage,
                const std::vector<TqvImapHeaderField>& AFields) {
  switch (AKey.Kind) {
    case TKey::kAll: return true;
    case TKey::kHeader:
      return std::any_of(AFields.begin(), AFields.end(), [&](const TqvImapHeaderField& f) {
        return qvtext::SameText(f.Name, AKey.Field) &&
               TqvImapSearchProgram::FoldCase(TqvImapSearchProgram::DecodeToUtf8(qvtext::Trim(f.Value)))
                       .find(AKey.Text) != std::string::npos;
      });
    case TKey::kFlag: return (AMessage.Flags & MessageFlag(AKey.Flag)) != 0;
    case TKey::kNoFlag: return (AMessage.Flags & MessageFlag(AKey.Flag)) == 0;
    case TKey::kNew:
      return (AMessage.Flags & MessageFlag(mfRecent)) && !(AMessage.Flags & MessageFlag(mfSeen));
    case TKey::kOld: return !(AMessage.Flags & MessageFlag(mfRecent));
    case TKey::kSet: return AKey.Members[static_cast<size_t>(AMessage.SequenceNumber - 1)];
    case TKey::kAnd:
      return std::all_of(AKey.Children.begin(), AKey.Children.end(),
                         [&](const TKey& k) { return KeyMatches(k, AMessage, AFields); });
    case TKey::kNot: return !KeyMatches(AKey.Children[0], AMessage, AFields);
    case TKey::kOr:
      return KeyMatches(AKey.Children[0], AMessage, AFields) || KeyMatches(AKey.Children[1], AMessage, AFields);
  }
  return false;
}

// Code pages of the charsets a header names most, for the conversion to UTF-8.
uint32_t CodePageOf(std::string_view ACharSet) {
  static const std::pair<const char*, uint32_t> kPages[] = {
      {"gbk", 936},          {"gb2312", 936},       {"gb18030", 936},      {"cp936", 936},
      {"big5", 950},         {"shift_jis", 932},    {"euc-kr", 949},       {"ks_c_5601-1987", 949},
      {"windows-1250", 1250}, {"windows-1251", 1251}, {"windows-1252", 1252}, {"windows-1253", 1253},
      {"windows-1254", 1254}, {"windows-1255", 1255}, {"windows-1256", 1256}, {"windows-1257", 1257}};
  for (const auto& [name, page] : kPages)
    if (qvtext::SameText(ACharSet, name)) return page;
  return 0;
}

std::string Latin1ToUtf8(std::string_view ABytes) {
  std::string out;
  for (const char c : ABytes) {
    const auto b = static_cast<uint8_t>(c);
    if (b < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (b >> 6));
      out += static_cast<char>(0x80 | (b & 0x3F));
    }
  }
  return out;
}

std::string CharSetToUtf8(const std::string& ABytes, std::string_view ACharSet) {
  if (qvtext::SameText(ACharSet, "utf-8") || qvtext::SameText(ACharSet, "us-ascii")) return ABytes;
  if (qvtext::SameText(ACharSet, "iso-8859-1") || qvtext::SameText(ACharSet, "latin1")) return Latin1ToUtf8(ABytes);
  if (const uint32_t page = CodePageOf(ACharSet)) return WideStringToUtf8(CodePageToWideString(ABytes, page));
  return ABytes;  // unknown: ASCII still compares
}

}  // namespace

TqvImapSearchResult TqvImapSearchProgram::Parse(std::string_view AText, TqvImap4MessageList& AMessages) {
  FRoot = TKey{};
  std::vector<std::string> tokens;
  std::vector<bool> quoted;
  if (!SearchTokens(AText, tokens, quoted)) return TqvImapSearchResult::kBad;
  return TParser(std::move(tokens), std::move(quoted), AMessages).Parse(FRoot);
}

bool TqvImapSearchProgram::NeedsHeader() const { return KeyNeedsHeader(FRoot); }

bool TqvImapSearchProgram::Matches(const TqvImap4MessageItem& AMessage, const TStrings* AHeader) const {
  const std::vector<TqvImapHeaderField> fields =
      AHeader ? ReadImapHeader(*AHeader, {0, AHeader->Count(), false}) : std::vector<TqvImapHeaderField>();
  return KeyMatches(FRoot, AMessage, fields);
}

std::string TqvImapSearchProgram::DecodeToUtf8(std::string_view AValue) {
  std::string out;
  std::string_view rest = AValue;
  bool afterWord = false;
  while (!rest.empty()) {
    const size_t start = rest.find("=?");
    const size_t q1 = start == std::string_view::npos ? start : rest.find('?', start + 2);
    const bool shaped = q1 != std::string_view::npos && q1 + 2 < rest.size() && rest[q1 + 2] == '?';
    const size_t end = shaped ? rest.find("?=", q1 + 3) : std::string_view::npos;
    if (end == std::string_view::npos) {
      out += rest;
      break;
    }
    // Blanks between two encoded words are no part of the text.
    const std::string_view before = rest.substr(0, start);
    if (!(afterWord && std::all_of(before.begin(), before.end(), [](char c) { return c == ' ' || c == '\t'; })))
      out += before;
    std::string charset(rest.substr(start + 2, q1 - start - 2));
    if (const size_t star = charset.find('*'); star != std::string::npos) charset.resize(star);
    std::string payload(rest.substr(q1 + 3, end - q1 - 3));
    const char letter = plat::AsciiLower(rest[q1 + 1]);
    std::string bytes;
    try {
      if (letter == 'q') {
        for (auto& c : payload)
          if (c == '_') c = ' ';
        const TBytes b = TqvEncoder::DecodeTextToBytes(payload, cmQuotedPrintable);
        bytes.assign(b.begin(), b.end());
      } else if (letter == 'b') {
        const TBytes b = TqvEncoder::DecodeTextToBytes(payload, cmBase64);
        bytes.assign(b.begin(), b.end());
      } else {
        bytes = rest.substr(start, end + 2 - start);
      }
    } catch (const EqvEncoderError&) {
      bytes = rest.substr(start, end + 2 - start);
    }
    out += CharSetToUtf8(bytes, charset);
    afterWord = true;
    rest = rest.substr(end + 2);
  }
  return out;
}

std::string TqvImapSearchProgram::FoldCase(std::string_view AUtf8) {
  std::u16string wide = Utf8ToWideString(AUtf8);
  for (char16_t& c : wide) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) || (c >= 0x391 && c <= 0x3A9) ||
        (c >= 0x410 && c <= 0x42F))
      c = static_cast<char16_t>(c + 32);
    else if (c >= 0x400 && c <= 0x40F)
      c = static_cast<char16_t>(c + 80);
  }
  return WideStringToUtf8(wide);
}
