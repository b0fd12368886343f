// Certificate stores (memory, folders of files, the trust store), PKCS#12 and
// PEM import, chain building and the SSL chain policy.
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "AsciiText.h"
#include "CryptoApiInternal.h"
#include "PlatformLimits.h"
#include "FileOps.h"

namespace plat {
namespace {

std::mutex gPathLock;
std::string gStoreRoot;
std::string gTrustOverride;


std::string StoreRoot() {
  if (const char* env = std::getenv("VX_CERT_STORE_ROOT"); env && *env) return env;
  std::scoped_lock lock(gPathLock);
  return gStoreRoot.empty() ? std::string("/etc/vxmail/certs") : gStoreRoot;
}

std::string TrustOverride() {
  if (const char* env = std::getenv("VX_TRUST_STORE"); env && *env) return env;
  std::scoped_lock lock(gPathLock);
  return gTrustOverride;
}

void MoveStore(HCERTSTORE from, HCERTSTORE to) {
  if (!from) return;
  for (PCCERT_CONTEXT c : from->Certs) StoreAdd(to, c);
  CertCloseStore(from, 0);
}

// Adds one file's certificates (keys attached where they match).
void LoadFile(HCERTSTORE store, const std::string& path) {
  std::string bytes;
  if (ReadSmallFile(path, kMaxCertFileSize, bytes) != 0) return;
  if (AsciiEndsWith(path, ".p12") || AsciiEndsWith(path, ".pfx")) {
    MoveStore(ImportPkcs12(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), ""), store);
  } else if (bytes.find("-----BEGIN") != std::string::npos) {
    MoveStore(PEMImportCertStore(bytes.data(), static_cast<std::uint32_t>(bytes.size()), nullptr), store);
  } else if (PCCERT_CONTEXT c = CertCreateCertificateContext(
                 X509_ASN_ENCODING, reinterpret_cast<const std::uint8_t*>(bytes.data()),
                 static_cast<std::uint32_t>(bytes.size()))) {
    StoreAdd(store, c);
    CertFreeCertificateContext(c);
  }
}

void LoadFolder(HCERTSTORE store, const std::string& folder) {
  TDirStream dir(folder);
  std::vector<std::string> names;
  while (const dirent* e = dir.Next()) {
    const std::string n = e->d_name;
    if (n.empty() || n[0] == '.') continue;
    for (const char* ext : {".pem", ".crt", ".cer", ".der", ".p12", ".pfx"})
      if (AsciiEndsWith(n, ext)) names.push_back(n);
  }
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) LoadFile(store, folder + "/" + n);
}

bool IsDirectory(const std::string& path) { return TDirStream(path).Valid(); }

// A store name may not climb out of the root.
bool SafeStoreName(std::string_view name) {
  return !name.empty() && name.find('/') == std::string_view::npos && name != "." && name != "..";
}

std::uint64_t FileTimeValue(const FILETIME& t) {
  return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

}  // namespace

struct ChainData {
  X509Ptr Leaf;
  X509StackPtr Chain;  // as built, leaf first
  std::vector<int> Errors;
};

HCERTSTORE NewMemoryStore() { return std::make_unique<CertStore>().release(); }

void StoreAdd(HCERTSTORE store, PCCERT_CONTEXT context) {
  if (!store || !context) return;
  std::scoped_lock lock(store->Lock);
  store->Certs.push_back(CertDuplicateCertificateContext(context));
}

void SetCertificateStoreRoot(const std::string& folder) {
  std::scoped_lock lock(gPathLock);
  gStoreRoot = folder;
}

void SetTrustStoreOverride(const std::string& fileOrFolder) {
  std::scoped_lock lock(gPathLock);
  gTrustOverride = fileOrFolder;
}

HCERTSTORE CertOpenStore(std::uintptr_t storeProvider, std::uint32_t, HCRYPTPROV, std::uint32_t, const void*) {
  if (storeProvider != CERT_STORE_PROV_MEMORY) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return NewMemoryStore();
}

