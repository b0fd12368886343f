#include "qvDkim.h"

#include <exception>

#include "qvCryptUtils.h"
#include "qvDkimCanonicalizer.h"
#include "qvDkimUtils.h"
#include "qvEncoder.h"
#include "qvTextUtils.h"
#include "qvTranslator.h"

using qvtext::SameText;
using qvtext::Trim;

namespace {

constexpr const char* kFieldName = "dkim-signature";

// Base64 tags may hold folding whitespace anywhere.
TBytes DecodeBase64(const std::string& AText) {
  std::string compact;
  for (const char c : AText)
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') compact += c;
  return TqvEncoder::DecodeTextToBytes(compact, cmBase64);
}

std::string EncodeBase64(const TBytes& ABytes) { return TqvEncoder::EncodeBytesToLine(ABytes, cmBase64); }

// The canonical DKIM-Signature field goes into the hash without its final CR LF.
std::string WithoutFinalCrlf(std::string AText) {
  if (AText.size() >= 2 && AText.compare(AText.size() - 2, 2, "\r\n") == 0) AText.resize(AText.size() - 2);
  return AText;
}

template <class THash>
void Feed(THash& AHash, const std::string& AText) {
  const TBytes bytes = TqvTranslator::GetBytes(AText, "us-ascii");
  AHash.Update(bytes, 0, static_cast<int>(bytes.size()));
}

// The domain of an identity "local@domain"; "" without "@".
std::string IdentityDomain(const std::string& AIdentity) {
  const size_t at = AIdentity.rfind('@');
  return at == std::string::npos ? std::string() : Trim(AIdentity.substr(at + 1));
}

bool SameOrSubdomain(const std::string& ADomain, const std::string& AParent) {
  if (SameText(ADomain, AParent)) return true;
  return ADomain.size() > AParent.size() + 1 && ADomain[ADomain.size() - AParent.size() - 1] == '.' &&
         SameText(std::string_view(ADomain).substr(ADomain.size() - AParent.size()), AParent);
}

// Clocks of signer and verifier may differ by this much (seconds).
constexpr int64_t kClockAllowance = 300;

// A signature past its x= (with the allowance); none without x=.
bool Expired(const TqvDkimSignature& ASignature) {
  if (ASignature.SignatureExpiration <= 0) return false;
  const int64_t expires = DateTimeToUnix(LocalToUTC(ASignature.SignatureExpiration));
  return DateTimeToUnix(LocalToUTC(Now())) > expires + kClockAllowance;
}

// A bare PKCS #1 RSAPublicKey (SEQUENCE of two INTEGERs), as some key
// records publish it, rather than a SubjectPublicKeyInfo (SEQUENCE that
// starts with the algorithm's SEQUENCE).
bool IsRsaPublicKey(const TBytes& ADer) {
  if (ADer.size() < 4 || ADer[0] != 0x30) return false;
  size_t at = 2;
  if (ADer[1] & 0x80) at += ADer[1] & 0x7F;
  return at < ADer.size() && ADer[at] == 0x02;
}

}  // namespace

void TqvDkimDnsSettings::Assign(const TPersistent& Source) {
  const auto* s = dynamic_cast<const TqvDkimDnsSettings*>(&Source);
  if (!s) {
    TPersistent::Assign(Source);
    return;
  }
  ServiceType = s->ServiceType;
  Notes = s->Notes;
  Flags = s->Flags;
  AcceptableHashAlgorithms.Assign(s->AcceptableHashAlgorithms);
}

TqvDkim::TqvDkim(TComponent* AOwner) : TqvMessageDkimLink(AOwner), FDnsQuery(std::make_unique<TqvDnsQuery>()) {
  FDnsQuery->SetIsRecursiveDesired(true);
  SetDefaultSignedHeaderFields();
}

TqvDkim::~TqvDkim() = default;

void TqvDkim::SetText(std::string& AField, const std::string& AValue) {
  if (AField == AValue) return;
  AField = AValue;
  Changed();
}

void TqvDkim::SetSignedHeaderFields(const TStrings& Value) {
  FSignedHeaderFields.Assign(Value);
  Changed();
}

void TqvDkim::SetCopiedHeaderFields(const TStrings& Value) {
  FCopiedHeaderFields.Assign(Value);
  Changed();
}

