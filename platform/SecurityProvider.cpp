// The provider's function table: a dispatcher from handles to the registered
// packages, plus the provider-allocated memory and the status texts.
#include "SecurityProvider.h"

#include <openssl/ssl.h>
#include <strings.h>

#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>

#include "AsciiText.h"
#include "CodeTable.h"
#include "SecurityPackage.h"

namespace plat {
namespace {

constexpr TCodeText<std::uint32_t> kStatusTexts[] = {
    {0x00090312, "The function completed successfully, but must be called again to complete the context.\r\n"},
    {0x00090313, "The function completed successfully, but CompleteToken must be called.\r\n"},
    {0x00090314, "The function completed successfully, but both CompleteToken and this function must be called to complete the context.\r\n"},
    {0x00090317, "The context has expired and can no longer be used.\r\n"},
    {0x00090320, "The credentials supplied were not complete, and could not be verified. Additional information can be returned from the context.\r\n"},
    {0x00090321, "The context data must be renegotiated with the peer.\r\n"},
    {0x80090300, "Not enough memory is available to complete this request.\r\n"},
    {0x80090301, "The handle specified is invalid.\r\n"},
    {0x80090302, "The function requested is not supported.\r\n"},
    {0x80090303, "The specified target is unknown or unreachable.\r\n"},
    {0x80090304, "The Local Security Authority cannot be contacted.\r\n"},
    {0x80090305, "The requested security package does not exist.\r\n"},
    {0x80090308, "The token supplied to the function is invalid.\r\n"},
    {0x8009030B, "No impersonation has been allowed for this context.\r\n"},
    {0x8009030C, "The logon attempt failed.\r\n"},
    {0x8009030D, "The credentials supplied to the package were not recognized.\r\n"},
    {0x8009030E, "No credentials are available in the security package.\r\n"},
    {0x8009030F, "The message or signature supplied for verification has been altered.\r\n"},
    {0x80090310, "The message supplied for verification is out of sequence.\r\n"},
    {0x80090317, "The context has expired and can no longer be used.\r\n"},
    {0x80090318, "The supplied message is incomplete. The signature was not verified.\r\n"},
    {0x80090321, "The buffers supplied to a function was too small.\r\n"},
    {0x80090322, "The target principal name is incorrect.\r\n"},
    {0x80090325, "The certificate chain was issued by an authority that is not trusted.\r\n"},
    {0x80090326, "The message received was unexpected or badly formatted.\r\n"},
    {0x80090327, "An unknown error occurred while processing the certificate.\r\n"},
    {0x80090328, "The received certificate has expired.\r\n"},
    {0x80090329, "The specified data could not be encrypted.\r\n"},
    {0x80090330, "The specified data could not be decrypted.\r\n"},
    {0x80090331, "The client and server cannot communicate, because they do not possess a common algorithm.\r\n"},
    {0x800B0101, "A required certificate is not within its validity period when verifying against the current system clock or the timestamp in the signed file.\r\n"},
    {0x800B0109, "A certificate chain processed, but terminated in a root certificate which is not trusted by the trust provider.\r\n"},
    {0x800B010A, "A certificate chain could not be built to a trusted root authority.\r\n"},
    {0x800B010C, "A certificate was explicitly revoked by its issuer.\r\n"},
    {0x800B010F, "The certificate's CN name does not match the passed value.\r\n"},
    {0x800B0110, "The certificate is not valid for the requested usage.\r\n"},
    {0x80096004, "The signature of the certificate cannot be verified.\r\n"},
    {0x80092004, "Cannot find object or property.\r\n"},
};

constexpr std::uintptr_t kCredTag = 0x56534352;  // handle kinds, so a swapped handle is refused
constexpr std::uintptr_t kCtxtTag = 0x56534354;

struct CredentialEntry {
  SecurityPackage* Package = nullptr;
  std::shared_ptr<SecurityCredentials> Credentials;
  CredentialDirection Direction = CredentialDirection::Outbound;
};

struct ContextEntry {
  SecurityPackage* Package = nullptr;
  std::shared_ptr<SecurityContext> Context;
  std::shared_ptr<SecurityCredentials> Credentials;
};

struct Provider {
  std::mutex Lock;
  std::vector<SecurityPackageFactory> Pending;
  std::vector<std::unique_ptr<SecurityPackage>> Packages;
  std::vector<std::unique_ptr<SecurityPackage>> Replaced;
  std::unordered_map<std::uintptr_t, CredentialEntry> Credentials;
  std::unordered_map<std::uintptr_t, ContextEntry> Contexts;
  std::unordered_map<void*, std::unique_ptr<std::uint8_t[]>> Buffers;
  std::uintptr_t NextId = 1;
  bool TlsAdded = false;

