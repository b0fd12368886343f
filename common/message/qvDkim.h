// The DKIM component (RFC 6376): Sign puts a DKIM-Signature field at the top
// of a message's lines, signed with the private key loaded into RsaKey;
// Verify checks every DKIM-Signature field of a message's lines, top first,
// with public keys from OnGetPublicKey or from DNS ("<s>._domainkey.<d>" TXT
// records through DnsQuery, in ResolveKeyRecords). A message holds the component as
// its DKIM link. Besides the signature itself, verification requires what
// RFC 6376 makes a must: From signed, i= inside d=, a signature not past its
// x= (five minutes' clock allowance: -16), and a key whose t= and s= tags
// allow the signature; the key's p= may be a SubjectPublicKeyInfo or a bare
// PKCS #1 RSAPublicKey. Sign writes c= in its two-word form and l= no larger
// than the canonical body. One thread at a time; a DNS look-up blocks it.
// Errors: EqvDkimError (-10..-19), EqvCryptError (-4 without a private key;
// the platform's "Invalid Signature" for a signature that does not match),
// a plain Exception "Unknown DKIM algorithm: <name>" for names the registry
// lacks; Verify raises as VerifyMode says. Signatures holds the last run.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ClassCore.h"
#include "DateTime.h"
#include "StringList.h"
#include "qvCryptSignature.h"
#include "qvDnsQuery.h"
#include "qvDkimConfig.h"
#include "qvDkimKey.h"
#include "qvDkimSignature.h"
#include "qvMessageDkimLink.h"

class TqvDkimCanonicalizer;
class TqvDkimHeaderFieldList;

enum TqvDkimVerifyMode { dvmVerifyUntilFail, dvmVerifyUntilSuccess, dvmVerifyAll };

// What a key record published for this signer would say; Sign and Verify do
// not read it.
class TqvDkimDnsSettings : public TPersistent {
 public:
  VX_CLASS_NAME("TqvDkimDnsSettings")
  void Assign(const TPersistent& Source) override;

  TqvDkimKeyServiceTypes ServiceType;
  std::string Notes;
  TqvDkimKeyFlags Flags;
  TStringList AcceptableHashAlgorithms;
};

using TqvDkimGetPublicKeyEvent = std::function<void(TObject* Sender, TqvDkimSignature& ASignature, TBytes& AKey)>;
using TqvDkimVerifyEvent = std::function<void(TObject* Sender, TqvDkimSignature& ASignature, const TStrings& AMessage,
                                              TqvDkimSignatureVerifyStatus& AVerifyStatus)>;
using TqvDkimSignEvent = std::function<void(TObject* Sender, TqvDkimSignature& ASignature, TStrings& AMessage)>;
using TqvDkimKeyEvent = std::function<void(TObject* Sender, TqvDkimSignature& ASignature, TqvDkimKey& AKey)>;

class TqvDkim : public TqvMessageDkimLink {
 public:
  explicit TqvDkim(TComponent* AOwner = nullptr);
  ~TqvDkim() override;
  VX_CLASS_NAME("TqvDkim")

  // Inserts the signature field at the top. The field stays, with an empty
  // b tag, when signing fails after it was built.
  void Sign(TStrings& ALines) override;
  void Verify(const TStrings& ALines) override;

  // The signing key, made on first use ("rsa") and initialised.
  TqvRsaKey& RsaKey();
  [[nodiscard]] TqvDkimSignatureList& Signatures() { return FSignatures; }
  TqvDkimConfig& Config();
  // The resolver of the key look-ups (recursion desired); its Server, Port
  // and TimeOut may be set. Server empty: the system's name servers.
  [[nodiscard]] TqvDnsQuery& DnsQuery() { return *FDnsQuery; }

