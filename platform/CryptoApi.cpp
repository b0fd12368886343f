// Provider contexts, hash objects, OID names, PEM decoding and the crypto
// error texts. Certificates are in CryptoApiCertificates.cpp, stores and chains
// in CryptoApiStores.cpp.
#include "CryptoApi.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "CodeTable.h"
#include "CryptoApiInternal.h"

namespace plat {
namespace {

constexpr TCodeText<std::uint32_t> kCryptoTexts[] = {
    {NTE_BAD_UID, "Bad UID.\r\n"},
    {NTE_BAD_HASH, "Bad Hash.\r\n"},
    {NTE_BAD_DATA, "Bad Data.\r\n"},
    {NTE_BAD_ALGID, "Invalid algorithm specified.\r\n"},
    {NTE_BAD_FLAGS, "Invalid flags specified.\r\n"},
    {NTE_BAD_TYPE, "Invalid type specified.\r\n"},
    {NTE_BAD_KEYSET, "Keyset does not exist\r\n"},
    {NTE_PROV_TYPE_NOT_DEF, "Provider type not defined.\r\n"},
    {CRYPT_E_ASN1_BADTAG, "ASN1 bad tag value met.\r\n"},
    {CRYPT_E_BAD_ENCODE, "An error occurred during encode or decode operation.\r\n"},
    {CRYPT_E_NO_MATCH, "Cannot find the requested object.\r\n"},
    {CRYPT_E_BAD_MSG, "Cannot find object or property.\r\n"},
    {CRYPT_E_OSS_ERROR, "ASN1 unexpected end of data.\r\n"},
    {NTE_BAD_KEY, "Bad Key.\r\n"},
    {NTE_BAD_SIGNATURE, "Invalid Signature.\r\n"},
    {NTE_BAD_KEY_STATE, "Key not valid for use in specified state.\r\n"},
    {NTE_NO_KEY, "Key does not exist.\r\n"},
    {ERROR_MORE_DATA, "More data is available.\r\n"},
};

// Live hash objects; a handle is checked against this before use, so a stale
// or forged handle fails instead of touching freed memory.
struct HashObject {
  HCRYPTPROV Prov = 0;
  ALG_ID Alg = 0;
  const EVP_MD* Md = nullptr;
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> Ctx{nullptr, &EVP_MD_CTX_free};
  unsigned char Value[EVP_MAX_MD_SIZE] = {};
  unsigned int ValueSize = 0;
  bool Finished = false;
};

struct ProviderObject {
  std::uint32_t Type = 0;
  // The key pairs of the context by key slot (AT_KEYEXCHANGE, AT_SIGNATURE).
  std::shared_ptr<EVP_PKEY> UserKeys[3];
};

std::mutex gHandleLock;
std::unordered_map<std::uintptr_t, std::unique_ptr<HashObject>> gHashes;
std::unordered_map<std::uintptr_t, std::unique_ptr<ProviderObject>> gProviders;

const EVP_MD* DigestOf(ALG_ID alg) {
  switch (alg) {
    case CALG_MD5: return EVP_md5();
    case CALG_SHA1: return EVP_sha1();
    case CALG_SHA_256: return EVP_sha256();
    default: return nullptr;
  }
}

bool KnownProvider(const char* name) {
  if (!name) return true;
  static constexpr std::string_view kNames[] = {
      "Microsoft Base Cryptographic Provider v1.0",
      "Microsoft Enhanced Cryptographic Provider v1.0",
      "Microsoft Strong Cryptographic Provider",
      "Microsoft Enhanced RSA and AES Cryptographic Provider",
  };
  for (std::string_view n : kNames)
    if (n == name) return true;
  return false;
}

struct OidName {
  const char* Oid;
  const char16_t* Name;
};

constexpr OidName kOidNames[] = {
    {"1.2.840.113549.1.1.1", u"RSA"},
    {"1.2.840.113549.1.1.4", u"md5RSA"},
    {"1.2.840.113549.1.1.5", u"sha1RSA"},
    {"1.2.840.113549.1.1.10", u"RSASSA-PSS"},
    {"1.2.840.113549.1.1.11", u"sha256RSA"},
    {"1.2.840.113549.1.1.12", u"sha384RSA"},
    {"1.2.840.113549.1.1.13", u"sha512RSA"},
    {"1.2.840.10040.4.1", u"DSA"},
    {"1.2.840.10045.2.1", u"ECC"},
    {"1.2.840.10045.4.1", u"sha1ECDSA"},
    {"1.2.840.10045.4.3.2", u"sha256ECDSA"},
    {"1.2.840.10045.4.3.3", u"sha384ECDSA"},
    {"1.2.840.10045.4.3.4", u"sha512ECDSA"},
    {"1.3.101.112", u"Ed25519"},
    {"1.3.6.1.5.5.7.3.1", u"Server Authentication"},
    {"1.3.6.1.5.5.7.3.2", u"Client Authentication"},
    {"1.3.6.1.5.5.7.3.3", u"Code Signing"},
    {"1.3.6.1.5.5.7.3.4", u"Secure Email"},
    {"1.3.6.1.5.5.7.3.8", u"Time Stamping"},
    {"1.3.6.1.5.5.7.3.9", u"OCSP Signing"},
};

}  // namespace

std::string CryptoErrorMessage(std::uint32_t code) {
  if (const char* text = CodeText(kCryptoTexts, code, nullptr)) return text;
  return SecurityStatusMessage(code);
}

BOOL CryptAcquireContextA(HCRYPTPROV* prov, const char* container, const char* provider,
                          std::uint32_t provType, std::uint32_t flags) {
  if (!prov) return FailWith(ERROR_INVALID_PARAMETER);
  *prov = 0;
  // Only ephemeral contexts exist here: no key containers are kept on disk.
  if (!(flags & CRYPT_VERIFYCONTEXT) || container) return FailWith(NTE_BAD_KEYSET);
  if (provType != PROV_RSA_FULL && provType != PROV_RSA_AES) return FailWith(NTE_PROV_TYPE_NOT_DEF);
  if (!KnownProvider(provider)) return FailWith(NTE_BAD_KEYSET);
  auto p = std::make_unique<ProviderObject>();
  p->Type = provType;
  const auto h = reinterpret_cast<std::uintptr_t>(p.get());
  std::scoped_lock lock(gHandleLock);
  gProviders.emplace(h, std::move(p));
  *prov = h;
  return 1;
}

BOOL CryptReleaseContext(HCRYPTPROV prov, std::uint32_t flags) {
  if (flags) return FailWith(NTE_BAD_FLAGS);
  std::scoped_lock lock(gHandleLock);
  if (gProviders.erase(prov) == 0) return FailWith(ERROR_INVALID_HANDLE);
  return 1;
}

BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, std::uint32_t flags, HCRYPTHASH* hash) {
  if (!hash) return FailWith(ERROR_INVALID_PARAMETER);
  *hash = 0;
  if (flags) return FailWith(NTE_BAD_FLAGS);
  if (key) return FailWith(NTE_BAD_ALGID);  // keyed hashes are built by the caller
  {
    std::scoped_lock lock(gHandleLock);
    if (!gProviders.count(prov)) return FailWith(ERROR_INVALID_HANDLE);
  }
  auto h = std::make_unique<HashObject>();
  h->Prov = prov;
  h->Alg = alg;
  h->Md = DigestOf(alg);
  if (!h->Md) return FailWith(NTE_BAD_ALGID);
  h->Ctx.reset(EVP_MD_CTX_new());
  if (!h->Ctx || EVP_DigestInit_ex(h->Ctx.get(), h->Md, nullptr) != 1) return FailWith(NTE_BAD_ALGID);
  const auto id = reinterpret_cast<std::uintptr_t>(h.get());
  std::scoped_lock lock(gHandleLock);
  gHashes.emplace(id, std::move(h));
  *hash = id;
  return 1;
}

