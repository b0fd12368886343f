#include "qvCryptSignature.h"

#include <algorithm>
#include <array>
#include <memory>

#include "qvCryptUtils.h"
#include "qvByteUtils.h"

namespace {

constexpr uint32_t kEncoding = plat::X509_ASN_ENCODING | plat::PKCS_7_ASN_ENCODING;
constexpr uint8_t kDerNull[] = {0x05, 0x00};
constexpr size_t kBlobHeader = 20;

[[noreturn]] void RaiseKeyRequired() { RaiseCryptErrorCode(kCryptKeyRequiredText, kCryptKeyRequired); }

// The platform's two-step output: ACall(null, &len) for the size, then into a
// buffer of that size, cut to the length written.
template <class F>
std::unique_ptr<TqvCryptData> CallSizedData(const char* AName, F ACall) {
  uint32_t len = 0;
  if (!ACall(nullptr, &len)) RaiseCryptError(AName);
  auto buf = std::make_unique<TqvCryptData>(static_cast<int32_t>(len));
  if (!ACall(buf->Data, &len)) RaiseCryptError(AName);
  buf->Reduce(static_cast<int32_t>(len));
  return buf;
}

template <class F>
TBytes CallSized(const char* AName, F ACall) {
  return CallSizedData(AName, ACall)->ToBytes();
}

// The decoded structure in its own buffer; a decoded CERT_PUBLIC_KEY_INFO
// points into that buffer, so it must stay where it was written.
std::unique_ptr<TqvCryptData> DecodeKeyData(const TBytes& ADer, uintptr_t AStructType) {
  return CallSizedData("CryptDecodeObjectEx", [&](uint8_t* AData, uint32_t* ALen) {
    return CryptDecodeObjectEx(kEncoding, AStructType, ADer.data(), static_cast<uint32_t>(ADer.size()), 0, nullptr,
                               AData, ALen);
  });
}

TBytes DecodeKey(const TBytes& ADer, uintptr_t AStructType) { return DecodeKeyData(ADer, AStructType)->ToBytes(); }

}  // namespace

// ---- key ----

TqvCryptApiRsaKey::~TqvCryptApiRsaKey() { Release(); }

void TqvCryptApiRsaKey::DestroyKey() noexcept {
  if (FKey) (void)CryptDestroyKey(FKey);
  FKey = 0;
}

void TqvCryptApiRsaKey::Release() noexcept {
  DestroyKey();
  if (FProvider) (void)CryptReleaseContext(FProvider, 0);
  FProvider = 0;
  FProviderName.Reset();
}

void TqvCryptApiRsaKey::Init() {
  Release();
  FProvider = AcquireCryptContext(FProviderName.Get(GetProviderName()), GetProviderType());
}

void TqvCryptApiRsaKey::Generate() {
  Assert(FProvider != 0);
  DestroyKey();
  const uint32_t flags = (static_cast<uint32_t>(KeyLength) << 16) | plat::CRYPT_EXPORTABLE;
  if (!CryptGenKey(FProvider, static_cast<ALG_ID>(KeyType), flags, &FKey)) {
    FKey = 0;
    RaiseCryptError("CryptGenKey");
  }
}

TBytes TqvCryptApiRsaKey::ExportBlob(uint32_t ABlobType) {
  if (!FKey) RaiseKeyRequired();
  return CallSized("CryptExportKey",
                   [&](uint8_t* AData, uint32_t* ALen) { return CryptExportKey(FKey, 0, ABlobType, 0, AData, ALen); });
}

TBytes TqvCryptApiRsaKey::ExportDer(uint32_t ABlobType, uintptr_t AStructType) {
  const TBytes blob = ExportBlob(ABlobType);
  return CallSized("CryptEncodeObjectEx", [&](uint8_t* AData, uint32_t* ALen) {
    return CryptEncodeObjectEx(kEncoding, AStructType, blob.data(), 0, nullptr, AData, ALen);
  });
}

void TqvCryptApiRsaKey::GetRsaPrivateKey(TBytes& AKey) {
  AKey = ExportDer(plat::PRIVATEKEYBLOB, plat::PKCS_RSA_PRIVATE_KEY);
}

void TqvCryptApiRsaKey::GetRsaPublicKey(TBytes& AKey) {
  AKey = ExportDer(plat::PUBLICKEYBLOB, plat::RSA_CSP_PUBLICKEYBLOB);
}

