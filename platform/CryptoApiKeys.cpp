// RSA keys and signatures: key generation, blob import and export, the key
// structures' DER forms, PKCS #1 v1.5 signing and verifying. Keys live in
// OpenSSL EVP_PKEY objects; the blobs are built and read only at the edges.
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "CryptoApi.h"
#include "CryptoApiInternal.h"
#include "PlatformLimits.h"

namespace plat {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t kMagicPublic = 0x31415352;   // "RSA1"
constexpr std::uint32_t kMagicPrivate = 0x32415352;  // "RSA2"
constexpr std::uint32_t kBlobHeader = 20;            // BLOBHEADER + RSAPUBKEY

struct KeyObject {
  std::shared_ptr<EVP_PKEY> Key;
  bool Private = false;
  bool Exportable = false;
  ALG_ID Alg = CALG_RSA_KEYX;
};

std::mutex gKeyLock;
std::unordered_map<std::uintptr_t, std::unique_ptr<KeyObject>> gKeys;

struct BnFree {
  void operator()(BIGNUM* p) const { BN_free(p); }
};
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;

std::shared_ptr<EVP_PKEY> Share(EVP_PKEY* p) { return std::shared_ptr<EVP_PKEY>(p, EVP_PKEY_free); }

HCRYPTKEY NewKeyHandle(std::shared_ptr<EVP_PKEY> key, bool isPrivate, bool exportable, ALG_ID alg) {
  auto k = std::make_unique<KeyObject>();
  k->Key = std::move(key);
  k->Private = isPrivate;
  k->Exportable = exportable;
  k->Alg = alg;
  const auto id = reinterpret_cast<std::uintptr_t>(k.get());
  std::scoped_lock lock(gKeyLock);
  gKeys.emplace(id, std::move(k));
  return id;
}

// A copy of the key's record (the EVP_PKEY shared), so no lock is held while it is used.
bool FindKey(HCRYPTKEY key, KeyObject& out) {
  std::scoped_lock lock(gKeyLock);
  const auto it = gKeys.find(key);
  if (it == gKeys.end()) return false;
  out.Key = it->second->Key;
  out.Private = it->second->Private;
  out.Exportable = it->second->Exportable;
  out.Alg = it->second->Alg;
  return true;
}

std::uint32_t GetLE32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

void PutLE32(Bytes& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}

// Blob field widths: the modulus in whole bytes, the primes and their
// exponents in half of that, rounded up (a 1000-bit modulus has 125 bytes and
// primes of 63), so moduli of an odd number of bytes fit as well.
std::uint32_t ModulusBytes(std::uint32_t bits) { return (bits + 7) / 8; }
std::uint32_t HalfBytes(std::uint32_t modulusBytes) { return (modulusBytes + 1) / 2; }

BIGNUM* LeToBn(const std::uint8_t* p, std::uint32_t n) { return BN_lebin2bn(p, static_cast<int>(n), nullptr); }

bool PutBnLe(Bytes& b, const BIGNUM* bn, std::uint32_t width) {
  if (static_cast<std::uint32_t>(BN_num_bytes(bn)) > width) return false;
  const size_t at = b.size();
  b.resize(at + width);
  return BN_bn2lebinpad(bn, b.data() + at, static_cast<int>(width)) == static_cast<int>(width);
}

BIGNUM* GetBn(const EVP_PKEY* key, const char* name) {
  BIGNUM* bn = nullptr;
  EVP_PKEY_get_bn_param(key, name, &bn);
  return bn;
}

bool HasPrivatePart(const EVP_PKEY* key) {
  BnPtr d(GetBn(key, OSSL_PKEY_PARAM_RSA_D));
  return d != nullptr;
}

// Blob -> key. The blob's algorithm comes back for the key slot.
std::shared_ptr<EVP_PKEY> KeyFromBlob(const std::uint8_t* data, std::uint32_t length, bool& isPrivate, ALG_ID& alg) {
  if (!data || length < kBlobHeader || data[1] != 2) return nullptr;
  const std::uint32_t type = data[0];
  alg = GetLE32(data + 4);
  if (alg != CALG_RSA_KEYX && alg != CALG_RSA_SIGN) return nullptr;
  const std::uint32_t magic = GetLE32(data + 8);
  const std::uint32_t bits = GetLE32(data + 12);
  const std::uint32_t exponent = GetLE32(data + 16);
  isPrivate = type == PRIVATEKEYBLOB;
  if (bits == 0 || bits > kMaxKeyBits || exponent == 0) return nullptr;
  const std::uint32_t n = ModulusBytes(bits), h = HalfBytes(n);
  if (isPrivate ? magic != kMagicPrivate : (type != PUBLICKEYBLOB || magic != kMagicPublic)) return nullptr;
  const std::uint32_t need = kBlobHeader + n + (isPrivate ? 5 * h + n : 0);
  if (length < need) return nullptr;
  const std::uint8_t* p = data + kBlobHeader;
  BnPtr mod(LeToBn(p, n));
  BnPtr e(BN_new());
  if (!mod || !e || !BN_set_word(e.get(), exponent) || BN_is_zero(mod.get())) return nullptr;
  std::unique_ptr<OSSL_PARAM_BLD, decltype(&OSSL_PARAM_BLD_free)> bld(OSSL_PARAM_BLD_new(), &OSSL_PARAM_BLD_free);
  if (!bld || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_N, mod.get()) ||
      !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_E, e.get()))
    return nullptr;
  std::vector<BnPtr> parts;
  if (isPrivate) {
    static const char* const kNames[] = {OSSL_PKEY_PARAM_RSA_FACTOR1,   OSSL_PKEY_PARAM_RSA_FACTOR2,
                                         OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                                         OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
    p += n;
    for (const char* name : kNames) {
      parts.emplace_back(LeToBn(p, h));
      if (!parts.back() || !OSSL_PARAM_BLD_push_BN(bld.get(), name, parts.back().get())) return nullptr;
      p += h;
    }
    parts.emplace_back(LeToBn(p, n));
    if (!parts.back() || !OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_RSA_D, parts.back().get()))
      return nullptr;
  }
  std::unique_ptr<OSSL_PARAM, decltype(&OSSL_PARAM_free)> params(OSSL_PARAM_BLD_to_param(bld.get()),
                                                                   &OSSL_PARAM_free);
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr),
                                                                  &EVP_PKEY_CTX_free);
  EVP_PKEY* key = nullptr;
  if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1 ||
      EVP_PKEY_fromdata(ctx.get(), &key, isPrivate ? EVP_PKEY_KEYPAIR : EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
    return nullptr;
  return Share(key);
}

