// The cryptography calls the library expects, by their platform names, over
// OpenSSL 3: provider contexts and hash objects (MD5, SHA-1, SHA-256), certificate
// contexts (an X509 with its chain store and, when loaded with one, its private
// key), stores (memory, folders of PEM/PKCS#12 files, the trust store "ROOT"),
// decoding of names, alternative names and key identifiers, chain building and
// the SSL chain policy (host name, dates, unknown CA, usage).
// BOOL calls return nonzero on success and set the thread's last error
// (plat::GetLastError: NTE_/CRYPT_E_/CERT_E_ numbers) on failure. Handles are
// thread-safe to share read-only; one hash object belongs to one thread.
// Size-query calls follow the platform rule: a null buffer reports the size,
// a short one fails with ERROR_MORE_DATA and reports the size.
#pragma once

#include <cstdint>
#include <string>

#include "SecurityProvider.h"

struct x509_st;
struct evp_pkey_st;
struct x509_store_st;
struct stack_st_X509;

namespace plat {

using BOOL = int;
using ALG_ID = std::uint32_t;
using HCRYPTPROV = std::uintptr_t;
using HCRYPTHASH = std::uintptr_t;
using HCRYPTKEY = std::uintptr_t;
using WCHAR = char16_t;
struct CertStore;
using HCERTSTORE = CertStore*;

// Error numbers (last error) of the crypto calls.
constexpr std::uint32_t ERROR_MORE_DATA = 234;
constexpr std::uint32_t NTE_BAD_HASH = 0x80090002;
constexpr std::uint32_t NTE_BAD_TYPE = 0x8009000A;
constexpr std::uint32_t NTE_BAD_ALGID = 0x80090008;
constexpr std::uint32_t NTE_BAD_FLAGS = 0x80090009;
constexpr std::uint32_t NTE_BAD_UID = 0x80090001;
constexpr std::uint32_t NTE_BAD_KEYSET = 0x80090016;
constexpr std::uint32_t NTE_PROV_TYPE_NOT_DEF = 0x80090017;
constexpr std::uint32_t NTE_BAD_DATA = 0x80090005;
constexpr std::uint32_t CRYPT_E_ASN1_BADTAG = 0x8009310B;
constexpr std::uint32_t CRYPT_E_BAD_ENCODE = 0x80092002;
constexpr std::uint32_t CRYPT_E_NO_MATCH = 0x80092009;
constexpr std::uint32_t CRYPT_E_BAD_MSG = 0x8009200D;
constexpr std::uint32_t CRYPT_E_OSS_ERROR = 0x80093000;
constexpr std::uint32_t NTE_BAD_KEY = 0x80090003;
constexpr std::uint32_t NTE_BAD_SIGNATURE = 0x80090006;
constexpr std::uint32_t NTE_BAD_KEY_STATE = 0x8009000B;
constexpr std::uint32_t NTE_NO_KEY = 0x8009000D;

// The English text of a crypto error number ("Bad Hash.\r\n"), "" when unknown.
std::string CryptoErrorMessage(std::uint32_t code);

// Providers and hashes.
constexpr std::uint32_t PROV_RSA_FULL = 1;
constexpr std::uint32_t PROV_RSA_AES = 24;
constexpr std::uint32_t CRYPT_VERIFYCONTEXT = 0xF0000000;
constexpr ALG_ID CALG_MD5 = 0x8003;
constexpr ALG_ID CALG_SHA1 = 0x8004;
constexpr ALG_ID CALG_SHA_256 = 0x800C;
constexpr std::uint32_t HP_ALGID = 1;
constexpr std::uint32_t HP_HASHVAL = 2;
constexpr std::uint32_t HP_HASHSIZE = 4;

BOOL CryptAcquireContextA(HCRYPTPROV* prov, const char* container, const char* provider,
                          std::uint32_t provType, std::uint32_t flags);
BOOL CryptReleaseContext(HCRYPTPROV prov, std::uint32_t flags);
BOOL CryptCreateHash(HCRYPTPROV prov, ALG_ID alg, HCRYPTKEY key, std::uint32_t flags, HCRYPTHASH* hash);
BOOL CryptHashData(HCRYPTHASH hash, const std::uint8_t* data, std::uint32_t length, std::uint32_t flags);
// HP_HASHVAL finishes the digest; later CryptHashData calls fail (NTE_BAD_HASH).
BOOL CryptGetHashParam(HCRYPTHASH hash, std::uint32_t param, std::uint8_t* data, std::uint32_t* length,
                       std::uint32_t flags);
BOOL CryptDestroyHash(HCRYPTHASH hash);

// RSA keys and signatures. Key blobs are the platform's: an 8-byte header
// (type, version 2, reserved, algorithm), the RSAPUBKEY ("RSA1" public /
// "RSA2" private, bit length, a 32-bit public exponent), then the numbers
// little-endian (modulus; for private blobs also prime1, prime2, exponent1,
// exponent2, coefficient at half length and the private exponent). A key
// imported from a private blob or generated becomes the context's key pair
// for its slot (CALG_RSA_KEYX: AT_KEYEXCHANGE, CALG_RSA_SIGN: AT_SIGNATURE),
// which CryptSignHashA and CryptGetUserKey use. Signatures are PKCS #1 v1.5
// over the hash's algorithm, least significant byte first. A key handle is
// destroyed by its holder; keys are shared read-only inside.
constexpr std::uint32_t AT_KEYEXCHANGE = 1;
constexpr std::uint32_t AT_SIGNATURE = 2;
constexpr std::uint32_t CRYPT_EXPORTABLE = 1;
constexpr ALG_ID CALG_RSA_KEYX = 0xA400;
constexpr ALG_ID CALG_RSA_SIGN = 0x2400;
constexpr std::uint32_t PUBLICKEYBLOB = 6;
constexpr std::uint32_t PRIVATEKEYBLOB = 7;
constexpr std::uint32_t KP_ALGID = 7;
constexpr std::uint32_t KP_KEYLEN = 9;

// ALG_ID: AT_KEYEXCHANGE, AT_SIGNATURE, CALG_RSA_KEYX or CALG_RSA_SIGN; flags:
// the bit length in the upper 16 bits (0: 1024) plus CRYPT_EXPORTABLE.
BOOL CryptGenKey(HCRYPTPROV prov, ALG_ID alg, std::uint32_t flags, HCRYPTKEY* key);
BOOL CryptImportKey(HCRYPTPROV prov, const std::uint8_t* data, std::uint32_t length, HCRYPTKEY pubKey,
                    std::uint32_t flags, HCRYPTKEY* key);
// PRIVATEKEYBLOB needs a key made exportable (NTE_BAD_KEY_STATE otherwise).
BOOL CryptExportKey(HCRYPTKEY key, HCRYPTKEY expKey, std::uint32_t blobType, std::uint32_t flags,
                    std::uint8_t* data, std::uint32_t* length);
BOOL CryptDestroyKey(HCRYPTKEY key);
// A new handle to the context's key pair for keySpec; NTE_NO_KEY when none.
BOOL CryptGetUserKey(HCRYPTPROV prov, std::uint32_t keySpec, HCRYPTKEY* key);
// KP_KEYLEN (bits, 4 bytes) and KP_ALGID.
BOOL CryptGetKeyParam(HCRYPTKEY key, std::uint32_t param, std::uint8_t* data, std::uint32_t* length,
                      std::uint32_t flags);
// Ends the hash and signs it with the context's key pair for keySpec.
BOOL CryptSignHashA(HCRYPTHASH hash, std::uint32_t keySpec, const char* description, std::uint32_t flags,
                    std::uint8_t* signature, std::uint32_t* length);
// False with NTE_BAD_SIGNATURE when the signature does not match.
BOOL CryptVerifySignatureA(HCRYPTHASH hash, const std::uint8_t* signature, std::uint32_t length, HCRYPTKEY pubKey,
                           const char* description, std::uint32_t flags);

// Certificates.
constexpr std::uint32_t X509_ASN_ENCODING = 0x1;
constexpr std::uint32_t PKCS_7_ASN_ENCODING = 0x10000;

struct CRYPT_DATA_BLOB {
  std::uint32_t cbData = 0;
  std::uint8_t* pbData = nullptr;
};
using CRYPT_INTEGER_BLOB = CRYPT_DATA_BLOB;  // least significant byte first
using CERT_NAME_BLOB = CRYPT_DATA_BLOB;      // DER of the Name
using CRYPT_OBJID_BLOB = CRYPT_DATA_BLOB;

struct CRYPT_BIT_BLOB {
  std::uint32_t cbData = 0;
  std::uint8_t* pbData = nullptr;
  std::uint32_t cUnusedBits = 0;
};

struct FILETIME {
  std::uint32_t dwLowDateTime = 0;
  std::uint32_t dwHighDateTime = 0;
};

struct CRYPT_ALGORITHM_IDENTIFIER {
  char* pszObjId = nullptr;
  CRYPT_OBJID_BLOB Parameters;
};

struct CERT_PUBLIC_KEY_INFO {
  CRYPT_ALGORITHM_IDENTIFIER Algorithm;
  CRYPT_BIT_BLOB PublicKey;
};

struct CERT_EXTENSION {
  char* pszObjId = nullptr;
  BOOL fCritical = 0;
  CRYPT_OBJID_BLOB Value;  // DER of the extension's value
};

struct CERT_INFO {
  std::uint32_t dwVersion = 0;  // 0 v1, 1 v2, 2 v3
  CRYPT_INTEGER_BLOB SerialNumber;
  CRYPT_ALGORITHM_IDENTIFIER SignatureAlgorithm;
  CERT_NAME_BLOB Issuer;
  FILETIME NotBefore;  // UTC
  FILETIME NotAfter;
  CERT_NAME_BLOB Subject;
  CERT_PUBLIC_KEY_INFO SubjectPublicKeyInfo;
  std::uint32_t cExtension = 0;
  CERT_EXTENSION* rgExtension = nullptr;
};

struct CertContextData;  // internal
struct CERT_CONTEXT {
  std::uint32_t dwCertEncodingType = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
  std::uint8_t* pbCertEncoded = nullptr;
  std::uint32_t cbCertEncoded = 0;
  CERT_INFO* pCertInfo = nullptr;
  HCERTSTORE hCertStore = nullptr;  // the store it came with (a peer's chain, a file's other certificates)
  CertContextData* Data = nullptr;
};
using PCCERT_CONTEXT = const CERT_CONTEXT*;

// A context from DER bytes; null with the last error on bad input.
PCCERT_CONTEXT CertCreateCertificateContext(std::uint32_t encoding, const std::uint8_t* encoded,
                                            std::uint32_t length);
PCCERT_CONTEXT CertDuplicateCertificateContext(PCCERT_CONTEXT context);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT context);