void TqvDkim::SetDnsSettings(const TqvDkimDnsSettings& Value) {
  FDnsSettings.Assign(Value);
  Changed();
}

void TqvDkim::SetDefaultSignedHeaderFields() {
  FSignedHeaderFields.Clear();
  for (const char* name : {"Date", "From", "To", "Subject", "MIME-Version", "Content-Type"})
    FSignedHeaderFields.Add(name);
}

std::unique_ptr<TqvDkimConfig> TqvDkim::CreateConfig() { return std::make_unique<TqvDkimConfig>(); }

TqvDkimConfig& TqvDkim::Config() {
  if (!FConfig) FConfig = CreateConfig();
  return *FConfig;
}

template <class T>
std::unique_ptr<T> TqvDkim::CreateObject(const std::string& AName) {
  std::unique_ptr<TqvConfigObject> object = Config().CreateInstance(AName);
  if (auto* typed = dynamic_cast<T*>(object.get())) {
    (void)object.release();
    return std::unique_ptr<T>(typed);
  }
  throw Exception("Unknown DKIM algorithm: " + AName);
}

TqvRsaKey& TqvDkim::RsaKey() {
  if (!FRsaKey) {
    auto key = CreateObject<TqvRsaKey>("rsa");
    key->Init();
    FRsaKey = std::move(key);
  }
  return *FRsaKey;
}

TqvDkimSignature& TqvDkim::CreateSignature() {
  TqvDkimSignature& sig = *FSignatures.Add(std::make_unique<TqvDkimSignature>());
  sig.Version = 1;
  sig.SignatureAlgorithm = FSignatureAlgorithm;
  sig.Canonicalization = FCanonicalization;
  sig.Domain = FDomain;
  sig.Selector = FSelector;
  sig.SignedHeaderFields.Assign(FSignedHeaderFields);
  sig.BodyLength = FBodyLength;
  sig.UserIdentity = FUserIdentity;
  sig.QueryMethod = FPublicKeyLocation;
  sig.SignatureTimestamp = FSignatureTimestamp;
  sig.SignatureExpiration = FSignatureExpiration;
  return sig;
}

void TqvDkim::DoGetPublicKey(TqvDkimSignature& ASignature, TBytes& AKey) {
  if (OnGetPublicKey) OnGetPublicKey(this, ASignature, AKey);
}

void TqvDkim::DoVerify(TqvDkimSignature& ASignature, const TStrings& AMessage, TqvDkimSignatureVerifyStatus& AStatus) {
  if (OnVerify) OnVerify(this, ASignature, AMessage, AStatus);
}

void TqvDkim::DoSign(TqvDkimSignature& ASignature, TStrings& AMessage) {
  if (OnSign) OnSign(this, ASignature, AMessage);
}

void TqvDkim::DoKeyReceived(TqvDkimSignature& ASignature, TqvDkimKey& AKey) {
  if (OnKeyReceived) OnKeyReceived(this, ASignature, AKey);
}

void TqvDkim::DoKeyRevoked(TqvDkimSignature& ASignature, TqvDkimKey& AKey) {
  if (OnKeyRevoked) OnKeyRevoked(this, ASignature, AKey);
}

std::vector<std::string> TqvDkim::ResolveKeyRecords(const std::string& AName) {
  (void)FDnsQuery->ResolveTXT(AName);
  std::vector<std::string> records;
  const TqvDnsRecordList& answers = FDnsQuery->Response().Answers;
  for (int i = 0; i < answers.Count(); ++i)
    if (const auto* txt = dynamic_cast<const TqvDnsTXTRecord*>(answers.Items(i))) records.push_back(txt->JoinedText());
  return records;
}

std::string TqvDkim::CanonicalBody(const TqvDkimSignature& ASignature, const TStrings& ALines) {
  const auto canon = CreateObject<TqvDkimCanonicalizer>(ASignature.GetBodyCanonicalization());
  std::string body = canon->CanonicalizeBody(ALines);
  if (ASignature.BodyLength > 0 && static_cast<size_t>(ASignature.BodyLength) < body.size())
    body.resize(static_cast<size_t>(ASignature.BodyLength));
  return body;
}

TBytes TqvDkim::BodyHash(const TqvDkimSignature& ASignature, const std::string& ABody) {
  const auto hash = CreateObject<TqvHash>(ASignature.GetHashAlgorithm());
  hash->Init();
  Feed(*hash, ABody);
  TBytes digest;
  hash->Done(digest);
  return digest;
}

