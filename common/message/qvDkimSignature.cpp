#include "qvDkimSignature.h"

#include <charconv>

#include "Decimal.h"
#include "qvDkimUtils.h"
#include "qvIdnTranslator.h"
#include "qvMailUtils.h"
#include "qvTextUtils.h"
#include "qvTextSplit.h"

using qvtext::Trim;

namespace {

constexpr const char* kFieldName = "DKIM-Signature";

// The whole text as a decimal number (an optional sign allowed); false otherwise.
template <class T>
bool ReadInt(std::string_view AText, T& AValue) {
  // One '+' goes; from_chars' own rule then takes a '-' after it too.
  if (AText.starts_with('+')) AText.remove_prefix(1);
  const std::optional<T> v = plat::ParseDecimal<T>(AText, plat::TDecimalSign::Minus);
  if (v) AValue = *v;
  return v.has_value();
}

[[noreturn]] void Raise(int ACode) { throw EqvDkimError(ACode); }

TDateTime ReadTime(const std::string& AText) {
  const std::string t = Trim(AText);
  if (t.empty()) return 0;
  int64_t seconds = 0;
  if (!ReadInt(std::string_view(t).substr(0, 12), seconds) || seconds == 0) return 0;
  return UTCToLocal(UnixToDateTime(seconds));
}

std::string TimeText(TDateTime ALocal) { return std::to_string(DateTimeToUnix(LocalToUTC(ALocal))); }

}  // namespace

void TqvDkimSignature::Clear() {
  Version = 0;
  BodyLength = 0;
  SignatureTimestamp = 0;
  SignatureExpiration = 0;
  Domain.clear();
  UserIdentity.clear();
  BodyHash.clear();
  QueryMethod.clear();
  SignatureAlgorithm.clear();
  CopiedHeaderFields.Clear();
  Signature.clear();
  SignedHeaderFields.Clear();
  Canonicalization.clear();
  Selector.clear();
  VerifyStatus.Clear();
}

void TqvDkimSignature::Parse(const std::string& AValue) {
  const TqvDkimHeaderFieldList tags;
  const auto tag = [&](const char* AName) { return tags.GetItem(AValue, AName); };
  if (!ReadInt(Trim(tag("v")), Version)) Version = 0;
  if (Version == 0) Raise(kDkimInvalidFormat);
  SignatureAlgorithm = Trim(tag("a"));
  Domain = Trim(tag("d"));
  Selector = Trim(tag("s"));
  const std::string h = Trim(tag("h"));
  if (SignatureAlgorithm.empty() || Domain.empty() || Selector.empty() || h.empty()) Raise(kDkimInvalidFormat);
  SignedHeaderFields.Clear();
  for (const auto& name : SplitDkimTagValue(h, ':')) SignedHeaderFields.Add(name);
  Canonicalization = tag("c");
  QueryMethod = tag("q");
  const std::string l = Trim(tag("l"));
  BodyLength = 0;
  if (!l.empty() && (!ReadInt(l, BodyLength) || BodyLength < 0)) Raise(kDkimInvalidFormat);
  UserIdentity = TqvDkimQuotedPrintableEncoder::Decode(tag("i"));
  SignatureTimestamp = ReadTime(tag("t"));
  SignatureExpiration = ReadTime(tag("x"));
  CopiedHeaderFields.Clear();
  for (const auto& piece : SplitDkimTagValue(tag("z"), '|')) {
    TStringList lines;
    lines.SetText(TqvDkimQuotedPrintableEncoder::Decode(piece));
    CopiedHeaderFields.AddStrings(lines);
  }
  Signature = tag("b");
  BodyHash = tag("bh");
}

std::string TqvDkimSignature::CopiedFieldsText() const {
  // Each copied field encoded on its own ("|" inside it too), then joined by
  // a bare "|"; continuation lines join their field with CR LF.
  std::vector<std::string> fields;
  for (int i = 0; i < CopiedHeaderFields.Count(); ++i) {
    const std::string line = CopiedHeaderFields.Strings(i);
    if (!fields.empty() && !line.empty() && (line[0] == ' ' || line[0] == '\t'))
      fields.back() += "\r\n" + line;
    else
      fields.push_back(line);
  }
  std::string out;
  for (const auto& f : fields) {
    if (!out.empty()) out += '|';
    out += qvtext::ReplaceAll(TqvDkimQuotedPrintableEncoder::Encode(f), "|", "=7C");
  }
  return out;
}