constexpr std::uint32_t CERT_KEY_PROV_INFO_PROP_ID = 2;
constexpr std::uint32_t CERT_SHA1_HASH_PROP_ID = 3;
constexpr std::uint32_t CERT_FRIENDLY_NAME_PROP_ID = 11;

struct CRYPT_KEY_PROV_INFO {
  WCHAR* pwszContainerName = nullptr;
  WCHAR* pwszProvName = nullptr;
  std::uint32_t dwProvType = 0;
  std::uint32_t dwFlags = 0;
  std::uint32_t cProvParam = 0;
  void* rgProvParam = nullptr;
  std::uint32_t dwKeySpec = 0;
};

// Property 2 fills CRYPT_KEY_PROV_INFO (only for contexts with a private key),
// 3 the SHA-1 bytes, 11 a NUL-terminated UTF-16 text; absent: CRYPT_E_NOT_FOUND.
BOOL CertGetCertificateContextProperty(PCCERT_CONTEXT context, std::uint32_t propId, void* data,
                                       std::uint32_t* length);
// Plain (non-platform) helper: sets the friendly name property.
BOOL CertSetFriendlyName(PCCERT_CONTEXT context, const std::u16string& name);

constexpr std::uint32_t CERT_NAME_SIMPLE_DISPLAY_TYPE = 4;
constexpr std::uint32_t CERT_NAME_ISSUER_FLAG = 1;
// Characters written including the NUL; 1 (an empty text) when nothing fits.
std::uint32_t CertGetNameStringW(PCCERT_CONTEXT context, std::uint32_t type, std::uint32_t flags,
                                 void* typePara, WCHAR* name, std::uint32_t count);