// Key -> blob; false when the key does not fit the form (an exponent above 32
// bits, unbalanced primes, no private part for a private blob).
bool BlobFromKey(const EVP_PKEY* key, std::uint32_t type, ALG_ID alg, Bytes& out) {
  out.clear();
  BnPtr mod(GetBn(key, OSSL_PKEY_PARAM_RSA_N));
  BnPtr e(GetBn(key, OSSL_PKEY_PARAM_RSA_E));
  if (!mod || !e || BN_num_bytes(e.get()) > 4) return false;
  const std::uint32_t n = static_cast<std::uint32_t>(EVP_PKEY_get_size(key));
  if (n == 0) return false;
  out.push_back(static_cast<std::uint8_t>(type));
  out.push_back(2);
  out.push_back(0);
  out.push_back(0);
  PutLE32(out, alg);
  PutLE32(out, type == PRIVATEKEYBLOB ? kMagicPrivate : kMagicPublic);
  PutLE32(out, n * 8);
  PutLE32(out, static_cast<std::uint32_t>(BN_get_word(e.get())));
  if (!PutBnLe(out, mod.get(), n)) return false;
  if (type != PRIVATEKEYBLOB) return true;
  static const char* const kNames[] = {OSSL_PKEY_PARAM_RSA_FACTOR1, OSSL_PKEY_PARAM_RSA_FACTOR2,
                                       OSSL_PKEY_PARAM_RSA_EXPONENT1, OSSL_PKEY_PARAM_RSA_EXPONENT2,
                                       OSSL_PKEY_PARAM_RSA_COEFFICIENT1};
  for (const char* name : kNames) {
    BnPtr part(GetBn(key, name));
    if (!part || !PutBnLe(out, part.get(), HalfBytes(n))) return false;
  }
  BnPtr d(GetBn(key, OSSL_PKEY_PARAM_RSA_D));
  return d && PutBnLe(out, d.get(), n);
}