  // Creates packages registered since the last call; caller holds Lock.
  void Instantiate() {
    if (!TlsAdded) {
      TlsAdded = true;
      Pending.insert(Pending.begin(), &CreateTlsSecurityPackage);
    }
    for (SecurityPackageFactory f : Pending) {
      std::unique_ptr<SecurityPackage> p = f ? f() : nullptr;
      if (!p) continue;
      for (auto& old : Packages)
        if (p && AsciiSameText(old->Info().Name, p->Info().Name)) {
          // Handles made by the old one keep pointing at it: it stays alive.
          old.swap(p);
          Replaced.push_back(std::move(p));
        }
      if (p) Packages.push_back(std::move(p));
    }
    Pending.clear();
  }

  SecurityPackage* Find(const char* name) {
    Instantiate();
    if (!name) return nullptr;
    for (auto& p : Packages)
      if (AsciiSameText(p->Info().Name, name)) return p.get();
    return nullptr;
  }
};

Provider& TheProvider() {
  static Provider p;
  return p;
}

bool FindCredential(const CredHandle* h, CredentialEntry& out) {
  if (!h || h->dwLower != kCredTag) return false;
  Provider& p = TheProvider();
  std::scoped_lock lock(p.Lock);
  const auto it = p.Credentials.find(h->dwUpper);
  if (it == p.Credentials.end()) return false;
  out = it->second;
  return true;
}

bool FindContext(const CtxtHandle* h, ContextEntry& out) {
  if (!h || h->dwLower != kCtxtTag) return false;
  Provider& p = TheProvider();
  std::scoped_lock lock(p.Lock);
  const auto it = p.Contexts.find(h->dwUpper);
  if (it == p.Contexts.end()) return false;
  out = it->second;
  return true;
}

SecBuffer* FindBuffer(SecBufferDesc* desc, std::uint32_t type) {
  if (!desc || !desc->pBuffers) return nullptr;
  for (std::uint32_t i = 0; i < desc->cBuffers; ++i)
    if ((desc->pBuffers[i].BufferType & 0x0FFFFFFF) == type) return &desc->pBuffers[i];
  return nullptr;
}

std::string Field(const unsigned char* p, std::uint32_t n) {
  return p ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
}

// One Initialize or Accept call, both directions.
SECURITY_STATUS RunStep(CredHandle* credential, CtxtHandle* context, const char* target, std::uint32_t req,
                        SecBufferDesc* input, CtxtHandle* newContext, SecBufferDesc* output,
                        std::uint32_t* contextAttr, TimeStamp* expiry, CredentialDirection direction,
                        bool allocate) {
  ContextEntry entry;
  const bool first = !SecIsValidHandle(context);
  if (!first && !FindContext(context, entry)) return SEC_E_INVALID_HANDLE;
  if (first) {
    CredentialEntry cred;
    if (!FindCredential(credential, cred)) return SEC_E_INVALID_HANDLE;
    if (cred.Direction != direction) return SEC_E_UNKNOWN_CREDENTIALS;
    std::unique_ptr<SecurityContext> made;
    const SECURITY_STATUS s = cred.Package->CreateContext(cred.Credentials, direction, made);
    if (s != SEC_E_OK) return s;
    if (!made) return SEC_E_INTERNAL_ERROR;
    entry.Package = cred.Package;
    entry.Context = std::move(made);
    entry.Credentials = cred.Credentials;
  }
  ContextStep step;
  SecBuffer* inToken = FindBuffer(input, SECBUFFER_TOKEN);
  if (inToken && inToken->cbBuffer && inToken->pvBuffer)
    step.InputToken = {static_cast<const std::uint8_t*>(inToken->pvBuffer), inToken->cbBuffer};
  step.TargetName = target ? std::string_view(target) : std::string_view();
  step.RequestFlags = req;
  const SECURITY_STATUS status = entry.Context->Step(step);

  // Extra and missing bytes go into the first empty input buffer.
  if (input && inToken) {
    SecBuffer* spare = FindBuffer(input, SECBUFFER_EMPTY);
    const std::uint32_t extra = std::min<std::uint32_t>(step.ExtraBytes, static_cast<std::uint32_t>(step.InputToken.size()));
    if (spare && extra && status >= 0) {
      spare->BufferType = SECBUFFER_EXTRA;
      spare->cbBuffer = extra;
      spare->pvBuffer = static_cast<std::uint8_t*>(inToken->pvBuffer) + (inToken->cbBuffer - extra);
    } else if (spare && status == SEC_E_INCOMPLETE_MESSAGE && step.MissingBytes) {
      spare->BufferType = SECBUFFER_MISSING;
      spare->cbBuffer = step.MissingBytes;
      spare->pvBuffer = nullptr;
    }
  }
  SECURITY_STATUS result = status;
  if (SecBuffer* out = FindBuffer(output, SECBUFFER_TOKEN)) {
    const auto size = static_cast<std::uint32_t>(step.OutputToken.size());
    if (allocate) {
      out->pvBuffer = size ? AllocateContextBuffer(size) : nullptr;
      if (size && !out->pvBuffer) result = SEC_E_INSUFFICIENT_MEMORY;
      else if (size) std::memcpy(out->pvBuffer, step.OutputToken.data(), size);
      out->cbBuffer = out->pvBuffer ? size : 0;
    } else if (size > out->cbBuffer || (size && !out->pvBuffer)) {
      result = SEC_E_BUFFER_TOO_SMALL;
    } else {
      if (size) std::memcpy(out->pvBuffer, step.OutputToken.data(), size);
      out->cbBuffer = size;
    }
  }
  if (contextAttr) *contextAttr = step.ContextAttributes;
  if (expiry) *expiry = std::numeric_limits<TimeStamp>::max();
  if (first) {
    // A context exists for the caller only once a step succeeded or asks for more.
    if (status >= 0 && newContext) {
      Provider& p = TheProvider();
      std::scoped_lock lock(p.Lock);
      const std::uintptr_t id = p.NextId++;
      p.Contexts.emplace(id, std::move(entry));
      newContext->dwLower = kCtxtTag;
      newContext->dwUpper = id;
    }
  } else if (newContext && newContext != context) {
    *newContext = *context;
  }
  return result;
}

SECURITY_STATUS EnumerateSecurityPackagesImpl(std::uint32_t* count, SecPkgInfoA** packages) {
  if (!count || !packages) return SEC_E_INVALID_HANDLE;
  Provider& p = TheProvider();
  std::scoped_lock lock(p.Lock);
  p.Instantiate();
  size_t size = sizeof(SecPkgInfoA) * p.Packages.size();
  for (auto& pkg : p.Packages) size += pkg->Info().Name.size() + pkg->Info().Comment.size() + 2;
  std::unique_ptr<std::uint8_t[]> block = std::make_unique<std::uint8_t[]>(std::max<size_t>(size, 1));
  auto* infos = reinterpret_cast<SecPkgInfoA*>(block.get());
  char* text = reinterpret_cast<char*>(block.get() + sizeof(SecPkgInfoA) * p.Packages.size());
  for (size_t i = 0; i < p.Packages.size(); ++i) {
    const SecurityPackageInfo& in = p.Packages[i]->Info();
    SecPkgInfoA& o = infos[i];
    o = SecPkgInfoA{};
    o.fCapabilities = in.Capabilities;
    o.wVersion = in.Version;
    o.wRPCID = in.RpcId;
    o.cbMaxToken = in.MaxToken;
    o.Name = text;
    std::memcpy(text, in.Name.c_str(), in.Name.size() + 1);
    text += in.Name.size() + 1;
    o.Comment = text;
    std::memcpy(text, in.Comment.c_str(), in.Comment.size() + 1);
    text += in.Comment.size() + 1;
  }
  *count = static_cast<std::uint32_t>(p.Packages.size());
  *packages = infos;
  p.Buffers.emplace(block.get(), std::move(block));
  return SEC_E_OK;
}

SECURITY_STATUS AcquireCredentialsHandleImpl(const char* principal, const char* package, std::uint32_t use,
                                             void*, const void* authData, void*, void*, CredHandle* credential,
                                             TimeStamp* expiry) {
  if (!credential) return SEC_E_INVALID_HANDLE;
  SecurityPackage* pkg = nullptr;
  {
    Provider& p = TheProvider();
    std::scoped_lock lock(p.Lock);
    pkg = p.Find(package);
  }
  if (!pkg) return SEC_E_SECPKG_NOT_FOUND;
  if (use != SECPKG_CRED_INBOUND && use != SECPKG_CRED_OUTBOUND) return SEC_E_UNSUPPORTED_FUNCTION;
  CredentialRequest req;
  req.Direction = static_cast<CredentialDirection>(use);
  req.Principal = principal ? principal : "";
  req.AuthData = authData;
  if (authData && pkg->Info().AuthDataIsIdentity) {
    const auto* id = static_cast<const SEC_WINNT_AUTH_IDENTITY_A*>(authData);
    req.Identity = SecurityIdentity{Field(id->User, id->UserLength), Field(id->Domain, id->DomainLength),
                                    Field(id->Password, id->PasswordLength)};
  }
  std::shared_ptr<SecurityCredentials> creds;
  const SECURITY_STATUS s = pkg->AcquireCredentials(req, creds);
  if (s != SEC_E_OK) return s;
  if (!creds) return SEC_E_INTERNAL_ERROR;
  Provider& p = TheProvider();
  std::scoped_lock lock(p.Lock);
  const std::uintptr_t id = p.NextId++;
  p.Credentials.emplace(id, CredentialEntry{pkg, std::move(creds), req.Direction});
  credential->dwLower = kCredTag;
  credential->dwUpper = id;
  if (expiry) *expiry = std::numeric_limits<TimeStamp>::max();
  return SEC_E_OK;
}

SECURITY_STATUS FreeCredentialsHandleImpl(CredHandle* credential) {
  if (!credential || credential->dwLower != kCredTag) return SEC_E_INVALID_HANDLE;
  Provider& p = TheProvider();
  std::shared_ptr<SecurityCredentials> last;  // released outside the lock
  std::scoped_lock lock(p.Lock);
  const auto it = p.Credentials.find(credential->dwUpper);
  if (it == p.Credentials.end()) return SEC_E_INVALID_HANDLE;
  last = std::move(it->second.Credentials);
  p.Credentials.erase(it);
  return SEC_E_OK;
}

SECURITY_STATUS InitializeSecurityContextImpl(CredHandle* credential, CtxtHandle* context, const char* target,
                                              std::uint32_t req, std::uint32_t, std::uint32_t, SecBufferDesc* input,
                                              std::uint32_t, CtxtHandle* newContext, SecBufferDesc* output,
                                              std::uint32_t* attr, TimeStamp* expiry) {
  return RunStep(credential, context, target, req, input, newContext, output, attr, expiry,
                 CredentialDirection::Outbound, (req & ISC_REQ_ALLOCATE_MEMORY) != 0);
}

SECURITY_STATUS AcceptSecurityContextImpl(CredHandle* credential, CtxtHandle* context, SecBufferDesc* input,
                                          std::uint32_t req, std::uint32_t, CtxtHandle* newContext,
                                          SecBufferDesc* output, std::uint32_t* attr, TimeStamp* expiry) {
  return RunStep(credential, context, nullptr, req, input, newContext, output, attr, expiry,
                 CredentialDirection::Inbound, (req & ASC_REQ_ALLOCATE_MEMORY) != 0);
}

template <typename F>
SECURITY_STATUS WithContext(CtxtHandle* context, F f) {
  ContextEntry e;
  if (!FindContext(context, e)) return SEC_E_INVALID_HANDLE;
  return f(*e.Context);
}

SECURITY_STATUS CompleteAuthTokenImpl(CtxtHandle* c, SecBufferDesc* token) {
  return WithContext(c, [&](SecurityContext& x) { return x.CompleteAuthToken(token); });
}

SECURITY_STATUS DeleteSecurityContextImpl(CtxtHandle* context) {
  if (!context || context->dwLower != kCtxtTag) return SEC_E_INVALID_HANDLE;
  Provider& p = TheProvider();
  ContextEntry last;  // destroyed outside the lock
  {
    std::scoped_lock lock(p.Lock);
    const auto it = p.Contexts.find(context->dwUpper);
    if (it == p.Contexts.end()) return SEC_E_INVALID_HANDLE;
    last = std::move(it->second);
    p.Contexts.erase(it);
  }
  return SEC_E_OK;
}

SECURITY_STATUS ApplyControlTokenImpl(CtxtHandle* c, SecBufferDesc* input) {
  SecBuffer* b = FindBuffer(input, SECBUFFER_TOKEN);
  if (!b || !b->pvBuffer) return SEC_E_INVALID_TOKEN;
  const std::span<const std::uint8_t> token(static_cast<const std::uint8_t*>(b->pvBuffer), b->cbBuffer);
  return WithContext(c, [&](SecurityContext& x) { return x.ApplyControlToken(token); });
}

SECURITY_STATUS QueryContextAttributesImpl(CtxtHandle* c, std::uint32_t attribute, void* buffer) {
  if (!buffer) return SEC_E_INVALID_TOKEN;
  return WithContext(c, [&](SecurityContext& x) { return x.QueryAttribute(attribute, buffer); });
}

SECURITY_STATUS ImpersonateSecurityContextImpl(CtxtHandle* c) {
  return WithContext(c, [](SecurityContext& x) { return x.Impersonate(); });
}

SECURITY_STATUS RevertSecurityContextImpl(CtxtHandle* c) {
  return WithContext(c, [](SecurityContext& x) { return x.Revert(); });
}

SECURITY_STATUS FreeContextBufferImpl(void* buffer) {
  if (!buffer) return SEC_E_OK;
  Provider& p = TheProvider();
  std::scoped_lock lock(p.Lock);
  return p.Buffers.erase(buffer) ? SEC_E_OK : SEC_E_INVALID_HANDLE;
}

SECURITY_STATUS EncryptMessageImpl(CtxtHandle* c, std::uint32_t, SecBufferDesc* message, std::uint32_t) {
  if (!message || !message->pBuffers) return SEC_E_INVALID_TOKEN;
  return WithContext(c, [&](SecurityContext& x) { return x.Encrypt(message); });
}

SECURITY_STATUS DecryptMessageImpl(CtxtHandle* c, SecBufferDesc* message, std::uint32_t, std::uint32_t* qop) {
  if (qop) *qop = 0;
  if (!message || !message->pBuffers) return SEC_E_INVALID_TOKEN;
  return WithContext(c, [&](SecurityContext& x) { return x.Decrypt(message); });
}

}  // namespace

void RegisterSecurityPackage(SecurityPackageFactory factory) {
  Provider& p = TheProvider();
  std::scoped_lock lock(p.Lock);
  p.Pending.push_back(factory);
}

void* AllocateContextBuffer(std::size_t size) {
  std::unique_ptr<std::uint8_t[]> block;
  try {
    block = std::make_unique<std::uint8_t[]>(std::max<std::size_t>(size, 1));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  void* raw = block.get();
  Provider& p = TheProvider();
  std::scoped_lock lock(p.Lock);
  p.Buffers.emplace(raw, std::move(block));
  return raw;
}

std::string SecurityStatusMessage(std::uint32_t status) {
  return CodeText(kStatusTexts, status);
}

const SecurityFunctionTableA* InitSecurityInterfaceA() {
  static const SecurityFunctionTableA* table = []() -> const SecurityFunctionTableA* {
    if (OPENSSL_init_ssl(0, nullptr) != 1) return nullptr;
    static SecurityFunctionTableA t;
    t.EnumerateSecurityPackagesA = &EnumerateSecurityPackagesImpl;
    t.AcquireCredentialsHandleA = &AcquireCredentialsHandleImpl;
    t.FreeCredentialsHandle = &FreeCredentialsHandleImpl;
    t.InitializeSecurityContextA = &InitializeSecurityContextImpl;
    t.AcceptSecurityContext = &AcceptSecurityContextImpl;
    t.CompleteAuthToken = &CompleteAuthTokenImpl;
    t.DeleteSecurityContext = &DeleteSecurityContextImpl;
    t.ApplyControlToken = &ApplyControlTokenImpl;
    t.QueryContextAttributesA = &QueryContextAttributesImpl;
    t.ImpersonateSecurityContext = &ImpersonateSecurityContextImpl;
    t.RevertSecurityContext = &RevertSecurityContextImpl;
    t.FreeContextBuffer = &FreeContextBufferImpl;
    t.EncryptMessage = &EncryptMessageImpl;
    t.DecryptMessage = &DecryptMessageImpl;
    return &t;
  }();
  return table;
}

}  // namespace plat