void TqvDkimSignature::Build(TStrings& ALines, int ACharsPerLine) {
  if (Version < 0) Raise(kDkimInvalidParams);
  TqvDkimHeaderFieldList list;
  list.SetCharsPerLine(ACharsPerLine);
  list.Parse(0, &ALines);
  list.InsertEmptyField(0, kFieldName);
  const auto add = [&](const char* AName, const std::string& AValue, bool ARequired) {
    if (Trim(AValue).empty()) {
      if (ARequired) Raise(kDkimInvalidParams);
      return;
    }
    list.AddFieldItem(0, AName, AValue);
  };
  add("v", std::to_string(Version), false);
  add("a", SignatureAlgorithm, true);
  add("d", Trim(Domain).empty() ? std::string() : TqvIdnTranslator::EncodeDomain(Domain), true);
  add("s", Selector, true);
  // Always the two-word form, which no verifier reads otherwise.
  add("c", Trim(Canonicalization).empty() ? std::string()
                                          : GetHeaderCanonicalization() + "/" + GetBodyCanonicalization(),
      false);
  if (BodyLength > 0) add("l", std::to_string(BodyLength), false);
  add("q", QueryMethod, false);
  if (!Trim(UserIdentity).empty())
    add("i", TqvDkimQuotedPrintableEncoder::Encode(EmailAddressToIdn(UserIdentity)), false);
  if (SignatureTimestamp > 0 && SignatureExpiration > 0 && SignatureTimestamp >= SignatureExpiration)
    Raise(kDkimInvalidParams);
  if (SignatureTimestamp > 0) add("t", TimeText(SignatureTimestamp), false);
  if (SignatureExpiration > 0) add("x", TimeText(SignatureExpiration), false);
  std::string names;
  bool hasFrom = false;
  for (int i = 0; i < SignedHeaderFields.Count(); ++i) {
    const std::string name = Trim(SignedHeaderFields.Strings(i));
    if (name.empty()) continue;
    hasFrom = hasFrom || qvtext::SameText(name, "From");
    names += (names.empty() ? "" : ":") + name;
  }
  // A signature that leaves From unsigned is refused by every verifier.
  add("h", hasFrom ? names : std::string(), true);
  add("z", CopiedFieldsText(), false);
  add("bh", BodyHash, true);
  // The empty "b=" gets a line of its own, where SetSignatureValue will put
  // the value, so signer and verifier hash the same bytes.
  list.AddEmptyFieldItem(0, "b", true);
}

void TqvDkimSignature::SetSignatureValue(TStrings& ALines, int ACharsPerLine) {
  if (Trim(Signature).empty()) Raise(kDkimInvalidParams);
  TqvDkimHeaderFieldList list;
  list.SetCharsPerLine(ACharsPerLine);
  list.Parse(0, &ALines);
  const int index = list.GetFieldIndex(kFieldName);
  if (index < 0) return;
  list.RemoveFieldItem(index, "b");
  list.AddFieldItem(index, "b", true, Signature);
}

std::string TqvDkimSignature::GetHashAlgorithm() const {
  if (WordCount(SignatureAlgorithm, "-") != 2) Raise(kDkimInvalidAlgorithm);
  return ExtractWord(2, SignatureAlgorithm, "-");
}

// RFC 6376 section 3.5: "header/body"; one word names the header's
// algorithm alone, and the body's is then "simple".
std::string TqvDkimSignature::GetHeaderCanonicalization() const {
  const int words = WordCount(Canonicalization, "/");
  return words == 1 || words == 2 ? Trim(ExtractWord(1, Canonicalization, "/")) : "simple";
}

std::string TqvDkimSignature::GetBodyCanonicalization() const {
  return WordCount(Canonicalization, "/") == 2 ? Trim(ExtractWord(2, Canonicalization, "/")) : "simple";
}

TqvDkimSignature* TqvDkimSignatureList::Add(std::unique_ptr<TqvDkimSignature> ASignature) {
  FItems.push_back(std::move(ASignature));
  return FItems.back().get();
}