BOOL PutBytes(const Bytes& b, void* data, std::uint32_t* length) {
  return PutSized(b.data(), static_cast<std::uint32_t>(b.size()), data, length);
}

template <class F>
bool ToDer(F encode, Bytes& out) {
  unsigned char* der = nullptr;
  const int n = encode(&der);
  if (n <= 0) return false;
  out.assign(der, der + n);
  OPENSSL_free(der);
  return true;
}

// DER length and element helpers for the SubjectPublicKeyInfo.
void PutDerLength(Bytes& b, size_t n) {
  if (n < 0x80) {
    b.push_back(static_cast<std::uint8_t>(n));
    return;
  }
  Bytes digits;
  for (; n; n >>= 8) digits.insert(digits.begin(), static_cast<std::uint8_t>(n));
  b.push_back(static_cast<std::uint8_t>(0x80 | digits.size()));
  b.insert(b.end(), digits.begin(), digits.end());
}

Bytes DerElement(std::uint8_t tag, const Bytes& content) {
  Bytes b{tag};
  PutDerLength(b, content.size());
  b.insert(b.end(), content.begin(), content.end());
  return b;
}

bool EncodePublicKeyInfo(const CERT_PUBLIC_KEY_INFO* info, Bytes& out) {
  if (!info || !info->Algorithm.pszObjId || (info->PublicKey.cbData && !info->PublicKey.pbData)) return false;
  std::unique_ptr<ASN1_OBJECT, decltype(&ASN1_OBJECT_free)> oid(OBJ_txt2obj(info->Algorithm.pszObjId, 1),
                                                                &ASN1_OBJECT_free);
  Bytes oidDer;
  if (!oid || !ToDer([&](unsigned char** p) { return i2d_ASN1_OBJECT(oid.get(), p); }, oidDer)) return false;
  Bytes alg = oidDer;
  const auto& params = info->Algorithm.Parameters;
  if (params.cbData) {
    if (!params.pbData) return false;
    alg.insert(alg.end(), params.pbData, params.pbData + params.cbData);
  }
  Bytes bits{static_cast<std::uint8_t>(info->PublicKey.cUnusedBits)};
  bits.insert(bits.end(), info->PublicKey.pbData, info->PublicKey.pbData + info->PublicKey.cbData);
  Bytes body = DerElement(0x30, alg);
  const Bytes bitString = DerElement(0x03, bits);
  body.insert(body.end(), bitString.begin(), bitString.end());
  out = DerElement(0x30, body);
  return true;
}