void TqvCryptApiRsaKey::GetPublicKeyInfo(TBytes& AKey) {
  TBytes pub;
  GetRsaPublicKey(pub);
  plat::CERT_PUBLIC_KEY_INFO info;
  std::string oid = plat::szOID_RSA_RSA;
  TBytes params(std::begin(kDerNull), std::end(kDerNull));
  info.Algorithm.pszObjId = oid.data();
  info.Algorithm.Parameters.cbData = static_cast<uint32_t>(params.size());
  info.Algorithm.Parameters.pbData = params.data();
  info.PublicKey.cbData = static_cast<uint32_t>(pub.size());
  info.PublicKey.pbData = pub.data();
  info.PublicKey.cUnusedBits = 0;
  AKey = CallSized("CryptEncodeObjectEx", [&](uint8_t* AData, uint32_t* ALen) {
    return CryptEncodeObjectEx(kEncoding, plat::X509_PUBLIC_KEY_INFO, &info, 0, nullptr, AData, ALen);
  });
}

void TqvCryptApiRsaKey::ImportBlob(const TBytes& ABlob, uint32_t AFlags) {
  if (!CryptImportKey(FProvider, ABlob.data(), static_cast<uint32_t>(ABlob.size()), 0, AFlags, &FKey)) {
    FKey = 0;
    RaiseCryptError("CryptImportKey");
  }
}

void TqvCryptApiRsaKey::ImportDer(const TBytes& AKey, uintptr_t AStructType) {
  Assert(FProvider != 0);
  DestroyKey();
  if (AKey.empty()) RaiseKeyRequired();
  ImportBlob(DecodeKey(AKey, AStructType), plat::CRYPT_EXPORTABLE);
  RefreshProperties();
}

void TqvCryptApiRsaKey::SetRsaPrivateKey(const TBytes& AKey) { ImportDer(AKey, plat::PKCS_RSA_PRIVATE_KEY); }

void TqvCryptApiRsaKey::SetRsaPublicKey(const TBytes& AKey) { ImportDer(AKey, plat::RSA_CSP_PUBLICKEYBLOB); }

void TqvCryptApiRsaKey::SetPublicKeyInfo(const TBytes& AKey) {
  Assert(FProvider != 0);
  DestroyKey();
  if (AKey.empty()) RaiseKeyRequired();
  const auto info = DecodeKeyData(AKey, plat::X509_PUBLIC_KEY_INFO);
  if (!CryptImportPublicKeyInfoEx(FProvider, kEncoding, reinterpret_cast<const plat::CERT_PUBLIC_KEY_INFO*>(info->Data),
                                  0, 0, nullptr, &FKey)) {
    FKey = 0;
    RaiseCryptError("CryptImportPublicKeyInfoEx");
  }
  RefreshProperties();
}

void TqvCryptApiRsaKey::SetRsaPublicKeyParams(const TBytes& AModulus, const TBytes& AExponent) {
  Assert(FProvider != 0);
  DestroyKey();
  // An all-zero modulus keeps its bytes, and the import refuses its value.
  const TBytes modulus = TrimLeadingZeroBytes(AModulus);
  // The exponent's value, whatever zero bytes lead it; one wider than the
  // blob's 32 bits is left 0, which the import refuses. An all-zero exponent
  // keeps its bytes and so reads as 0 at any width.
  const TBytes exp = TrimLeadingZeroBytes(AExponent);
  uint32_t exponent = 0;
  if (exp.size() <= 4)
    for (const uint8_t b : exp) exponent = (exponent << 8) | b;
  TBytes blob(kBlobHeader);
  int at = 0;
  const auto putLE = [&](uint32_t v) {
    for (int i = 0; i < 4; ++i) blob[static_cast<size_t>(at++)] = static_cast<uint8_t>(v >> (8 * i));
  };
  blob[0] = static_cast<uint8_t>(plat::PUBLICKEYBLOB);
  blob[1] = 2;
  at = 4;
  putLE(plat::CALG_RSA_KEYX);
  putLE(0x31415352);  // "RSA1"
  putLE(static_cast<uint32_t>(modulus.size() * 8));
  putLE(exponent);
  blob.insert(blob.end(), modulus.rbegin(), modulus.rend());
  ImportBlob(blob, 0);
  RefreshProperties();
}

void TqvCryptApiRsaKey::GetRsaPublicKeyParams(TBytes& AModulus, TBytes& AExponent) {
  AModulus.clear();
  AExponent.clear();
  const TBytes blob = ExportBlob(plat::PUBLICKEYBLOB);
  if (blob.size() < kBlobHeader) return;
  const uint32_t bits = blob[12] | blob[13] << 8 | blob[14] << 16 | static_cast<uint32_t>(blob[15]) << 24;
  const size_t n = std::min<size_t>(bits / 8, blob.size() - kBlobHeader);
  // A zero exponent comes back as its four zero bytes.
  AExponent = TrimLeadingZeroBytes(TBytes{blob[19], blob[18], blob[17], blob[16]});
  AModulus.assign(blob.rbegin() + static_cast<std::ptrdiff_t>(blob.size() - kBlobHeader - n),
                  blob.rbegin() + static_cast<std::ptrdiff_t>(blob.size() - kBlobHeader));
}