CERT_EXTENSION* CertFindExtension(const char* objId, std::uint32_t count, CERT_EXTENSION* extensions);
std::uint32_t CertGetPublicKeyLength(std::uint32_t encoding, const CERT_PUBLIC_KEY_INFO* key);

struct CERT_ENHKEY_USAGE {
  std::uint32_t cUsageIdentifier = 0;
  char** rgpszUsageIdentifier = nullptr;
};
// Fails with CRYPT_E_NOT_FOUND when the certificate has no usage extension.
BOOL CertGetEnhancedKeyUsage(PCCERT_CONTEXT context, std::uint32_t flags, CERT_ENHKEY_USAGE* usage,
                             std::uint32_t* length);

constexpr std::uint32_t CRYPT_OID_INFO_OID_KEY = 1;
struct CRYPT_OID_INFO {
  std::uint32_t cbSize = sizeof(CRYPT_OID_INFO);
  const char* pszOID = nullptr;
  const WCHAR* pwszName = nullptr;
  std::uint32_t dwGroupId = 0;
};
const CRYPT_OID_INFO* CryptFindOIDInfo(std::uint32_t keyType, const void* key, std::uint32_t groupId);

// Decoding (structure types as the platform numbers them).
constexpr std::uintptr_t X509_NAME = 7;
constexpr std::uintptr_t X509_ALTERNATE_NAME = 12;
constexpr std::uintptr_t X509_OCTET_STRING = 25;
constexpr const char* szOID_RSA_emailAddr = "1.2.840.113549.1.9.1";
constexpr const char* szOID_SUBJECT_ALT_NAME2 = "2.5.29.17";
constexpr const char* szOID_SUBJECT_KEY_IDENTIFIER = "2.5.29.14";
constexpr std::uint32_t CERT_RDN_PRINTABLE_STRING = 4;
constexpr std::uint32_t CERT_RDN_IA5_STRING = 7;
constexpr std::uint32_t CERT_RDN_UTF8_STRING = 13;