// SubjectPublicKeyInfo -> CERT_PUBLIC_KEY_INFO with its strings in one buffer.
BOOL DecodePublicKeyInfo(const std::uint8_t* encoded, std::uint32_t length, void* info, std::uint32_t* infoLength) {
  const unsigned char* p = encoded;
  std::unique_ptr<X509_PUBKEY, decltype(&X509_PUBKEY_free)> spki(d2i_X509_PUBKEY(nullptr, &p, length),
                                                                 &X509_PUBKEY_free);
  if (!spki || p != encoded + length) return FailWith(CRYPT_E_ASN1_BADTAG);
  ASN1_OBJECT* obj = nullptr;
  const unsigned char* key = nullptr;
  int keyLen = 0;
  X509_ALGOR* algor = nullptr;
  if (X509_PUBKEY_get0_param(&obj, &key, &keyLen, &algor, spki.get()) != 1) return FailWith(CRYPT_E_BAD_ENCODE);
  char oid[128];
  if (OBJ_obj2txt(oid, sizeof oid, obj, 1) <= 0) return FailWith(CRYPT_E_BAD_ENCODE);
  Bytes params;
  int ptype = V_ASN1_UNDEF;
  const void* pval = nullptr;
  X509_ALGOR_get0(nullptr, &ptype, &pval, algor);
  if (ptype != V_ASN1_UNDEF) {
    std::unique_ptr<ASN1_TYPE, decltype(&ASN1_TYPE_free)> t(ASN1_TYPE_new(), &ASN1_TYPE_free);
    if (!t || ASN1_TYPE_set1(t.get(), ptype, pval) != 1 ||
        !ToDer([&](unsigned char** q) { return i2d_ASN1_TYPE(t.get(), q); }, params))
      return FailWith(CRYPT_E_BAD_ENCODE);
  }
  const size_t oidLen = std::strlen(oid) + 1;
  const std::uint32_t need =
      static_cast<std::uint32_t>(sizeof(CERT_PUBLIC_KEY_INFO) + oidLen + params.size() + static_cast<size_t>(keyLen));
  const std::uint32_t room = *infoLength;
  *infoLength = need;
  if (!info) return 1;
  if (room < need) return FailWith(ERROR_MORE_DATA);
  auto* out = static_cast<CERT_PUBLIC_KEY_INFO*>(info);
  auto* at = static_cast<std::uint8_t*>(info) + sizeof(CERT_PUBLIC_KEY_INFO);
  *out = CERT_PUBLIC_KEY_INFO{};
  std::memcpy(at, oid, oidLen);
  out->Algorithm.pszObjId = reinterpret_cast<char*>(at);
  at += oidLen;
  if (!params.empty()) std::memcpy(at, params.data(), params.size());
  out->Algorithm.Parameters.cbData = static_cast<std::uint32_t>(params.size());
  out->Algorithm.Parameters.pbData = params.empty() ? nullptr : at;
  at += params.size();
  if (keyLen > 0) std::memcpy(at, key, static_cast<size_t>(keyLen));
  out->PublicKey.cbData = static_cast<std::uint32_t>(keyLen);
  out->PublicKey.pbData = keyLen > 0 ? at : nullptr;
  out->PublicKey.cUnusedBits = 0;
  return 1;
}

bool KnownEncoding(std::uint32_t encoding) { return (encoding & X509_ASN_ENCODING) != 0; }

const EVP_MD* SignatureDigest(ALG_ID alg) {
  switch (alg) {
    case CALG_MD5: return EVP_md5();
    case CALG_SHA1: return EVP_sha1();
    case CALG_SHA_256: return EVP_sha256();
    default: return nullptr;
  }
}

std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> SignatureContext(EVP_PKEY* key, ALG_ID alg, bool sign) {
  std::unique_ptr<EVP_PKEY_CTX, decltype(&EVP_PKEY_CTX_free)> ctx(EVP_PKEY_CTX_new(key, nullptr), &EVP_PKEY_CTX_free);
  const EVP_MD* md = SignatureDigest(alg);
  if (!ctx || !md || (sign ? EVP_PKEY_sign_init(ctx.get()) : EVP_PKEY_verify_init(ctx.get())) != 1 ||
      EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
      EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)
    ctx.reset();
  return ctx;
}

}  // namespace

BOOL CryptGenKey(HCRYPTPROV prov, ALG_ID alg, std::uint32_t flags, HCRYPTKEY* key) {
  if (!key) return FailWith(ERROR_INVALID_PARAMETER);
  *key = 0;
  if (!ProviderKnown(prov)) return FailWith(ERROR_INVALID_HANDLE);
  std::uint32_t slot;
  switch (alg) {
    case AT_KEYEXCHANGE:
    case CALG_RSA_KEYX: slot = AT_KEYEXCHANGE; break;
    case AT_SIGNATURE:
    case CALG_RSA_SIGN: slot = AT_SIGNATURE; break;
    default: return FailWith(NTE_BAD_ALGID);
  }
  if (flags & 0xFFFE) return FailWith(NTE_BAD_FLAGS);
  std::uint32_t bits = flags >> 16;
  if (bits == 0) bits = 1024;
  if (bits < 384 || bits > kMaxKeyBits || bits % 8 != 0) return FailWith(NTE_BAD_FLAGS);
  EVP_PKEY* made = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(bits));
  if (!made) return FailWith(NTE_BAD_KEY);
  auto shared = Share(made);
  SetProviderUserKey(prov, slot, shared);
  *key = NewKeyHandle(std::move(shared), true, (flags & CRYPT_EXPORTABLE) != 0,
                      slot == AT_KEYEXCHANGE ? CALG_RSA_KEYX : CALG_RSA_SIGN);
  return 1;
}