void TqvCryptApiRsaKey::RefreshProperties() {
  for (const uint32_t slot : {plat::AT_KEYEXCHANGE, plat::AT_SIGNATURE}) {
    HCRYPTKEY user = 0;
    if (CryptGetUserKey(FProvider, slot, &user)) {
      (void)CryptDestroyKey(user);
      KeyType = static_cast<int32_t>(slot);
      break;
    }
  }
  std::array<uint8_t, 256> buf{};
  uint32_t len = static_cast<uint32_t>(buf.size());
  if (CryptGetKeyParam(FKey, plat::KP_KEYLEN, buf.data(), &len, 0) && len > 3)
    KeyLength = static_cast<int32_t>(buf[0] | buf[1] << 8 | buf[2] << 16 | static_cast<uint32_t>(buf[3]) << 24);
}

// ---- signature ----

TqvCryptApiSignatureRsa::~TqvCryptApiSignatureRsa() { Release(); }

void TqvCryptApiSignatureRsa::Release() noexcept {
  if (FKey) (void)CryptDestroyKey(FKey);
  if (FHash) (void)CryptDestroyHash(FHash);
  if (FProvider) (void)CryptReleaseContext(FProvider, 0);
  FKey = 0;
  FHash = 0;
  FProvider = 0;
  FProviderName.Reset();
}

void TqvCryptApiSignatureRsa::Init() {
  Release();
  FProvider = AcquireCryptContext(FProviderName.Get(GetProviderName()), GetProviderType());
  if (!CryptCreateHash(FProvider, GetAlgorithmId(), 0, 0, &FHash)) {
    FHash = 0;
    RaiseCryptError("CryptCreateHash");
  }
}

void TqvCryptApiSignatureRsa::ImportKey(const TBytes& ADer, uintptr_t AStructType) {
  if (ADer.empty()) RaiseKeyRequired();
  if (FKey) (void)CryptDestroyKey(FKey);
  FKey = 0;
  TBytes blob = DecodeKey(ADer, AStructType);
  // The decoded blob names the key-exchange algorithm; a key made for
  // signing must land under that slot, or signing would find no key.
  if (AStructType == plat::PKCS_RSA_PRIVATE_KEY && FKeySpec == plat::AT_SIGNATURE && blob.size() >= 8) {
    blob[4] = static_cast<uint8_t>(plat::CALG_RSA_SIGN & 0xFF);
    blob[5] = static_cast<uint8_t>(plat::CALG_RSA_SIGN >> 8);
  }
  if (!CryptImportKey(FProvider, blob.data(), static_cast<uint32_t>(blob.size()), 0, 0, &FKey)) {
    FKey = 0;
    RaiseCryptError("CryptImportKey");
  }
}

void TqvCryptApiSignatureRsa::SetPrivateKey(TqvRsaKey& AKey) {
  Assert(FProvider != 0);
  FKeySpec = static_cast<uint32_t>(AKey.KeyType);
  TBytes der;
  AKey.GetRsaPrivateKey(der);
  ImportKey(der, plat::PKCS_RSA_PRIVATE_KEY);
}

void TqvCryptApiSignatureRsa::SetPublicKey(TqvRsaKey& AKey) {
  Assert(FProvider != 0);
  FKeySpec = static_cast<uint32_t>(AKey.KeyType);
  TBytes der;
  AKey.GetRsaPublicKey(der);
  ImportKey(der, plat::RSA_CSP_PUBLICKEYBLOB);
}

void TqvCryptApiSignatureRsa::Update(const TBytes& ABuffer, int AIndex, int ACount) {
  Assert(FHash != 0);
  Assert(AIndex >= 0 && ACount >= 0 && static_cast<size_t>(AIndex) + static_cast<size_t>(ACount) <= ABuffer.size());
  if (!CryptHashData(FHash, ABuffer.data() + AIndex, static_cast<uint32_t>(ACount), 0)) RaiseCryptError("CryptHashData");
}

void TqvCryptApiSignatureRsa::Sign(TBytes& ASignature) {
  Assert(FHash != 0);
  const TBytes little = CallSized("CryptSignHash", [&](uint8_t* AData, uint32_t* ALen) {
    return CryptSignHashA(FHash, FKeySpec, nullptr, 0, AData, ALen);
  });
  ASignature = ReverseBytes(little);
}

bool TqvCryptApiSignatureRsa::TryVerify(const TBytes& ASignature) {
  Assert(FHash != 0);
  if (!FKey) RaiseKeyRequired();
  const TBytes little = ReverseBytes(ASignature);
  return CryptVerifySignatureA(FHash, little.data(), static_cast<uint32_t>(little.size()), FKey, nullptr, 0) != 0;
}

void TqvCryptApiSignatureRsa::Verify(const TBytes& ASignature) {
  if (!TryVerify(ASignature)) RaiseCryptError("CryptVerifySignature");
}