HCERTSTORE CertOpenSystemStoreA(std::uintptr_t, const char* storeName) {
  if (!storeName) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  const std::string name = storeName;
  HCERTSTORE store = NewMemoryStore();
  if (AsciiSameText(storeName, "ROOT")) {
    std::string src = TrustOverride();
    if (src.empty()) {
      if (const char* env = std::getenv(X509_get_default_cert_file_env()); env && *env) src = env;
      else src = X509_get_default_cert_file();
    }
    if (IsDirectory(src)) LoadFolder(store, src);
    else LoadFile(store, src);
    return store;
  }
  if (!SafeStoreName(name)) {
    CertCloseStore(store, 0);
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  LoadFolder(store, StoreRoot() + "/" + name);
  return store;
}

BOOL CertCloseStore(HCERTSTORE store, std::uint32_t) {
  if (!store) return 1;
  if (store->Refs.fetch_sub(1) != 1) return 1;
  for (PCCERT_CONTEXT c : store->Certs) CertFreeCertificateContext(c);
  std::unique_ptr<CertStore> last(store);
  return 1;
}

BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context, std::uint32_t,
                                      PCCERT_CONTEXT* added) {
  if (!store || !context) return FailWith(ERROR_INVALID_PARAMETER);
  StoreAdd(store, context);
  if (added) *added = CertDuplicateCertificateContext(context);
  return 1;
}

PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous) {
  return CertFindCertificateInStore(store, X509_ASN_ENCODING, 0, CERT_FIND_ANY, nullptr, previous);
}

PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, std::uint32_t, std::uint32_t, std::uint32_t findType,
                                          const void* findPara, PCCERT_CONTEXT previous) {
  if (!store) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  PCCERT_CONTEXT found = nullptr;
  {
    std::scoped_lock lock(store->Lock);
    size_t i = 0;
    if (previous) {
      while (i < store->Certs.size() && store->Certs[i] != previous) ++i;
      ++i;
    }
    for (; i < store->Certs.size(); ++i) {
      PCCERT_CONTEXT c = store->Certs[i];
      if (findType == CERT_FIND_SUBJECT_STR_A && findPara) {
        char buf[512];
        X509_NAME_oneline(X509_get_subject_name(CertContextX509(c)), buf, sizeof buf);
        if (!strcasestr(buf, static_cast<const char*>(findPara))) continue;
      }
      found = CertDuplicateCertificateContext(c);
      break;
    }
  }
  if (previous) CertFreeCertificateContext(previous);
  if (!found) SetLastError(static_cast<std::uint32_t>(CRYPT_E_NOT_FOUND));
  return found;
}

HCERTSTORE ImportPkcs12(const std::uint8_t* data, std::size_t size, const char* password) {
  const unsigned char* p = data;
  std::unique_ptr<PKCS12, decltype(&PKCS12_free)> p12(d2i_PKCS12(nullptr, &p, static_cast<long>(size)), &PKCS12_free);
  if (!p12) {
    SetLastError(CRYPT_E_BAD_ENCODE);
    return nullptr;
  }
  EVP_PKEY* key = nullptr;
  X509* cert = nullptr;
  STACK_OF(X509)* ca = nullptr;
  if (PKCS12_parse(p12.get(), password, &key, &cert, &ca) != 1) {
    ERR_clear_error();
    SetLastError(static_cast<std::uint32_t>(NTE_BAD_DATA));
    return nullptr;
  }
  PKeyPtr keyHold(key);
  X509StackPtr caHold(ca);
  HCERTSTORE store = NewMemoryStore();
  if (cert) {
    PCCERT_CONTEXT c = MakeCertContext(X509Ptr(cert), std::move(keyHold),
                                       X509StackPtr(ca ? X509_chain_up_ref(ca) : nullptr));
    StoreAdd(store, c);
    CertFreeCertificateContext(c);
  }
  for (int i = 0; ca && i < sk_X509_num(ca); ++i) {
    X509* x = sk_X509_value(ca, i);
    X509_up_ref(x);
    PCCERT_CONTEXT c = MakeCertContext(X509Ptr(x), nullptr, nullptr);
    StoreAdd(store, c);
    CertFreeCertificateContext(c);
  }
  return store;
}