BOOL CryptImportKey(HCRYPTPROV prov, const std::uint8_t* data, std::uint32_t length, HCRYPTKEY pubKey,
                    std::uint32_t flags, HCRYPTKEY* key) {
  if (!key) return FailWith(ERROR_INVALID_PARAMETER);
  *key = 0;
  if (!ProviderKnown(prov)) return FailWith(ERROR_INVALID_HANDLE);
  if (pubKey) return FailWith(NTE_BAD_KEY);  // encrypted blobs are not known here
  if (flags & ~CRYPT_EXPORTABLE) return FailWith(NTE_BAD_FLAGS);
  bool isPrivate = false;
  ALG_ID alg = 0;
  auto k = KeyFromBlob(data, length, isPrivate, alg);
  if (!k) return FailWith(NTE_BAD_DATA);
  if (isPrivate) SetProviderUserKey(prov, alg == CALG_RSA_SIGN ? AT_SIGNATURE : AT_KEYEXCHANGE, k);
  *key = NewKeyHandle(std::move(k), isPrivate, (flags & CRYPT_EXPORTABLE) != 0, alg);
  return 1;
}

BOOL CryptExportKey(HCRYPTKEY key, HCRYPTKEY expKey, std::uint32_t blobType, std::uint32_t flags,
                    std::uint8_t* data, std::uint32_t* length) {
  if (!length) return FailWith(ERROR_INVALID_PARAMETER);
  KeyObject k;
  if (!FindKey(key, k)) return FailWith(ERROR_INVALID_HANDLE);
  if (expKey) return FailWith(NTE_BAD_KEY);
  if (flags) return FailWith(NTE_BAD_FLAGS);
  if (blobType != PUBLICKEYBLOB && blobType != PRIVATEKEYBLOB) return FailWith(NTE_BAD_TYPE);
  if (blobType == PRIVATEKEYBLOB && (!k.Private || !k.Exportable)) return FailWith(NTE_BAD_KEY_STATE);
  Bytes blob;
  if (!BlobFromKey(k.Key.get(), blobType, k.Alg, blob)) return FailWith(NTE_BAD_KEY);
  return PutBytes(blob, data, length);
}

BOOL CryptDestroyKey(HCRYPTKEY key) {
  std::scoped_lock lock(gKeyLock);
  if (gKeys.erase(key) == 0) return FailWith(ERROR_INVALID_HANDLE);
  return 1;
}

BOOL CryptGetUserKey(HCRYPTPROV prov, std::uint32_t keySpec, HCRYPTKEY* key) {
  if (!key) return FailWith(ERROR_INVALID_PARAMETER);
  *key = 0;
  if (!ProviderKnown(prov)) return FailWith(ERROR_INVALID_HANDLE);
  auto k = ProviderUserKey(prov, keySpec);
  if (!k) return FailWith(NTE_NO_KEY);
  *key = NewKeyHandle(std::move(k), true, false, keySpec == AT_SIGNATURE ? CALG_RSA_SIGN : CALG_RSA_KEYX);
  return 1;
}

BOOL CryptGetKeyParam(HCRYPTKEY key, std::uint32_t param, std::uint8_t* data, std::uint32_t* length,
                      std::uint32_t flags) {
  if (!length) return FailWith(ERROR_INVALID_PARAMETER);
  if (flags) return FailWith(NTE_BAD_FLAGS);
  KeyObject k;
  if (!FindKey(key, k)) return FailWith(ERROR_INVALID_HANDLE);
  switch (param) {
    case KP_KEYLEN: {
      // Counted in whole bytes of the modulus, as the blobs count it.
      const auto bits = static_cast<std::uint32_t>(EVP_PKEY_get_size(k.Key.get())) * 8;
      return PutSized(&bits, sizeof bits, data, length);
    }
    case KP_ALGID: return PutSized(&k.Alg, sizeof k.Alg, data, length);
    default: return FailWith(NTE_BAD_TYPE);
  }
}