void TqvDkim::Sign(TStrings& ALines) {
  const auto signer = CreateObject<TqvSignatureRsa>(FSignatureAlgorithm);
  signer->Init();
  signer->SetPrivateKey(RsaKey());
  FSignatures.Clear();
  TqvDkimSignature& sig = CreateSignature();

  TqvDkimHeaderFieldList header;
  header.Parse(0, &ALines);
  for (int n = 0; n < FCopiedHeaderFields.Count(); ++n) {
    TStringList lines;
    header.GetFieldLines(header.GetFieldIndex(Trim(FCopiedHeaderFields.Strings(n))), lines);
    sig.CopiedHeaderFields.AddStrings(lines);
  }
  const std::string body = CanonicalBody(sig, ALines);
  // l= never counts more than the body has (RFC 6376 section 3.5).
  if (sig.BodyLength > 0) sig.BodyLength = static_cast<int32_t>(body.size());
  sig.BodyHash = EncodeBase64(BodyHash(sig, body));
  sig.Build(ALines, FCharsPerLine);

  // The hash covers the signed fields, then the field just inserted at the top.
  const auto canon = CreateObject<TqvDkimCanonicalizer>(sig.GetHeaderCanonicalization());
  Feed(*signer, canon->CanonicalizeHeaders(ALines, sig.SignedHeaderFields));
  header.Parse(0, &ALines);
  Feed(*signer, WithoutFinalCrlf(canon->CanonicalizeField(header, 0)));
  TBytes value;
  signer->Sign(value);
  sig.Signature = EncodeBase64(value);
  sig.SetSignatureValue(ALines, FCharsPerLine);
  DoSign(sig, ALines);
}

void TqvDkim::Verify(const TStrings& ALines) {
  FSignatures.Clear();
  TqvDkimHeaderFieldList header;
  header.Parse(0, const_cast<TStrings*>(&ALines));  // read only
  for (int i = 0; i < header.FieldCount(); ++i) {
    if (header.IndexedName(i) != kFieldName) continue;
    try {
      VerifyField(ALines, header, i);
      if (FVerifyMode == dvmVerifyUntilSuccess) return;
    } catch (const Exception&) {
      if (FVerifyMode == dvmVerifyUntilFail) throw;
    }
  }
}

void TqvDkim::VerifyField(const TStrings& ALines, const TqvDkimHeaderFieldList& AHeader, int AIndex) {
  TqvDkimSignature& sig = *FSignatures.Add(std::make_unique<TqvDkimSignature>());
  const auto fail = [&](const std::string& AText, int ACode) {
    sig.VerifyStatus.SetFailed(AText, ACode);
    DoVerify(sig, ALines, sig.VerifyStatus);
  };
  try {
    sig.Parse(AHeader.GetFieldValue(AIndex));
    if (sig.Version != 1) throw EqvDkimError(kDkimUnknownVersion);
    // RFC 6376 musts: From is signed, and the identity lies within d=.
    bool fromSigned = false;
    for (int n = 0; n < sig.SignedHeaderFields.Count(); ++n)
      fromSigned = fromSigned || SameText(sig.SignedHeaderFields.Strings(n), "From");
    if (!fromSigned) throw EqvDkimError(kDkimInvalidFormat);
    if (!sig.UserIdentity.empty() && !SameOrSubdomain(IdentityDomain(sig.UserIdentity), sig.Domain))
      throw EqvDkimError(kDkimInvalidFormat);
    if (Expired(sig)) throw EqvDkimError(kDkimSignatureExpired);
    if (DecodeBase64(sig.BodyHash) != BodyHash(sig, CanonicalBody(sig, ALines)))
      throw EqvDkimError(kDkimBodyHashDiffers);
    VerifyWithKeys(ALines, AHeader, AIndex, sig);
  } catch (const EqvCryptError& e) {
    fail(e.Message(), e.ErrorCode);
    throw;
  } catch (const EqvDkimError& e) {
    fail(e.Message(), e.ErrorCode);
    throw;
  } catch (const Exception& e) {
    fail(e.Message(), -1);
    throw;
  }
  sig.VerifyStatus.SetVerified();
  DoVerify(sig, ALines, sig.VerifyStatus);
}