HCERTSTORE PFXImportCertStore(const CRYPT_DATA_BLOB* pfx, const WCHAR* password, std::uint32_t) {
  if (!pfx || !pfx->pbData) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::string pass;
  for (const WCHAR* w = password; w && *w; ++w) {
    const char16_t c = *w;
    if (c < 0x80) pass.push_back(static_cast<char>(c));
    else if (c < 0x800) {
      pass.push_back(static_cast<char>(0xC0 | (c >> 6)));
      pass.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      pass.push_back(static_cast<char>(0xE0 | (c >> 12)));
      pass.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      pass.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return ImportPkcs12(pfx->pbData, pfx->cbData, pass.c_str());
}

HCERTSTORE PEMImportCertStore(const char* text, std::uint32_t length, const char* password) {
  if (!text) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  using BioPtr = std::unique_ptr<BIO, decltype(&BIO_free)>;
  BioPtr bio(BIO_new_mem_buf(text, static_cast<int>(length)), &BIO_free);
  std::vector<X509Ptr> certs;
  while (X509* x = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) certs.emplace_back(x);
  ERR_clear_error();
  BioPtr keyBio(BIO_new_mem_buf(text, static_cast<int>(length)), &BIO_free);
  PKeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, const_cast<char*>(password ? password : "")));
  ERR_clear_error();
  if (certs.empty()) {
    SetLastError(CRYPT_E_BAD_ENCODE);
    return nullptr;
  }
  X509StackPtr rest(sk_X509_new_null());
  for (size_t i = 1; i < certs.size(); ++i) {
    X509_up_ref(certs[i].get());
    sk_X509_push(rest.get(), certs[i].get());
  }
  HCERTSTORE store = NewMemoryStore();
  for (size_t i = 0; i < certs.size(); ++i) {
    PKeyPtr own;
    X509StackPtr chain;
    if (key && X509_check_private_key(certs[i].get(), key.get()) == 1) {
      own = std::move(key);
      chain = std::move(rest);
    }
    ERR_clear_error();
    PCCERT_CONTEXT c = MakeCertContext(std::move(certs[i]), std::move(own), std::move(chain));
    StoreAdd(store, c);
    CertFreeCertificateContext(c);
  }
  return store;
}

x509_store_st* CertOpenTrustX509Store() {
  X509_STORE* store = X509_STORE_new();
  if (!store) return nullptr;
  const std::string src = TrustOverride();
  int ok = 0;
  if (src.empty()) ok = X509_STORE_set_default_paths(store);
  else if (IsDirectory(src)) ok = X509_STORE_load_path(store, src.c_str());
  else ok = X509_STORE_load_file(store, src.c_str());
  ERR_clear_error();
  if (ok != 1) {
    X509_STORE_free(store);
    return nullptr;
  }
  // A folder given for tests holds plain PEM files, not hashed links: add them.
  if (!src.empty() && IsDirectory(src)) {
    HCERTSTORE files = NewMemoryStore();
    LoadFolder(files, src);
    for (PCCERT_CONTEXT c : files->Certs) X509_STORE_add_cert(store, CertContextX509(c));
    CertCloseStore(files, 0);
    ERR_clear_error();
  }
  return store;
}