namespace {
HashObject* FindHash(HCRYPTHASH hash) {
  std::scoped_lock lock(gHandleLock);
  const auto it = gHashes.find(hash);
  return it == gHashes.end() ? nullptr : it->second.get();
}
}  // namespace

BOOL CryptHashData(HCRYPTHASH hash, const std::uint8_t* data, std::uint32_t length, std::uint32_t flags) {
  HashObject* h = FindHash(hash);
  if (!h) return FailWith(ERROR_INVALID_HANDLE);
  if (flags) return FailWith(NTE_BAD_FLAGS);
  if (h->Finished) return FailWith(NTE_BAD_HASH);
  if (length && !data) return FailWith(ERROR_INVALID_PARAMETER);
  if (length && EVP_DigestUpdate(h->Ctx.get(), data, length) != 1) return FailWith(NTE_BAD_HASH);
  return 1;
}

BOOL CryptGetHashParam(HCRYPTHASH hash, std::uint32_t param, std::uint8_t* data, std::uint32_t* length,
                       std::uint32_t flags) {
  HashObject* h = FindHash(hash);
  if (!h) return FailWith(ERROR_INVALID_HANDLE);
  if (flags) return FailWith(NTE_BAD_FLAGS);
  if (!length) return FailWith(ERROR_INVALID_PARAMETER);
  auto put = [&](const void* src, std::uint32_t n) { return PutSized(src, n, data, length); };
  switch (param) {
    case HP_ALGID: return put(&h->Alg, sizeof h->Alg);
    case HP_HASHSIZE: {
      const auto size = static_cast<std::uint32_t>(EVP_MD_get_size(h->Md));
      return put(&size, sizeof size);
    }
    case HP_HASHVAL:
      if (!h->Finished) {
        // A size query must not end the digest.
        if (!data) return put(h->Value, static_cast<std::uint32_t>(EVP_MD_get_size(h->Md)));
        if (*length < static_cast<std::uint32_t>(EVP_MD_get_size(h->Md)))
          return put(h->Value, static_cast<std::uint32_t>(EVP_MD_get_size(h->Md)));
        if (EVP_DigestFinal_ex(h->Ctx.get(), h->Value, &h->ValueSize) != 1) return FailWith(NTE_BAD_HASH);
        h->Finished = true;
      }
      return put(h->Value, h->ValueSize);
    default: return FailWith(NTE_BAD_TYPE);
  }
}