BOOL CryptSignHashA(HCRYPTHASH hash, std::uint32_t keySpec, const char* description, std::uint32_t flags,
                    std::uint8_t* signature, std::uint32_t* length) {
  if (!length) return FailWith(ERROR_INVALID_PARAMETER);
  if (description || flags) return FailWith(NTE_BAD_FLAGS);
  HCRYPTPROV prov = 0;
  if (!HashProvider(hash, prov)) return FailWith(ERROR_INVALID_HANDLE);
  auto key = ProviderUserKey(prov, keySpec);
  if (!key || !HasPrivatePart(key.get())) return FailWith(NTE_NO_KEY);
  // A size query leaves the hash running.
  const auto size = static_cast<std::uint32_t>(EVP_PKEY_get_size(key.get()));
  const std::uint32_t room = *length;
  *length = size;
  if (!signature) return 1;
  if (room < size) return FailWith(ERROR_MORE_DATA);
  ALG_ID alg = 0;
  Bytes digest;
  if (!FinishHash(hash, prov, alg, digest)) return 0;
  auto ctx = SignatureContext(key.get(), alg, true);
  size_t outLen = size;
  if (!ctx || EVP_PKEY_sign(ctx.get(), signature, &outLen, digest.data(), digest.size()) != 1)
    return FailWith(NTE_BAD_KEY);
  std::reverse(signature, signature + outLen);
  *length = static_cast<std::uint32_t>(outLen);
  return 1;
}

BOOL CryptVerifySignatureA(HCRYPTHASH hash, const std::uint8_t* signature, std::uint32_t length, HCRYPTKEY pubKey,
                           const char* description, std::uint32_t flags) {
  if (!signature && length) return FailWith(ERROR_INVALID_PARAMETER);
  if (description || flags) return FailWith(NTE_BAD_FLAGS);
  KeyObject k;
  if (!FindKey(pubKey, k)) return FailWith(ERROR_INVALID_HANDLE);
  HCRYPTPROV prov = 0;
  ALG_ID alg = 0;
  Bytes digest;
  if (!FinishHash(hash, prov, alg, digest)) return 0;
  auto ctx = SignatureContext(k.Key.get(), alg, false);
  if (!ctx) return FailWith(NTE_BAD_ALGID);
  Bytes big(signature, signature + length);
  std::reverse(big.begin(), big.end());
  if (EVP_PKEY_verify(ctx.get(), big.data(), big.size(), digest.data(), digest.size()) != 1)
    return FailWith(NTE_BAD_SIGNATURE);
  return 1;
}

BOOL CryptEncodeObjectEx(std::uint32_t encoding, std::uintptr_t structType, const void* structInfo,
                         std::uint32_t flags, const void* encodePara, void* encoded, std::uint32_t* length) {
  if (!length || !structInfo) return FailWith(ERROR_INVALID_PARAMETER);
  if (!KnownEncoding(encoding) || flags || encodePara) return FailWith(NTE_BAD_FLAGS);
  Bytes der;
  switch (structType) {
    case PKCS_RSA_PRIVATE_KEY:
    case RSA_CSP_PUBLICKEYBLOB: {
      // The blob's own length follows from its header.
      const auto* blob = static_cast<const std::uint8_t*>(structInfo);
      const std::uint32_t bits = GetLE32(blob + 12);
      const bool wantPrivate = structType == PKCS_RSA_PRIVATE_KEY;
      const std::uint32_t n = ModulusBytes(bits);
      const std::uint32_t size =
          bits == 0 || bits > kMaxKeyBits ? 0 : kBlobHeader + n + (wantPrivate ? 5 * HalfBytes(n) + n : 0);
      bool isPrivate = false;
      ALG_ID alg = 0;
      auto key = size ? KeyFromBlob(blob, size, isPrivate, alg) : nullptr;
      if (!key || isPrivate != wantPrivate) return FailWith(CRYPT_E_BAD_ENCODE);
      const bool ok = wantPrivate ? ToDer([&](unsigned char** p) { return i2d_PrivateKey(key.get(), p); }, der)
                                  : ToDer([&](unsigned char** p) { return i2d_PublicKey(key.get(), p); }, der);
      if (!ok) return FailWith(CRYPT_E_BAD_ENCODE);
      break;
    }
    case X509_PUBLIC_KEY_INFO:
      if (!EncodePublicKeyInfo(static_cast<const CERT_PUBLIC_KEY_INFO*>(structInfo), der))
        return FailWith(CRYPT_E_BAD_ENCODE);
      break;
    default: return FailWith(CRYPT_E_BAD_ENCODE);
  }
  return PutBytes(der, encoded, length);
}

