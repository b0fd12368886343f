// One DKIM key record (RFC 6376 section 3.6.1) as published in a DNS TXT
// record: parsed from the record's text and built back into it. No tag has a
// default here; service types and flags compare case-sensitively and unknown
// ones are ignored. Parsing never raises. Made per use; one thread.
#pragma once

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "ClassCore.h"
#include "StringList.h"

enum TqvDkimKeyServiceType { ddsAll, ddsEmail };
enum TqvDkimKeyFlag { ddfTestingDomain, ddfCheckUserIdentityDomain };
using TqvDkimKeyServiceTypes = std::set<TqvDkimKeyServiceType>;
using TqvDkimKeyFlags = std::set<TqvDkimKeyFlag>;

class TqvDkimKey : public TObject {
 public:
  TqvDkimKey() = default;
  TqvDkimKey(const TqvDkimKey&) = delete;
  TqvDkimKey& operator=(const TqvDkimKey&) = delete;
  VX_CLASS_NAME("TqvDkimKey")

  virtual void Parse(const std::string& AText);
  // Tags v, h, k, n, s, t when set, and p always (empty for a revoked key).
  virtual void Build(std::string& AText) const;
  virtual void Clear();

  std::string Version;
  TStringList AcceptableHashAlgorithms;
  std::string KeyType;
  std::string Notes;
  std::string PublicKey;
  TqvDkimKeyServiceTypes ServiceType;
  TqvDkimKeyFlags Flags;
};

class TqvDkimKeyList {
 public:
  TqvDkimKey* Add(std::unique_ptr<TqvDkimKey> AKey);
  [[nodiscard]] int Count() const { return static_cast<int>(FItems.size()); }
  [[nodiscard]] TqvDkimKey& operator[](int AIndex) const { return *FItems.at(static_cast<size_t>(AIndex)); }

 private:
  std::vector<std::unique_ptr<TqvDkimKey>> FItems;
};