struct CERT_RDN_ATTR {
  char* pszObjId = nullptr;
  std::uint32_t dwValueType = 0;
  CRYPT_DATA_BLOB Value;  // the string's bytes as encoded
};
struct CERT_RDN {
  std::uint32_t cRDNAttr = 0;
  CERT_RDN_ATTR* rgRDNAttr = nullptr;
};
struct CERT_NAME_INFO {
  std::uint32_t cRDN = 0;
  CERT_RDN* rgRDN = nullptr;
};

constexpr std::uint32_t CERT_ALT_NAME_RFC822_NAME = 2;
constexpr std::uint32_t CERT_ALT_NAME_DNS_NAME = 3;
constexpr std::uint32_t CERT_ALT_NAME_IP_ADDRESS = 8;
struct CERT_ALT_NAME_ENTRY {
  std::uint32_t dwAltNameChoice = 0;
  WCHAR* pwszRfc822Name = nullptr;  // RFC 822 and DNS names
  CRYPT_DATA_BLOB IPAddress;
};
struct CERT_ALT_NAME_INFO {
  std::uint32_t cAltEntry = 0;
  CERT_ALT_NAME_ENTRY* rgAltEntry = nullptr;
};

// X509_NAME -> CERT_NAME_INFO, X509_ALTERNATE_NAME -> CERT_ALT_NAME_INFO,
// X509_OCTET_STRING -> CRYPT_DATA_BLOB; all in the caller's one buffer.
BOOL CryptDecodeObject(std::uint32_t encoding, std::uintptr_t structType, const std::uint8_t* encoded,
                       std::uint32_t length, std::uint32_t flags, void* info, std::uint32_t* infoLength);

// Key structures both ways. PKCS_RSA_PRIVATE_KEY: a private key blob <-> DER
// RSAPrivateKey; RSA_CSP_PUBLICKEYBLOB: a public key blob <-> DER
// RSAPublicKey; X509_PUBLIC_KEY_INFO: CERT_PUBLIC_KEY_INFO <-> DER
// SubjectPublicKeyInfo (decoded into the caller's one buffer). The
// structure argument points at the blob bytes or the CERT_PUBLIC_KEY_INFO.
constexpr std::uintptr_t X509_PUBLIC_KEY_INFO = 8;
constexpr std::uintptr_t RSA_CSP_PUBLICKEYBLOB = 19;
constexpr std::uintptr_t PKCS_RSA_PRIVATE_KEY = 43;
constexpr const char* szOID_RSA_RSA = "1.2.840.113549.1.1.1";
BOOL CryptEncodeObjectEx(std::uint32_t encoding, std::uintptr_t structType, const void* structInfo,
                         std::uint32_t flags, const void* encodePara, void* encoded, std::uint32_t* length);