BOOL CryptDecodeObjectEx(std::uint32_t encoding, std::uintptr_t structType, const std::uint8_t* encoded,
                         std::uint32_t encodedLength, std::uint32_t flags, const void* decodePara, void* structInfo,
                         std::uint32_t* length) {
  if (!length || (!encoded && encodedLength)) return FailWith(ERROR_INVALID_PARAMETER);
  if (!KnownEncoding(encoding) || flags || decodePara) return FailWith(NTE_BAD_FLAGS);
  if (structType == X509_PUBLIC_KEY_INFO) return DecodePublicKeyInfo(encoded, encodedLength, structInfo, length);
  if (structType != PKCS_RSA_PRIVATE_KEY && structType != RSA_CSP_PUBLICKEYBLOB) return FailWith(CRYPT_E_BAD_ENCODE);
  const bool wantPrivate = structType == PKCS_RSA_PRIVATE_KEY;
  const unsigned char* p = encoded;
  EVP_PKEY* raw = wantPrivate ? d2i_PrivateKey(EVP_PKEY_RSA, nullptr, &p, encodedLength)
                              : d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, encodedLength);
  if (!raw) return FailWith(CRYPT_E_ASN1_BADTAG);
  auto key = Share(raw);
  if (p != encoded + encodedLength) return FailWith(CRYPT_E_BAD_ENCODE);
  Bytes blob;
  if (!BlobFromKey(key.get(), wantPrivate ? PRIVATEKEYBLOB : PUBLICKEYBLOB, CALG_RSA_KEYX, blob))
    return FailWith(CRYPT_E_BAD_ENCODE);
  return PutBytes(blob, structInfo, length);
}

BOOL CryptImportPublicKeyInfoEx(HCRYPTPROV prov, std::uint32_t encoding, const CERT_PUBLIC_KEY_INFO* info,
                                ALG_ID alg, std::uint32_t flags, void* auxInfo, HCRYPTKEY* key) {
  if (!key || !info) return FailWith(ERROR_INVALID_PARAMETER);
  *key = 0;
  if (!ProviderKnown(prov)) return FailWith(ERROR_INVALID_HANDLE);
  if (!KnownEncoding(encoding) || flags || auxInfo) return FailWith(NTE_BAD_FLAGS);
  if (!info->Algorithm.pszObjId || std::strcmp(info->Algorithm.pszObjId, szOID_RSA_RSA) != 0)
    return FailWith(NTE_BAD_ALGID);
  if (alg != 0 && alg != CALG_RSA_KEYX && alg != CALG_RSA_SIGN) return FailWith(NTE_BAD_ALGID);
  const unsigned char* p = info->PublicKey.pbData;
  EVP_PKEY* raw = p ? d2i_PublicKey(EVP_PKEY_RSA, nullptr, &p, info->PublicKey.cbData) : nullptr;
  if (!raw) return FailWith(CRYPT_E_ASN1_BADTAG);
  auto shared = Share(raw);
  // Keys the blobs could not carry (an exponent above 32 bits) are refused here too.
  Bytes blob;
  if (!BlobFromKey(shared.get(), PUBLICKEYBLOB, CALG_RSA_KEYX, blob)) return FailWith(NTE_BAD_KEY);
  *key = NewKeyHandle(std::move(shared), false, true, alg ? alg : CALG_RSA_KEYX);
  return 1;
}

}  // namespace plat