namespace {

int KeepGoing(int ok, X509_STORE_CTX* ctx) {
  if (!ok) {
    auto* errors = static_cast<std::vector<int>*>(X509_STORE_CTX_get_app_data(ctx));
    if (errors) errors->push_back(X509_STORE_CTX_get_error(ctx));
  }
  // Every fault is collected; the policy decides which ones count.
  return 1;
}

std::uint32_t TrustBits(int err) {
  switch (err) {
    case X509_V_ERR_CERT_HAS_EXPIRED:
    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_ERROR_IN_CERT_NOT_BEFORE_FIELD:
    case X509_V_ERR_ERROR_IN_CERT_NOT_AFTER_FIELD:
      return CERT_TRUST_IS_NOT_TIME_VALID;
    case X509_V_ERR_CERT_REVOKED: return CERT_TRUST_IS_REVOKED;
    case X509_V_ERR_INVALID_PURPOSE: return CERT_TRUST_IS_NOT_VALID_FOR_USAGE;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
      return CERT_TRUST_IS_UNTRUSTED_ROOT;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN;
    default:
      // Bad signatures, weak keys the security level refuses, malformed certificates.
      return CERT_TRUST_IS_NOT_SIGNATURE_VALID;
  }
}

}  // namespace

BOOL CertGetCertificateChain(void*, PCCERT_CONTEXT context, const FILETIME* time, HCERTSTORE additionalStore,
                             const CERT_CHAIN_PARA*, std::uint32_t, void*, PCCERT_CHAIN_CONTEXT* chain) {
  if (!context || !chain || !CertContextX509(context)) return FailWith(ERROR_INVALID_PARAMETER);
  *chain = nullptr;
  std::unique_ptr<X509_STORE, decltype(&X509_STORE_free)> trust(CertOpenTrustX509Store(), &X509_STORE_free);
  if (!trust) return FailWith(static_cast<std::uint32_t>(CRYPT_E_NOT_FOUND));
  X509StackPtr untrusted(sk_X509_new_null());
  auto addAll = [&](STACK_OF(X509) * s) {
    for (int i = 0; s && i < sk_X509_num(s); ++i) {
      X509_up_ref(sk_X509_value(s, i));
      sk_X509_push(untrusted.get(), sk_X509_value(s, i));
    }
  };
  addAll(context->Data->Chain.get());
  if (additionalStore) {
    std::scoped_lock lock(additionalStore->Lock);
    for (PCCERT_CONTEXT c : additionalStore->Certs) {
      X509_up_ref(CertContextX509(c));
      sk_X509_push(untrusted.get(), CertContextX509(c));
    }
  }
  auto data = std::make_unique<ChainData>();
  std::unique_ptr<X509_STORE_CTX, decltype(&X509_STORE_CTX_free)> ctx(X509_STORE_CTX_new(), &X509_STORE_CTX_free);
  X509* leaf = CertContextX509(context);
  if (!ctx || X509_STORE_CTX_init(ctx.get(), trust.get(), leaf, untrusted.get()) != 1)
    return FailWith(ERROR_NOT_ENOUGH_MEMORY);
  X509_STORE_CTX_set_verify_cb(ctx.get(), &KeepGoing);
  X509_STORE_CTX_set_app_data(ctx.get(), &data->Errors);
  if (time && FileTimeValue(*time)) {
    const auto secs = static_cast<time_t>(FileTimeValue(*time) / 10000000ULL - 11644473600ULL);
    X509_STORE_CTX_set_time(ctx.get(), 0, secs);
  }
  const int rc = X509_verify_cert(ctx.get());
  if (rc < 0) data->Errors.push_back(X509_STORE_CTX_get_error(ctx.get()));
  ERR_clear_error();
  X509_up_ref(leaf);
  data->Leaf.reset(leaf);
  if (STACK_OF(X509)* built = X509_STORE_CTX_get1_chain(ctx.get())) data->Chain.reset(built);
  auto result = std::make_unique<CERT_CHAIN_CONTEXT>();
  for (int e : data->Errors) result->TrustStatus.dwErrorStatus |= TrustBits(e);
  result->Data = data.release();
  *chain = result.release();
  return 1;
}