bool ProviderKnown(HCRYPTPROV prov) {
  std::scoped_lock lock(gHandleLock);
  return gProviders.count(prov) > 0;
}

std::shared_ptr<EVP_PKEY> ProviderUserKey(HCRYPTPROV prov, std::uint32_t keySpec) {
  if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) return nullptr;
  std::scoped_lock lock(gHandleLock);
  const auto it = gProviders.find(prov);
  return it == gProviders.end() ? nullptr : it->second->UserKeys[keySpec];
}

bool SetProviderUserKey(HCRYPTPROV prov, std::uint32_t keySpec, std::shared_ptr<EVP_PKEY> key) {
  if (keySpec != AT_KEYEXCHANGE && keySpec != AT_SIGNATURE) return false;
  std::scoped_lock lock(gHandleLock);
  const auto it = gProviders.find(prov);
  if (it == gProviders.end()) return false;
  it->second->UserKeys[keySpec] = std::move(key);
  return true;
}

bool HashProvider(HCRYPTHASH hash, HCRYPTPROV& prov) {
  HashObject* h = FindHash(hash);
  if (!h) return false;
  prov = h->Prov;
  return true;
}

BOOL FinishHash(HCRYPTHASH hash, HCRYPTPROV& prov, ALG_ID& alg, std::vector<std::uint8_t>& digest) {
  HashObject* h = FindHash(hash);
  if (!h) return FailWith(ERROR_INVALID_HANDLE);
  if (!h->Finished) {
    if (EVP_DigestFinal_ex(h->Ctx.get(), h->Value, &h->ValueSize) != 1) return FailWith(NTE_BAD_HASH);
    h->Finished = true;
  }
  prov = h->Prov;
  alg = h->Alg;
  digest.assign(h->Value, h->Value + h->ValueSize);
  return 1;
}

BOOL CryptDestroyHash(HCRYPTHASH hash) {
  std::scoped_lock lock(gHandleLock);
  if (gHashes.erase(hash) == 0) return FailWith(ERROR_INVALID_HANDLE);
  return 1;
}

const CRYPT_OID_INFO* CryptFindOIDInfo(std::uint32_t keyType, const void* key, std::uint32_t) {
  if (keyType != CRYPT_OID_INFO_OID_KEY || !key) return nullptr;
  static const auto* table = [] {
    static CRYPT_OID_INFO infos[std::size(kOidNames)];
    for (size_t i = 0; i < std::size(kOidNames); ++i) {
      infos[i].pszOID = kOidNames[i].Oid;
      infos[i].pwszName = kOidNames[i].Name;
    }
    return infos;
  }();
  const std::string_view oid(static_cast<const char*>(key));
  for (size_t i = 0; i < std::size(kOidNames); ++i)
    if (oid == table[i].pszOID) return &table[i];
  return nullptr;
}

BOOL CryptStringToBinaryA(const char* text, std::uint32_t length, std::uint32_t flags, std::uint8_t* binary,
                          std::uint32_t* binaryLength, std::uint32_t* skip, std::uint32_t* usedFlags) {
  if (!text || !binaryLength) return FailWith(ERROR_INVALID_PARAMETER);
  if (flags != CRYPT_STRING_BASE64HEADER) return FailWith(NTE_BAD_FLAGS);
  const std::uint32_t n = length ? length : static_cast<std::uint32_t>(std::strlen(text));
  std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new_mem_buf(text, static_cast<int>(n)), &BIO_free);
  char* name = nullptr;
  char* header = nullptr;
  unsigned char* der = nullptr;
  long derLen = 0;
  if (!bio || PEM_read_bio(bio.get(), &name, &header, &der, &derLen) != 1) return FailWith(CRYPT_E_BAD_ENCODE);
  OPENSSL_free(name);
  OPENSSL_free(header);
  std::unique_ptr<unsigned char, void (*)(unsigned char*)> hold(der, [](unsigned char* p) { OPENSSL_free(p); });
  if (skip) *skip = 0;
  if (usedFlags) *usedFlags = CRYPT_STRING_BASE64HEADER;
  const std::uint32_t room = *binaryLength;
  *binaryLength = static_cast<std::uint32_t>(derLen);
  if (!binary) return 1;
  if (room < static_cast<std::uint32_t>(derLen)) return FailWith(ERROR_MORE_DATA);
  std::memcpy(binary, der, static_cast<size_t>(derLen));
  return 1;
}

}  // namespace plat
