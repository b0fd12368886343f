// The security support provider the library binds: InitSecurityInterfaceA returns
// one process-wide function table whose entries dispatch, by handle, to the
// packages registered through SecurityPackage.h (TLS here; NTLM in its own files).
// Statuses are the provider's SEC_E_/SEC_I_ numbers; SecurityStatusMessage gives
// the English "system message" for every status the layer produces.
// All entries are thread-safe; one context must be driven by one thread at a time.
// Buffers the provider allocates (output tokens, package lists, attribute records
// marked so) are released with FreeContextBuffer; nothing else is.
#pragma once

#include <cstdint>
#include <string>

namespace plat {

struct CERT_CONTEXT;  // CryptoApi.h

using SECURITY_STATUS = std::int32_t;

constexpr SECURITY_STATUS SecStatus(std::uint32_t v) { return static_cast<SECURITY_STATUS>(v); }

constexpr SECURITY_STATUS SEC_E_OK = 0;
constexpr SECURITY_STATUS SEC_I_CONTINUE_NEEDED = SecStatus(0x00090312);
constexpr SECURITY_STATUS SEC_I_COMPLETE_NEEDED = SecStatus(0x00090313);
constexpr SECURITY_STATUS SEC_I_COMPLETE_AND_CONTINUE = SecStatus(0x00090314);
constexpr SECURITY_STATUS SEC_I_CONTEXT_EXPIRED = SecStatus(0x00090317);
constexpr SECURITY_STATUS SEC_I_INCOMPLETE_CREDENTIALS = SecStatus(0x00090320);
constexpr SECURITY_STATUS SEC_I_RENEGOTIATE = SecStatus(0x00090321);
constexpr SECURITY_STATUS SEC_E_INSUFFICIENT_MEMORY = SecStatus(0x80090300);
constexpr SECURITY_STATUS SEC_E_INVALID_HANDLE = SecStatus(0x80090301);
constexpr SECURITY_STATUS SEC_E_UNSUPPORTED_FUNCTION = SecStatus(0x80090302);
constexpr SECURITY_STATUS SEC_E_TARGET_UNKNOWN = SecStatus(0x80090303);
constexpr SECURITY_STATUS SEC_E_INTERNAL_ERROR = SecStatus(0x80090304);
constexpr SECURITY_STATUS SEC_E_SECPKG_NOT_FOUND = SecStatus(0x80090305);
constexpr SECURITY_STATUS SEC_E_INVALID_TOKEN = SecStatus(0x80090308);
constexpr SECURITY_STATUS SEC_E_NO_IMPERSONATION = SecStatus(0x8009030B);
constexpr SECURITY_STATUS SEC_E_LOGON_DENIED = SecStatus(0x8009030C);
constexpr SECURITY_STATUS SEC_E_UNKNOWN_CREDENTIALS = SecStatus(0x8009030D);
constexpr SECURITY_STATUS SEC_E_NO_CREDENTIALS = SecStatus(0x8009030E);
constexpr SECURITY_STATUS SEC_E_MESSAGE_ALTERED = SecStatus(0x8009030F);
constexpr SECURITY_STATUS SEC_E_OUT_OF_SEQUENCE = SecStatus(0x80090310);
constexpr SECURITY_STATUS SEC_E_CONTEXT_EXPIRED = SecStatus(0x80090317);
constexpr SECURITY_STATUS SEC_E_INCOMPLETE_MESSAGE = SecStatus(0x80090318);
constexpr SECURITY_STATUS SEC_E_BUFFER_TOO_SMALL = SecStatus(0x80090321);
constexpr SECURITY_STATUS SEC_E_WRONG_PRINCIPAL = SecStatus(0x80090322);
constexpr SECURITY_STATUS SEC_E_UNTRUSTED_ROOT = SecStatus(0x80090325);
constexpr SECURITY_STATUS SEC_E_ILLEGAL_MESSAGE = SecStatus(0x80090326);
constexpr SECURITY_STATUS SEC_E_CERT_UNKNOWN = SecStatus(0x80090327);
constexpr SECURITY_STATUS SEC_E_CERT_EXPIRED = SecStatus(0x80090328);
constexpr SECURITY_STATUS SEC_E_ENCRYPT_FAILURE = SecStatus(0x80090329);
constexpr SECURITY_STATUS SEC_E_DECRYPT_FAILURE = SecStatus(0x80090330);
constexpr SECURITY_STATUS SEC_E_ALGORITHM_MISMATCH = SecStatus(0x80090331);

// Certificate and trust statuses (shared with CryptoApi.h).
constexpr SECURITY_STATUS CERT_E_EXPIRED = SecStatus(0x800B0101);
constexpr SECURITY_STATUS CERT_E_UNTRUSTEDROOT = SecStatus(0x800B0109);
constexpr SECURITY_STATUS CERT_E_CHAINING = SecStatus(0x800B010A);
constexpr SECURITY_STATUS CERT_E_REVOKED = SecStatus(0x800B010C);
constexpr SECURITY_STATUS CERT_E_CN_NO_MATCH = SecStatus(0x800B010F);
constexpr SECURITY_STATUS CERT_E_WRONG_USAGE = SecStatus(0x800B0110);
constexpr SECURITY_STATUS TRUST_E_CERT_SIGNATURE = SecStatus(0x80096004);
constexpr SECURITY_STATUS CRYPT_E_NOT_FOUND = SecStatus(0x80092004);

// The English text of a status ("The logon attempt failed.\r\n"), or "" when the
// provider has none. Texts end as the system's do, with "." and CR LF.
std::string SecurityStatusMessage(std::uint32_t status);

struct SecHandle {
  std::uintptr_t dwLower = 0;
  std::uintptr_t dwUpper = 0;
};
using CredHandle = SecHandle;
using CtxtHandle = SecHandle;
inline bool SecIsValidHandle(const SecHandle* h) { return h && (h->dwLower || h->dwUpper); }
inline void SecInvalidateHandle(SecHandle* h) { *h = SecHandle{}; }

using TimeStamp = std::int64_t;  // expiry, 100-ns units since 1601; we report "never"

constexpr std::uint32_t SECBUFFER_VERSION = 0;
constexpr std::uint32_t SECBUFFER_EMPTY = 0;
constexpr std::uint32_t SECBUFFER_DATA = 1;
constexpr std::uint32_t SECBUFFER_TOKEN = 2;
constexpr std::uint32_t SECBUFFER_MISSING = 4;
constexpr std::uint32_t SECBUFFER_EXTRA = 5;
constexpr std::uint32_t SECBUFFER_STREAM_TRAILER = 6;
constexpr std::uint32_t SECBUFFER_STREAM_HEADER = 7;

struct SecBuffer {
  std::uint32_t cbBuffer = 0;
  std::uint32_t BufferType = SECBUFFER_EMPTY;
  void* pvBuffer = nullptr;
};

struct SecBufferDesc {
  std::uint32_t ulVersion = SECBUFFER_VERSION;
  std::uint32_t cBuffers = 0;
  SecBuffer* pBuffers = nullptr;
};

struct SecPkgInfoA {
  std::uint32_t fCapabilities = 0;
  std::uint16_t wVersion = 0;
  std::uint16_t wRPCID = 0;
  std::uint32_t cbMaxToken = 0;
  char* Name = nullptr;
  char* Comment = nullptr;
};

constexpr std::uint32_t SECPKG_CRED_INBOUND = 1;
constexpr std::uint32_t SECPKG_CRED_OUTBOUND = 2;

// Context attributes.
constexpr std::uint32_t SECPKG_ATTR_SIZES = 0;
constexpr std::uint32_t SECPKG_ATTR_NAMES = 1;
constexpr std::uint32_t SECPKG_ATTR_STREAM_SIZES = 4;
constexpr std::uint32_t SECPKG_ATTR_REMOTE_CERT_CONTEXT = 0x53;
constexpr std::uint32_t SECPKG_ATTR_CONNECTION_INFO = 0x5A;

struct SecPkgContext_Sizes {
  std::uint32_t cbMaxToken = 0;
  std::uint32_t cbMaxSignature = 0;
  std::uint32_t cbBlockSize = 0;
  std::uint32_t cbSecurityTrailer = 0;
};

struct SecPkgContext_StreamSizes {
  std::uint32_t cbHeader = 0;
  std::uint32_t cbTrailer = 0;
  std::uint32_t cbMaximumMessage = 0;
  std::uint32_t cBuffers = 0;
  std::uint32_t cbBlockSize = 0;
};

// Names attribute: the user name is provider memory (FreeContextBuffer).
struct SecPkgContext_NamesA {
  char* sUserName = nullptr;
};

// Negotiated protocol (SP_PROT_* bit of our side) and cipher strength in bits.
struct SecPkgContext_ConnectionInfo {
  std::uint32_t dwProtocol = 0;
  std::uint32_t dwCipherStrength = 0;
};

// Context requirement and return flags (ISC_ for the client, ASC_ for the server).
constexpr std::uint32_t ISC_REQ_MUTUAL_AUTH = 0x2;
constexpr std::uint32_t ISC_REQ_REPLAY_DETECT = 0x4;
constexpr std::uint32_t ISC_REQ_SEQUENCE_DETECT = 0x8;
constexpr std::uint32_t ISC_REQ_CONFIDENTIALITY = 0x10;
constexpr std::uint32_t ISC_REQ_ALLOCATE_MEMORY = 0x100;
constexpr std::uint32_t ISC_REQ_EXTENDED_ERROR = 0x4000;
constexpr std::uint32_t ISC_REQ_STREAM = 0x8000;
constexpr std::uint32_t ISC_RET_EXTENDED_ERROR = 0x4000;
constexpr std::uint32_t ASC_REQ_MUTUAL_AUTH = 0x2;
constexpr std::uint32_t ASC_REQ_ALLOCATE_MEMORY = 0x100;
constexpr std::uint32_t ASC_REQ_EXTENDED_ERROR = 0x8000;
constexpr std::uint32_t ASC_REQ_STREAM = 0x10000;
constexpr std::uint32_t ASC_RET_EXTENDED_ERROR = 0x8000;

// Identity record for password packages (NTLM); texts need not end in NUL.
constexpr std::uint32_t SEC_WINNT_AUTH_IDENTITY_ANSI = 1;
struct SEC_WINNT_AUTH_IDENTITY_A {
  const unsigned char* User = nullptr;
  std::uint32_t UserLength = 0;
  const unsigned char* Domain = nullptr;
  std::uint32_t DomainLength = 0;
  const unsigned char* Password = nullptr;
  std::uint32_t PasswordLength = 0;
  std::uint32_t Flags = SEC_WINNT_AUTH_IDENTITY_ANSI;
};

// The TLS package and its credential record.
constexpr const char* UNISP_NAME_A = "Microsoft Unified Security Protocol Provider";
constexpr std::uint32_t SCHANNEL_CRED_VERSION = 4;
constexpr std::uint32_t SCHANNEL_SHUTDOWN = 1;

constexpr std::uint32_t SP_PROT_SSL2_SERVER = 0x4;
constexpr std::uint32_t SP_PROT_SSL2_CLIENT = 0x8;
constexpr std::uint32_t SP_PROT_SSL3_SERVER = 0x10;
constexpr std::uint32_t SP_PROT_SSL3_CLIENT = 0x20;
constexpr std::uint32_t SP_PROT_TLS1_SERVER = 0x40;
constexpr std::uint32_t SP_PROT_TLS1_CLIENT = 0x80;
constexpr std::uint32_t SP_PROT_TLS1_1_SERVER = 0x100;
constexpr std::uint32_t SP_PROT_TLS1_1_CLIENT = 0x200;
constexpr std::uint32_t SP_PROT_TLS1_2_SERVER = 0x400;
constexpr std::uint32_t SP_PROT_TLS1_2_CLIENT = 0x800;
constexpr std::uint32_t SP_PROT_TLS1_3_SERVER = 0x1000;
constexpr std::uint32_t SP_PROT_TLS1_3_CLIENT = 0x2000;

constexpr std::uint32_t SCH_CRED_NO_DEFAULT_CREDS = 0x10;
constexpr std::uint32_t SCH_CRED_MANUAL_CRED_VALIDATION = 0x8;
constexpr std::uint32_t SCH_SEND_ROOT_CERT = 0x40000;
constexpr std::uint32_t SCH_USE_STRONG_CRYPTO = 0x400000;

struct SCHANNEL_CRED {
  std::uint32_t dwVersion = SCHANNEL_CRED_VERSION;
  std::uint32_t cCreds = 0;
  const CERT_CONTEXT* const* paCred = nullptr;  // first one with a private key is ours
  std::uint32_t grbitEnabledProtocols = 0;      // 0: the machine's defaults
  std::uint32_t dwFlags = 0;
};

// The provider's entry points, by their platform names.
struct SecurityFunctionTableA {
  std::uint32_t dwVersion = 1;
  SECURITY_STATUS (*EnumerateSecurityPackagesA)(std::uint32_t* count, SecPkgInfoA** packages);
  SECURITY_STATUS (*AcquireCredentialsHandleA)(const char* principal, const char* package,
                                               std::uint32_t credentialUse, void* logonId,
                                               const void* authData, void* getKeyFn, void* getKeyArg,
                                               CredHandle* credential, TimeStamp* expiry);
  SECURITY_STATUS (*FreeCredentialsHandle)(CredHandle* credential);
  SECURITY_STATUS (*InitializeSecurityContextA)(CredHandle* credential, CtxtHandle* context,
                                                const char* targetName, std::uint32_t contextReq,
                                                std::uint32_t reserved1, std::uint32_t targetDataRep,
                                                SecBufferDesc* input, std::uint32_t reserved2,
                                                CtxtHandle* newContext, SecBufferDesc* output,
                                                std::uint32_t* contextAttr, TimeStamp* expiry);
  SECURITY_STATUS (*AcceptSecurityContext)(CredHandle* credential, CtxtHandle* context,
                                           SecBufferDesc* input, std::uint32_t contextReq,
                                           std::uint32_t targetDataRep, CtxtHandle* newContext,
                                           SecBufferDesc* output, std::uint32_t* contextAttr,
                                           TimeStamp* expiry);
  SECURITY_STATUS (*CompleteAuthToken)(CtxtHandle* context, SecBufferDesc* token);
  SECURITY_STATUS (*DeleteSecurityContext)(CtxtHandle* context);
  SECURITY_STATUS (*ApplyControlToken)(CtxtHandle* context, SecBufferDesc* input);
  SECURITY_STATUS (*QueryContextAttributesA)(CtxtHandle* context, std::uint32_t attribute,
                                             void* buffer);
  SECURITY_STATUS (*ImpersonateSecurityContext)(CtxtHandle* context);
  SECURITY_STATUS (*RevertSecurityContext)(CtxtHandle* context);
  SECURITY_STATUS (*FreeContextBuffer)(void* buffer);
  SECURITY_STATUS (*EncryptMessage)(CtxtHandle* context, std::uint32_t qop, SecBufferDesc* message,
                                    std::uint32_t sequence);
  SECURITY_STATUS (*DecryptMessage)(CtxtHandle* context, SecBufferDesc* message,
                                    std::uint32_t sequence, std::uint32_t* qop);
};

// The table; null only when the TLS library could not be initialised.
[[nodiscard]] const SecurityFunctionTableA* InitSecurityInterfaceA();

}  // namespace plat