void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain) {
  if (!chain) return;
  std::unique_ptr<CERT_CHAIN_CONTEXT> hold(const_cast<CERT_CHAIN_CONTEXT*>(chain));
  std::unique_ptr<ChainData> data(hold->Data);
}

namespace {

bool NameMatches(X509* leaf, const WCHAR* serverName) {
  std::string host;
  for (const WCHAR* w = serverName; w && *w; ++w) {
    if (*w >= 0x80) return false;  // host names reach us in ASCII (A-labels)
    host.push_back(static_cast<char>(*w));
  }
  if (host.empty()) return false;
  if (X509_check_ip_asc(leaf, host.c_str(), 0) == 1) return true;
  return X509_check_host(leaf, host.data(), host.size(), 0, nullptr) == 1;
}

}  // namespace

BOOL CertVerifyCertificateChainPolicy(std::uintptr_t policy, PCCERT_CHAIN_CONTEXT chain,
                                      const CERT_CHAIN_POLICY_PARA* para, CERT_CHAIN_POLICY_STATUS* status) {
  if (!chain || !status || !chain->Data) return FailWith(ERROR_INVALID_PARAMETER);
  if (policy != CERT_CHAIN_POLICY_SSL) return FailWith(static_cast<std::uint32_t>(CRYPT_E_NOT_FOUND));
  const auto* ssl = para ? static_cast<const SSL_EXTRA_CERT_CHAIN_POLICY_PARA*>(para->pvExtraPolicyPara) : nullptr;
  const std::uint32_t checks = ssl ? ssl->fdwChecks : 0;
  const std::uint32_t authType = ssl ? ssl->dwAuthType : AUTHTYPE_SERVER;
  const std::uint32_t trust = chain->TrustStatus.dwErrorStatus;
  X509* leaf = chain->Data->Leaf.get();
  status->dwError = 0;
  status->lChainIndex = -1;
  status->lElementIndex = -1;
  auto fail = [&](SECURITY_STATUS e) {
    status->dwError = static_cast<std::uint32_t>(e);
    status->lChainIndex = 0;
    status->lElementIndex = 0;
    return 1;
  };
  if (trust & CERT_TRUST_IS_NOT_SIGNATURE_VALID) return fail(TRUST_E_CERT_SIGNATURE);
  if ((trust & CERT_TRUST_IS_UNTRUSTED_ROOT) && !(checks & SECURITY_FLAG_IGNORE_UNKNOWN_CA))
    return fail((trust & CERT_TRUST_IS_PARTIAL_CHAIN) ? CERT_E_CHAINING : CERT_E_UNTRUSTEDROOT);
  if ((trust & CERT_TRUST_IS_NOT_TIME_VALID) && !(checks & SECURITY_FLAG_IGNORE_CERT_DATE_INVALID))
    return fail(CERT_E_EXPIRED);
  if ((trust & CERT_TRUST_IS_REVOKED) && !(checks & SECURITY_FLAG_IGNORE_REVOCATION)) return fail(CERT_E_REVOKED);
  if (!(checks & SECURITY_FLAG_IGNORE_WRONG_USAGE)) {
    const int purpose = authType == AUTHTYPE_CLIENT ? X509_PURPOSE_SSL_CLIENT : X509_PURPOSE_SSL_SERVER;
    if ((trust & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) || X509_check_purpose(leaf, purpose, 0) != 1)
      return fail(CERT_E_WRONG_USAGE);
  }
  if (authType == AUTHTYPE_SERVER && !(checks & SECURITY_FLAG_IGNORE_CERT_CN_INVALID) &&
      !NameMatches(leaf, ssl ? ssl->pwszServerName : nullptr))
    return fail(CERT_E_CN_NO_MATCH);
  ERR_clear_error();
  return 1;
}

}  // namespace plat
