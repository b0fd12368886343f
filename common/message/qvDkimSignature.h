// One DKIM-Signature header field (RFC 6376 section 3.5) as an object:
// parsed from a field value, built into a message's lines at the top, and
// given its signature value afterwards; with the status of its verification
// and an owning list. Date-times are local time, 0 for none. Made per use;
// one thread. Errors: EqvDkimError -10 (parsing), -11 (building), -12 (an
// algorithm name not of the form "key-hash"); IDN errors of the domain pass
// through. A failed Build leaves the partly built field in the lines, and a
// failed Parse leaves the fields read so far.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "ClassCore.h"
#include "DateTime.h"
#include "StringList.h"

enum TqvDkimVerifyStatusKind { dvsNone = 0, dvsVerified = 1, dvsFailed = 2 };

class TqvDkimSignatureVerifyStatus : public TObject {
 public:
  VX_CLASS_NAME("TqvDkimSignatureVerifyStatus")
  void Clear() { Set(dvsNone, {}, 0); }
  void SetVerified() { Set(dvsVerified, {}, 0); }
  void SetFailed(const std::string& AText, int ACode) { Set(dvsFailed, AText, ACode); }

  std::string StatusText;
  TqvDkimVerifyStatusKind Status = dvsNone;
  int32_t StatusCode = 0;

 private:
  void Set(TqvDkimVerifyStatusKind AStatus, const std::string& AText, int ACode) {
    Status = AStatus;
    StatusText = AText;
    StatusCode = ACode;
  }
};

class TqvDkimSignature : public TObject {
 public:
  TqvDkimSignature() { Clear(); }
  TqvDkimSignature(const TqvDkimSignature&) = delete;
  TqvDkimSignature& operator=(const TqvDkimSignature&) = delete;
  VX_CLASS_NAME("TqvDkimSignature")

  // AValue as TqvDkimHeaderFieldList reads a field's value.
  virtual void Parse(const std::string& AValue);
  // Inserts "DKIM-Signature:" with every tag and an empty "b=" on a line of
  // its own as the first line of ALines, folded at ACharsPerLine.
  virtual void Build(TStrings& ALines, int ACharsPerLine);
  // Writes Signature into the "b" tag of the topmost DKIM-Signature field;
  // the layout before the tag stays as Build made it.
  virtual void SetSignatureValue(TStrings& ALines, int ACharsPerLine);
  virtual void Clear();

  // "sha256" of "rsa-sha256".
  [[nodiscard]] std::string GetHashAlgorithm() const;
  [[nodiscard]] std::string GetHeaderCanonicalization() const;
  [[nodiscard]] std::string GetBodyCanonicalization() const;

  int32_t Version = 0;
  TDateTime SignatureTimestamp = 0;
  std::string Domain;
  std::string UserIdentity;
  int32_t BodyLength = 0;
  std::string BodyHash;
  std::string QueryMethod;
  std::string SignatureAlgorithm;
  TStringList CopiedHeaderFields;
  std::string Signature;
  TDateTime SignatureExpiration = 0;
  TStringList SignedHeaderFields;
  std::string Canonicalization;
  std::string Selector;
  TqvDkimSignatureVerifyStatus VerifyStatus;

 private:
  [[nodiscard]] std::string CopiedFieldsText() const;
};

class TqvDkimSignatureList {
 public:
  TqvDkimSignature* Add(std::unique_ptr<TqvDkimSignature> ASignature);
  void Clear() { FItems.clear(); }
  [[nodiscard]] int Count() const { return static_cast<int>(FItems.size()); }
  [[nodiscard]] TqvDkimSignature& operator[](int AIndex) const { return *FItems.at(static_cast<size_t>(AIndex)); }

 private:
  std::vector<std::unique_ptr<TqvDkimSignature>> FItems;
};
