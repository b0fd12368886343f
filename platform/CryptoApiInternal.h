// Shared insides of the crypto calls (CryptoApi*.cpp and the TLS package only):
// the data behind a certificate context, stores and chains, and the
// reference-counted handle helpers. Not for the library.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "CryptoApi.h"
#include "SysError.h"

namespace plat {

struct X509Free {
  void operator()(X509* p) const { X509_free(p); }
};
struct PKeyFree {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct X509StackFree {
  void operator()(STACK_OF(X509) * p) const { sk_X509_pop_free(p, X509_free); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyFree>;
using X509StackPtr = std::unique_ptr<STACK_OF(X509), X509StackFree>;

struct CertContextData {
  std::atomic<int> Refs{1};
  X509Ptr Cert;
  PKeyPtr Key;            // null without a private key
  X509StackPtr Chain;     // certificates that came with it (peer chain, file bundle)
  std::vector<std::uint8_t> Der;
  std::vector<std::uint8_t> Serial;  // least significant first
  std::string SigOid, KeyOid;
  std::vector<std::uint8_t> SigParams, KeyParams, KeyBits, Issuer, Subject;
  std::vector<std::string> ExtOids;
  std::vector<std::vector<std::uint8_t>> ExtValues;
  std::vector<CERT_EXTENSION> Extensions;
  std::mutex PropLock;  // guards the two properties below
  std::u16string FriendlyName;
  bool HasFriendlyName = false;
  std::u16string Container;
  CERT_INFO Info;
  CERT_CONTEXT Context;
};

struct CertStore {
  std::atomic<int> Refs{1};
  std::mutex Lock;
  std::vector<PCCERT_CONTEXT> Certs;  // each holds a reference
};

// A new context owning cert (and key, chain); never null for a valid cert.
PCCERT_CONTEXT MakeCertContext(X509Ptr cert, PKeyPtr key, X509StackPtr chain);
HCERTSTORE NewMemoryStore();
// Adds with its own reference.
void StoreAdd(HCERTSTORE store, PCCERT_CONTEXT context);
// Loads a PKCS#12 blob; null with the last error set.
HCERTSTORE ImportPkcs12(const std::uint8_t* data, std::size_t size, const char* password);

// Provider contexts as the key calls see them: whether a handle is live, and
// the key pair a context holds for a key slot (null when none).
bool ProviderKnown(HCRYPTPROV prov);
std::shared_ptr<EVP_PKEY> ProviderUserKey(HCRYPTPROV prov, std::uint32_t keySpec);
bool SetProviderUserKey(HCRYPTPROV prov, std::uint32_t keySpec, std::shared_ptr<EVP_PKEY> key);
bool HashProvider(HCRYPTHASH hash, HCRYPTPROV& prov);
// Ends a hash (as HP_HASHVAL does) and gives its provider, algorithm and value.
BOOL FinishHash(HCRYPTHASH hash, HCRYPTPROV& prov, ALG_ID& alg, std::vector<std::uint8_t>& digest);

// Last-error helper: sets it and returns FALSE.
inline BOOL FailWith(std::uint32_t code) {
  SetLastError(code);
  return 0;
}

// The platform's size-query rule for a fixed block: null data reports the
// size, a short buffer fails with ERROR_MORE_DATA, else the bytes are copied.
inline BOOL PutSized(const void* src, std::uint32_t n, void* data, std::uint32_t* length) {
  const std::uint32_t room = *length;
  *length = n;
  if (!data) return 1;
  if (room < n) return FailWith(ERROR_MORE_DATA);
  std::memcpy(data, src, n);
  return 1;
}

}  // namespace plat