void TqvDkim::VerifyWithKeys(const TStrings& ALines, const TqvDkimHeaderFieldList& AHeader, int AIndex,
                             TqvDkimSignature& ASignature) {
  TqvDkimKeyList keys;
  std::vector<std::string> serviceTags;
  TBytes appKey;
  DoGetPublicKey(ASignature, appKey);
  if (!appKey.empty()) {
    keys.Add(std::make_unique<TqvDkimKey>())->PublicKey = EncodeBase64(appKey);
    serviceTags.emplace_back();
  } else {
    const TqvDkimHeaderFieldList tags;
    for (const auto& record : ResolveKeyRecords(ASignature.Selector + "._domainkey." + ASignature.Domain)) {
      keys.Add(std::make_unique<TqvDkimKey>())->Parse(record);
      serviceTags.push_back(Trim(tags.GetItem(record, "s")));
    }
  }
  if (keys.Count() == 0) throw EqvDkimError(kDkimKeyRequired);
  std::exception_ptr failure;
  for (int k = 0; k < keys.Count(); ++k) {
    TqvDkimKey& key = keys[k];
    failure = nullptr;
    try {
      CheckKey(ASignature, key);
      // A key published for other services only is not for mail.
      if (!serviceTags[static_cast<size_t>(k)].empty() && key.ServiceType.empty())
        throw EqvDkimError(kDkimInvalidKey);
      if (key.PublicKey.empty()) {
        DoKeyRevoked(ASignature, key);
        throw EqvDkimError(kDkimKeyRevoked);
      }
      CheckSignature(ALines, AHeader, AIndex, ASignature, DecodeBase64(key.PublicKey));
    } catch (const Exception&) {
      failure = std::current_exception();
      continue;
    }
    DoKeyReceived(ASignature, key);
    return;
  }
  std::rethrow_exception(failure);
}

void TqvDkim::CheckKey(const TqvDkimSignature& ASignature, const TqvDkimKey& AKey) {
  if (!AKey.Version.empty() && AKey.Version != "DKIM1") throw EqvDkimError(kDkimInvalidKey);
  if (AKey.AcceptableHashAlgorithms.Count() > 0) {
    const std::string hash = ASignature.GetHashAlgorithm();
    bool found = false;
    for (int i = 0; i < AKey.AcceptableHashAlgorithms.Count(); ++i)
      found = found || SameText(AKey.AcceptableHashAlgorithms.Strings(i), hash);
    if (!found) throw EqvDkimError(kDkimInvalidKey);
  }
  if (!AKey.KeyType.empty() && AKey.KeyType != "rsa") throw EqvDkimError(kDkimInvalidKey);
  // t=s: the identity's domain must be d= itself, not a subdomain.
  if (AKey.Flags.count(ddfCheckUserIdentityDomain) && !ASignature.UserIdentity.empty() &&
      !SameText(IdentityDomain(ASignature.UserIdentity), ASignature.Domain))
    throw EqvDkimError(kDkimInvalidKey);
}

void TqvDkim::CheckSignature(const TStrings& ALines, const TqvDkimHeaderFieldList& AHeader, int AIndex,
                             TqvDkimSignature& ASignature, const TBytes& APublicKey) {
  const auto key = CreateObject<TqvRsaKey>("rsa");
  key->Init();
  if (IsRsaPublicKey(APublicKey))
    key->SetRsaPublicKey(APublicKey);
  else
    key->SetPublicKeyInfo(APublicKey);
  const auto verifier = CreateObject<TqvSignatureRsa>(ASignature.SignatureAlgorithm);
  verifier->Init();
  verifier->SetPublicKey(*key);
  const auto canon = CreateObject<TqvDkimCanonicalizer>(ASignature.GetHeaderCanonicalization());
  Feed(*verifier, canon->CanonicalizeHeaders(ALines, ASignature.SignedHeaderFields));
  // The field itself, from a copy whose b tag is emptied.
  TStringList field;
  AHeader.GetFieldLines(AIndex, field);
  TqvDkimHeaderFieldList scratch;
  scratch.Parse(0, &field);
  scratch.ClearFieldItemValue(0, "b");
  Feed(*verifier, WithoutFinalCrlf(canon->CanonicalizeField(scratch, 0)));
  verifier->Verify(DecodeBase64(ASignature.Signature));
}