BOOL CryptDecodeObjectEx(std::uint32_t encoding, std::uintptr_t structType, const std::uint8_t* encoded,
                         std::uint32_t encodedLength, std::uint32_t flags, const void* decodePara, void* structInfo,
                         std::uint32_t* length);
// Only RSA keys (szOID_RSA_RSA) are known; others fail with NTE_BAD_ALGID.
BOOL CryptImportPublicKeyInfoEx(HCRYPTPROV prov, std::uint32_t encoding, const CERT_PUBLIC_KEY_INFO* info,
                                ALG_ID alg, std::uint32_t flags, void* auxInfo, HCRYPTKEY* key);

// PEM text -> DER bytes of its first block (CRYPT_STRING_BASE64HEADER).
constexpr std::uint32_t CRYPT_STRING_BASE64HEADER = 0;
BOOL CryptStringToBinaryA(const char* text, std::uint32_t length, std::uint32_t flags, std::uint8_t* binary,
                          std::uint32_t* binaryLength, std::uint32_t* skip, std::uint32_t* usedFlags);

// Stores.
struct CertStore;
// A memory store; "MY", "CA" and other names open the folder <root>/<name>
// (its *.pem, *.crt, *.cer, *.der, *.p12, *.pfx files; keys in PEM files and
// PKCS#12 files without a password are attached); "ROOT" is the trust store.
HCERTSTORE CertOpenSystemStoreA(std::uintptr_t prov, const char* storeName);
constexpr std::uintptr_t CERT_STORE_PROV_MEMORY = 2;
HCERTSTORE CertOpenStore(std::uintptr_t storeProvider, std::uint32_t encoding, HCRYPTPROV prov,
                         std::uint32_t flags, const void* para);
BOOL CertCloseStore(HCERTSTORE store, std::uint32_t flags);
constexpr std::uint32_t CERT_STORE_ADD_ALWAYS = 4;
BOOL CertAddCertificateContextToStore(HCERTSTORE store, PCCERT_CONTEXT context, std::uint32_t disposition,
                                      PCCERT_CONTEXT* added);
// Walks the store: pass null first, then the previous result (which it frees).
PCCERT_CONTEXT CertEnumCertificatesInStore(HCERTSTORE store, PCCERT_CONTEXT previous);
constexpr std::uint32_t CERT_FIND_ANY = 0;
constexpr std::uint32_t CERT_FIND_SUBJECT_STR_A = 0x00070004;
PCCERT_CONTEXT CertFindCertificateInStore(HCERTSTORE store, std::uint32_t encoding, std::uint32_t findFlags,
                                          std::uint32_t findType, const void* findPara, PCCERT_CONTEXT previous);
// PKCS#12 bytes -> a memory store; the certificate that matches the key carries it.
HCERTSTORE PFXImportCertStore(const CRYPT_DATA_BLOB* pfx, const WCHAR* password, std::uint32_t flags);
// Plain helper: PEM text with certificates and optionally a private key
// (encrypted with password, or plain) -> a memory store, as PFXImportCertStore.
HCERTSTORE PEMImportCertStore(const char* text, std::uint32_t length, const char* password);

// Where named stores live: VX_CERT_STORE_ROOT, else this, else "/etc/vxmail/certs".
void SetCertificateStoreRoot(const std::string& folder);
// The trust store: VX_TRUST_STORE (a PEM file or a folder of them), else this
// (empty: OpenSSL's default verify paths).
void SetTrustStoreOverride(const std::string& fileOrFolder);

// Chains and the SSL policy.
struct CERT_TRUST_STATUS {
  std::uint32_t dwErrorStatus = 0;
  std::uint32_t dwInfoStatus = 0;
};
constexpr std::uint32_t CERT_TRUST_NO_ERROR = 0;
constexpr std::uint32_t CERT_TRUST_IS_NOT_TIME_VALID = 0x1;
constexpr std::uint32_t CERT_TRUST_IS_REVOKED = 0x4;
constexpr std::uint32_t CERT_TRUST_IS_NOT_SIGNATURE_VALID = 0x8;
constexpr std::uint32_t CERT_TRUST_IS_NOT_VALID_FOR_USAGE = 0x10;
constexpr std::uint32_t CERT_TRUST_IS_UNTRUSTED_ROOT = 0x20;
constexpr std::uint32_t CERT_TRUST_IS_PARTIAL_CHAIN = 0x10000;

