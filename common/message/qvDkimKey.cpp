#include "qvDkimKey.h"

#include "qvDkimUtils.h"
#include "qvTextUtils.h"

using qvtext::Trim;

void TqvDkimKey::Clear() {
  Version.clear();
  AcceptableHashAlgorithms.Clear();
  KeyType.clear();
  Notes.clear();
  PublicKey.clear();
  ServiceType.clear();
  Flags.clear();
}

void TqvDkimKey::Parse(const std::string& AText) {
  const TqvDkimHeaderFieldList tags;
  const auto tag = [&](const char* AName) { return tags.GetItem(AText, AName); };
  Version = Trim(tag("v"));
  KeyType = Trim(tag("k"));
  PublicKey = Trim(tag("p"));
  AcceptableHashAlgorithms.Clear();
  for (const auto& h : SplitDkimTagValue(tag("h"), ':')) AcceptableHashAlgorithms.Add(h);
  Notes = TqvDkimQuotedPrintableEncoder::Decode(tag("n"));
  ServiceType.clear();
  for (const auto& s : SplitDkimTagValue(tag("s"), ':')) {
    if (s == "*") ServiceType.insert(ddsAll);
    if (s == "email") ServiceType.insert(ddsEmail);
  }
  Flags.clear();
  for (const auto& t : SplitDkimTagValue(tag("t"), ':')) {
    if (t == "y") Flags.insert(ddfTestingDomain);
    if (t == "s") Flags.insert(ddfCheckUserIdentityDomain);
  }
}

void TqvDkimKey::Build(std::string& AText) const {
  TStringList lines;
  TqvDkimHeaderFieldList field;
  field.Parse(0, &lines);
  field.AddEmptyField("key");
  const auto join = [](std::initializer_list<std::pair<bool, const char*>> AParts) {
    std::string s;
    for (const auto& [present, text] : AParts)
      if (present) s += (s.empty() ? "" : ":") + std::string(text);
    return s;
  };
  std::string hashes;
  for (int i = 0; i < AcceptableHashAlgorithms.Count(); ++i)
    hashes += (hashes.empty() ? "" : ":") + AcceptableHashAlgorithms.Strings(i);
  field.AddFieldItem(0, "v", Version);
  field.AddFieldItem(0, "h", hashes);
  field.AddFieldItem(0, "k", KeyType);
  field.AddFieldItem(0, "n", Notes.empty() ? std::string() : TqvDkimQuotedPrintableEncoder::Encode(Notes));
  field.AddFieldItem(0, "s", join({{ServiceType.count(ddsAll) > 0, "*"}, {ServiceType.count(ddsEmail) > 0, "email"}}));
  field.AddFieldItem(0, "t", join({{Flags.count(ddfTestingDomain) > 0, "y"},
                                   {Flags.count(ddfCheckUserIdentityDomain) > 0, "s"}}));
  if (Trim(PublicKey).empty())
    field.AddEmptyFieldItem(0, "p", false);
  else
    field.AddFieldItem(0, "p", PublicKey);
  AText = field.GetTrimmedFieldValue(0);
}

TqvDkimKey* TqvDkimKeyList::Add(std::unique_ptr<TqvDkimKey> AKey) {
  FItems.push_back(std::move(AKey));
  return FItems.back().get();
}