  // ---- properties ----
  [[nodiscard]] const std::string& SignatureAlgorithm() const { return FSignatureAlgorithm; }
  void SetSignatureAlgorithm(const std::string& Value) { SetText(FSignatureAlgorithm, Value); }
  [[nodiscard]] const std::string& Canonicalization() const { return FCanonicalization; }
  void SetCanonicalization(const std::string& Value) { SetText(FCanonicalization, Value); }
  [[nodiscard]] const std::string& Domain() const { return FDomain; }
  void SetDomain(const std::string& Value) { SetText(FDomain, Value); }
  [[nodiscard]] const std::string& Selector() const { return FSelector; }
  void SetSelector(const std::string& Value) { SetText(FSelector, Value); }
  [[nodiscard]] const std::string& UserIdentity() const { return FUserIdentity; }
  void SetUserIdentity(const std::string& Value) { SetText(FUserIdentity, Value); }
  [[nodiscard]] const std::string& PublicKeyLocation() const { return FPublicKeyLocation; }
  void SetPublicKeyLocation(const std::string& Value) { SetText(FPublicKeyLocation, Value); }
  [[nodiscard]] const TStrings& SignedHeaderFields() const { return FSignedHeaderFields; }
  void SetSignedHeaderFields(const TStrings& Value);
  [[nodiscard]] const TStrings& CopiedHeaderFields() const { return FCopiedHeaderFields; }
  void SetCopiedHeaderFields(const TStrings& Value);
  [[nodiscard]] int BodyLength() const { return FBodyLength; }
  void SetBodyLength(int Value) { SetValue(FBodyLength, Value); }
  [[nodiscard]] int CharsPerLine() const { return FCharsPerLine; }
  void SetCharsPerLine(int Value) { SetValue(FCharsPerLine, Value); }
  [[nodiscard]] TDateTime SignatureTimestamp() const { return FSignatureTimestamp; }
  void SetSignatureTimestamp(TDateTime Value) { SetValue(FSignatureTimestamp, Value); }
  [[nodiscard]] TDateTime SignatureExpiration() const { return FSignatureExpiration; }
  void SetSignatureExpiration(TDateTime Value) { SetValue(FSignatureExpiration, Value); }
  [[nodiscard]] TqvDkimVerifyMode VerifyMode() const { return FVerifyMode; }
  void SetVerifyMode(TqvDkimVerifyMode Value) { SetValue(FVerifyMode, Value); }
  [[nodiscard]] const TqvDkimDnsSettings& DnsSettings() const { return FDnsSettings; }
  void SetDnsSettings(const TqvDkimDnsSettings& Value);

  TqvDkimGetPublicKeyEvent OnGetPublicKey;
  TqvDkimVerifyEvent OnVerify;
  TqvDkimSignEvent OnSign;
  TqvDkimKeyEvent OnKeyReceived;
  TqvDkimKeyEvent OnKeyRevoked;

 protected:
  virtual std::unique_ptr<TqvDkimConfig> CreateConfig();
  virtual void SetDefaultSignedHeaderFields();
  // A new signature in Signatures, filled from the properties.
  virtual TqvDkimSignature& CreateSignature();
  virtual void DoGetPublicKey(TqvDkimSignature& ASignature, TBytes& AKey);
  virtual void DoVerify(TqvDkimSignature& ASignature, const TStrings& AMessage,
                        TqvDkimSignatureVerifyStatus& AStatus);
  virtual void DoSign(TqvDkimSignature& ASignature, TStrings& AMessage);
  virtual void DoKeyReceived(TqvDkimSignature& ASignature, TqvDkimKey& AKey);
  virtual void DoKeyRevoked(TqvDkimSignature& ASignature, TqvDkimKey& AKey);
  // The TXT records published under AName, each record's strings joined
  // (long keys span several); none when there are none. DNS errors pass
  // through.
  [[nodiscard]] virtual std::vector<std::string> ResolveKeyRecords(const std::string& AName);

 private:
  template <class T>
  [[nodiscard]] std::unique_ptr<T> CreateObject(const std::string& AName);
  // The canonical body, cut to the signature's l= when that is shorter.
  [[nodiscard]] std::string CanonicalBody(const TqvDkimSignature& ASignature, const TStrings& ALines);
  [[nodiscard]] TBytes BodyHash(const TqvDkimSignature& ASignature, const std::string& ABody);
  void VerifyField(const TStrings& ALines, const TqvDkimHeaderFieldList& AHeader, int AIndex);
  void VerifyWithKeys(const TStrings& ALines, const TqvDkimHeaderFieldList& AHeader, int AIndex,
                      TqvDkimSignature& ASignature);
  void CheckKey(const TqvDkimSignature& ASignature, const TqvDkimKey& AKey);
  void CheckSignature(const TStrings& ALines, const TqvDkimHeaderFieldList& AHeader, int AIndex,
                      TqvDkimSignature& ASignature, const TBytes& APublicKey);
  void SetText(std::string& AField, const std::string& AValue);
  template <class V>
  void SetValue(V& AField, V AValue) {
    if (AField == AValue) return;
    AField = AValue;
    Changed();
  }

  std::string FSignatureAlgorithm = "rsa-sha256";
  std::string FCanonicalization;
  std::string FDomain;
  std::string FSelector;
  std::string FUserIdentity;
  std::string FPublicKeyLocation = "dns/txt";
  TStringList FSignedHeaderFields;
  TStringList FCopiedHeaderFields;
  int FBodyLength = 0;
  int FCharsPerLine = 76;
  TDateTime FSignatureTimestamp = 0;
  TDateTime FSignatureExpiration = 0;
  TqvDkimVerifyMode FVerifyMode = dvmVerifyUntilFail;
  TqvDkimDnsSettings FDnsSettings;
  TqvDkimSignatureList FSignatures;
  std::unique_ptr<TqvDkimConfig> FConfig;
  std::unique_ptr<TqvRsaKey> FRsaKey;
  std::unique_ptr<TqvDnsQuery> FDnsQuery;
};