struct ChainData;
struct CERT_CHAIN_CONTEXT {
  std::uint32_t cbSize = sizeof(CERT_CHAIN_CONTEXT);
  CERT_TRUST_STATUS TrustStatus;
  std::uint32_t cChain = 1;
  ChainData* Data = nullptr;
};
using PCCERT_CHAIN_CONTEXT = const CERT_CHAIN_CONTEXT*;

struct CERT_USAGE_MATCH {
  std::uint32_t dwType = 0;
  std::uint32_t cUsageIdentifier = 0;
  char** rgpszUsageIdentifier = nullptr;
};
struct CERT_CHAIN_PARA {
  std::uint32_t cbSize = sizeof(CERT_CHAIN_PARA);
  CERT_USAGE_MATCH RequestedUsage;
};

// Builds the chain against the trust store with the context's own store and
// additionalStore as intermediates; trust errors land in TrustStatus.
BOOL CertGetCertificateChain(void* chainEngine, PCCERT_CONTEXT context, const FILETIME* time,
                             HCERTSTORE additionalStore, const CERT_CHAIN_PARA* para, std::uint32_t flags,
                             void* reserved, PCCERT_CHAIN_CONTEXT* chain);
void CertFreeCertificateChain(PCCERT_CHAIN_CONTEXT chain);

constexpr std::uintptr_t CERT_CHAIN_POLICY_SSL = 4;
constexpr std::uint32_t AUTHTYPE_CLIENT = 1;
constexpr std::uint32_t AUTHTYPE_SERVER = 2;
constexpr std::uint32_t SECURITY_FLAG_IGNORE_REVOCATION = 0x80;
constexpr std::uint32_t SECURITY_FLAG_IGNORE_UNKNOWN_CA = 0x100;
constexpr std::uint32_t SECURITY_FLAG_IGNORE_WRONG_USAGE = 0x200;
constexpr std::uint32_t SECURITY_FLAG_IGNORE_CERT_CN_INVALID = 0x1000;
constexpr std::uint32_t SECURITY_FLAG_IGNORE_CERT_DATE_INVALID = 0x2000;

struct SSL_EXTRA_CERT_CHAIN_POLICY_PARA {
  std::uint32_t cbSize = sizeof(SSL_EXTRA_CERT_CHAIN_POLICY_PARA);
  std::uint32_t dwAuthType = AUTHTYPE_SERVER;
  std::uint32_t fdwChecks = 0;
  const WCHAR* pwszServerName = nullptr;  // host name or IP address text
};
struct CERT_CHAIN_POLICY_PARA {
  std::uint32_t cbSize = sizeof(CERT_CHAIN_POLICY_PARA);
  std::uint32_t dwFlags = 0;
  void* pvExtraPolicyPara = nullptr;
};
struct CERT_CHAIN_POLICY_STATUS {
  std::uint32_t cbSize = sizeof(CERT_CHAIN_POLICY_STATUS);
  std::uint32_t dwError = 0;  // 0 or a CERT_E_/TRUST_E_ number
  std::int32_t lChainIndex = -1;
  std::int32_t lElementIndex = -1;
  void* pvExtraPolicyStatus = nullptr;
};
// True when the check ran; the verdict is in status->dwError.
BOOL CertVerifyCertificateChainPolicy(std::uintptr_t policy, PCCERT_CHAIN_CONTEXT chain,
                                      const CERT_CHAIN_POLICY_PARA* para, CERT_CHAIN_POLICY_STATUS* status);

// For the TLS package: the OpenSSL objects behind a context (borrowed) and a
// context made from a peer's certificate and chain (the caller frees it).
x509_st* CertContextX509(PCCERT_CONTEXT context);
evp_pkey_st* CertContextPrivateKey(PCCERT_CONTEXT context);
PCCERT_CONTEXT CertContextFromX509(x509_st* cert, stack_st_X509* chain);
// The trust store as OpenSSL's (a new reference; null on failure).
x509_store_st* CertOpenTrustX509Store();

}  // namespace plat
